#include "core/pixel_buffer.h"

#include <cstdint>
#include <sys/mman.h>

namespace kestrel {
namespace {

std::size_t wholeHugePages(std::size_t bytes) { return (bytes + hugePageBytes - 1) / hugePageBytes * hugePageBytes; }

} // namespace

void* mapHugePages(std::size_t bytes)
{
    const std::size_t length = wholeHugePages(bytes);
    // One huge page more than needed, so that a boundary lies within; the rest is given back.
    void* mapped = ::mmap(nullptr, length + hugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + hugePageBytes - 1) / hugePageBytes * hugePageBytes;
    if (aligned > start)
        ::munmap(mapped, aligned - start);
    if (const std::size_t after = start + length + hugePageBytes - (aligned + length))
        ::munmap(reinterpret_cast<void*>(aligned + length), after);
    // Only a request: where the kernel gives no huge pages, small ones serve as before.
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void unmapHugePages(void* p, std::size_t bytes) noexcept { ::munmap(p, wholeHugePages(bytes)); }

} // namespace kestrel
