// The settings file "kestx.ini" beside the program: the two phase fields and the folder
// the user last chose files from.
#include "settings/settings.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/platform.h"
#include "core/program_folder.h"
#include "core/report.h"

#include <system_error>
#include <utility>

namespace kestrel {

namespace {

constexpr const char* missing = "ERROR";

} // namespace

std::optional<std::string> storedPhase(const std::filesystem::path& settingsFile, bool binned)
{
    // "ERROR" is the read default, so a stored "ERROR" reads as missing; the same word
    // in another case is an ordinary value.
    std::string value = readProfileString(settingsFile, settingsSection, phaseKey(binned), missing);
    if (value == missing)
        return std::nullopt;
    return value;
}

void readIniFile(Host& host, const std::filesystem::path& settingsFile, const std::filesystem::path& programFolder,
                 std::string& phase1x1, std::string& phase2x2)
{
    reportFailures(host, inFunction("readIniFile"), [&] {
        if (auto phase = storedPhase(settingsFile, false))
            phase1x1 = std::move(*phase);
        if (auto phase = storedPhase(settingsFile, true))
            phase2x2 = std::move(*phase);
        const std::string folder = readProfileString(settingsFile, settingsSection, "lastFolder", missing);
        if (folder != missing) {
            // A folder deleted since the last close is no failure: the program folder
            // stands in for it. The folder is kept as UTF-8 text, as path::string()
            // gives it on every system.
            std::error_code ec;
            if (!folder.empty() && std::filesystem::is_directory(pathFromUtf8(folder), ec))
                std::filesystem::current_path(pathFromUtf8(folder));
            else
                std::filesystem::current_path(programFolder);
        }
    });
}

void updateIniFile(Host& host, const std::filesystem::path& settingsFile, const std::string& phase1x1,
                   const std::string& phase2x2)
{
    reportFailures(host, inFunction("updateIniFile"), [&] {
        createFolderOf(settingsFile);
        std::vector<std::pair<std::string, std::string>> values{{phase1x1Key, std::string(trimBlanks(phase1x1))},
                                                                {phase2x2Key, std::string(trimBlanks(phase2x2))}};
        // A working folder deleted meanwhile (Windows forbids that, Linux does not) has no
        // path: the folder stored before stays, as the next start would replace it anyway.
        std::error_code ec;
        const std::filesystem::path folder = std::filesystem::current_path(ec);
        if (!ec)
            values.emplace_back("lastFolder", folder.string());
        writeProfileStrings(settingsFile, settingsSection, values);
    });
}

} // namespace kestrel
