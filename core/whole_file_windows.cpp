// Files written whole or not at all on Windows: the rules of the Linux writer with the
// system's own calls, made through the table of core/whole_file_windows.h. The temporary
// file lies in the target's folder and is marked to be deleted when it is closed, so a
// process that dies on the way leaves nothing behind, as an unnamed file does on Linux.
// Once it is complete it is flushed to the disk (FlushFileBuffers), unmarked, closed and
// renamed over the target in one step (MoveFileExW, replacing and writing through).
#include "core/whole_file.h"

#include "core/failure.h"
#include "core/platform.h"
#include "core/platform_windows.h"
#include "core/whole_file_common.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <mutex>
#include <utility>
#include <windows.h>

namespace kestrel {
namespace {

using windows::reasonFor;

/// Marks an open file to be deleted when its last handle closes, or takes the mark back.
bool markForDeletion(HANDLE h, bool deleteFile)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = deleteFile;
    return fileSystemCalls().setFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
}

/// Writes all `size` bytes through the table; the system's error of a failed write, or 0.
DWORD writeAll(HANDLE h, const void* data, std::size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD put = 0;
        const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!fileSystemCalls().writeFile(h, p, part, &put))
            return GetLastError();
        if (put == 0)
            return ERROR_WRITE_FAULT;
        p += put;
        size -= put;
    }
    return NO_ERROR;
}

// What the user may have set on a file besides its contents, and what it keeps when it
// is replaced. The read-only mark never comes along: such a file is not replaced.
constexpr DWORD keptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Where every Kestrel appending to a results file takes its turn: one byte far beyond
// any end of file, so that the lock keeps other appends waiting but never a reader.
constexpr DWORD lockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD lockOffsetLow = 0xFFFFFFFE;

bool lockForAppending(HANDLE h)
{
    OVERLAPPED at{};
    at.Offset = lockOffsetLow;
    at.OffsetHigh = lockOffsetHigh;
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at);
}

void unlockForAppending(HANDLE h)
{
    OVERLAPPED at{};
    at.Offset = lockOffsetLow;
    at.OffsetHigh = lockOffsetHigh;
    UnlockFileEx(h, 0, 1, 0, &at);
}

/// Sets the length of an open file: the results file's lines taken back.
bool truncateTo(HANDLE h, std::uint64_t length)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return fileSystemCalls().setFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end);
}

/// The reason an open failed: a folder is named as one, which the system reports as a
/// refused access; so is a file with the read-only mark, named as write-protected.
std::string openFailure(const std::filesystem::path& file, DWORD error)
{
    if (error == ERROR_ACCESS_DENIED) {
        const DWORD attributes = GetFileAttributesW(file.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return std::strerror(EISDIR);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            return "the file is write-protected";
    }
    return reasonFor(error, file);
}

} // namespace

namespace detail {

// Marked to be deleted when closed, a temporary file of a process that is gone is gone
// too: the name needs no more than the program's.
std::string temporaryPrefix() { return ".kestrel-"; }

} // namespace detail

std::filesystem::path linkTarget(const std::filesystem::path& path)
{
    unsigned long error = 0;
    const auto facts = windows::factsOf(path, error);
    return facts ? facts->finalPath : path;
}

OpenFolder::OpenFolder(const std::filesystem::path& folder) : folder_(folder), reached_(folder)
{
    // Held open without leave to delete: nobody can rename the folder or put another in
    // its place while the run writes there.
    const HANDLE h = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw Failure(cannotWrite(folder, reasonFor(GetLastError(), folder)));
    handle_ = h;
}

OpenFolder::~OpenFolder()
{
    if (handle_)
        CloseHandle(handle_);
}

WholeFileWriter::WholeFileWriter(const std::filesystem::path& destination) : destination_(destination)
{
    open(destination);
}

WholeFileWriter::WholeFileWriter(const std::filesystem::path& destination, const OpenFolder& folder)
    : destination_(destination)
{
    open(folder.reached() / destination.filename());
}

void WholeFileWriter::open(const std::filesystem::path& path)
{
    unsigned long error = 0;
    const auto facts = windows::factsOf(path, error);
    target_ = facts ? facts->finalPath : path;
    if (facts) {
        if (facts->folder)
            fail(EISDIR);
        if (!facts->regular)
            throw Failure(cannotWrite(destination_, "not a regular file"));
        if (facts->readOnly)
            throw OriginalKept(cannotWrite(destination_, "the file is write-protected"));
    }
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    HANDLE h = INVALID_HANDLE_VALUE;
    std::filesystem::path name;
    for (int attempt = 0; h == INVALID_HANDLE_VALUE; ++attempt) {
        name = detail::temporaryNameIn(folder);
        h = fileSystemCalls().createFile(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL);
        const DWORD e = h == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
        if (h == INVALID_HANDLE_VALUE && (e != ERROR_FILE_EXISTS || attempt > 100))
            throw Failure(cannotWrite(destination_, reasonFor(e, name)));
    }
    handle_ = h;
    temporaryName_ = name;
    detail::rememberTemporary(temporaryName_);
    // Without the mark (a filesystem that has none) the name is removed by discard()
    // or removeTemporaryFiles() all the same.
    markForDeletion(h, true);
}

WholeFileWriter::~WholeFileWriter()
{
    if (!committed_)
        discard();
}

void WholeFileWriter::fail(int error) const { throw Failure(cannotWrite(destination_, std::strerror(error))); }

void WholeFileWriter::discard() noexcept
{
    if (handle_)
        fileSystemCalls().closeHandle(handle_);
    handle_ = nullptr;
    if (!temporaryName_.empty()) {
        DeleteFileW(temporaryName_.c_str());
        detail::forgetTemporary(temporaryName_);
        temporaryName_.clear();
    }
}

void WholeFileWriter::write(const void* data, std::size_t size)
{
    if (!handle_)
        fail(EBADF);
    if (const DWORD error = writeAll(handle_, data, size))
        throw Failure(cannotWrite(destination_, reasonFor(error)));
    written_ += size;
}

void WholeFileWriter::commit()
{
    if (!handle_ || committed_)
        fail(EBADF);
    const FileSystemCalls& calls = fileSystemCalls();
    unsigned long error = 0;
    const auto facts = windows::factsOf(target_, error);
    if (facts && (facts->attributes & keptAttributes)) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = (facts->attributes & keptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        if (!calls.setFileInformationByHandle(handle_, FileBasicInfo, &basic, sizeof basic))
            throw Failure(cannotWrite(destination_, reasonFor(GetLastError())));
    }
    // On the disk before it has the target's name: a crash never leaves a half-written
    // file in place of the original.
    if (!calls.flushFileBuffers(handle_))
        throw Failure(cannotWrite(destination_, reasonFor(GetLastError())));
    // Looked at again just before the rename: a file made read-only meanwhile is still
    // refused. Windows would refuse to replace it anyway; Wine and some network shares
    // would not.
    if (isWriteProtected(target_))
        throw OriginalKept(cannotWrite(destination_, "the file is write-protected"));
    if (!markForDeletion(handle_, false))
        throw Failure(cannotWrite(destination_, reasonFor(GetLastError())));
    const HANDLE h = std::exchange(handle_, nullptr);
    if (!calls.closeHandle(h))
        throw Failure(cannotWrite(destination_, reasonFor(GetLastError())));
    if (!calls.moveFileEx(temporaryName_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw Failure(cannotWrite(destination_, reasonFor(GetLastError())));
    detail::forgetTemporary(temporaryName_);
    temporaryName_.clear();
    committed_ = true;
}

bool isWriteProtected(const std::filesystem::path& path)
{
    unsigned long error = 0;
    const auto facts = windows::factsOf(path, error);
    return facts && facts->readOnly;
}

void appendWhole(const std::filesystem::path& file, std::string_view text, std::string_view header)
{
    const FileSystemCalls& calls = fileSystemCalls();
    // Read back for the last byte, written only at the end, shared with every reader and
    // with other runs appending, which take turns by the lock.
    constexpr DWORD access = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = calls.createFile(file.c_str(), access, share, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
        h = calls.createFile(file.c_str(), access, share, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE)
        throw Failure(cannotWrite(file, openFailure(file, GetLastError())));

    DWORD error = NO_ERROR;
    std::string reason;
    // Another run appending to the same file waits here until this one is done, so that
    // the test for an empty file and the lines after it are one step.
    const bool locked = calls.lockFile(h);
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (!locked || !GetFileInformationByHandle(h, &info) || !GetFileSizeEx(h, &size))
        error = GetLastError();
    else if (GetFileType(h) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        reason = "not a regular file";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        // The mark decides, as for every file Kestrel changes, even where the system
        // would let the write through (Wine).
        reason = "the file is write-protected";
    const auto close = [&] {
        if (locked)
            unlockForAppending(h);
        return calls.closeHandle(h);
    };
    // A results file is never removed, not even one this call created: another run may
    // have appended to it meanwhile and been told its lines are there.
    if (error != NO_ERROR || !reason.empty()) {
        close();
        throw Failure(cannotWrite(file, reason.empty() ? reasonFor(error) : reason));
    }

    const auto before = static_cast<std::uint64_t>(size.QuadPart);
    std::string whole;
    if (before == 0)
        whole += header;
    // A last line without its line end (a file edited by hand) is ended first.
    char last = '\n';
    DWORD got = 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((before - 1) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((before - 1) >> 32);
    if (before > 0 && ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n')
        whole += "\r\n";
    whole += text;
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(before);
    if (!SetFilePointerEx(h, end, nullptr, FILE_BEGIN))
        error = GetLastError();
    if (error == NO_ERROR)
        error = writeAll(h, whole.data(), whole.size());
    if (error == NO_ERROR && !calls.flushFileBuffers(h))
        error = GetLastError();
    const std::string notTakenBack = "; the lines written could not be taken back";
    // Taken back while the lock is held: nobody appends after the lines being removed.
    if (error != NO_ERROR && !truncateTo(h, before)) {
        close();
        throw Failure(cannotWrite(file, reasonFor(error) + notTakenBack));
    }
    if (!close() && error == NO_ERROR) {
        error = GetLastError();
        const HANDLE again = CreateFileW(file.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool takenBack = again != INVALID_HANDLE_VALUE && truncateTo(again, before);
        if (again != INVALID_HANDLE_VALUE)
            CloseHandle(again);
        if (!takenBack)
            throw Failure(cannotWrite(file, reasonFor(error) + notTakenBack));
    }
    if (error == NO_ERROR)
        return;
    throw Failure(cannotWrite(file, reasonFor(error)));
}

void changeWholeFile(const std::filesystem::path& file,
                     const std::function<std::string(const std::optional<std::string>& contents)>& change)
{
    const FileSystemCalls& calls = fileSystemCalls();
    const std::filesystem::path lockFile = detail::lockFileFor(file);
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE h = calls.createFile(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE, share, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_HIDDEN);
    if (h == INVALID_HANDLE_VALUE)
        throw Failure(cannotWrite(file, openFailure(lockFile, GetLastError())));
    struct Closer {
        HANDLE h;
        ~Closer() { fileSystemCalls().closeHandle(h); } // which lets go of the lock
    } closer{h};
    // Another program changing the file waits here until this one has replaced it, and
    // then reads the file as this one left it.
    if (!calls.lockFile(h)) {
        static std::once_flag said;
        const std::string why = reasonFor(GetLastError());
        std::call_once(said, [&] { std::cerr << "kestrel: " << file.string() << " changed without a lock: " << why << "\n"; });
    }
    writeWholeFile(file, change(readSmallFile(file)));
}

FileSystemCalls realFileSystemCalls()
{
    FileSystemCalls calls;
    calls.createFile = [](const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
        return static_cast<void*>(CreateFileW(path, access, share, nullptr, disposition, flags, nullptr));
    };
    calls.writeFile = [](HANDLE h, const void* data, DWORD size, DWORD* written) {
        return WriteFile(h, data, size, written, nullptr) != 0;
    };
    calls.flushFileBuffers = [](HANDLE h) { return FlushFileBuffers(h) != 0; };
    calls.setFileInformationByHandle = [](HANDLE h, int infoClass, void* info, DWORD size) {
        return SetFileInformationByHandle(h, static_cast<FILE_INFO_BY_HANDLE_CLASS>(infoClass), info, size) != 0;
    };
    calls.lockFile = [](HANDLE h) { return lockForAppending(h); };
    calls.closeHandle = [](HANDLE h) { return CloseHandle(h) != 0; };
    calls.moveFileEx = [](const wchar_t* from, const wchar_t* to, DWORD flags) {
        return MoveFileExW(from, to, flags) != 0;
    };
    return calls;
}

} // namespace kestrel
