// Where the program's own files live: beside a portable copy, in the user's folders
// for an installed one.
#include "core/program_folder.h"

#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(FileLocations, PortableCopyKeepsEverythingBesideItself)
{
    TempDir dir;
    const FileLocations where = FileLocations::forProgram(dir.path(), [](const char*) -> const char* { return nullptr; });
    EXPECT_EQ(where.settingsFile, dir / "kestx.ini");
    EXPECT_EQ(where.resultsFile, dir / "kestrel.csv");
    EXPECT_EQ(where.noticeFolder, dir.path());
    EXPECT_FALSE(where.inUserFolders());
    // No manual or web page beside the program: the installed documentation folder is
    // looked in.
    EXPECT_EQ(where.manualFile, (dir.path() / "../share/doc/kestrel/Kestrel.pdf").lexically_normal());
    EXPECT_EQ(where.webPage, (dir.path() / "../share/doc/kestrel/kestrel.htm").lexically_normal());
    testing::writeFile(dir / "Kestrel.pdf", "%PDF-");
    testing::writeFile(dir / "kestrel.htm", "<html>");
    EXPECT_EQ(FileLocations::forProgram(dir.path()).manualFile, dir / "Kestrel.pdf");
    EXPECT_EQ(FileLocations::forProgram(dir.path()).webPage, dir / "kestrel.htm");
}

TEST(FileLocations, InstalledProgramUsesTheUsersFolders)
{
    TempDir dir;
    const fs::path bin = dir / "usr/bin";
    fs::create_directories(bin);
    fs::create_directories(dir / "usr/share/doc/kestrel");
    testing::writeFile(dir / "usr/share/doc/kestrel/Kestrel.pdf", "%PDF-");
    std::map<std::string, std::string> env{{"HOME", "/home/ann"}, {"XDG_CONFIG_HOME", "/cfg"},
                                           {"XDG_DATA_HOME", "relative/data"}};
    auto lookup = [&env](const char* name) -> const char* {
        const auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
    };
    const FileLocations where = FileLocations::forProgram(bin, lookup);
    EXPECT_TRUE(where.inUserFolders());
    EXPECT_EQ(where.settingsFile, fs::path("/cfg/kestrel/kestx.ini"));
    // A relative XDG folder is no folder: the default below the home folder stands.
    EXPECT_EQ(where.resultsFile, fs::path("/home/ann/.local/share/kestrel/kestrel.csv"));
    EXPECT_EQ(where.noticeFolder, fs::path("/home/ann/.cache/kestrel"));
    EXPECT_EQ(where.manualFile, dir / "usr/share/doc/kestrel/Kestrel.pdf");
    EXPECT_EQ(where.webPage, dir / "usr/share/doc/kestrel/kestrel.htm");
    EXPECT_EQ(where.programFolder, bin);

    // Working out the places makes no folder; the first file written there does.
    env = {{"HOME", dir.path().string()}};
    const FileLocations mine = FileLocations::forProgram(bin, lookup);
    EXPECT_FALSE(fs::exists(dir / ".config"));
    createFolderOf(mine.resultsFile);
    EXPECT_TRUE(fs::is_directory(dir / ".local/share/kestrel"));
    EXPECT_FALSE(fs::exists(dir / ".config"));
    EXPECT_FALSE(fs::exists(dir / ".cache"));
    for (const char* made : {".local", ".local/share", ".local/share/kestrel"})
        EXPECT_EQ(fs::status(dir / made).permissions() & fs::perms::all, fs::perms::owner_all) << made;
    // A folder that exists keeps its permissions.
    fs::permissions(dir / ".local/share", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    fs::remove(dir / ".local/share/kestrel");
    createFolderOf(mine.resultsFile);
    EXPECT_TRUE(fs::is_directory(dir / ".local/share/kestrel"));
    EXPECT_EQ(fs::status(dir / ".local/share").permissions() & fs::perms::group_read, fs::perms::group_read);
}

} // namespace
} // namespace kestrel
