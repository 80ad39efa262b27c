// The plot formats by file name, in every build: with or without a drawing library,
// --plot checks its file name the same way.
#include "plot/plot.h"

#include <algorithm>
#include <cctype>

namespace kestrel::plot {

std::optional<Format> formatFor(const std::filesystem::path& file)
{
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".svg")
        return Format::svg;
    if (extension == ".png")
        return Format::png;
    if (extension == ".pdf")
        return Format::pdf;
    return std::nullopt;
}

} // namespace kestrel::plot
