// Plots of measured values: series of points over shaded ranges of x, with marked
// positions, drawn as an SVG, PNG or PDF file. Knows nothing of bands or images; the
// caller says what to draw.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::plot {

enum class Format { svg, png, pdf };

/// The format a file name asks for by its extension: .svg, .png or .pdf, in any case.
/// Nothing for any other name.
std::optional<Format> formatFor(const std::filesystem::path& file);

/// Nothing where plots are drawn. A build without cairo (KESTREL_PLOTS off, as every
/// Windows build is) gives the reason it draws none: renderChart and writeChart throw it
/// and kestrel-cli refuses --plot with it before it reads any image.
std::optional<std::string> plotsUnavailable();

/// Red, green and blue from 0 to 1.
struct Colour {
    double red = 0;
    double green = 0;
    double blue = 0;
};

/// Filled circles and squares, and open rings, which show a point of another series
/// drawn on top of them inside; `none` draws the line alone, dashed, as for a level to
/// compare the other series with.
enum class MarkerShape { circle, square, ring, none };

/// Points joined by a thin line in the series' colour, each with its marker on top.
struct Series {
    std::string label; // in the legend
    std::vector<double> x, y;
    Colour colour;
    MarkerShape marker = MarkerShape::circle;
    /// False: the markers alone, for points that follow no order along x (a scatter).
    bool joined = true;
};

/// A range of x shaded over the whole height of the plot, named at its top.
struct Shade {
    double from = 0;
    double to = 0;
    std::string label;
    Colour colour;
};

/// A dashed vertical line at x, named at its top; with `y`, the point there is ringed.
/// The names of marks close together are set one under the other.
struct Mark {
    double x = 0;
    std::optional<double> y;
    std::string label;
    Colour colour;
};

/// One plot. The y axis spans the values of the series with a margin.
struct Chart {
    std::string title;
    std::string subtitle; // a smaller line under the title
    std::string xLabel;
    std::string yLabel;
    double xMin = 0;
    double xMax = 1;
    double xTickStep = 0; // 0: chosen from the range
    std::vector<Shade> shades;
    std::vector<Series> series;
    std::vector<Mark> marks;
};

/// The chart as the bytes of a file of `format`: 720 x 450 points for SVG and PDF, twice
/// that in pixels for PNG. An x range that is empty, a series whose x and y differ in
/// length, or a value that is not finite is a Failure, as is a failure of the drawing
/// library (its own message).
std::string renderChart(const Chart& chart, Format format);

/// A chart drawn into memory for a window to show: 32-bit pixels, premultiplied alpha in
/// the top byte and blue in the lowest of each native-endian word, row after row of
/// `stride` bytes.
struct Raster {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<unsigned char> pixels;
};

/// The chart drawn with `scale` pixels per point (720 x 450 points, as the files), by the
/// same routine as the files; failures as renderChart's. A scale that is not a positive
/// number under 8 is a Failure.
Raster renderRaster(const Chart& chart, double scale);

/// Draws the chart into `file` in the format its extension names, whole or not at all
/// (core/whole_file). Throws a Failure "Cannot write FILE: REASON" when the file cannot
/// be drawn or written, also for an extension that names no format.
void writeChart(const Chart& chart, const std::filesystem::path& file);

} // namespace kestrel::plot
