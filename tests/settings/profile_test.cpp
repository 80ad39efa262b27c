// The INI profile rules the settings file and the phase finder rely on.
#include "settings/settings.h"

#include "core/failure.h"
#include "tests/settings/file_limit.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>


namespace kestrel {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(ProfileRead, MissingFileSectionOrKeyGiveTheDefault)
{
    TempDir dir;
    EXPECT_EQ(readProfileString(dir / "none.ini", "kestx", "1x1phase", "ERROR"), "ERROR");
    writeFile(dir / "a.ini", "[other]\n1x1phase=5\n[kestx]\n2x2phase=3\n");
    EXPECT_EQ(readProfileString(dir / "a.ini", "nosuch", "1x1phase", "ERROR"), "ERROR");
    EXPECT_EQ(readProfileString(dir / "a.ini", "kestx", "1x1phase", "ERROR"), "ERROR");
    EXPECT_EQ(readProfileString(dir / "a.ini", "kestx", "2x2phase", "ERROR"), "3");
}

TEST(ProfileRead, NamesIgnoreCaseAndValuesAreCleaned)
{
    TempDir dir;
    writeFile(dir / "a.ini",
              "; comment=1\r\n[KestX]\r\n1X1Phase =  12  \r\nquoted=\" a b \"\r\nsingle='x'\r\n"
              "half=\"x\r\nempty=\r\nmixed=\"x'\r\ninner=a=b\r\n");
    const auto f = dir / "a.ini";
    EXPECT_EQ(readProfileString(f, "kestx", "1x1phase", "ERROR"), "12");
    EXPECT_EQ(readProfileString(f, "kestx", "quoted", "ERROR"), " a b ");
    EXPECT_EQ(readProfileString(f, "kestx", "single", "ERROR"), "x");
    EXPECT_EQ(readProfileString(f, "kestx", "half", "ERROR"), "\"x");
    EXPECT_EQ(readProfileString(f, "kestx", "mixed", "ERROR"), "\"x'");
    EXPECT_EQ(readProfileString(f, "kestx", "empty", "ERROR"), "");
    EXPECT_EQ(readProfileString(f, "kestx", "inner", "ERROR"), "a=b");
}

TEST(ProfileRead, ValuesAreCutAt2047Characters)
{
    TempDir dir;
    writeFile(dir / "a.ini", "[s]\nk=" + std::string(3000, 'v') + "\n");
    EXPECT_EQ(readProfileString(dir / "a.ini", "s", "k", ""), std::string(2047, 'v'));
}

TEST(ProfileWrite, CreatesFileAndSection)
{
    TempDir dir;
    const auto f = dir / "new.ini";
    writeProfileString(f, "kestx", "1x1phase", "7");
    EXPECT_EQ(readFile(f), "[kestx]\n1x1phase=7\n");
    writeFile(f, "[other]\nx=1");
    writeProfileString(f, "kestx", "lastFolder", "/data/m31");
    EXPECT_EQ(readFile(f), "[other]\nx=1\n[kestx]\nlastFolder=/data/m31\n");
}

TEST(ProfileWrite, ReplacesInPlaceAndAddsAtTheSectionEnd)
{
    TempDir dir;
    const auto f = dir / "a.ini";
    writeFile(f, "; keep me\r\n[KESTX]\r\n1X1PHASE = 3 \r\n  odd line\r\n\r\n[other]\r\nk=v\r\n");
    writeProfileString(f, "kestx", "1x1phase", "12");
    EXPECT_EQ(readFile(f), "; keep me\r\n[KESTX]\r\n1x1phase=12\r\n  odd line\r\n\r\n[other]\r\nk=v\r\n");
    writeProfileString(f, "kestx", "2x2phase", "n/a");
    EXPECT_EQ(readFile(f),
              "; keep me\r\n[KESTX]\r\n1x1phase=12\r\n  odd line\r\n2x2phase=n/a\r\n\r\n[other]\r\nk=v\r\n");
    EXPECT_EQ(readProfileString(f, "other", "k", ""), "v");
}

TEST(ProfileWrite, LineBreakInValueIsRefusedAndFileKept)
{
    TempDir dir;
    const auto f = dir / "a.ini";
    writeFile(f, "[s]\nk=1\n");
    EXPECT_THROW(writeProfileString(f, "s", "k", "a\nb"), Failure);
    EXPECT_EQ(readFile(f), "[s]\nk=1\n");
}

TEST(ProfileWrite, FailureNamesTheFileAndLeavesNoTemporary)
{
    TempDir dir;
    const auto f = dir / "missing-folder" / "a.ini";
    try {
        writeProfileString(f, "s", "k", "1");
        FAIL() << "no failure";
    } catch (const Failure& e) {
        EXPECT_NE(e.message().find(f.string()), std::string::npos) << e.message();
        EXPECT_NE(e.message().find("No such file"), std::string::npos) << e.message();
    }

    // A full disk: the old file stays whole and no temporary file is left over.
    writeFile(dir / "a.ini", "[s]\nk=1\n");
    {
        testing::FileSizeLimit limit(64);
        EXPECT_THROW(writeProfileString(dir / "a.ini", "s", "k", std::string(100, 'x')), Failure);
    }
    EXPECT_EQ(readFile(dir / "a.ini"), "[s]\nk=1\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

} // namespace
} // namespace kestrel
