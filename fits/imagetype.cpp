#include "fits/cards.h"
#include "fits/workspace.h"

#include "core/arith.h"
#include "core/numbers.h"
#include "core/report.h"

#include <cmath>

namespace kestrel {
namespace {

// BITPIX 16, a BZERO whose truncated value passes `bzeroAccepted`, and a BSCALE whose
// truncated value is 1. `storeOffset` keeps the truncated BZERO in the workspace.
template <class Accept>
bool sixteenBitTest(Workspace& ws, const char* routine, bool storeOffset, Accept bzeroAccepted)
{
    bool result = false;
    reportFailures(ws.host, inFunction(routine), [&] {
        if (!fitsKeywordPresent(ws, "BITPIX") || getFitsInteger(ws, "BITPIX") != 16)
            return;
        if (!fitsKeywordPresent(ws, "BZERO"))
            return;
        const std::int32_t bzero = truncToInt32(getFitsDouble(ws, "BZERO"));
        if (storeOffset)
            ws.image.bzeroOffset = bzero;
        if (!bzeroAccepted(bzero))
            return;
        if (!fitsKeywordPresent(ws, "BSCALE"))
            return;
        // Only BZERO must fit 32 bits; a BSCALE of any size simply is not 1.
        if (std::trunc(getFitsDouble(ws, "BSCALE")) != 1)
            return;
        result = true;
    });
    return result;
}

} // namespace

bool float32File(Workspace& ws)
{
    bool result = false;
    reportFailures(ws.host, inFunction("float32File"),
                   [&] { result = fitsKeywordPresent(ws, "BITPIX") && getFitsInteger(ws, "BITPIX") == -32; });
    return result;
}

bool unsigned16Bit(Workspace& ws)
{
    return sixteenBitTest(ws, "unsigned16Bit", true, [](std::int32_t z) { return z == 32767 || z == 32768; });
}

bool signed16Bit(Workspace& ws)
{
    return sixteenBitTest(ws, "signed16Bit", false, [](std::int32_t z) { return z == 0; });
}

std::int32_t getTypeofFile(Workspace& ws)
{
    std::int32_t result = 0;
    reportFailures(ws.host, inFunction("getTypeofFile"), [&] {
        if (unsigned16Bit(ws))
            result = typeUnsigned16;
        else if (float32File(ws))
            result = typeFloat32;
        else if (signed16Bit(ws))
            result = typeSigned16;
    });
    return result;
}

bool pixInsightFile(Workspace& ws)
{
    bool result = false;
    reportFailures(ws.host, inFunction("pixInsightFile"), [&] {
        for (const auto& card : ws.image.headerCards) {
            const std::string folded = cards::upperAscii(card);
            if (cards::keywordField(folded) != "PROGRAM")
                continue;
            if (folded.find("PIXINSIGHT") == std::string::npos)
                return; // the first PROGRAM card decides
            result = true;
        }
    });
    return result;
}

double getTemp(Workspace& ws)
{
    double result = 20000.0;
    reportFailures(ws.host, inFunction("getTemp"), [&] {
        cards::scanLastGoodValue(
            ws.image.headerCards, [](const std::string& k) { return k == "CCD-TEMP"; },
            [](std::string_view text) { return converted(parseReal(text)); }, 20000.0, result);
    });
    return result;
}

std::int32_t getExposure(Workspace& ws)
{
    std::int32_t result = 0;
    reportFailures(ws.host, inFunction("getExposure"), [&] {
        cards::scanLastGoodValue(
            ws.image.headerCards, [](const std::string& k) { return k == "EXPOSURE" || k == "EXPTIME"; },
            [](std::string_view text) -> std::optional<std::int32_t> {
                const auto seconds = converted(parseReal(text));
                if (!seconds)
                    return std::nullopt;
                // The exposure is held as a single-precision float before it is rounded.
                return roundToInt32(toSingle(*seconds));
            },
            0, result);
    });
    return result;
}

} // namespace kestrel
