// The results file "kestrel.csv": one header line when it is created, then one line per
// measured image of each export, appended.
#include "settings/settings.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/whole_file.h"

namespace kestrel {

namespace {

constexpr const char* header = "Image,Binning,CCDtemp,Exposure,Amplitude";
constexpr const char* lineEnd = "\r\n";

/// A field as it goes into the line: quoted, with its quotes doubled, only when it holds
/// a comma, a double quote or a line break, which would otherwise change the fields.
std::string csvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

} // namespace

std::string resultsCsvLine(const tImageData& entry)
{
    return csvField(trimBlanks(entry.image)) + "," + csvField(entry.binning) + "," + std::to_string(entry.ccdTemp) +
           "," + std::to_string(entry.exposure) + "," + formatFixedTrimmed(entry.amplitude, 2, 10);
}

void appendResultsCsv(const std::filesystem::path& file, const std::vector<tImageData>& entries)
{
    std::string lines;
    for (const tImageData& entry : entries)
        if (entry.measured)
            lines += resultsCsvLine(entry) + lineEnd;
    // The header line starts a new file, and an empty one.
    appendWhole(file, lines, std::string(header) + lineEnd);
}

} // namespace kestrel
