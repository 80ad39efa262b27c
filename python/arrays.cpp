#include "python/arrays.h"

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

namespace kestrel::python {
namespace {

// Sample counts are 32-bit, as for an image read from a file.
constexpr std::int64_t maxSamples = std::numeric_limits<std::int32_t>::max();

bool nativeLittleEndian() { return std::endian::native == std::endian::little; }

/// True when samples of this dtype are stored in the other byte order than this machine's.
bool swappedOrder(const py::dtype& dtype)
{
    const std::string order = py::str(dtype.attr("byteorder"));
    return (order == ">" && nativeLittleEndian()) || (order == "<" && !nativeLittleEndian());
}

const char* wantedType(SampleKind kind)
{
    return kind == SampleKind::float32 ? "not a 32-bit floating point image" : "not a 16-bit unsigned image";
}

bool hasKind(const py::dtype& dtype, SampleKind kind)
{
    if (kind == SampleKind::float32)
        return dtype.kind() == 'f' && dtype.itemsize() == 4;
    return dtype.kind() == 'u' && dtype.itemsize() == 2;
}

template <class T> T swappedBytes(T value)
{
    if constexpr (sizeof(T) == 2)
        return static_cast<T>(__builtin_bswap16(value));
    else
        return __builtin_bswap32(value);
}

/// The unsigned word of a sample's size, in which its bytes are swapped.
template <class T> using WordOf = std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint32_t>;

/// Copies the samples of `from` into `to`, in this machine's byte order.
template <class T> void copyInto(const ArraySamples& from, T* to)
{
    using Word = WordOf<T>;
    const auto columns = static_cast<std::size_t>(from.columns);
    for (std::int32_t r = 0; r < from.rows; ++r) {
        const char* row = from.base + static_cast<std::ptrdiff_t>(r) * from.rowStride;
        T* out = to + static_cast<std::size_t>(r) * columns;
        if (!from.swapped && from.columnStride == static_cast<std::ptrdiff_t>(sizeof(T))) {
            std::memcpy(out, row, columns * sizeof(T));
            continue;
        }
        for (std::size_t c = 0; c < columns; ++c) {
            Word w;
            std::memcpy(&w, row + static_cast<std::ptrdiff_t>(c) * from.columnStride, sizeof w);
            out[c] = std::bit_cast<T>(from.swapped ? swappedBytes(w) : w);
        }
    }
}

} // namespace

std::string typeName(py::handle object) { return py::str(py::type::handle_of(object).attr("__name__")); }

ArraySamples checkedArray(py::handle data, SampleKind kind, const char* name)
{
    const std::string what = kind == SampleKind::float32 ? "32-bit floats (float32)" : "16-bit unsigned integers (uint16)";
    if (data.is_none())
        throw py::type_error(std::string(name) + ": expected a NumPy array of " + what + ", got None");
    if (!py::isinstance<py::array>(data))
        throw py::type_error(std::string(name) + ": expected a NumPy array of " + what + ", got " + typeName(data));
    // A mask would be ignored, and the masked samples measured and corrected as any other.
    if (py::isinstance(data, py::module_::import("numpy.ma").attr("MaskedArray")))
        throw py::type_error(std::string(name) +
                             ": a masked array, whose mask Kestrel would ignore; pass its samples (.data) or "
                             "fill the masked ones first (.filled())");
    ArraySamples a;
    a.array = py::reinterpret_borrow<py::array>(data);
    const py::dtype dtype = a.array.dtype();
    if (!hasKind(dtype, kind)) {
        const std::string accepted = kind == SampleKind::float32 ? "float32 samples ('<f4' or '>f4')"
                                                                 : "uint16 samples ('<u2' or '>u2')";
        throw py::type_error(std::string(name) + ": " + wantedType(kind) + ": its dtype is " +
                             std::string(py::str(static_cast<py::handle>(dtype))) + "; Kestrel takes " + accepted +
                             " and converts none, so that no sample is rounded");
    }
    if (a.array.ndim() != 2)
        throw py::value_error(std::string(name) + ": the image must have 2 dimensions (rows, columns), not " +
                              std::to_string(a.array.ndim()));
    const py::ssize_t rows = a.array.shape(0);
    const py::ssize_t columns = a.array.shape(1);
    if (rows > maxSamples || columns > maxSamples || (columns > 0 && rows > maxSamples / columns))
        throw py::value_error(std::string(name) + ": " + std::to_string(rows) + " x " + std::to_string(columns) +
                              " samples are more than an image of Kestrel holds (" + std::to_string(maxSamples) +
                              ")");
    a.rows = static_cast<std::int32_t>(rows);
    a.columns = static_cast<std::int32_t>(columns);
    a.rowStride = a.array.strides(0);
    a.columnStride = a.array.strides(1);
    a.base = static_cast<const char*>(a.array.data());
    a.swapped = swappedOrder(dtype);
    return a;
}

ArraySamples checkedOutput(py::handle out, const ArraySamples& data)
{
    ArraySamples o = checkedArray(out, SampleKind::float32, "out");
    if (o.rows != data.rows || o.columns != data.columns)
        throw py::value_error("out: its shape (" + std::to_string(o.rows) + ", " + std::to_string(o.columns) +
                              ") is not that of the image (" + std::to_string(data.rows) + ", " +
                              std::to_string(data.columns) + ")");
    if (!o.array.writeable())
        throw py::value_error("out: the array is read-only");
    return o;
}

void copySamples(const ArraySamples& from, float* to) { copyInto(from, to); }

void copySamples(const ArraySamples& from, std::uint16_t* to) { copyInto(from, to); }

void storeSamples(const float* from, const ArraySamples& to)
{
    const auto columns = static_cast<std::size_t>(to.columns);
    // The array is writeable (checkedOutput): its base was only held as const.
    char* base = const_cast<char*>(to.base);
    for (std::int32_t r = 0; r < to.rows; ++r) {
        char* row = base + static_cast<std::ptrdiff_t>(r) * to.rowStride;
        const float* in = from + static_cast<std::size_t>(r) * columns;
        if (!to.swapped && to.columnStride == static_cast<std::ptrdiff_t>(sizeof(float))) {
            std::memcpy(row, in, columns * sizeof(float));
            continue;
        }
        for (std::size_t c = 0; c < columns; ++c) {
            std::uint32_t w = std::bit_cast<std::uint32_t>(in[c]);
            if (to.swapped)
                w = __builtin_bswap32(w);
            std::memcpy(row + static_cast<std::ptrdiff_t>(c) * to.columnStride, &w, sizeof w);
        }
    }
}

} // namespace kestrel::python
