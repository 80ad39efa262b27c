// A build without cairo (every Windows build: Debian builds no cairo for Windows) draws
// no plots. It says so instead of writing an empty or broken file.
#include "plot/plot.h"

#include "core/failure.h"
#include "core/whole_file.h"

namespace kestrel::plot {
namespace {

constexpr const char* reason = "this kestrel-cli draws no plots: it was built without cairo, as on Windows";

} // namespace

std::optional<std::string> plotsUnavailable() { return reason; }

std::string renderChart(const Chart&, Format) { throw Failure(reason); }

Raster renderRaster(const Chart&, double) { throw Failure(reason); }

void writeChart(const Chart&, const std::filesystem::path& file) { throw Failure(cannotWrite(file, reason)); }

} // namespace kestrel::plot
