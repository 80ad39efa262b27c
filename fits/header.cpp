#include "fits/cards.h"
#include "fits/workspace.h"

#include "core/numbers.h"
#include "core/report.h"

#include <algorithm>
#include <cstring>

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

} // namespace kestrel
