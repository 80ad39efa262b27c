#include "fits/cards.h"
#include "fits/workspace.h"

#include "core/numbers.h"
#include "core/report.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kestrel {
namespace cards {

std::string upperAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool isEndCard(std::string_view card)
{
    if (card.size() < 8 || upperAscii(card.substr(0, 3)) != "END")
        return false;
    return card.substr(3, 5).find_first_not_of(' ') == std::string_view::npos;
}

std::string keywordField(std::string_view card)
{
    return upperAscii(trimBlanks(card.substr(0, std::min<std::size_t>(8, card.size()))));
}

std::string_view valueText(std::string_view card)
{
    if (card.size() <= 10)
        return {};
    return trimBlanks(card.substr(10, 69));
}

std::string_view numberText(std::string_view value)
{
    const std::size_t end = value.find_first_of(" /");
    return end == std::string_view::npos ? value : value.substr(0, end);
}

} // namespace cards

namespace {

constexpr std::size_t recordBytes = 2880;
constexpr std::size_t cardsPerRecord = 36;

} // namespace

bool loadFitsHeader(Workspace& ws, const std::filesystem::path& fileName)
{
    // A file that a skipped or failed image left open is closed before the next one.
    ws.fitsFile.close();
    ws.fitsFile.openRead(fileName); // a file that cannot be opened is the caller's to report

    bool result = false;
    const bool ok = reportFailures(ws.host, inFunction("loadFitsHeader"), [&] {
        ws.image.headerCards.clear();
        ws.image.rawHeader.clear();
        char record[recordBytes];
        for (int records = 0; records < maxHeaderRecords; ++records) {
            std::memset(record, ' ', sizeof record);
            const std::size_t n = ws.fitsFile.read(record, recordBytes);
            for (std::size_t c = 0; c < cardsPerRecord; ++c) {
                Card card;
                std::memcpy(card.data(), record + c * 80, 80);
                ws.image.rawHeader.push_back(card);
            }
            if (n < recordBytes)
                return;
            for (std::size_t c = 0; c < cardsPerRecord; ++c) {
                const std::string_view text(record + c * 80, 80);
                if (cards::isEndCard(text)) {
                    result = true;
                    return;
                }
                ws.image.headerCards.emplace_back(text);
            }
        }
    });
    if (!ok)
        ws.host.errorBox("Function loadFitsHeader failed.");
    if (!result)
        ws.fitsFile.close();
    return result;
}

bool fitsKeywordPresent(Workspace& ws, std::string_view keyword)
{
    bool result = false;
    reportFailures(ws.host, inFunction("fitsKeywordPresent"), [&] {
        const std::string wanted = cards::upperAscii(keyword);
        for (const auto& card : ws.image.headerCards)
            if (cards::keywordField(card) == wanted)
                result = true;
    });
    return result;
}

std::int32_t getFitsInteger(Workspace& ws, std::string_view keyword)
{
    std::int32_t result = 0;
    reportFailures(ws.host, inFunction("getFitsInteger"), [&] {
        const std::string wanted = cards::upperAscii(keyword);
        cards::scanLastGoodValue(
            ws.image.headerCards, [&](const std::string& k) { return k == wanted; },
            [](std::string_view text) { return converted(parseInteger(text)); }, 0, result);
    });
    return result;
}

double getFitsDouble(Workspace& ws, std::string_view keyword)
{
    double result = 20000.0;
    reportFailures(ws.host, inFunction("getFitsDouble"), [&] {
        const std::string wanted = cards::upperAscii(keyword);
        cards::scanLastGoodValue(
            ws.image.headerCards, [&](const std::string& k) { return k == wanted; },
            [](std::string_view text) { return converted(parseReal(text)); }, 20000.0, result);
    });
    return result;
}

namespace {

/// The cards whose keyword is `wanted`, in order.
std::vector<std::string_view> cardsOf(const Image& image, const std::string& wanted)
{
    std::vector<std::string_view> found;
    for (const auto& card : image.headerCards)
        if (cards::keywordField(card) == wanted)
            found.emplace_back(card);
    return found;
}

bool isAxisKeyword(const std::string& keyword)
{
    return keyword.size() > 5 && keyword.compare(0, 5, "NAXIS") == 0 &&
           keyword.find_first_not_of("0123456789", 5) == std::string::npos;
}

} // namespace

std::string primaryImageReason(Workspace& ws)
{
    const Image& image = ws.image;
    // A structural keyword given twice leaves the layout of the data in doubt.
    std::vector<std::string> seen;
    for (const auto& card : image.headerCards) {
        const std::string keyword = cards::keywordField(card);
        if (keyword != "BITPIX" && keyword != "NAXIS" && !isAxisKeyword(keyword))
            continue;
        if (std::find(seen.begin(), seen.end(), keyword) != seen.end())
            return "the header gives " + keyword + " more than once";
        seen.push_back(keyword);
    }
    // The number of axes and each axis' size: a whole number, written as one.
    auto axisValue = [&](const std::string& keyword, std::int64_t& value) -> std::string {
        const auto found = cardsOf(image, keyword);
        if (found.empty())
            return "the header has no " + keyword;
        const std::string_view text = cards::numberText(cards::valueText(found.front()));
        const auto parsed = converted(parseInteger(text));
        if (!parsed)
            return keyword + " is not an integer (" + std::string(text) + ")";
        value = *parsed;
        return {};
    };
    std::int64_t axes = 0;
    if (std::string reason = axisValue("NAXIS", axes); !reason.empty())
        return reason;
    if (axes == 0) {
        // An empty primary HDU is followed at once by the first extension's header.
        char start[8] = {};
        const std::size_t n = ws.fitsFile.isOpen() ? ws.fitsFile.read(start, sizeof start) : 0;
        if (n == sizeof start && std::string_view(start, sizeof start) == "XTENSION")
            return "the image is in extension 1, not in the primary HDU";
        return "NAXIS is 0: the primary HDU holds no image";
    }
    if (axes < 0 || axes > 999)
        return "NAXIS is " + std::to_string(axes) + ", not a number of axes";
    // Random groups (GROUPS = T, NAXIS1 = 0) are parameters and arrays, not an image.
    if (const auto groups = cardsOf(image, "GROUPS");
        !groups.empty() && cards::numberText(cards::valueText(groups.front())) == "T")
        return "the primary HDU holds random groups, not an image";
    std::uint64_t planes = 1;
    for (std::int64_t n = 1; n <= std::max<std::int64_t>(axes, 2); ++n) {
        const std::string keyword = "NAXIS" + std::to_string(n);
        std::int64_t size = 0;
        if (std::string reason = axisValue(keyword, size); !reason.empty())
            return reason;
        // An empty NAXIS1 or NAXIS2 is the measurement's to report, with both sizes.
        if (size <= 0 && n >= 3)
            return keyword + " is " + std::to_string(size) + ": the image has no samples";
        if (n >= 3)
            planes = std::min<std::uint64_t>(planes * static_cast<std::uint64_t>(size), 1ull << 40);
    }
    if (planes > 1)
        return "holds " + std::to_string(planes) + " image planes; Kestrel corrects single images";
    return {};
}

std::string scaledFloatReason(Workspace& ws)
{
    // The value as the header writes it, when it is not `unscaled`.
    auto scaling = [&](const char* keyword, double unscaled) -> std::string {
        const auto found = cardsOf(ws.image, keyword);
        if (found.empty())
            return {};
        const std::string_view text = cards::numberText(cards::valueText(found.back()));
        const auto value = converted(parseReal(text));
        if (value && *value == unscaled)
            return {};
        return std::string(keyword) + " " + std::string(text);
    };
    const std::string bscale = scaling("BSCALE", 1.0);
    const std::string bzero = scaling("BZERO", 0.0);
    if (bscale.empty() && bzero.empty())
        return {};
    const std::string both = bscale.empty() ? bzero : bzero.empty() ? bscale : bscale + " and " + bzero;
    return "scaled by " + both + ": Kestrel corrects unscaled 32-bit float images";
}

std::string noHeaderReason(const Image& image)
{
    if (!image.rawHeader.empty() && static_cast<unsigned char>(image.rawHeader.front()[0]) == 0x1f &&
        static_cast<unsigned char>(image.rawHeader.front()[1]) == 0x8b)
        return "compressed with gzip: unpack it with gunzip first";
    return "no readable FITS header";
}

} // namespace kestrel
