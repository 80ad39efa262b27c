// One FITS image as Kestrel holds it: the header as read and the pixels, nothing
// measured on it and nothing a run chose for it. An image can come from a file or be
// made in memory (from an array a script hands over).
#pragma once

#include "core/image_view.h"
#include "core/pixel_buffer.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

/// One header card as stored: exactly 80 bytes.
using Card = std::array<char, 80>;

/// The sensor's two readouts. The width alone tells them apart.
enum class Binning { unbinned, binned2x2 };

/// The binning an image of `width` columns was read out with (the sensor's widths,
/// unbinned and 2x2-binned); nothing for any other width.
inline std::optional<Binning> binningOfWidth(std::int32_t width)
{
    if (width == 4008 || width == 4032)
        return Binning::unbinned;
    if (width == 2004 || width == 2016)
        return Binning::binned2x2;
    return std::nullopt;
}

/// "1x1" or "2x2", as the grid, the results file and kestrel-cli write a binning.
inline const char* binningText(Binning binning) { return binning == Binning::unbinned ? "1x1" : "2x2"; }

struct Image {
    std::vector<std::string> headerCards; // cards before END, 80 characters each
    std::vector<Card> rawHeader;          // every card of every header record read
    std::int32_t imageWidth = 0;          // NAXIS1
    std::int32_t imageHeight = 0;         // NAXIS2
    std::int32_t bzeroOffset = 0;         // added to 16-bit samples as they are read
    bool pixInsightImage = false;         // float samples normalised to 0..1 in the file

    // Pixel data, host byte order, row-major. Loaded float samples of a PixInsight
    // image are in ADU (times 65535), as every other image's.
    std::vector<std::uint16_t> int16Pixels;
    PixelBuffer<float> floatPixels; // in huge pages; see core/pixel_buffer.h
    // Every byte of the file after the primary image's NAXIS1 x NAXIS2 float samples:
    // the rest of its data unit and any extensions, written back unchanged.
    std::vector<unsigned char> trailingBytes;
    // The checksum cards (CHECKSUM, DATASUM) that the file as read does not match, as
    // "CHECKSUM", "DATASUM" or both joined by "and"; empty when they match or are absent.
    std::string unmatchedChecksums;

    std::optional<Binning> binning() const { return binningOfWidth(imageWidth); }

    /// The first imageWidth x imageHeight samples; a range failure when the buffer
    /// holds fewer or a size is negative.
    ImageView<float> floatImage() { return imageView(std::span<float>(floatPixels), imageWidth, imageHeight); }
    ImageView<const float> floatImage() const
    {
        return imageView(std::span<const float>(floatPixels), imageWidth, imageHeight);
    }
    ImageView<const std::uint16_t> int16Image() const
    {
        return imageView(std::span<const std::uint16_t>(int16Pixels), imageWidth, imageHeight);
    }
};

/// The header cards that the writer puts before float samples of `width` x `height`:
/// SIMPLE, BITPIX -32, NAXIS 2, NAXIS1, NAXIS2, then `extra` (each up to 80 characters,
/// padded with blanks), END, and blank cards to a whole record.
std::vector<Card> floatHeaderRecords(std::int32_t width, std::int32_t height, const std::vector<std::string>& extra = {});

/// An image made in memory from row-major float samples in ADU (no file): its header
/// is `rawHeader` when given, else floatHeaderRecords of its size. A size that does not
/// match the samples is a range failure.
Image floatImageFromPixels(std::int32_t width, std::int32_t height, std::vector<float> pixels,
                           std::vector<Card> rawHeader = {});
/// The same, taking over samples already in a frame's buffer.
Image floatImageFromPixels(std::int32_t width, std::int32_t height, PixelBuffer<float> pixels,
                           std::vector<Card> rawHeader = {});

/// The cards before END of header records, as a header read from a file gives them.
std::vector<std::string> cardsBeforeEnd(std::span<const Card> rawHeader);

} // namespace kestrel
