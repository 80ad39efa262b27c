#include "tests/fits/fits_fixture.h"

namespace kestrel::testing {
namespace {

using HeaderTest = FitsTest;

TEST_F(HeaderTest, EndAsTheLastCardOfARecord)
{
    std::vector<std::string> cards = floatImageCards(4, 1);
    while (cards.size() < 35)
        cards.push_back(card("HISTORY", "x"));
    ASSERT_TRUE(loadHeader(cards, floatData({1, 2, 3, 4})));
    EXPECT_EQ(ws.image.headerCards.size(), 35u);
    EXPECT_EQ(ws.image.rawHeader.size(), 36u);
    EXPECT_EQ(std::string(ws.image.rawHeader[35].data(), 3), "END");
    // The file stands at the first data byte.
    ASSERT_TRUE(loadAllImageDataFloat32(ws));
    EXPECT_EQ(ws.image.floatPixels[0], 1.0f);
    EXPECT_EQ(ws.image.floatPixels[3], 4.0f);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(HeaderTest, ThreeRecordsKeepThePaddingInTheRawHeaderOnly)
{
    std::vector<std::string> cards = floatImageCards(4, 1);
    while (cards.size() < 80)
        cards.push_back(card("COMMENT", "y"));
    ASSERT_TRUE(loadHeader(cards));
    EXPECT_EQ(ws.image.rawHeader.size(), 108u);
    EXPECT_EQ(ws.image.headerCards.size(), 80u);
    for (const auto& c : ws.image.headerCards)
        EXPECT_EQ(c.size(), 80u);
    EXPECT_EQ(std::string(ws.image.rawHeader[107].data(), 80), std::string(80, ' '));
}

TEST_F(HeaderTest, ShortOrEndlessHeadersAreFalseWithoutABoxAndTheFileIsClosed)
{
    EXPECT_FALSE(loadFitsHeader(ws, file("short.fits", std::string(2000, ' '))));
    EXPECT_EQ(ws.image.rawHeader.size(), 36u); // the short record is still copied
    EXPECT_FALSE(ws.fitsFile.isOpen());

    EXPECT_FALSE(loadFitsHeader(ws, file("empty.fits", "")));
    EXPECT_FALSE(ws.fitsFile.isOpen());

    // No END within the record limit: not read further than that.
    const std::string noEnd(static_cast<std::size_t>(maxHeaderRecords + 2) * 2880, 'A');
    EXPECT_FALSE(loadFitsHeader(ws, file("noend.fits", noEnd)));
    EXPECT_EQ(ws.image.rawHeader.size(), static_cast<std::size_t>(maxHeaderRecords) * 36);
    EXPECT_FALSE(ws.fitsFile.isOpen());
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(HeaderTest, EndIsThreeLettersInAnyCaseFollowedByBlanks)
{
    for (const char* end : {"END", "End", "end     = 3"}) {
        ASSERT_TRUE(loadFitsHeader(ws, file("e.fits", rawCard("SIMPLE  =                    T") + rawCard(end) +
                                                          std::string(34 * 80, ' '))))
            << end;
        EXPECT_EQ(ws.image.headerCards.size(), 1u) << end;
    }
    // A keyword that only begins with END is an ordinary card, wherever it stands.
    for (const char* keyword : {"ENDTIME = '2026-12-08T03:14:15'", "ENDING  = 3", "END    X", "Endless"}) {
        ASSERT_TRUE(loadFitsHeader(ws, file("e.fits", rawCard("SIMPLE  =                    T") + rawCard(keyword) +
                                                          rawCard("END") + std::string(33 * 80, ' '))))
            << keyword;
        EXPECT_EQ(ws.image.headerCards.size(), 2u) << keyword;
    }
}

TEST_F(HeaderTest, OpenFailurePropagates)
{
    EXPECT_THROW(loadFitsHeader(ws, dir / "missing.fits"), Failure);
    EXPECT_THROW(loadFitsHeader(ws, dir.path()), Failure);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(HeaderTest, IntegerQueries)
{
    ASSERT_TRUE(loadHeader({
        card("SIMPLE", "T"),
        card("BITPIX", "-32"),
        rawCard("NAXIS1  =                 4008 / length of data axis 1"),
        rawCard("naxis2  =                 2672"),
        card("BADINT", "4008.0"),
        card("TWICE", "1"),
        card("TWICE", "2"),
        card("STOPS", "abc"),
        card("STOPS", "2"),
        card("HEXVAL", "$FF"),
        rawCard("EDGE    = " + std::string(69, ' ') + "7"), // digit in column 80
        rawCard("   LEAD =                    5"),           // keyword indented
    }));
    EXPECT_EQ(getFitsInteger(ws, "NAXIS1"), 4008);
    EXPECT_EQ(getFitsInteger(ws, "naxis1"), 4008);
    EXPECT_EQ(getFitsInteger(ws, "NAXIS2"), 2672);
    EXPECT_EQ(getFitsInteger(ws, "BITPIX"), -32);
    EXPECT_EQ(getFitsInteger(ws, "BADINT"), 0);
    EXPECT_EQ(getFitsInteger(ws, "TWICE"), 2);
    EXPECT_EQ(getFitsInteger(ws, "STOPS"), 0);
    EXPECT_EQ(getFitsInteger(ws, "HEXVAL"), 255);
    EXPECT_EQ(getFitsInteger(ws, "EDGE"), 0);
    EXPECT_EQ(getFitsInteger(ws, "LEAD"), 5);
    EXPECT_EQ(getFitsInteger(ws, "NAXIS"), 0); // NAXIS is not NAXIS1
    EXPECT_EQ(getFitsInteger(ws, "NAXIS1 "), 0); // the request is not trimmed
    EXPECT_EQ(getFitsInteger(ws, "MISSING"), 0);
    EXPECT_TRUE(fitsKeywordPresent(ws, "naxis2"));
    EXPECT_FALSE(fitsKeywordPresent(ws, "NAXIS"));
    EXPECT_FALSE(fitsKeywordPresent(ws, "BITPIX "));
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(HeaderTest, RealQueries)
{
    ASSERT_TRUE(loadHeader({
        card("SIMPLE", "T"),
        rawCard("POINT   = 123./ a comment straight after the point"),
        card("QUOTED", "'2.5'"),
        card("DEXP", "1.0D+03"),
        card("EEXP", "1.5E3"),
        card("TWICE", "1.5"),
        card("TWICE", "2.5"),
        card("STOPS", "abc"),
        card("STOPS", "2"),
    }));
    EXPECT_EQ(getFitsDouble(ws, "POINT"), 123.0);
    EXPECT_EQ(getFitsDouble(ws, "QUOTED"), 20000.0);
    EXPECT_EQ(getFitsDouble(ws, "DEXP"), 20000.0);
    EXPECT_EQ(getFitsDouble(ws, "EEXP"), 1500.0);
    EXPECT_EQ(getFitsDouble(ws, "TWICE"), 2.5);
    EXPECT_EQ(getFitsDouble(ws, "STOPS"), 20000.0);
    EXPECT_EQ(getFitsDouble(ws, "MISSING"), 20000.0);
}

} // namespace
} // namespace kestrel::testing
