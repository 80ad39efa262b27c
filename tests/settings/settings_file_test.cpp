// The settings file as start-up reads it and closing the window writes it.
#include "settings/settings.h"

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
    SettingsFile() : ws(host, window)
    {
        ws.programFolder = dir / "program";
        fs::create_directory(ws.programFolder);
        fs::create_directory(dir / "start");
        fs::current_path(dir / "start");
    }
    ~SettingsFile() override { fs::current_path(saved); }

    void writeIni(const std::string& text) { writeFile(ws.programFolder / "kestx.ini", text); }

    fs::path saved = fs::current_path();
    testing::TempDir dir;
    testing::TestHost host;
    WindowModel window;
    Workspace ws;
};

TEST_F(SettingsFile, NoFileChangesNothing)
{
    readIniFile(ws);
    EXPECT_EQ(window.edit1, "n/a");
    EXPECT_EQ(window.edit2, "n/a");
    EXPECT_EQ(fs::current_path(), dir / "start");
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SettingsFile, ErrorCountsAsMissingOnlyInUpperCase)
{
    fs::create_directory(dir / "images");
    writeIni("[KESTX]\r\n1x1phase=ERROR\r\n2X2PHASE=error\r\nlastFolder=" + (dir / "images").string() + "\r\n");
    readIniFile(ws);
    EXPECT_EQ(window.edit1, "n/a");
    EXPECT_EQ(window.edit2, "error");
    EXPECT_EQ(fs::current_path(), dir / "images");
}

TEST_F(SettingsFile, CloseStoresWhatStartReadTrimmed)
{
    // An empty value empties its field; a deleted folder gives way to the program folder.
    writeIni("; Kestrel\n[kestx]\n1x1phase=\n2x2phase=  12 \nlastFolder=" + (dir / "gone").string() + "\n");
    readIniFile(ws);
    EXPECT_EQ(window.edit1, "");
    EXPECT_EQ(fs::current_path(), ws.programFolder);
    window.edit1 = "  5\t";
    updateIniFile(ws);
    EXPECT_EQ(readFile(ws.programFolder / "kestx.ini"),
              "; Kestrel\n[kestx]\n1x1phase=5\n2x2phase=12\nlastFolder=" + ws.programFolder.string() + "\n");
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SettingsFile, WriteFailureIsReported)
{
    ws.programFolder = dir / "no such folder";
    updateIniFile(ws);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].kind, Box::error);
    EXPECT_EQ(host.boxes[0].text, "Cannot write " + (ws.programFolder / "kestx.ini").string() +
                                      ": No such file or directory... in function updateIniFile.");
}

} // namespace
} // namespace kestrel
