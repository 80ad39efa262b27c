// The settings file "kestx.ini" beside the program: the two phase fields and the folder
// the user last chose files from.
#include "settings/settings.h"

#include "core/failure.h"
#include "core/numbers.h"

#include <system_error>

namespace kestrel {

namespace {

constexpr const char* missing = "ERROR";

std::filesystem::path settingsPath(const Workspace& ws) { return ws.programFolder / settingsFileName; }

} // namespace

void readIniFile(Workspace& ws)
{
    try {
        const auto path = settingsPath(ws);
        // "ERROR" is the read default, so a stored "ERROR" reads as missing; the same
        // word in another case is an ordinary value.
        const std::string phase1 = readProfileString(path, settingsSection, "1x1phase", missing);
        if (phase1 != missing)
            ws.window.edit1 = phase1;
        const std::string phase2 = readProfileString(path, settingsSection, "2x2phase", missing);
        if (phase2 != missing)
            ws.window.edit2 = phase2;
        const std::string folder = readProfileString(path, settingsSection, "lastFolder", missing);
        if (folder != missing) {
            // A folder deleted since the last close is no failure: the program folder
            // stands in for it.
            std::error_code ec;
            if (!folder.empty() && std::filesystem::is_directory(folder, ec))
                std::filesystem::current_path(folder);
            else
                std::filesystem::current_path(ws.programFolder);
        }
    } catch (const std::exception& e) {
        ws.host.errorBox(failureMessage(e) + inFunction("readIniFile"));
    }
}

void updateIniFile(Workspace& ws)
{
    try {
        const auto path = settingsPath(ws);
        writeProfileString(path, settingsSection, "1x1phase", std::string(trimBlanks(ws.window.edit1)));
        writeProfileString(path, settingsSection, "2x2phase", std::string(trimBlanks(ws.window.edit2)));
        writeProfileString(path, settingsSection, "lastFolder", std::filesystem::current_path().string());
    } catch (const std::exception& e) {
        ws.host.errorBox(failureMessage(e) + inFunction("updateIniFile"));
    }
}

} // namespace kestrel
