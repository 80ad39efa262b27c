// The few calls to the operating system that reading images and our own small files
// make, one implementation per system (platform_posix.cpp, platform_windows.cpp).
// Files are plain C runtime descriptors on both, read with readUpTo (core/whole_file).
// On Windows they are opened by their wide names, in binary (a CR LF stays two bytes and
// no line gains a CR), and shared so that a file being read may still be replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrel {

/// What openForReading does when the file does not exist.
enum class IfMissing { fail, giveNothing };

/// Opens `file` for reading, without waiting on a named pipe and without handing the
/// descriptor to child processes. A folder, a device or a pipe is refused. Throws a
/// Failure with cannotRead's text; for a missing file (or folder on its way) gives -1
/// instead when asked to.
int openForReading(const std::filesystem::path& file, IfMissing missing = IfMissing::fail);

/// Bytes from the descriptor's position to the end of its file; 0 when unknown.
std::uint64_t bytesAfterPosition(int fd);

/// Reads at most `size` bytes at the descriptor's position (an interrupted read is taken
/// up again): the number read, 0 at the end of the file, or -1 with errno set.
std::ptrdiff_t readSome(int fd, void* buffer, std::size_t size);

/// Closes a descriptor; 0, or the errno of a failed close.
int closeFile(int fd) noexcept;

/// Nothing when this program may make a file in `folder`; else the reason, as
/// "Cannot write" goes on after the folder's name.
std::optional<std::string> folderWriteProblem(const std::filesystem::path& folder);

/// The file a path names, whatever names it has (links, another spelling, a second
/// hard link): two paths are one file when their identities are equal. Nothing for a
/// path that names no file.
std::optional<std::pair<std::uint64_t, std::uint64_t>> fileIdentity(const std::filesystem::path& path);

/// A key under which two spellings of one path compare equal as the system compares
/// file names: the path itself on Linux; on Windows, where names that differ only in
/// case name one file, the path in capitals.
std::string pathKey(const std::filesystem::path& path);

/// The path of a text the program keeps or shows as UTF-8 (a folder in the settings
/// file, a name given as text). A std::filesystem::path built from a narrow string
/// takes it in the system's code page on Windows, which mangles every name outside it.
inline std::filesystem::path pathFromUtf8(std::string_view text)
{
    return std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size());
}

} // namespace kestrel
