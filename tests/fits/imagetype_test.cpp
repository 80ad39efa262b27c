#include "tests/fits/fits_fixture.h"

namespace kestrel::testing {
namespace {

using ImageTypeTest = FitsTest;

struct TypeCase {
    const char* name;
    std::vector<std::string> cards;
    std::int32_t type;
    std::int32_t offset; // bzeroOffset afterwards (starting from -1)
};

TEST_F(ImageTypeTest, TypeCodesAndTheBzeroOffset)
{
    const TypeCase cases[] = {
        {"unsigned", {card("BITPIX", "16"), card("BZERO", "32768"), card("BSCALE", "1")}, typeUnsigned16, 32768},
        {"truncated bzero", {card("BITPIX", "16"), card("BZERO", "32767.9"), card("BSCALE", "1")}, typeUnsigned16, 32767},
        {"no bscale", {card("BITPIX", "16"), card("BZERO", "32768")}, 0, 32768},
        {"bscale 1.5", {card("BITPIX", "16"), card("BZERO", "32768"), card("BSCALE", "1.5")}, typeUnsigned16, 32768},
        {"bscale 2", {card("BITPIX", "16"), card("BZERO", "32768"), card("BSCALE", "2.0")}, 0, 32768},
        // A BSCALE beyond 32 bits is simply not 1: no range failure, no box.
        {"bscale 1E10", {card("BITPIX", "16"), card("BZERO", "32768"), card("BSCALE", "1E10")}, 0, 32768},
        {"bscale -1E10", {card("BITPIX", "16"), card("BZERO", "0"), card("BSCALE", "-1E10")}, 0, 0},
        {"signed", {card("BITPIX", "16"), card("BZERO", "0"), card("BSCALE", "1")}, typeSigned16, 0},
        {"16 bare", {card("BITPIX", "16")}, 0, -1},
        {"float", {card("BITPIX", "-32")}, typeFloat32, -1},
        {"float scaled", {card("BITPIX", "-32"), card("BZERO", "32768"), card("BSCALE", "3")}, typeFloat32, -1},
        {"8 bit", {card("BITPIX", "8")}, 0, -1},
        {"32 bit", {card("BITPIX", "32")}, 0, -1},
        {"double", {card("BITPIX", "-64")}, 0, -1},
        {"no bitpix", {card("NAXIS", "2")}, 0, -1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> cards = {card("SIMPLE", "T")};
        cards.insert(cards.end(), c.cards.begin(), c.cards.end());
        ASSERT_TRUE(loadHeader(cards)) << c.name;
        ws.image.bzeroOffset = -1;
        EXPECT_EQ(getTypeofFile(ws), c.type) << c.name;
        EXPECT_EQ(ws.image.bzeroOffset, c.offset) << c.name;
    }
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(ImageTypeTest, BzeroBeyondThirtyTwoBitsFailsBothSixteenBitTests)
{
    ASSERT_TRUE(loadHeader({card("SIMPLE", "T"), card("BITPIX", "16"), card("BZERO", "1E10"), card("BSCALE", "1")}));
    ws.image.bzeroOffset = 7;
    EXPECT_EQ(getTypeofFile(ws), 0);
    EXPECT_EQ(ws.image.bzeroOffset, 7);
    ASSERT_EQ(host.boxes.size(), 2u);
    EXPECT_EQ(host.boxes[0].kind, Box::error);
    EXPECT_EQ(host.boxes[0].text, "Range check error... in function unsigned16Bit.");
    EXPECT_EQ(host.boxes[1].text, "Range check error... in function signed16Bit.");
}

TEST_F(ImageTypeTest, FirstProgramCardDecidesPixInsight)
{
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{card("PROGRAM", "'PixInsight 1.8.9'")}, true},
        {{card("PROGRAM", "'pixinsight 1.8'")}, true},
        {{card("PROGRAM", "'Other'", "saved by PIXINSIGHT")}, true}, // the comment counts too
        {{card("PROGRAM", "'Other 2.0'"), card("PROGRAM", "'PixInsight 1.8'")}, false},
        {{card("PROGRAM", "'PixInsight 1.8'"), card("PROGRAM", "'Other 2.0'")}, true},
        {{rawCard("HISTORY PixInsight 1.8")}, false},
        {{}, false},
    };
    for (const auto& [extra, expected] : cases) {
        std::vector<std::string> cards = {card("SIMPLE", "T")};
        cards.insert(cards.end(), extra.begin(), extra.end());
        ASSERT_TRUE(loadHeader(cards));
        EXPECT_EQ(pixInsightFile(ws), expected) << (extra.empty() ? "none" : extra[0]);
    }
}

TEST_F(ImageTypeTest, TemperatureAndExposure)
{
    ASSERT_TRUE(loadHeader({card("SIMPLE", "T")}));
    EXPECT_EQ(getTemp(ws), 20000.0);
    EXPECT_EQ(getExposure(ws), 0);

    ASSERT_TRUE(loadHeader({card("CCD-TEMP", "-10"), card("CCD-TEMP", "-20"), card("EXPTIME", "2.5")}));
    EXPECT_EQ(getTemp(ws), -20.0);
    EXPECT_EQ(getExposure(ws), 2);

    ASSERT_TRUE(loadHeader({card("EXPTIME", "3.5")}));
    EXPECT_EQ(getExposure(ws), 4);
    ASSERT_TRUE(loadHeader({card("EXPOSURE", "300"), card("OTHER", "1"), card("EXPTIME", "600")}));
    EXPECT_EQ(getExposure(ws), 600);
    ASSERT_TRUE(loadHeader({card("EXPOSURE", "300"), card("EXPTIME", "'long'")}));
    EXPECT_EQ(getExposure(ws), 0);
    EXPECT_TRUE(host.boxes.empty());

    ASSERT_TRUE(loadHeader({card("EXPTIME", "5E9")}));
    EXPECT_EQ(getExposure(ws), 0);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Range check error... in function getExposure.");
}

} // namespace
} // namespace kestrel::testing
