// The JPEG decode: the built-in About picture, pictures of our own making, and bytes
// that are no picture, which must give a failure and never end the program.
#include "core/failure.h"
#include "core/jpeg_image.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <jpeglib.h>

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

/// A small picture encoded in memory: grey (one component) or colour.
Bytes encode(int width, int height, bool grey)
{
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = grey ? 1 : 3;
    info.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * info.input_components);
    while (info.next_scanline < info.image_height) {
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = static_cast<unsigned char>(grey ? 40 + 4 * info.next_scanline : (i % 3 == 0 ? 200 : 30));
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&info, &r, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes bytes(out, out + size);
    std::free(out);
    return bytes;
}

std::string failureOf(const Bytes& bytes, std::size_t maxPixels = 16u * 1024 * 1024)
{
    try {
        decodeJpeg(bytes, maxPixels);
    } catch (const Failure& f) {
        return f.message();
    }
    return "decoded";
}

const std::string unreadable = "The picture is not a readable JPEG image";

TEST(JpegDecode, TheAboutPictureIsA245By215ColourPicture)
{
    const RgbImage image = decodeJpeg(aboutPicture());
    EXPECT_EQ(image.width, 245);
    EXPECT_EQ(image.height, 215);
    ASSERT_EQ(image.rgb.size(), 245u * 215u * 3u);
    // A colour picture, not grey: some pixel's red and blue differ clearly.
    bool coloured = false;
    for (std::size_t i = 0; i + 2 < image.rgb.size() && !coloured; i += 3)
        coloured = std::abs(image.rgb[i] - image.rgb[i + 2]) > 40;
    EXPECT_TRUE(coloured);
}

TEST(JpegDecode, GreyPicturesComeOutAsRgbRowByRow)
{
    const RgbImage image = decodeJpeg(encode(13, 5, true));
    ASSERT_EQ(image.width, 13);
    ASSERT_EQ(image.height, 5);
    ASSERT_EQ(image.rgb.size(), 13u * 5u * 3u);
    for (int row = 0; row < 5; ++row) {
        const std::uint8_t* p = &image.rgb[static_cast<std::size_t>(row) * 13 * 3 + 6 * 3];
        EXPECT_EQ(p[0], p[1]);
        EXPECT_EQ(p[1], p[2]);
        EXPECT_NEAR(p[0], 40 + 4 * row, 2) << "row " << row;
    }
}

TEST(JpegDecode, CutPicturesFailWithoutBeingPaddedOut)
{
    const std::span<const std::uint8_t> whole = aboutPicture();
    for (std::size_t keep : {std::size_t{2}, std::size_t{20}, std::size_t{300}, whole.size() / 2, whole.size() - 2}) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep));
        EXPECT_EQ(failureOf(cut).rfind(unreadable, 0), 0u) << keep << " bytes: " << failureOf(cut);
    }
}

TEST(JpegDecode, BytesThatAreNoPictureFail)
{
    std::mt19937 random(7);
    Bytes noise(4096);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(random());
    const std::string text = "SIMPLE  =                    T";
    Bytes startsLikeOne = {0xFF, 0xD8, 0xFF, 0xE0};
    startsLikeOne.insert(startsLikeOne.end(), noise.begin(), noise.end());

    for (const Bytes& bytes : {noise, Bytes(text.begin(), text.end()), startsLikeOne,
                               Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}})
        EXPECT_EQ(failureOf(bytes).rfind(unreadable + " (", 0), 0u) << failureOf(bytes);
    EXPECT_EQ(failureOf({}), "The picture is empty: no JPEG data");
}

TEST(JpegDecode, PicturesBeyondTheSizeLimitFail)
{
    const Bytes picture = encode(64, 48, false);
    EXPECT_EQ(failureOf(picture, 64 * 48 - 1), "The picture is too large to show");
    EXPECT_EQ(decodeJpeg(picture, 64 * 48).rgb.size(), 64u * 48u * 3u);
}

} // namespace
} // namespace kestrel
