// The few calls to the operating system that reading images and keeping the results
// file make, one implementation per system (platform_posix.cpp, platform_windows.cpp).
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

/// A file opened for appending: every write goes to its end.
struct AppendingFile {
    int fd = -1;
    bool created = false;   // the file was made by this open
    std::uint64_t size = 0; // its size when opened
};

/// Opens `file` for appending (and reading back), creating it when it is missing, with
/// the same rules as openForReading. Throws a Failure with cannotWrite's text.
AppendingFile openForAppending(const std::filesystem::path& file);

/// Bytes from the descriptor's position to the end of its file; 0 when unknown.
std::uint64_t bytesAfterPosition(int fd);

/// The byte at `offset`, read without moving the descriptor's position; nothing when
/// it cannot be read.
std::optional<char> byteAt(int fd, std::uint64_t offset);

/// Writes all of `size` bytes (an interrupted write is taken up again); 0, or the errno
/// of the write that failed.
int writeAll(int fd, const void* data, std::size_t size);

/// Closes a descriptor; 0, or the errno of a failed close (a write that reached the
/// disk late can fail there).
int closeFile(int fd) noexcept;

/// The file a path names, whatever names it has (links, another spelling, a second
/// hard link): two paths are one file when their identities are equal. Nothing for a
/// path that names no file.
std::optional<std::pair<std::uint64_t, std::uint64_t>> fileIdentity(const std::filesystem::path& path);

/// The path of a text the program keeps or shows as UTF-8 (a folder in the settings
/// file, a name given as text). A std::filesystem::path built from a narrow string
/// takes it in the system's code page on Windows, which mangles every name outside it.
inline std::filesystem::path pathFromUtf8(std::string_view text)
{
    return std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size());
}

} // namespace kestrel
