#include "tests/fits/fits_fixture.h"

#include "fits/samples.h"

#include <cstdint>
#include <cstring>
#include <random>

namespace kestrel::testing {
namespace {

using PixelTest = FitsTest;

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

TEST_F(PixelTest, SixteenBitSamplesAreShiftedByBzero)
{
    ASSERT_TRUE(loadHeader(uint16ImageCards(3, 1), bytes({0x80, 0, 0, 0, 0x7F, 0xFF})));
    ASSERT_EQ(getTypeofFile(ws), typeUnsigned16);
    ASSERT_TRUE(loadAllImageDataInt16(ws));
    EXPECT_EQ(ws.image.int16Pixels, (std::vector<std::uint16_t>{0, 32768, 65535}));
    EXPECT_FALSE(ws.fitsFile.isOpen());

    ASSERT_TRUE(loadHeader(uint16ImageCards(2, 1), bytes({0x80, 0, 0x80, 1})));
    ws.image.bzeroOffset = 32767;
    ASSERT_TRUE(loadAllImageDataInt16(ws));
    EXPECT_EQ(ws.image.int16Pixels, (std::vector<std::uint16_t>{65535, 0}));

    // Any other offset can leave the 16-bit range: a failure in a plain box.
    ASSERT_TRUE(loadHeader(uint16ImageCards(2, 1), bytes({0, 3, 0, 1})));
    ws.image.bzeroOffset = -2;
    EXPECT_FALSE(loadAllImageDataInt16(ws));
    EXPECT_EQ(ws.image.int16Pixels.size(), 1u);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].kind, Box::plain);
    EXPECT_EQ(host.boxes[0].text, "Range check error... in function loadAllImageDataInt16.");
    EXPECT_FALSE(ws.fitsFile.isOpen());
}

TEST_F(PixelTest, FloatSamplesAndThePixInsightScale)
{
    ASSERT_TRUE(loadHeader(floatImageCards(1, 1), bytes({0x3F, 0x80, 0, 0})));
    ASSERT_TRUE(loadAllImageDataFloat32(ws));
    EXPECT_EQ(ws.image.floatPixels, std::vector<float>{1.0f});

    ASSERT_TRUE(loadHeader(floatImageCards(1, 1), bytes({0x3F, 0x80, 0, 0, 0x7F, 0xC0, 0, 0})));
    ws.image.pixInsightImage = true;
    ASSERT_TRUE(loadAllImageDataFloat32(ws));
    EXPECT_EQ(ws.image.floatPixels[0], 65535.0f);
    EXPECT_TRUE(std::isnan(ws.image.floatPixels[1])); // stored as it was, no trap
    EXPECT_TRUE(host.boxes.empty());
}

// Both builds of the conversion against the byte-by-byte one, on random patterns
// (NaN payloads and signalling NaNs among them, which must pass unchanged) at every
// start and length around the vector lanes.
TEST(SampleConversion, BothBuildsKeepEveryBit)
{
    std::mt19937 random(5);
    std::vector<unsigned char> bytes(4 * 1003);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(random());
    for (std::size_t start : {0u, 1u, 3u}) {
        for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 1000u}) {
            std::vector<std::uint32_t> expected(count);
            for (std::size_t i = 0; i < count; ++i) {
                const unsigned char* p = bytes.data() + start + 4 * i;
                expected[i] = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
            }
            for (bool portable : {false, true}) {
                std::vector<float> out(count + 1, 7.0f);
                storeBigEndianFloats(bytes.data() + start, count, out.data(), portable);
                std::vector<std::uint32_t> got(count);
                for (std::size_t i = 0; i < count; ++i)
                    got[i] = std::bit_cast<std::uint32_t>(out[i]);
                EXPECT_EQ(got, expected) << start << " " << count << (portable ? " portable" : " chosen");
                EXPECT_EQ(out[count], 7.0f); // nothing written after the samples
            }
        }
    }
}

// Large buffers lie on huge-page boundaries; any size keeps its samples as it grows,
// shrinks and moves, and converts to and from plain vectors.
TEST(PixelBufferTest, LargeBuffersAreAlignedAndEveryBufferKeepsItsSamples)
{
    for (std::size_t n : {std::size_t{3}, mappedBufferBytes / 4 - 1, mappedBufferBytes / 4, std::size_t{10709376}}) {
        PixelBuffer<float> buffer(n);
        if (n * 4 >= mappedBufferBytes) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % hugePageBytes, 0u) << n;
        }
        for (std::size_t i = 0; i < n; ++i)
            buffer[i] = static_cast<float>(i % 1000);
        buffer.resize(n + n / 2 + 1);
        buffer.resize(n / 2);
        const std::vector<float> plain = buffer;
        ASSERT_EQ(plain.size(), n / 2);
        for (std::size_t i = 0; i < n / 2; ++i)
            ASSERT_EQ(plain[i], static_cast<float>(i % 1000)) << n << " " << i;
        PixelBuffer<float> copy;
        copy = plain;
        EXPECT_TRUE(copy == plain);
        PixelBuffer<float> moved = std::move(copy);
        EXPECT_TRUE(moved == plain);
    }
}

TEST_F(PixelTest, BuffersHoldTheWholeDataAreaWhateverTheAxesSay)
{
    struct Case {
        std::size_t dataBytes;
        std::size_t floats;
    };
    for (const Case c : {Case{5760, 1440}, Case{500000, 125000}, Case{0, 0}, Case{1000000 + 2880, 250720}}) {
        ASSERT_TRUE(loadHeader(floatImageCards(2, 2), std::string(c.dataBytes, '\0')));
        ASSERT_TRUE(loadAllImageDataFloat32(ws)) << c.dataBytes;
        EXPECT_EQ(ws.image.floatPixels.size(), c.floats) << c.dataBytes;
        ASSERT_TRUE(loadHeader(uint16ImageCards(2, 2), std::string(c.dataBytes, '\0')));
        ASSERT_TRUE(loadAllImageDataInt16(ws)) << c.dataBytes;
        EXPECT_EQ(ws.image.int16Pixels.size(), 2 * c.floats) << c.dataBytes;
    }
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(PixelTest, AReusedBufferHoldsOnlyTheNewImage)
{
    // Larger, then smaller, then a failed load: the buffer is never cleared between
    // images, only overwritten.
    ASSERT_TRUE(loadHeader(floatImageCards(2, 2), floatData({1, 2, 3, 4, 5, 6, 7}, false)));
    ASSERT_TRUE(loadAllImageDataFloat32(ws));
    ASSERT_TRUE(loadHeader(floatImageCards(2, 1), floatData({8, 9}, false)));
    ASSERT_TRUE(loadAllImageDataFloat32(ws));
    EXPECT_EQ(ws.image.floatPixels, (std::vector<float>{8, 9}));
    ASSERT_TRUE(loadHeader(floatImageCards(2, 2), floatData({10, 11, 12}, false) + "x"));
    EXPECT_FALSE(loadAllImageDataFloat32(ws));
    EXPECT_EQ(ws.image.floatPixels, (std::vector<float>{10, 11, 12}));
}

TEST_F(PixelTest, LeftoverBytesAreALoadFailureThatKeepsTheWholeSamples)
{
    ASSERT_TRUE(loadHeader(floatImageCards(2, 2), std::string(5759, '\0')));
    EXPECT_FALSE(loadAllImageDataFloat32(ws));
    EXPECT_EQ(ws.image.floatPixels.size(), 1439u);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].kind, Box::error);
    EXPECT_EQ(host.boxes[0].text, "Range check error... in function loadAllImageDataFloat32.");
    EXPECT_FALSE(ws.fitsFile.isOpen());

    host.boxes.clear();
    ASSERT_TRUE(loadHeader(uint16ImageCards(2, 2), std::string(5, '\0')));
    EXPECT_FALSE(loadAllImageDataInt16(ws));
    EXPECT_EQ(ws.image.int16Pixels.size(), 2u);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].kind, Box::plain);
}

// The tests' twins address samples as the window's accessors always have.
TEST_F(PixelTest, AccessorsAddressByColumnAndRow)
{
    ws.image.imageWidth = 3;
    ws.image.floatPixels = {0, 1, 2, 3, 4, 5};
    ws.image.int16Pixels = {10, 11, 12, 13, 14, 15};
    EXPECT_EQ(getPixelValueFloat(ws, 3, 0), 3.0); // a column past the width is the next row
    EXPECT_EQ(getPixelValueFloat(ws, 2, 1), 5.0);
    EXPECT_EQ(getPixelValueInt16(ws, 1, 1), 14);
    setPixelValueFloat(ws, 0, 1, 7.5f);
    EXPECT_EQ(ws.image.floatPixels[3], 7.5f);
    EXPECT_TRUE(host.boxes.empty());

    EXPECT_EQ(getPixelValueFloat(ws, -1, 0), 0.0);
    EXPECT_EQ(getPixelValueInt16(ws, 0, 2), 0);
    ASSERT_EQ(host.boxes.size(), 2u);
    EXPECT_EQ(host.boxes[0].kind, Box::error);
    EXPECT_EQ(host.boxes[0].text, "Range check error... in function getPixelValueFloat.");
    EXPECT_EQ(host.boxes[1].text, "Range check error... in function getPixelValueInt16.");

    host.boxes.clear();
    setPixelValueFloat(ws, 5, 7, 1.0f);
    ASSERT_EQ(host.boxes.size(), 3u);
    EXPECT_EQ(host.boxes[0].kind, Box::plain);
    EXPECT_EQ(host.boxes[0].text, "5");
    EXPECT_EQ(host.boxes[1].kind, Box::plain);
    EXPECT_EQ(host.boxes[1].text, "7");
    EXPECT_EQ(host.boxes[2].kind, Box::error);
    EXPECT_EQ(host.boxes[2].text, "Range check error... in function getPixelValueFloat.");
    EXPECT_EQ(ws.image.floatPixels, (std::vector<float>{0, 1, 2, 7.5f, 4, 5}));
}

} // namespace
} // namespace kestrel::testing
