// Decoding of JPEG pictures into plain RGB bytes, for the picture of the About dialog.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrel {

/// A decoded picture: `rgb` holds width * height pixels, row by row from the top, three
/// bytes (red, green, blue) each.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

/// Decodes a whole JPEG file held in memory; grey pictures come out as RGB too.
/// Throws a Failure, never ends the program, when the bytes are not a JPEG picture,
/// are cut short or corrupt anywhere (libjpeg's warnings count as failures, so a cut
/// picture is not padded out with grey), or the picture is larger than `maxPixels`.
RgbImage decodeJpeg(std::span<const std::uint8_t> bytes, std::size_t maxPixels = 16u * 1024 * 1024);

/// The picture of the About dialog, a 245 x 215 colour JPEG built into the program.
std::span<const std::uint8_t> aboutPicture();

} // namespace kestrel
