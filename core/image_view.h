// A view of one image's samples: row-major, the sample of column `col` and row `row` at
// index col + row * width. Kernels take views, so they can be called on any buffer.
#pragma once

#include "core/failure.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

template <class T> struct ImageView {
    std::span<T> pixels;
    std::int32_t width = 0;
    std::int32_t height = 0;

    std::size_t sampleCount() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
    T* row(std::int32_t r) const { return pixels.data() + static_cast<std::size_t>(r) * static_cast<std::size_t>(width); }
};

/// A view of the first width x height samples of `pixels`. Sizes come from file headers,
/// so they are checked: a negative size, or more samples than the buffer holds, is a
/// range failure.
template <class T> ImageView<T> imageView(std::span<T> pixels, std::int32_t width, std::int32_t height)
{
    if (width < 0 || height < 0 ||
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > pixels.size())
        failRange();
    return {pixels.first(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)), width, height};
}

} // namespace kestrel
