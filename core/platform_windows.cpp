#include "core/platform.h"

#include "core/failure.h"
#include "core/platform_windows.h"
#include "core/standard_descriptors.h"
#include "core/whole_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string_view>
#include <vector>
#include <windows.h>

namespace kestrel {
namespace windows {

std::string reasonFor(unsigned long error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return std::strerror(ENOENT);
    case ERROR_ACCESS_DENIED:
        return std::strerror(EACCES);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return std::strerror(ENOSPC);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return std::strerror(EEXIST);
    case ERROR_DIRECTORY:
        return std::strerror(ENOTDIR);
    default:
        break;
    }
    // English where the system has it, as the C library's texts are; else the user's
    // language.
    wchar_t* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD length = 0;
    for (const DWORD language : {DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, DWORD{0}}) {
        length = FormatMessageW(flags, nullptr, error, language, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        if (length != 0)
            break;
    }
    if (length == 0)
        return "system error " + std::to_string(error);
    std::wstring_view wide(text, length);
    while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ' || wide.back() == L'.'))
        wide.remove_suffix(1);
    const std::string reason = std::filesystem::path(wide).string();
    LocalFree(text);
    return reason;
}

std::string reasonFor(unsigned long error, const std::filesystem::path& path)
{
    if (error == ERROR_PATH_NOT_FOUND)
        for (std::filesystem::path p = path.parent_path(); !p.empty() && p != p.parent_path(); p = p.parent_path()) {
            const DWORD attributes = GetFileAttributesW(p.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES)
                continue;
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return std::strerror(ENOTDIR);
            break;
        }
    return reasonFor(error);
}

std::optional<FileFacts> factsOf(const std::filesystem::path& path, unsigned long& error)
{
    // No access asked for: the file is only looked at, whoever holds it open. Backup
    // semantics let a folder be opened too, so that it can be named as one.
    const HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return std::nullopt;
    }
    FileFacts facts;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool onDisk = GetFileType(h) == FILE_TYPE_DISK;
    if (onDisk && GetFileInformationByHandle(h, &info)) {
        facts.attributes = info.dwFileAttributes;
        facts.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.regular = !facts.folder;
        facts.readOnly = facts.regular && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    }
    facts.finalPath = path;
    std::vector<wchar_t> name(MAX_PATH);
    DWORD length = 0;
    while (onDisk && (length = GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), 0)) >= name.size())
        name.resize(length + 1);
    CloseHandle(h);
    if (length == 0)
        return facts;
    // The long form "\\?\C:\..." only where a name is too long for the short one.
    std::wstring_view found(name.data(), length);
    if (found.size() < MAX_PATH) {
        if (found.starts_with(L"\\\\?\\UNC\\"))
            facts.finalPath = L"\\\\" + std::wstring(found.substr(8));
        else if (found.starts_with(L"\\\\?\\"))
            facts.finalPath = found.substr(4);
        else
            facts.finalPath = found;
    } else {
        facts.finalPath = found;
    }
    return facts;
}

} // namespace windows

namespace {

using windows::reasonFor;

/// The descriptor of an opened handle: the C runtime takes it over, and closing the
/// descriptor closes the handle.
int descriptorOf(HANDLE h, int flags, const std::filesystem::path& file,
                 std::string (*message)(const std::filesystem::path&, const std::string&))
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        const int error = errno;
        CloseHandle(h);
        throw Failure(message(file, std::strerror(error)));
    }
    return fd;
}

/// Refuses what is not a regular file once it is open: a folder, a device, a pipe.
void requireRegular(HANDLE h, const std::filesystem::path& file,
                    std::string (*message)(const std::filesystem::path&, const std::string&))
{
    BY_HANDLE_FILE_INFORMATION info{};
    std::string reason;
    if (GetFileType(h) != FILE_TYPE_DISK)
        reason = "not a regular file";
    else if (!GetFileInformationByHandle(h, &info))
        reason = reasonFor(GetLastError());
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        reason = std::strerror(EISDIR);
    if (reason.empty())
        return;
    CloseHandle(h);
    throw Failure(message(file, reason));
}

/// The reason an open failed: a folder is named as one, which the system reports as a
/// refused access.
std::string openFailure(const std::filesystem::path& file, DWORD error)
{
    if (error == ERROR_ACCESS_DENIED) {
        const DWORD attributes = GetFileAttributesW(file.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return std::strerror(EISDIR);
    }
    return reasonFor(error, file);
}

// A file being read may be renamed over or deleted meanwhile, as on Linux: a run that
// overwrites its input replaces the file while the input is still open.
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

int openForReading(const std::filesystem::path& file, IfMissing missing)
{
    const HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (missing == IfMissing::giveNothing && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
            return -1;
        throw Failure(cannotRead(file, openFailure(file, error)));
    }
    requireRegular(h, file, cannotRead);
    return descriptorOf(h, _O_RDONLY, file, cannotRead);
}

std::uint64_t bytesAfterPosition(int fd)
{
    const long long position = _lseeki64(fd, 0, SEEK_CUR);
    const long long size = _filelengthi64(fd);
    if (position < 0 || size < position)
        return 0;
    return static_cast<std::uint64_t>(size - position);
}

std::ptrdiff_t readSome(int fd, void* buffer, std::size_t size)
{
    return _read(fd, buffer, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

int closeFile(int fd) noexcept { return _close(fd) == 0 ? 0 : errno; }

std::optional<std::string> folderWriteProblem(const std::filesystem::path& folder)
{
    // Making a file is the one test the system answers truly: the folder's access rules
    // and attributes say little on their own. The probe is deleted as it is closed.
    const std::filesystem::path probe = folder / ".kestrel-probe";
    const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return std::nullopt;
    }
    const DWORD error = GetLastError();
    // A probe left by a program that was killed is no answer; the folder is writable
    // when it may be replaced.
    if (error == ERROR_FILE_EXISTS && DeleteFileW(probe.c_str()))
        return folderWriteProblem(folder);
    return reasonFor(error);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> fileIdentity(const std::filesystem::path& path)
{
    const HANDLE h = CreateFileW(path.c_str(), 0, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!known)
        return std::nullopt;
    return std::pair{std::uint64_t{info.dwVolumeSerialNumber},
                     (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::string pathKey(const std::filesystem::path& path)
{
    std::wstring name = path.wstring();
    if (!name.empty())
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(), static_cast<int>(name.size()), name.data(),
                      static_cast<int>(name.size()), nullptr, nullptr, 0);
    return std::filesystem::path(name).string();
}

void ensureStandardDescriptors() noexcept
{
    // Windows hands a program its standard handles apart from the descriptors and
    // handles of the files it opens, and a closed output is a missing handle, to which
    // every write fails. Only a handle the starting program named but never handed over
    // could later be the value of an image's handle: it is given up, and its descriptor
    // opened on NUL the wrong way round, so that writing to it still fails.
    constexpr DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd <= 2; ++fd) {
        const HANDLE h = GetStdHandle(which[fd]);
        if (h == nullptr || h == INVALID_HANDLE_VALUE)
            continue;
        SetLastError(NO_ERROR);
        if (GetFileType(h) != FILE_TYPE_UNKNOWN || GetLastError() != ERROR_INVALID_HANDLE)
            continue;
        SetStdHandle(which[fd], INVALID_HANDLE_VALUE);
        const int nul = _wopen(L"NUL", (fd == 0 ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
        if (nul >= 0 && nul != fd) {
            _dup2(nul, fd);
            _close(nul);
        }
    }
}

} // namespace kestrel
