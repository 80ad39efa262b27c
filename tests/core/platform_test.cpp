// The calls to the operating system behind the FITS reader and the results file, alike
// on every system: bytes as they are on the disk, refusals with the same messages.
#include "core/platform.h"

#include "core/failure.h"
#include "core/whole_file.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// Bytes a text mode would change: CR LF, a lone CR, and Ctrl-Z, which ends a text file
// on Windows.
const std::string awkwardBytes = std::string("a\r\nb\rc\n\x1A" "d\0e", 11);

std::string readAll(int fd, const fs::path& file)
{
    std::string out(64, '\0');
    out.resize(readUpTo(fd, out.data(), out.size(), file));
    return out;
}

std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Failure& f) {
        return f.message();
    }
    return "no failure";
}

TEST(OpenForReading, GivesTheBytesAsTheyAreUnderAnyName)
{
    TempDir dir;
    for (const char* name : {"plain.fits", "M31 \xC3\xA9t\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x94\xAD.fits"}) {
        const fs::path named = dir.path() / pathFromUtf8(name);
        writeFile(named, awkwardBytes);
        const int fd = openForReading(named);
        ASSERT_GE(fd, 0) << name;
        EXPECT_EQ(bytesAfterPosition(fd), awkwardBytes.size());
        char first[3];
        ASSERT_EQ(readUpTo(fd, first, sizeof first, named), 3u);
        EXPECT_EQ(bytesAfterPosition(fd), awkwardBytes.size() - 3);
        EXPECT_EQ(std::string(first, 3) + readAll(fd, named), awkwardBytes) << name;
        EXPECT_EQ(closeFile(fd), 0);
    }
}

TEST(OpenForReading, RefusesWhatIsNoFileWithTheReason)
{
    TempDir dir;
    const fs::path missing = dir / "missing.fits";
    EXPECT_EQ(messageOf([&] { openForReading(missing); }),
              "Cannot read " + missing.string() + ": " + std::strerror(ENOENT));
    EXPECT_EQ(openForReading(missing, IfMissing::giveNothing), -1);
    EXPECT_EQ(openForReading(dir / "no folder" / "a.fits", IfMissing::giveNothing), -1);
    fs::create_directory(dir / "folder.fits");
    EXPECT_EQ(messageOf([&] { openForReading(dir / "folder.fits", IfMissing::giveNothing); }),
              "Cannot read " + (dir / "folder.fits").string() + ": " + std::strerror(EISDIR));
}

TEST(FileIdentity, OneFileUnderEveryNameAndNoOtherFile)
{
    TempDir dir;
    writeFile(dir / "a.fits", "a");
    writeFile(dir / "b.fits", "a");
    fs::create_directory(dir / "sub");
    const auto a = fileIdentity(dir / "a.fits");
    ASSERT_TRUE(a);
    EXPECT_EQ(fileIdentity(dir / "sub" / ".." / "a.fits"), a);
    EXPECT_NE(fileIdentity(dir / "b.fits"), a);
    EXPECT_EQ(fileIdentity(dir / "missing.fits"), std::nullopt);
    std::error_code ec;
    fs::create_hard_link(dir / "a.fits", dir / "second name.fits", ec);
    if (!ec) {
        EXPECT_EQ(fileIdentity(dir / "second name.fits"), a);
    }
}

} // namespace
} // namespace kestrel
