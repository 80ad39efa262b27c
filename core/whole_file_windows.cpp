// Files written whole or not at all on Windows: the same rules as on Linux with the
// system's own calls. The temporary file lies in the target's folder and is marked to be
// deleted when it is closed, so a process that dies on the way leaves nothing behind,
// as an unnamed file does on Linux. Once it is complete it is flushed to the disk
// (FlushFileBuffers), unmarked, closed and renamed over the target in one step
// (MoveFileExW, replacing and writing through).
#include "core/whole_file.h"

#include "core/failure.h"
#include "core/platform.h"
#include "core/platform_windows.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <random>
#include <set>
#include <windows.h>

namespace kestrel {
namespace {

std::function<int(WriteStep)>& faultHook()
{
    static std::function<int(WriteStep)> hook;
    return hook;
}

int injectedFault(WriteStep step)
{
    const auto& hook = faultHook();
    return hook ? hook(step) : 0;
}

// Temporary files in use (their names in UTF-8), so that a run that is stopped can
// remove them.
std::mutex registryMutex;
std::set<std::string>& registry()
{
    static std::set<std::string> names;
    return names;
}

void remember(const std::string& name)
{
    std::lock_guard lock(registryMutex);
    registry().insert(name);
}

void forget(const std::string& name)
{
    std::lock_guard lock(registryMutex);
    registry().erase(name);
}

std::string utf8(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

/// A short name in `folder` that does not depend on the destination's name, so that a
/// destination name near the system's limit can still be written.
std::filesystem::path temporaryNameIn(const std::filesystem::path& folder)
{
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    std::mt19937 random(seed + counter.fetch_add(1));
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".kestrel-";
    for (int i = 0; i < 8; ++i)
        name += letters[random() % (sizeof letters - 1)];
    return folder / name;
}

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

/// Marks an open file to be deleted when its last handle closes, or takes the mark
/// back.
bool markForDeletion(HANDLE h, bool deleteFile)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = deleteFile;
    return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
}

// What the user may have set on a file besides its contents, and what it keeps when it
// is replaced. The read-only mark never comes along: such a file is not replaced.
constexpr DWORD keptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

} // namespace

std::string cannotWrite(const std::filesystem::path& file, const std::string& reason)
{
    return "Cannot write " + file.string() + ": " + reason;
}

std::string cannotRead(const std::filesystem::path& file, const std::string& reason)
{
    return "Cannot read " + file.string() + ": " + reason;
}

std::filesystem::path linkTarget(const std::filesystem::path& path)
{
    unsigned long error = 0;
    const auto facts = windows::factsOf(path, error);
    return facts ? facts->finalPath : path;
}

WholeFileWriter::WholeFileWriter(const std::filesystem::path& destination) : destination_(destination)
{
    unsigned long error = 0;
    const auto facts = windows::factsOf(destination, error);
    target_ = facts ? facts->finalPath : destination;
    if (facts) {
        if (facts->folder)
            fail(EISDIR);
        if (!facts->regular)
            throw Failure(cannotWrite(destination_, "not a regular file"));
        if (facts->readOnly)
            throw Failure(cannotWrite(destination_, "the file is write-protected"));
    }
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    if (const int e = injectedFault(WriteStep::create))
        fail(e);
    HANDLE h = INVALID_HANDLE_VALUE;
    std::filesystem::path name;
    for (int attempt = 0; h == INVALID_HANDLE_VALUE; ++attempt) {
        name = temporaryNameIn(folder);
        h = CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD e = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (h == INVALID_HANDLE_VALUE && (e != ERROR_FILE_EXISTS || attempt > 100))
            throw Failure(cannotWrite(destination_, windows::reasonFor(e)));
    }
    // Without the mark (a filesystem that has none) the name is removed by discard()
    // or removeTemporaryFiles() all the same.
    markForDeletion(h, true);
    temporaryName_ = utf8(name);
    remember(temporaryName_);
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd_ < 0) {
        const int e = errno;
        CloseHandle(h);
        discard();
        fail(e);
    }
}

WholeFileWriter::~WholeFileWriter()
{
    if (!committed_)
        discard();
}

void WholeFileWriter::fail(int error) const { throw Failure(cannotWrite(destination_, std::strerror(error))); }

void WholeFileWriter::discard() noexcept
{
    if (fd_ >= 0)
        _close(fd_);
    fd_ = -1;
    if (!temporaryName_.empty()) {
        DeleteFileW(pathFromUtf8(temporaryName_).c_str());
        forget(temporaryName_);
        temporaryName_.clear();
    }
}

void WholeFileWriter::write(const void* data, std::size_t size)
{
    if (fd_ < 0)
        fail(EBADF);
    const auto* p = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        if (const int e = injectedFault(WriteStep::write))
            fail(e);
        DWORD put = 0;
        const DWORD part = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
        if (!WriteFile(handleOf(fd_), p, part, &put, nullptr))
            throw Failure(cannotWrite(destination_, windows::reasonFor(GetLastError())));
        p += put;
        left -= put;
    }
    written_ += size;
}

void WholeFileWriter::commit()
{
    if (fd_ < 0 || committed_)
        fail(EBADF);
    const HANDLE h = handleOf(fd_);
    unsigned long error = 0;
    const auto facts = windows::factsOf(target_, error);
    if (facts && (facts->attributes & keptAttributes)) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = (facts->attributes & keptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        if (!SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic))
            throw Failure(cannotWrite(destination_, windows::reasonFor(GetLastError())));
    }
    if (const int e = injectedFault(WriteStep::sync))
        fail(e);
    if (!FlushFileBuffers(h))
        throw Failure(cannotWrite(destination_, windows::reasonFor(GetLastError())));
    if (const int e = injectedFault(WriteStep::rename))
        fail(e);
    // Checked again just before the rename: a file made read-only since the start is
    // still refused. Windows refuses to replace it anyway; Wine and some network shares
    // would not.
    if (facts && facts->readOnly)
        throw Failure(cannotWrite(destination_, "the file is write-protected"));
    if (!markForDeletion(h, false))
        throw Failure(cannotWrite(destination_, windows::reasonFor(GetLastError())));
    const int fd = fd_;
    fd_ = -1;
    if (_close(fd) != 0)
        fail(errno);
    const std::filesystem::path temporary = pathFromUtf8(temporaryName_);
    if (!MoveFileExW(temporary.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw Failure(cannotWrite(destination_, windows::reasonFor(GetLastError())));
    forget(temporaryName_);
    temporaryName_.clear();
    committed_ = true;
}

bool isWriteProtected(const std::filesystem::path& path)
{
    unsigned long error = 0;
    const auto facts = windows::factsOf(path, error);
    return facts && facts->readOnly;
}

void writeWholeFile(const std::filesystem::path& destination, std::string_view contents)
{
    WholeFileWriter file(destination);
    file.write(contents.data(), contents.size());
    file.commit();
}

std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::size_t limit)
{
    const int fd = openForReading(file, IfMissing::giveNothing);
    if (fd < 0)
        return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { closeFile(fd); }
    } closer{fd};
    const std::string tooLarge = "larger than " + std::to_string(limit) + " bytes, more than such a file ever holds";
    if (bytesAfterPosition(fd) > limit)
        throw Failure(cannotRead(file, tooLarge));
    std::string contents;
    char buffer[65536];
    while (const std::size_t got = readUpTo(fd, buffer, sizeof buffer, file)) {
        contents.append(buffer, got);
        // A file that grows while it is read is held to the same bound.
        if (contents.size() > limit)
            throw Failure(cannotRead(file, tooLarge));
    }
    return contents;
}

std::size_t readUpTo(int fd, void* buffer, std::size_t size, const std::filesystem::path& file)
{
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const unsigned part = static_cast<unsigned>(std::min<std::size_t>(size - done, INT_MAX));
        const int n = _read(fd, out + done, part);
        if (n < 0)
            throw Failure(cannotRead(file, std::strerror(errno)));
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void removeTemporaryFiles() noexcept
{
    std::lock_guard lock(registryMutex);
    for (const std::string& name : registry())
        DeleteFileW(pathFromUtf8(name).c_str());
    registry().clear();
}

void setWriteFaultHook(std::function<int(WriteStep)> hook) { faultHook() = std::move(hook); }

} // namespace kestrel
