// Files our writer produces, read back by CFITSIO, a reader that shares no code with ours.
#include "tests/fits/fits_fixture.h"

#include "fits/checksum.h"
#include "fits/writer.h"

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

TEST_F(CrossCheckTest, CorrectedFilesCarryChecksumsThatVerify)
{
    const std::string checksum = card("CHECKSUM", "'0000000000000000'", "HDU checksum");
    const std::string datasum = rawCard("DATASUM = '0'                 / data unit checksum, long comment to col 80");
    const struct {
        std::vector<std::string> extra;
        int checksumOk, datasumOk; // as the library verifies them: 1 matches, 0 absent
        const char* unmatched;
    } cases[] = {
        {{checksum, datasum}, 1, 1, "CHECKSUM and DATASUM"},
        {{rawCard("DATASUM = '99999999999'       / longer than any sum")}, 0, 1, "DATASUM"},
        {{card("EXPTIME", "30"), checksum}, 1, 0, "CHECKSUM"},
        {{card("PROGRAM", "'PixInsight'"), checksum, datasum}, 1, 1, "CHECKSUM and DATASUM"},
    };
    for (const auto& c : cases) {
        // Negative samples and a cut last record: the samples written are not those read.
        std::vector<float> samples(37 * 23, -40.0f);
        samples[5] = 0.5f;
        const auto cards = floatImageCards(37, 23, c.extra);
        const auto path = writeCorrected(cards, samples);
        EXPECT_EQ(ws.image.unmatchedChecksums, c.unmatched);
        fitsfile* f = nullptr;
        int status = 0, dataOk = 0, hduOk = 0;
        fits_open_file(&f, path.c_str(), READONLY, &status), fits_verify_chksum(f, &dataOk, &hduOk, &status);
        fits_close_file(f, &status);
        EXPECT_EQ(std::pair(hduOk, dataOk), std::pair(c.checksumOk, c.datasumOk));
        // Every other card keeps its bytes; the two keep their comments where they were.
        std::ifstream in(path, std::ios::binary);
        const std::string written{std::istreambuf_iterator<char>(in), {}}, header = headerRecords(cards);
        for (std::size_t at = 0; at < header.size(); at += 80) {
            const bool summed = header.compare(at, 7, "CHECKSU") == 0 || header.compare(at, 7, "DATASUM") == 0;
            const std::size_t from = at + (summed ? 30 : 0), size = at + 80 - from;
            EXPECT_EQ(written.substr(from, size), header.substr(from, size));
        }
    }
}

// Builds without the library (Windows) encode with the twin: it must agree with it.
TEST(Checksum, EncodedAsTheLibraryEncodesIt)
{
    std::uint32_t sum = 12345;
    for (int i = 0; i < 20000; ++i, sum = sum * 1664525u + 1013904223u) {
        char ascii[17] = {};
        fits_encode_chksum(sum, 1, ascii);
        ASSERT_EQ(encodedChecksumOwn(sum), std::string(ascii)) << sum;
    }
}

} // namespace
} // namespace kestrel::testing
