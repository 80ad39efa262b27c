// Where the program's own files live on Windows: beside a copy whose folder may be
// written, in %APPDATA%\Kestrel for one whose folder may not.
#include "core/platform.h"
#include "core/program_folder.h"

#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(FileLocations, AWritableFolderKeepsEverythingBesideTheProgram)
{
    TempDir dir;
    const auto nothing = [](const char*) -> const char* { return nullptr; };
    const FileLocations where = FileLocations::forProgram(dir.path(), nothing);
    EXPECT_EQ(where.settingsFile, dir / "kestx.ini");
    EXPECT_EQ(where.resultsFile, dir / "kestrel.csv");
    EXPECT_EQ(where.noticeFolder, dir.path());
    EXPECT_EQ(where.manualFile, dir / "Kestrel.pdf");
    EXPECT_EQ(where.webPage, dir / "kestrel.htm");
    EXPECT_FALSE(where.inUserFolders());
    // The look at the folder leaves nothing in it.
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_TRUE(fs::exists(executableFolder() / "core_test.exe"));
}

TEST(FileLocations, AFolderThatCannotBeWrittenSendsTheFilesToAppData)
{
    TempDir dir;
    // A folder that does not exist is one no file can be made in.
    const fs::path program = dir / "Program Files" / "Kestrel";
    const std::string appData = (dir / "Roaming").string() + "\\J\xC3\xBCrgen \xE4\xB8\xAD";
    const auto environment = [&](const char* name) -> const char* {
        return std::string(name) == "APPDATA" ? appData.c_str() : nullptr;
    };
    const FileLocations where = FileLocations::forProgram(program, environment);
    const fs::path own = pathFromUtf8(appData) / "Kestrel";
    EXPECT_EQ(where.settingsFile, own / "kestx.ini");
    EXPECT_EQ(where.resultsFile, own / "kestrel.csv");
    EXPECT_EQ(where.noticeFolder, own);
    EXPECT_EQ(where.manualFile, program / "Kestrel.pdf");
    EXPECT_EQ(where.programFolder, program);
    EXPECT_TRUE(where.inUserFolders());
    // Working out the places makes no folder; the first file written there does.
    EXPECT_FALSE(fs::exists(own));
    createFolderOf(where.settingsFile);
    EXPECT_TRUE(fs::is_directory(own));

    // Without the variable there is nowhere better than beside the program.
    const auto nothing = [](const char*) -> const char* { return nullptr; };
    EXPECT_EQ(FileLocations::forProgram(program, nothing).settingsFile, program / "kestx.ini");
}

} // namespace
} // namespace kestrel
