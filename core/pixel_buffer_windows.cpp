// Frames' buffers on Windows: whole pages of their own from the system, which hands
// large pages only to programs granted the right to lock memory.
#include "core/pixel_buffer.h"

#include <windows.h>

namespace kestrel {

void* mapHugePages(std::size_t bytes)
{
    void* p = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void unmapHugePages(void* p, std::size_t) noexcept { VirtualFree(p, 0, MEM_RELEASE); }

} // namespace kestrel
