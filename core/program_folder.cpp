#include "core/program_folder.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#ifndef KESTREL_INSTALL_BINDIR
#define KESTREL_INSTALL_BINDIR "/usr/local/bin"
#endif
#ifndef KESTREL_DOC_FROM_BIN
#define KESTREL_DOC_FROM_BIN "../share/doc/kestrel"
#endif

namespace kestrel {
namespace {

namespace fs = std::filesystem;

bool sameFolder(const fs::path& a, const fs::path& b)
{
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

fs::path homeFolder(const std::function<const char*(const char*)>& environment)
{
    if (const char* home = environment("HOME"); home && *home)
        return home;
    if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir)
        return user->pw_dir;
    return {};
}

/// An XDG base folder: the variable when it holds an absolute path, else the default
/// below the home folder.
fs::path baseFolder(const std::function<const char*(const char*)>& environment, const char* variable,
                    const fs::path& homeDefault)
{
    if (const char* value = environment(variable); value && fs::path(value).is_absolute())
        return value;
    return homeFolder(environment) / homeDefault;
}

} // namespace

fs::path executableFolder()
{
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty())
        return fs::current_path(ec);
    return exe.parent_path();
}

FileLocations FileLocations::besideProgram(const fs::path& programFolder)
{
    return {programFolder, programFolder / "kestx.ini", programFolder / "kestrel.csv", programFolder,
            programFolder / "Kestrel.pdf", programFolder / "kestrel.htm"};
}

FileLocations FileLocations::forProgram(const fs::path& programFolder,
                                        const std::function<const char*(const char*)>& environment)
{
    const auto getenv = environment ? environment : [](const char* name) { return std::getenv(name); };
    const fs::path installedDocs = (programFolder / KESTREL_DOC_FROM_BIN).lexically_normal();
    const fs::path installedManual = installedDocs / "Kestrel.pdf";
    std::error_code ec;
    // Root may write anywhere, so a writable folder alone does not make a portable copy.
    const bool installed = sameFolder(programFolder, KESTREL_INSTALL_BINDIR) || fs::exists(installedManual, ec) ||
                           ::access(programFolder.c_str(), W_OK) != 0;
    FileLocations where = besideProgram(programFolder);
    if (!fs::exists(where.manualFile, ec))
        where.manualFile = installedManual;
    if (!fs::exists(where.webPage, ec))
        where.webPage = installedDocs / "kestrel.htm";
    if (!installed)
        return where;
    where.settingsFile = baseFolder(getenv, "XDG_CONFIG_HOME", ".config") / "kestrel" / "kestx.ini";
    where.resultsFile = baseFolder(getenv, "XDG_DATA_HOME", ".local/share") / "kestrel" / "kestrel.csv";
    where.noticeFolder = baseFolder(getenv, "XDG_CACHE_HOME", ".cache") / "kestrel";
    return where;
}

void createFolderOf(const fs::path& file)
{
    const fs::path folder = file.parent_path();
    std::error_code ec;
    if (folder.empty() || fs::is_directory(folder, ec))
        return;
    fs::path partial;
    for (const fs::path& part : folder) {
        partial /= part;
        ::mkdir(partial.c_str(), 0700);
    }
}

} // namespace kestrel
