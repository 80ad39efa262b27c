// Frames' buffers on Windows: pages of their own from the system, on a 2 MB boundary as
// on Linux. Large pages themselves the system gives only to programs granted the right
// to lock memory, which kestrel-cli does not ask for.
#include "core/pixel_buffer.h"

#include <cstdint>
#include <windows.h>

namespace kestrel {

void* mapHugePages(std::size_t bytes)
{
    // The system cannot give back part of a reservation: a boundary is found in one a
    // huge page larger, which is then given back and taken again from the boundary on.
    // Another thread may take the space meanwhile; then the next attempt finds another.
    for (int attempt = 0; attempt < 16; ++attempt) {
        void* probe = VirtualAlloc(nullptr, bytes + hugePageBytes, MEM_RESERVE, PAGE_NOACCESS);
        if (!probe)
            throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(probe);
        const std::uintptr_t aligned = (start + hugePageBytes - 1) / hugePageBytes * hugePageBytes;
        VirtualFree(probe, 0, MEM_RELEASE);
        if (void* p = VirtualAlloc(reinterpret_cast<void*>(aligned), bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
            return p;
    }
    void* p = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void unmapHugePages(void* p, std::size_t) noexcept { VirtualFree(p, 0, MEM_RELEASE); }

} // namespace kestrel
