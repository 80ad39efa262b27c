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
using testing::TempDir;
using testing::TestHost;
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

    fs::path ini() const { return ws.programFolder / "kestx.ini"; }

    fs::path saved = fs::current_path();
    TempDir dir;
    TestHost host;
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
    writeFile(ini(), "[KESTX]\r\n1x1phase=ERROR\r\n2X2PHASE=error\r\nlastFolder=" + (dir / "images").string() + "\r\n");
    readIniFile(ws);
    EXPECT_EQ(window.edit1, "n/a");
    EXPECT_EQ(window.edit2, "error");
    EXPECT_EQ(fs::current_path(), dir / "images");
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SettingsFile, EmptyValueEmptiesTheFieldAndDeletedFolderGivesProgramFolder)
{
    writeFile(ini(), "[kestx]\n1x1phase=\n2x2phase= 9 \nlastFolder=" + (dir / "gone").string() + "\n");
    readIniFile(ws);
    EXPECT_EQ(window.edit1, "");
    EXPECT_EQ(window.edit2, "9");
    EXPECT_EQ(fs::current_path(), ws.programFolder);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SettingsFile, CloseAfterStartStoresTrimmedPhasesAndFolder)
{
    writeFile(ini(), "; Kestrel\n[kestx]\n1x1phase=  12 \n2x2phase=n/a\n");
    readIniFile(ws);
    window.edit2 = "  5\t";
    updateIniFile(ws);
    EXPECT_EQ(readFile(ini()),
              "; Kestrel\n[kestx]\n1x1phase=12\n2x2phase=5\nlastFolder=" + (dir / "start").string() + "\n");
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SettingsFile, WriteFailureIsReported)
{
    ws.programFolder = dir / "no such folder";
    updateIniFile(ws);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].kind, Box::error);
    const std::string& text = host.boxes[0].text;
    EXPECT_NE(text.find("kestx.ini"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("... in function updateIniFile.")) << text;
}

} // namespace
} // namespace kestrel
