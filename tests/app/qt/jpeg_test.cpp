// The JPEG decode: the built-in About picture, and bytes that are no picture, which
// must give a failure and never end the program.
#include "core/failure.h"
#include "app/qt/jpeg_image.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <random>
#include <string>

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string failureOf(const Bytes& bytes)
{
    try {
        decodeJpeg(bytes);
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

} // namespace
} // namespace kestrel
