// A raw file handle for block reads, the one kind of handle the workspace holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace kestrel {

class FitsFile {
public:
    FitsFile() = default;
    FitsFile(const FitsFile&) = delete;
    FitsFile& operator=(const FitsFile&) = delete;
    ~FitsFile() { close(); }

    /// Opens for reading; a file that cannot be opened throws a Failure naming it.
    void openRead(const std::filesystem::path& path);
    /// Reads up to `size` bytes, fewer only at the end of the file; a read error throws.
    std::size_t read(void* buffer, std::size_t size);
    /// Bytes from the current position to the end of the file (0 when unknown).
    std::uint64_t remaining() const;
    void close() noexcept;
    bool isOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::filesystem::path path_;
};

} // namespace kestrel
