// The settings file as start-up reads it and closing the window writes it.
#include "settings/settings.h"

#include "core/platform.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::Box;
using testing::readFile;
using testing::writeFile;

class SettingsFile : public ::testing::Test {
protected:
    SettingsFile()
    {
        programFolder = dir / "program";
        fs::create_directory(programFolder);
        fs::create_directory(dir / "start");
        fs::current_path(dir / "start");
    }
    ~SettingsFile() override { fs::current_path(saved); }

    void writeIni(const std::string& text) { writeFile(programFolder / "kestx.ini", text); }

    fs::path saved = fs::current_path();
    testing::TempDir dir;
    void read() { readIniFile(host, programFolder / "kestx.ini", programFolder, window.edit1, window.edit2); }
    void update() { updateIniFile(host, programFolder / "kestx.ini", window.edit1, window.edit2); }

    testing::TestHost host;
    struct {
        std::string edit1 = "n/a";
        std::string edit2 = "n/a";
    } window;
    fs::path programFolder;
};

TEST_F(SettingsFile, NoFileChangesNothing)
{
    read();
    EXPECT_EQ(window.edit1, "n/a");
    EXPECT_EQ(window.edit2, "n/a");
    EXPECT_EQ(fs::current_path(), dir / "start");
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SettingsFile, ErrorCountsAsMissingOnlyInUpperCase)
{
    fs::create_directory(dir / "images");
    writeIni("[KESTX]\r\n1x1phase=ERROR\r\n2X2PHASE=error\r\nlastFolder=" + (dir / "images").string() + "\r\n");
    read();
    EXPECT_EQ(window.edit1, "n/a");
    EXPECT_EQ(window.edit2, "error");
    EXPECT_EQ(fs::current_path(), dir / "images");
}

// A folder named outside any code page comes back as it was stored.
TEST_F(SettingsFile, LastFolderKeepsEveryCharacterOfItsName)
{
    const fs::path images = dir.path() / pathFromUtf8("M31 \xC3\xA9t\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x94\xAD");
    fs::create_directory(images);
    fs::current_path(images);
    update();
    fs::current_path(dir / "start");
    read();
    EXPECT_EQ(fs::current_path(), images);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SettingsFile, CloseStoresWhatStartReadTrimmed)
{
    // An empty value empties its field; a deleted folder gives way to the program folder.
    writeIni("; Kestrel\n[kestx]\n1x1phase=\n2x2phase=  12 \nlastFolder=" + (dir / "gone").string() + "\n");
    read();
    EXPECT_EQ(window.edit1, "");
    EXPECT_EQ(fs::current_path(), programFolder);
    window.edit1 = "  5\t";
    update();
    EXPECT_EQ(readFile(programFolder / "kestx.ini"),
              "; Kestrel\n[kestx]\n1x1phase=5\n2x2phase=12\nlastFolder=" + programFolder.string() + "\n");
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SettingsFile, WriteFailureIsReported)
{
    // A missing folder is made on the first write; one that a file stands in the way
    // of cannot be.
    testing::writeFile(dir / "in the way", "");
    programFolder = dir / "in the way" / "kestrel";
    update();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].kind, Box::error);
    EXPECT_EQ(host.boxes[0].text, "Cannot write " + (programFolder / "kestx.ini").string() +
                                      ": Not a directory... in function updateIniFile.");
}

TEST_F(SettingsFile, AnEndlessFileIsReportedNotRead)
{
    std::error_code ec;
    std::filesystem::create_symlink("/dev/zero", programFolder / "kestx.ini", ec);
    if (ec)
        GTEST_SKIP() << "no link to an endless device here: " << ec.message();
    read();
    EXPECT_EQ(window.edit1, "n/a");
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Cannot read " + (programFolder / "kestx.ini").string() +
                                      ": not a regular file... in function readIniFile.");
}

} // namespace
} // namespace kestrel
