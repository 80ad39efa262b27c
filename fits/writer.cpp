#include "fits/writer.h"

#include "core/whole_file.h"
#include "fits/checksum.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrel {
namespace {

constexpr std::size_t samplesPerRecord = 720;
constexpr std::size_t recordsPerChunk = 256; // about 720 KB per write

// PixInsight images go back to their 0..1 range. The quotient of a float by 65535
// rounds to the same single in double as in extended precision, so double arithmetic
// is exact here.
void packPixInsight(float* samples, std::size_t n, std::uint32_t* out)
{
    for (std::size_t i = 0; i < n; ++i) {
        samples[i] = static_cast<float>(static_cast<double>(samples[i]) / 65535.0);
        out[i] = __builtin_bswap32(std::bit_cast<std::uint32_t>(samples[i]));
    }
}

// Other images keep every sample that is >= 0 (negative zero and +infinity included)
// and write 0 for negative samples and NaN. Decided on the bit pattern, so no NaN ever
// meets a floating-point comparison: kept are the patterns from 0 to that of
// +infinity read as signed integers, and negative zero.
std::uint32_t clampedBits(std::uint32_t u)
{
    const auto s = static_cast<std::int32_t>(u);
    return (s >= 0 && s <= 0x7F800000) || u == 0x80000000u ? u : 0u;
}

// One record: 720 samples, four at a time in vector registers. The compiler does not
// vectorise the byte swap on the x86-64 baseline by itself, so it is written out.
void packClampedRecord(float* samples, std::uint32_t* out)
{
    static_assert(samplesPerRecord % 4 == 0);
#if defined(__SSE2__)
    const __m128i infinity = _mm_set1_epi32(0x7F800000);
    const __m128i negativeZero = _mm_set1_epi32(static_cast<int>(0x80000000u));
    for (std::size_t i = 0; i < samplesPerRecord; i += 4) {
        const __m128i u = _mm_castps_si128(_mm_loadu_ps(samples + i));
        // Drop: negative as a signed integer (sign bit set) or above +infinity (NaN);
        // but keep negative zero.
        const __m128i drop = _mm_or_si128(_mm_cmplt_epi32(u, _mm_setzero_si128()), _mm_cmpgt_epi32(u, infinity));
        const __m128i v = _mm_andnot_si128(_mm_andnot_si128(_mm_cmpeq_epi32(u, negativeZero), drop), u);
        _mm_storeu_ps(samples + i, _mm_castsi128_ps(v));
        const __m128i bytesSwapped = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        const __m128i big = _mm_shufflehi_epi16(_mm_shufflelo_epi16(bytesSwapped, 0xB1), 0xB1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), big);
    }
#else
    for (std::size_t i = 0; i < samplesPerRecord; ++i) {
        const std::uint32_t v = clampedBits(std::bit_cast<std::uint32_t>(samples[i]));
        samples[i] = std::bit_cast<float>(v);
        out[i] = __builtin_bswap32(v);
    }
#endif
}

// Whole records four samples at a time; the samples after the last whole record (a
// data area whose last record was cut short) one at a time.
void packClamped(float* samples, std::size_t n, std::uint32_t* out)
{
    const std::size_t whole = n / samplesPerRecord * samplesPerRecord;
    for (std::size_t r = 0; r < whole; r += samplesPerRecord)
        packClampedRecord(samples + r, out + r);
    for (std::size_t i = whole; i < n; ++i) {
        const std::uint32_t v = clampedBits(std::bit_cast<std::uint32_t>(samples[i]));
        samples[i] = std::bit_cast<float>(v);
        out[i] = __builtin_bswap32(v);
    }
}

/// One chunk of packed samples per thread, kept from file to file, so that its pages are
/// faulted in once.
PixelBuffer<std::uint32_t>& packedChunk()
{
    thread_local PixelBuffer<std::uint32_t> chunk(recordsPerChunk * samplesPerRecord);
    return chunk;
}

/// Scales or clamps `n` samples and packs them big-endian into `out`.
void pack(float* samples, std::size_t n, bool pixInsight, std::uint32_t* out)
{
    if (pixInsight)
        packPixInsight(samples, n, out);
    else
        packClamped(samples, n, out);
}

/// The sum of the data unit the writer will write: the samples packed as written (from
/// a copy, so that the image keeps its samples for the writing itself), then the
/// padding of the last record as kept from the file, or the zeros written for it.
std::uint32_t writtenDataSum(const Image& image)
{
    thread_local PixelBuffer<float> copy(recordsPerChunk * samplesPerRecord);
    PixelBuffer<std::uint32_t>& chunk = packedChunk();
    OnesComplementSum sum;
    const std::size_t count = image.floatPixels.size();
    for (std::size_t start = 0; start < count;) {
        const std::size_t n = std::min(count - start, chunk.size());
        std::copy_n(image.floatPixels.data() + start, n, copy.data());
        pack(copy.data(), n, image.pixInsightImage, chunk.data());
        sum.add(chunk.data(), n * 4);
        start += n;
    }
    const std::size_t recordBytes = samplesPerRecord * 4;
    const std::size_t padding = (recordBytes - count * 4 % recordBytes) % recordBytes;
    sum.add(image.trailingBytes.data(), std::min(padding, image.trailingBytes.size()));
    return sum.value();
}

} // namespace

void samplesAsWritten(std::span<float> samples, bool pixInsight)
{
    PixelBuffer<std::uint32_t>& chunk = packedChunk();
    for (std::size_t start = 0; start < samples.size();) {
        const std::size_t n = std::min(samples.size() - start, chunk.size());
        pack(samples.data() + start, n, pixInsight, chunk.data());
        start += n;
    }
}

void saveFloat32Fits(Workspace& ws, const std::filesystem::path& fileName, const CommitStrategy& commit)
{
    if (ws.image.floatPixels.empty())
        throw Failure(fileName.filename().string() + ": the image has no data to write; nothing was written");
    saveFloat32Fits(ws.image, std::make_shared<WholeFileWriter>(fileName), commit);
}

void saveFloat32Fits(Image& image, std::shared_ptr<WholeFileWriter> out, const CommitStrategy& commit)
{
    const std::size_t count = image.floatPixels.size();
    if (count == 0)
        throw Failure(out->destination().filename().string() +
                      ": the image has no data to write; nothing was written");
    // A header with checksum cards gets the values of the file as written.
    std::vector<Card> summedHeader;
    if (holdsChecksumCards(image.rawHeader)) {
        summedHeader = image.rawHeader;
        updateChecksumCards(summedHeader, writtenDataSum(image));
    }
    for (const Card& card : summedHeader.empty() ? image.rawHeader : summedHeader)
        out->write(card.data(), card.size());

    // Scaling and packing in one pass over the samples; the buffer keeps the scaled
    // values, as the correction expects. The bytes after the samples (the rest of the
    // data unit, extensions) follow unchanged. A file whose last record was cut short
    // in the input is written out to a whole record of zero bytes, as FITS wants.
    PixelBuffer<std::uint32_t>& chunk = packedChunk();
    for (std::size_t start = 0; start < count;) {
        const std::size_t n = std::min(count - start, chunk.size());
        pack(image.floatPixels.data() + start, n, image.pixInsightImage, chunk.data());
        out->write(chunk.data(), n * 4);
        start += n;
    }
    if (!image.trailingBytes.empty())
        out->write(image.trailingBytes.data(), image.trailingBytes.size());
    const std::size_t recordBytes = samplesPerRecord * 4;
    const std::size_t cut = (count * 4 + image.trailingBytes.size()) % recordBytes;
    if (cut != 0) {
        std::fill(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(samplesPerRecord), 0u);
        out->write(chunk.data(), recordBytes - cut);
    }
    if (commit)
        commit([out] { out->commit(); });
    else
        out->commit();
}

} // namespace kestrel
