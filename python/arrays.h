// NumPy arrays handed to the module, checked and copied into a frame's buffer, and the
// corrected samples copied out again. Arrays come as Astropy hands them over: big-endian
// samples, views with any strides, read-only. Only 32-bit floats and 16-bit unsigned
// integers are taken; nothing is converted, so no sample is ever rounded.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kestrel::python {

namespace py = pybind11;

enum class SampleKind { float32, uint16 };

/// Where the samples of a checked 2-D array lie, for copying them without the GIL: the
/// array itself is kept alive by `array`.
struct ArraySamples {
    py::array array;
    const char* base = nullptr;
    std::int32_t rows = 0;
    std::int32_t columns = 0;
    std::ptrdiff_t rowStride = 0;    // bytes
    std::ptrdiff_t columnStride = 0; // bytes
    bool swapped = false;            // big-endian on this machine (or little on a big one)

    std::size_t count() const { return static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns); }
};

/// The name of an object's type, as Python says it ("NoneType", "list").
std::string typeName(py::handle object);

/// Checks that `data` (the argument called `name`) is a 2-D NumPy array of `kind`, in
/// either byte order. TypeError for anything else, a wrong dtype included; ValueError for
/// a wrong number of dimensions or an image too large for Kestrel's sizes.
ArraySamples checkedArray(py::handle data, SampleKind kind, const char* name);

/// Checks that `out` can take the corrected samples of `data`: a writeable float32 array
/// (either byte order, any strides) of the same shape.
ArraySamples checkedOutput(py::handle out, const ArraySamples& data);

/// Copies the samples row by row into `to` (count() of them), in this machine's byte
/// order. Needs no GIL.
void copySamples(const ArraySamples& from, float* to);
void copySamples(const ArraySamples& from, std::uint16_t* to);

/// Copies `count()` samples from `from` into the array, in its byte order. Needs no GIL.
void storeSamples(const float* from, const ArraySamples& to);

/// A new C-ordered array of rows x columns over the samples of `buffer` (from data()),
/// which it takes over and frees when it dies.
template <class T, class Buffer>
py::array_t<T> arrayOwning(std::unique_ptr<Buffer> buffer, std::int32_t rows, std::int32_t columns)
{
    const T* samples = buffer->data();
    py::capsule owner(buffer.get(), [](void* p) { delete static_cast<Buffer*>(p); });
    buffer.release();
    return py::array_t<T>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(columns)}, samples, owner);
}

} // namespace kestrel::python
