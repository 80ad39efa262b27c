// The parts of core/whole_file.h alike on every system: messages, the table of calls in
// use, the registry of temporary files, and the reads of our own small files over the
// descriptors of core/platform.h.
#include "core/whole_file.h"

#include "core/failure.h"
#include "core/platform.h"
#include "core/whole_file_common.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <system_error>
#include <utility>

namespace kestrel {
namespace {

FileSystemCalls& table()
{
    static FileSystemCalls calls = realFileSystemCalls();
    return calls;
}

// Named temporary files in use, so that a run that is stopped can remove them.
std::mutex registryMutex;
std::set<std::filesystem::path>& registry()
{
    static std::set<std::filesystem::path> names;
    return names;
}

} // namespace

namespace detail {

std::filesystem::path temporaryNameIn(const std::filesystem::path& folder)
{
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    std::mt19937 random(seed + counter.fetch_add(1));
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    // Asked each time: a process forked from this one has an id of its own.
    std::string name = temporaryPrefix();
    for (int i = 0; i < 8; ++i)
        name += letters[random() % (sizeof letters - 1)];
    return folder / name;
}

std::filesystem::path lockFileFor(const std::filesystem::path& file)
{
    return file.parent_path() / ("." + file.filename().string() + ".lock");
}

void rememberTemporary(const std::filesystem::path& file)
{
    std::lock_guard lock(registryMutex);
    registry().insert(file);
}

void forgetTemporary(const std::filesystem::path& file)
{
    std::lock_guard lock(registryMutex);
    registry().erase(file);
}

} // namespace detail

std::string cannotWrite(const std::filesystem::path& file, const std::string& reason)
{
    return "Cannot write " + file.string() + ": " + reason;
}

std::string cannotRead(const std::filesystem::path& file, const std::string& reason)
{
    return "Cannot read " + file.string() + ": " + reason;
}

void writeWholeFile(const std::filesystem::path& destination, std::string_view contents)
{
    WholeFileWriter file(destination);
    file.write(contents.data(), contents.size());
    file.commit();
}

std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::size_t limit)
{
    // Not blocking: a named pipe must not hold the program up until someone writes.
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
        const std::ptrdiff_t n = readSome(fd, out + done, size - done);
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
    for (const std::filesystem::path& name : registry()) {
        std::error_code ec;
        std::filesystem::remove(name, ec);
    }
    registry().clear();
}

const FileSystemCalls& fileSystemCalls() { return table(); }

ScopedFileSystemCalls::ScopedFileSystemCalls(FileSystemCalls calls) : previous_(std::exchange(table(), std::move(calls)))
{
}

ScopedFileSystemCalls::~ScopedFileSystemCalls() { table() = std::move(previous_); }

} // namespace kestrel
