// Memory for a frame's samples. A 4008 x 2672 float frame takes 43 MB, and the first
// touch of every 4 KB page of fresh memory costs the kernel a fault: over 10,000 of them
// per frame, which takes longer than reading the frame from the page cache. Large
// buffers are therefore mapped on 2 MB boundaries and offered to the kernel for huge
// pages, which need one fault per 2 MB; small ones come from the usual heap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace kestrel {

/// Buffers of at least this many bytes are mapped on their own, in huge pages where the
/// kernel has them.
inline constexpr std::size_t hugePageBytes = std::size_t{2} << 20;
inline constexpr std::size_t mappedBufferBytes = hugePageBytes / 2;

/// Maps `bytes` (at least mappedBufferBytes) on a huge-page boundary; throws
/// std::bad_alloc when the system has no memory to give.
void* mapHugePages(std::size_t bytes);
/// Returns memory of mapHugePages with the same size.
void unmapHugePages(void* p, std::size_t bytes) noexcept;

/// A standard allocator that maps large buffers in huge pages. Elements built without a
/// value are left unset, as in a plain array: a frame's buffer is always overwritten
/// whole, and setting it first would touch every page once more.
template <class T> struct PageAllocator {
    using value_type = T;

    PageAllocator() = default;
    template <class U> PageAllocator(const PageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n)
    {
        if (n > std::size_t(-1) / sizeof(T))
            throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= mappedBufferBytes)
            return static_cast<T*>(mapHugePages(bytes));
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept
    {
        if (n * sizeof(T) >= mappedBufferBytes)
            unmapHugePages(p, n * sizeof(T));
        else
            std::allocator<T>().deallocate(p, n);
    }
    template <class U> void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args> void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U> bool operator==(const PageAllocator<U>&) const noexcept { return true; }
};

/// The samples of one image: a vector in huge pages (see PageAllocator: resize() leaves
/// new samples unset), which also takes, gives and compares with plain vectors.
template <class T> class PixelBuffer : public std::vector<T, PageAllocator<T>> {
    using Base = std::vector<T, PageAllocator<T>>;

public:
    using Base::Base;
    PixelBuffer() = default;
    PixelBuffer(const std::vector<T>& other) : Base(other.begin(), other.end()) {}
    PixelBuffer(std::initializer_list<T> values) : Base(values) {}
    PixelBuffer& operator=(const std::vector<T>& other)
    {
        this->assign(other.begin(), other.end());
        return *this;
    }
    PixelBuffer& operator=(std::initializer_list<T> values)
    {
        this->assign(values);
        return *this;
    }
    operator std::vector<T>() const { return std::vector<T>(this->begin(), this->end()); }

    friend bool operator==(const PixelBuffer& a, const std::vector<T>& b)
    {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }
};

} // namespace kestrel
