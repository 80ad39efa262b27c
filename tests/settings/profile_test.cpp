// The INI profile rules the settings file and the phase finder rely on.
#include "settings/settings.h"

#include "core/failure.h"
#include "tests/settings/file_limit.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(ProfileRead, FindsValuesWithoutRegardToCaseAndCleansThem)
{
    TempDir dir;
    const auto f = dir / "a.ini";
    EXPECT_EQ(readProfileString(f, "kestx", "k", "ERROR"), "ERROR");
    writeFile(f, "\xEF\xBB\xBF[other]\r\n1x1phase=5\r\n; c=1\r\n[KestX]\r\n1X1Phase =  12  \r\nquoted=\" a b \"\r\n"
                 "single='x'\r\nhalf=\"x\r\nmixed=\"x'\r\nempty=\r\ninner=a=b\r\nlong=" + std::string(3000, 'v'));
    EXPECT_EQ(readProfileString(f, "nosuch", "1x1phase", "ERROR"), "ERROR");
    EXPECT_EQ(readProfileString(f, "kestx", "c", "ERROR"), "ERROR");
    EXPECT_EQ(readProfileString(f, "other", "1x1phase", "ERROR"), "5");
    EXPECT_EQ(readProfileString(f, "kestx", "1x1phase", "ERROR"), "12");
    EXPECT_EQ(readProfileString(f, "kestx", "quoted", "ERROR"), " a b ");
    EXPECT_EQ(readProfileString(f, "kestx", "single", "ERROR"), "x");
    EXPECT_EQ(readProfileString(f, "kestx", "half", "ERROR"), "\"x");
    EXPECT_EQ(readProfileString(f, "kestx", "mixed", "ERROR"), "\"x'");
    EXPECT_EQ(readProfileString(f, "kestx", "empty", "ERROR"), "");
    EXPECT_EQ(readProfileString(f, "kestx", "inner", "ERROR"), "a=b");
    EXPECT_EQ(readProfileString(f, "kestx", "long", "ERROR"), std::string(2047, 'v'));
}

TEST(ProfileWrite, CreatesReplacesInPlaceAndAddsAtTheSectionEnd)
{
    TempDir dir;
    const auto f = dir / "a.ini";
    writeProfileString(f, "kestx", "1x1phase", "7");
    EXPECT_EQ(readFile(f), "[kestx]\n1x1phase=7\n");

    writeFile(f, "\xEF\xBB\xBF; keep me\r\n[KESTX]\r\n1X1PHASE = 3 \r\n  odd line\r\n\r\n[other]\r\nk=v");
    writeProfileString(f, "kestx", "1x1phase", "12");
    writeProfileString(f, "kestx", "2x2phase", "n/a");
    writeProfileString(f, "new", "lastFolder", "/data/m31");
    EXPECT_EQ(readFile(f), "\xEF\xBB\xBF; keep me\r\n[KESTX]\r\n1x1phase=12\r\n  odd line\r\n2x2phase=n/a\r\n\r\n"
                           "[other]\r\nk=v\r\n[new]\r\nlastFolder=/data/m31\r\n");
}

TEST(ProfileWrite, FailuresNameTheFileAndLeaveItWhole)
{
    TempDir dir;
    const auto missing = dir / "missing-folder" / "a.ini";
    try {
        writeProfileString(missing, "s", "k", "1");
        FAIL() << "no failure";
    } catch (const Failure& e) {
        EXPECT_EQ(e.message(), "Cannot write " + missing.string() + ": No such file or directory");
    }

    const auto f = dir / "a.ini";
    writeFile(f, "[s]\nk=1\n");
    EXPECT_THROW(writeProfileString(f, "s", "k", "a\nb"), Failure);
    if (testing::FileSizeLimit::available) {
        testing::FileSizeLimit fullDisk(64);
        EXPECT_THROW(writeProfileString(f, "s", "k", std::string(100, 'x')), Failure);
    }
    EXPECT_EQ(readFile(f), "[s]\nk=1\n");
    // The file and, where a change took its lock, the lock file: nothing else.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_TRUE(entry.path() == f || entry.path() == dir / ".a.ini.lock") << entry.path() << " left";
}

// Programs that set values at the same time (two phase searches saving) keep them all;
// a lock file planted as a link is not followed.
TEST(ProfileWrite, ConcurrentChangesKeepEveryValue)
{
    TempDir dir;
    const auto f = dir / "a.ini";
    std::vector<std::thread> writers;
    for (int t = 0; t < 6; ++t)
        writers.emplace_back([&f, t] {
            for (int i = 0; i < 5; ++i)
                writeProfileString(f, "s", "k" + std::to_string(t), std::to_string(i));
        });
    for (auto& w : writers)
        w.join();
    for (int t = 0; t < 6; ++t)
        EXPECT_EQ(readProfileString(f, "s", "k" + std::to_string(t), "lost"), "4") << t;

    writeFile(dir / "other", "theirs");
    std::filesystem::remove(dir / ".a.ini.lock");
    std::error_code noLinks; // Wine's file systems have no symbolic links
    std::filesystem::create_symlink(dir / "other", dir / ".a.ini.lock", noLinks);
    if (noLinks)
        return;
    EXPECT_THROW(writeProfileString(f, "s", "k0", "9"), Failure);
    EXPECT_EQ(readFile(dir / "other"), "theirs");
    EXPECT_EQ(readProfileString(f, "s", "k0", ""), "4");
}

} // namespace
} // namespace kestrel
