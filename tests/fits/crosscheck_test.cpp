// Files our writer produces, read back by CFITSIO, a reader that shares no code with ours.
#include "tests/fits/fits_fixture.h"

#include "fits/checksum.h"

#include <fitsio.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace kestrel::testing {
namespace {

class CrossCheckTest : public FitsTest {
protected:
    std::filesystem::path writeCorrected(const std::vector<std::string>& cards, const std::vector<float>& samples)
    {
        const auto input = file("in.fits", headerRecords(cards) + floatData(samples));
        EXPECT_TRUE(loadFitsHeader(ws, input));
        ws.image.pixInsightImage = pixInsightFile(ws);
        EXPECT_TRUE(loadAllImageDataFloat32(ws));
        const auto output = dir / "out.fits";
        saveFloat32Fits(ws, output);
        return output;
    }
};

TEST_F(CrossCheckTest, CfitsioReadsTheSameCardsAndSamples)
{
    const int width = 37, height = 23; // not a whole number of records
    std::vector<float> samples(width * height);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(i % 97) * 13.5f + 0.125f;
    const auto cards = floatImageCards(width, height,
                                       {card("EXPTIME", "300.0"), card("CCD-TEMP", "-10.5"),
                                        card("OBJECT", "'M 31'", "target"), rawCard("HISTORY taken at night")});
    const auto path = writeCorrected(cards, samples);

    fitsfile* f = nullptr;
    int status = 0;
    ASSERT_EQ(fits_open_file(&f, path.c_str(), READONLY, &status), 0) << status;
    int keys = 0, more = 0;
    fits_get_hdrspace(f, &keys, &more, &status);
    ASSERT_EQ(keys, static_cast<int>(cards.size()));
    for (int k = 1; k <= keys; ++k) {
        char text[FLEN_CARD] = {};
        fits_read_record(f, k, text, &status);
        std::string expected = cards[k - 1];
        while (!expected.empty() && expected.back() == ' ')
            expected.pop_back();
        EXPECT_EQ(std::string(text), expected) << k;
    }
    int bitpix = 0, naxis = 0;
    long axes[2] = {};
    fits_get_img_param(f, 2, &bitpix, &naxis, axes, &status);
    EXPECT_EQ(bitpix, FLOAT_IMG);
    EXPECT_EQ(axes[0], width);
    EXPECT_EQ(axes[1], height);
    std::vector<float> back(samples.size());
    int anyNull = 0;
    fits_read_img(f, TFLOAT, 1, static_cast<LONGLONG>(back.size()), nullptr, back.data(), &anyNull, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(back, samples);
    fits_close_file(f, &status);
}

TEST_F(CrossCheckTest, FitsverifyAcceptsTheOutput)
{
#ifndef KESTREL_FITSVERIFY
    GTEST_SKIP() << "fitsverify is not installed";
#else
    std::vector<float> samples(64 * 32, 100.0f);
    const auto path = writeCorrected(floatImageCards(64, 32, {card("EXTEND", "T")}), samples);
    const std::string command = std::string(KESTREL_FITSVERIFY) + " -q -e '" + path.string() + "' > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
#endif
}

// The library's own check of CHECKSUM and DATASUM: 1 where the card matches, 0 where
// the header has none, -1 where it does not match.
std::pair<int, int> libraryVerdict(const std::filesystem::path& path)
{
    fitsfile* f = nullptr;
    int status = 0, data = 0, hdu = 0;
    fits_open_file(&f, path.c_str(), READONLY, &status);
    fits_verify_chksum(f, &data, &hdu, &status);
    fits_close_file(f, &status);
    EXPECT_EQ(status, 0);
    return {hdu, data};
}

std::string contents(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(CrossCheckTest, CorrectedFilesCarryChecksumsThatVerify)
{
    const std::string checksum = card("CHECKSUM", "'0000000000000000'", "HDU checksum");
    const std::string datasum = rawCard("DATASUM = '0'                 / data unit checksum, long comment to col 80");
    const struct {
        std::vector<std::string> extra;
        std::pair<int, int> verdict; // CHECKSUM, DATASUM
        const char* unmatched;
    } cases[] = {
        {{checksum, datasum}, {1, 1}, "CHECKSUM and DATASUM"},
        {{rawCard("DATASUM = '99999999999'       / longer than any sum"), card("EXPTIME", "30")}, {0, 1}, "DATASUM"},
        {{card("EXPTIME", "30"), checksum}, {1, 0}, "CHECKSUM"},
        {{card("PROGRAM", "'PixInsight'"), checksum, datasum}, {1, 1}, "CHECKSUM and DATASUM"},
    };
    for (const auto& c : cases) {
        // Negative samples and a cut last record: the samples written are not those read.
        std::vector<float> samples(37 * 23);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<float>(i % 89) * 3.25f - 40.0f;
        const auto cards = floatImageCards(37, 23, c.extra);
        const auto path = writeCorrected(cards, samples);
        EXPECT_EQ(ws.image.unmatchedChecksums, c.unmatched);
        EXPECT_EQ(libraryVerdict(path), c.verdict);
        // Every card but the two keeps its bytes; the two keep their comments.
        const std::string written = contents(path), header = headerRecords(cards);
        for (std::size_t at = 0; at < header.size(); at += 80) {
            const std::string before = header.substr(at, 80), after = written.substr(at, 80);
            if (before.starts_with("CHECKSUM") || before.starts_with("DATASUM"))
                EXPECT_EQ(after.substr(30), before.substr(30));
            else
                EXPECT_EQ(after, before);
        }
        // The file as written matches its cards when read again.
        ASSERT_TRUE(loadFitsHeader(ws, path));
        ASSERT_TRUE(loadAllImageDataFloat32(ws));
        EXPECT_EQ(ws.image.unmatchedChecksums, "");
    }
}

TEST(Checksum, EncodedAsTheLibraryEncodesIt)
{
    std::vector<std::uint32_t> sums{0, 1, 0xFFFFFFFFu, 0xFFFFFFFEu, 0x80000000u, 0x3A3A3A3Au, 0x5F5F5F5Fu};
    std::uint32_t x = 12345;
    for (int i = 0; i < 20000; ++i)
        sums.push_back(x = x * 1664525u + 1013904223u);
    for (const std::uint32_t sum : sums) {
        char ascii[17] = {};
        fits_encode_chksum(sum, 1, ascii);
        ASSERT_EQ(encodedChecksumOwn(sum), std::string(ascii)) << sum;
    }
}

TEST(Checksum, OnesComplementSumWrapsEndAround)
{
    const struct {
        std::vector<std::vector<unsigned char>> pieces;
        std::uint32_t sum;
    } cases[] = {
        {{{0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 2}}, 2},
        {{{0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}}, 0x00020000},
        {{{0xFF, 0xFF, 0x00, 0x00}, {0x00, 0x01, 0x00, 0x00}}, 0x00000001},
        {{{0, 0, 0, 1}, {0x12, 0x34}}, 0x12340001},
    };
    for (const auto& c : cases) {
        OnesComplementSum sum;
        for (const auto& piece : c.pieces)
            sum.add(piece.data(), piece.size());
        EXPECT_EQ(sum.value(), c.sum);
    }
}

} // namespace
} // namespace kestrel::testing
