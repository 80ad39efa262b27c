// The results file "kestrel.csv": one header line when it is created, then one line per
// measured image of each export, appended.
#include "settings/settings.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/platform.h"
#include "core/whole_file.h"

#include <cstring>
#include <system_error>

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
    const AppendingFile out = openForAppending(file);

    std::string text;
    if (out.created)
        text += std::string(header) + lineEnd;
    if (out.size > 0 && byteAt(out.fd, out.size - 1).value_or('\n') != '\n')
        text += lineEnd;
    for (const tImageData& entry : entries)
        if (entry.measured)
            text += resultsCsvLine(entry) + lineEnd;

    int error = writeAll(out.fd, text.data(), text.size());
    if (const int closed = closeFile(out.fd); error == 0)
        error = closed;
    if (error == 0)
        return;

    // The whole export is one append; a failure part-way takes it back, so the file is
    // either as it was or holds every line.
    std::error_code ec;
    if (out.created)
        std::filesystem::remove(file, ec);
    else
        std::filesystem::resize_file(file, out.size, ec);
    if (ec)
        throw Failure(cannotWrite(file, std::string(std::strerror(error)) +
                                                    "; the lines written could not be taken back"));
    throw Failure(cannotWrite(file, std::strerror(error)));
}

} // namespace kestrel
