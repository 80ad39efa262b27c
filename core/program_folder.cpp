#include "core/program_folder.h"

#include <system_error>

namespace kestrel {

std::filesystem::path executableFolder()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty())
        return std::filesystem::current_path(ec);
    return exe.parent_path();
}

FileLocations FileLocations::besideProgram(const std::filesystem::path& programFolder)
{
    return {programFolder, programFolder / "kestx.ini", programFolder / "kestrel.csv", programFolder,
            programFolder / "Kestrel.pdf"};
}

} // namespace kestrel
