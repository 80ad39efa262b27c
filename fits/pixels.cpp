#include "fits/workspace.h"

#include "core/arith.h"
#include "core/report.h"
#include "fits/checksum.h"
#include "fits/samples.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kestrel {
namespace {

constexpr std::size_t blockBytes = 500000;
// Sample counts are 32-bit: a larger data area is not an image Kestrel can hold.
constexpr std::uint64_t maxSamples = std::numeric_limits<std::int32_t>::max();

std::uint32_t bigEndian32(const unsigned char* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// Big-endian samples into floats, bit for bit: eight at a time with one byte shuffle
// where the processor has AVX2, four at a time with shifts on the x86-64 baseline.
#if defined(__x86_64__)
[[gnu::target("avx2")]] void storeFloatsAvx2(const unsigned char* p, std::size_t count, float* out)
{
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7, 6, 5,
                                          4, 11, 10, 9, 8, 15, 14, 13, 12);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4 * i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_shuffle_epi8(v, swap));
    }
    for (; i < count; ++i)
        out[i] = std::bit_cast<float>(bigEndian32(p + 4 * i));
}
#endif

void storeFloatsPortable(const unsigned char* p, std::size_t count, float* out)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= count; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * i));
        const __m128i bytesSwapped = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        const __m128i swapped = _mm_shufflehi_epi16(_mm_shufflelo_epi16(bytesSwapped, 0xB1), 0xB1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), swapped);
    }
#endif
    for (; i < count; ++i)
        out[i] = std::bit_cast<float>(bigEndian32(p + 4 * i));
}

// Reads the data area block by block, handing each block to `store`. Closes the file
// on every path; a failure is shown with the loader's `line` in a box of `kind` and
// makes the result false.
// At most `sampleLimit` samples are read; with `trailing`, every byte after them is
// kept there as it is in the file.
template <class Store>
bool loadBlocks(Workspace& ws, std::size_t sampleBytes, std::size_t& samples, Store store, const std::string& line,
                BoxKind kind, std::uint64_t sampleLimit = maxSamples, std::vector<unsigned char>* trailing = nullptr)
{
    const bool result = reportFailures(
        ws.host, line,
        [&] {
            // One block per thread, kept from file to file: fresh memory for every file
            // would fault in its pages every time.
            thread_local const std::unique_ptr<unsigned char[]> block(new unsigned char[blockBytes]);
            for (;;) {
                const std::uint64_t left = (sampleLimit - samples) * sampleBytes;
                const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(blockBytes, left));
                if (wanted == 0)
                    break;
                const std::size_t n = ws.fitsFile.read(block.get(), wanted);
                if (samples + n / sampleBytes > maxSamples)
                    failRange();
                store(block.get(), n);
                samples += n / sampleBytes;
                // Leftover bytes that make no whole sample would be stored past the buffer.
                if (n % sampleBytes != 0)
                    failRange();
                if (n < wanted)
                    return;
            }
            if (!trailing)
                return;
            for (;;) {
                const std::size_t n = ws.fitsFile.read(block.get(), blockBytes);
                trailing->insert(trailing->end(), block.get(), block.get() + n);
                if (n < blockBytes)
                    break;
            }
        },
        kind);
    ws.fitsFile.close();
    return result;
}

std::size_t reserveFor(const Workspace& ws, std::size_t sampleBytes)
{
    const std::uint64_t fromFile = ws.fitsFile.remaining() / sampleBytes;
    return static_cast<std::size_t>(std::min<std::uint64_t>(fromFile, maxSamples));
}

} // namespace

bool loadAllImageDataInt16(Workspace& ws)
{
    // The buffer keeps its capacity from the last image: frames of a run share a
    // size, and fresh memory for every frame costs more than the reading itself.
    ws.image.int16Pixels.clear();
    ws.image.int16Pixels.reserve(reserveFor(ws, 2));
    std::size_t samples = 0;
    const std::int64_t offset = ws.image.bzeroOffset;
    const bool loaded = loadBlocks(
        ws, 2, samples,
        [&](const unsigned char* p, std::size_t n) {
            const std::size_t count = n / 2;
            const std::size_t base = ws.image.int16Pixels.size();
            ws.image.int16Pixels.resize(base + count);
            std::uint16_t* out = ws.image.int16Pixels.data() + base;
            for (std::size_t i = 0; i < count; ++i) {
                std::int64_t v = (std::int64_t{p[2 * i]} << 8 | p[2 * i + 1]) + offset;
                if (v > 65535)
                    v -= 65536;
                if (v < 0 || v > 65535) {
                    ws.image.int16Pixels.resize(base + i);
                    failRange();
                }
                out[i] = static_cast<std::uint16_t>(v);
            }
        },
        inFunction("loadAllImageDataInt16"), BoxKind::plain);
    return loaded;
}

void storeBigEndianFloats(const unsigned char* bytes, std::size_t count, float* out, bool portable)
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && !portable)
        return storeFloatsAvx2(bytes, count, out);
#endif
    storeFloatsPortable(bytes, count, out);
}

bool loadAllImageDataFloat32(Workspace& ws)
{
    // The buffer keeps its capacity and its size from the last image: frames of a run
    // share a size, and fresh memory for every frame costs more than the reading itself.
    // Growing it leaves the new samples unset (a PixelBuffer), as they are overwritten.
    // It ends as long as the samples read.
    // Only the primary image's samples are samples; what follows them (the padding of
    // its data unit, extensions) is kept as bytes. A header without a size reads all.
    const Image& image = ws.image;
    const std::uint64_t limit = image.imageWidth > 0 && image.imageHeight > 0
                                    ? std::min<std::uint64_t>(static_cast<std::uint64_t>(image.imageWidth) *
                                                                  static_cast<std::uint64_t>(image.imageHeight),
                                                              maxSamples)
                                    : maxSamples;
    ws.image.trailingBytes.clear();
    ws.image.unmatchedChecksums.clear();
    // A header with checksum cards has its data unit summed as it is read, to tell
    // whether the file was damaged before it reached us.
    const bool summing = holdsChecksumCards(image.rawHeader);
    OnesComplementSum dataSum;
    const std::size_t expected = static_cast<std::size_t>(std::min<std::uint64_t>(reserveFor(ws, 4), limit));
    if (ws.image.floatPixels.size() < expected)
        ws.image.floatPixels.resize(expected);
    std::size_t samples = 0;
    const bool loaded = loadBlocks(
        ws, 4, samples,
        [&](const unsigned char* p, std::size_t n) {
            const std::size_t count = n / 4;
            if (ws.image.floatPixels.size() < samples + count)
                ws.image.floatPixels.resize(samples + count);
            storeBigEndianFloats(p, count, ws.image.floatPixels.data() + samples);
            if (summing)
                dataSum.add(p, n);
        },
        inFunction("loadAllImageDataFloat32"), BoxKind::error, limit, &ws.image.trailingBytes);
    ws.image.floatPixels.resize(samples);
    if (loaded && summing) {
        // The data unit ends with the padding of its last record, the first of the bytes
        // kept after the samples.
        const std::size_t padding = (2880 - samples * 4 % 2880) % 2880;
        dataSum.add(ws.image.trailingBytes.data(), std::min(padding, ws.image.trailingBytes.size()));
        ws.image.unmatchedChecksums = unmatchedChecksums(image.rawHeader, dataSum.value());
    }
    // Undo the 0..1 normalisation.
    if (loaded && ws.image.pixInsightImage)
        return reportFailures(ws.host, inFunction("loadAllImageDataFloat32"),
                              [&] { scaleFromPixInsight(ws.image.floatPixels); });
    return loaded;
}

void scaleFromPixInsight(std::span<float> samples)
{
    // The product of a float and 65535 is exact in double, so one rounding to single
    // gives the extended-precision result.
    for (float& x : samples) {
        const float scaled = static_cast<float>(static_cast<double>(x) * 65535.0);
        if (std::isinf(scaled) && !std::isinf(x))
            throw Failure(messages::overflow);
        x = scaled;
    }
}

} // namespace kestrel
