// Where Kestrel's files live on Windows: beside the .exe when its folder may be written
// (the folder a ZIP was unpacked into, a copy on a USB stick), as the program has always
// kept them; in %APPDATA%\Kestrel when it may not (a copy under Program Files).
#include "core/program_folder.h"

#include "core/platform.h"

#include <cstdlib>
#include <system_error>
#include <vector>
#include <windows.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;

/// The user's roaming application data folder; the environment's answer is UTF-8 text.
fs::path applicationData(const std::function<const char*(const char*)>& environment)
{
    if (environment) {
        const char* value = environment("APPDATA");
        return value ? pathFromUtf8(value) : fs::path();
    }
    const wchar_t* value = _wgetenv(L"APPDATA");
    return value ? fs::path(value) : fs::path();
}

} // namespace

fs::path executableFolder()
{
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            std::error_code ec;
            return fs::current_path(ec);
        }
        if (length < name.size())
            return fs::path(std::wstring(name.data(), length)).parent_path();
        name.resize(name.size() * 2);
    }
}

FileLocations FileLocations::besideProgram(const fs::path& programFolder)
{
    return {programFolder, programFolder / "kestx.ini", programFolder / "kestrel.csv", programFolder,
            programFolder / "Kestrel.pdf", programFolder / "kestrel.htm"};
}

FileLocations FileLocations::forProgram(const fs::path& programFolder,
                                        const std::function<const char*(const char*)>& environment)
{
    FileLocations where = besideProgram(programFolder);
    if (!folderWriteProblem(programFolder))
        return where;
    const fs::path appData = applicationData(environment);
    // Without the variable there is no better place than beside the program; writing
    // there fails and says why.
    if (appData.empty() || !appData.is_absolute())
        return where;
    const fs::path own = appData / "Kestrel";
    where.settingsFile = own / "kestx.ini";
    where.resultsFile = own / "kestrel.csv";
    where.noticeFolder = own;
    return where;
}

void createFolderOf(const fs::path& file)
{
    // The folder inherits who may use it from the folder it is made in, as the user's
    // own application data folder gives it.
    std::error_code ec;
    if (!file.parent_path().empty())
        fs::create_directories(file.parent_path(), ec);
}

} // namespace kestrel
