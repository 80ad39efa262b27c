// Charts drawn with cairo: one drawing routine for every format, onto a vector surface
// for SVG and PDF and onto a bitmap at twice the size for PNG. Each file is drawn into
// memory first and written whole afterwards, so a failed drawing leaves no file.
#include "plot/plot.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/whole_file.h"
#include "plot/cairo_library.h"


#include <algorithm>
#include <cmath>
#include <memory>

namespace kestrel::plot {
namespace {

constexpr double pageWidth = 720;
constexpr double pageHeight = 450;
constexpr double pngScale = 2; // pixels per point: sharp on screens of high density
constexpr const char* fontFamily = "DejaVu Sans";

const Colour black{0, 0, 0};
const Colour axisGrey{0.35, 0.35, 0.35};
const Colour gridGrey{0.88, 0.88, 0.88};
const Colour white{1, 1, 1};

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo().surface_destroy(s); }
};
struct ContextDeleter {
    void operator()(cairo_t* c) const { cairo().destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

[[noreturn]] void failDrawing(cairo_status_t status)
{
    throw Failure(std::string("the drawing failed: ") + cairo().status_to_string(status));
}

void check(cairo_surface_t* surface)
{
    if (const cairo_status_t s = cairo().surface_status(surface); s != CAIRO_STATUS_SUCCESS)
        failDrawing(s);
}

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length)
{
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

/// A step of 1, 2 or 5 times a power of ten that cuts `range` into about `parts` parts.
double niceStep(double range, double parts)
{
    const double rough = range / parts;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    const double r = rough / magnitude;
    return (r < 1.5 ? 1 : r < 3.5 ? 2 : r < 7.5 ? 5 : 10) * magnitude;
}

/// Decimals that show every multiple of `step` exactly: 0 for whole steps.
int decimalsFor(double step)
{
    return std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
}

/// Multiples of `step` from `from` to `to`.
std::vector<double> ticks(double from, double to, double step)
{
    std::vector<double> out;
    for (double k = std::ceil(from / step - 1e-9); k * step <= to + step * 1e-9; k += 1)
        out.push_back(k * step == 0 ? 0.0 : k * step); // no "-0"
    return out;
}

class Painter {
public:
    Painter(cairo_t* cr, const Chart& chart) : cr_(cr), chart_(chart) { layOut(); }

    void draw()
    {
        fill(white, 0, 0, pageWidth, pageHeight);
        cairo().save(cr_);
        cairo().rectangle(cr_, left_, top_, right_ - left_, bottom_ - top_);
        cairo().clip(cr_);
        drawShades();
        drawGrid();
        for (const Series& s : chart_.series)
            drawLine(s);
        for (const Mark& m : chart_.marks)
            drawMark(m);
        for (const Series& s : chart_.series)
            for (std::size_t i = 0; i < s.x.size(); ++i)
                drawMarker(s, px(s.x[i]), py(s.y[i]));
        cairo().restore(cr_);
        drawShadeLabels();
        drawMarkLabels();
        drawAxes();
        drawTitleAndLegend();
    }

private:
    void layOut()
    {
        xMin_ = chart_.xMin;
        xMax_ = chart_.xMax;
        if (!(xMin_ < xMax_) || !std::isfinite(xMin_) || !std::isfinite(xMax_))
            throw Failure("the plot's x axis is empty");
        double lo = INFINITY, hi = -INFINITY;
        for (const Series& s : chart_.series) {
            if (s.x.size() != s.y.size())
                failRange();
            for (std::size_t i = 0; i < s.x.size(); ++i) {
                if (!std::isfinite(s.x[i]) || !std::isfinite(s.y[i]))
                    throw Failure("the plot holds a value that is not a finite number");
                lo = std::min(lo, s.y[i]);
                hi = std::max(hi, s.y[i]);
            }
        }
        if (lo > hi)
            lo = 0, hi = 1;
        double range = hi - lo;
        if (!(range > std::max(std::fabs(hi), std::fabs(lo)) * 1e-12))
            range = std::max(1.0, std::fabs(hi) * 1e-3), lo -= range / 2, hi += range / 2;
        // Room above the points for the names of the shaded ranges and marks.
        yMin_ = lo - 0.08 * range;
        yMax_ = hi + (chart_.shades.empty() && chart_.marks.empty() ? 0.08 : 0.2) * range;
        yStep_ = niceStep(yMax_ - yMin_, 6);
        xStep_ = chart_.xTickStep > 0 ? chart_.xTickStep : niceStep(xMax_ - xMin_, 8);

        // The left margin fits the widest tick label.
        setFont(tickSize, false);
        double widest = 0;
        for (double y : ticks(yMin_, yMax_, yStep_))
            widest = std::max(widest, textWidth(formatFixedTrimmed(y, decimalsFor(yStep_))));
        left_ = 30 + widest + 12;
        right_ = pageWidth - 18;
        top_ = 50;
        bottom_ = pageHeight - 52;
    }

    double px(double x) const { return left_ + (x - xMin_) / (xMax_ - xMin_) * (right_ - left_); }
    double py(double y) const { return bottom_ - (y - yMin_) / (yMax_ - yMin_) * (bottom_ - top_); }

    void colour(const Colour& c) { cairo().set_source_rgb(cr_, c.red, c.green, c.blue); }
    void fill(const Colour& c, double x, double y, double w, double h)
    {
        colour(c);
        cairo().rectangle(cr_, x, y, w, h);
        cairo().fill(cr_);
    }
    void line(double x0, double y0, double x1, double y1)
    {
        cairo().move_to(cr_, x0, y0);
        cairo().line_to(cr_, x1, y1);
        cairo().stroke(cr_);
    }

    static constexpr double titleSize = 14.5, labelSize = 12.5, tickSize = 11, noteSize = 10.5;
    void setFont(double size, bool bold, bool italic = false)
    {
        cairo().select_font_face(cr_, fontFamily, italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                               bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        cairo().set_font_size(cr_, size);
    }
    double textWidth(const std::string& text)
    {
        cairo_text_extents_t e;
        cairo().text_extents(cr_, text.c_str(), &e);
        return e.x_advance;
    }
    /// Text at baseline y, its left end, centre or right end (align 0, 0.5, 1) at x.
    void text(const std::string& s, double x, double y, double align)
    {
        cairo().move_to(cr_, x - align * textWidth(s), y);
        cairo().show_text(cr_, s.c_str());
        cairo().new_path(cr_);
    }

    void drawShades()
    {
        for (const Shade& s : chart_.shades)
            fill(s.colour, px(s.from), top_, px(s.to) - px(s.from), bottom_ - top_);
    }

    void drawShadeLabels()
    {
        setFont(noteSize, false, true);
        for (const Shade& s : chart_.shades) {
            colour(axisGrey);
            const double from = std::max(px(s.from), left_), to = std::min(px(s.to), right_);
            if (to > from)
                text(s.label, (from + to) / 2, top_ + 16, 0.5);
        }
    }

    void drawGrid()
    {
        colour(gridGrey);
        cairo().set_line_width(cr_, 0.8);
        for (double y : ticks(yMin_, yMax_, yStep_))
            line(left_, py(y), right_, py(y));
    }

    void drawLine(const Series& s)
    {
        if (s.x.size() < 2 || !s.joined)
            return;
        colour(s.colour);
        cairo().set_line_width(cr_, 1.2);
        dashedFor(s);
        cairo().move_to(cr_, px(s.x[0]), py(s.y[0]));
        for (std::size_t i = 1; i < s.x.size(); ++i)
            cairo().line_to(cr_, px(s.x[i]), py(s.y[i]));
        cairo().stroke(cr_);
        cairo().set_dash(cr_, nullptr, 0, 0);
    }

    /// A series without markers is drawn dashed.
    void dashedFor(const Series& s)
    {
        static const double dash[] = {6, 4};
        if (s.marker == MarkerShape::none)
            cairo().set_dash(cr_, dash, 2, 0);
    }

    /// One shape per point: a filled one edged in white, so that points close to each
    /// other stay apart, or a ring filled with white.
    void drawMarker(const Series& s, double x, double y)
    {
        switch (s.marker) {
        case MarkerShape::circle:
            cairo().arc(cr_, x, y, 4.2, 0, 2 * M_PI);
            break;
        case MarkerShape::square:
            cairo().rectangle(cr_, x - 3, y - 3, 6, 6);
            break;
        case MarkerShape::none:
            return;
        case MarkerShape::ring:
            cairo().arc(cr_, x, y, 5.2, 0, 2 * M_PI);
            colour(white);
            cairo().fill_preserve(cr_);
            colour(s.colour);
            cairo().set_line_width(cr_, 1.6);
            cairo().stroke(cr_);
            return;
        }
        colour(s.colour);
        cairo().fill_preserve(cr_);
        colour(white);
        cairo().set_line_width(cr_, 0.8);
        cairo().stroke(cr_);
    }

    void drawMark(const Mark& m)
    {
        colour(m.colour);
        cairo().set_line_width(cr_, 1.3);
        const double dash[] = {5, 3};
        cairo().set_dash(cr_, dash, 2, 0);
        line(px(m.x), top_, px(m.x), bottom_);
        cairo().set_dash(cr_, nullptr, 0, 0);
        if (m.y) {
            cairo().set_line_width(cr_, 1.6);
            cairo().arc(cr_, px(m.x), py(*m.y), 8, 0, 2 * M_PI);
            cairo().stroke(cr_);
        }
    }

    void drawMarkLabels()
    {
        setFont(noteSize, true);
        struct Placed {
            double from, to, baseline;
        };
        std::vector<Placed> placed;
        for (const Mark& m : chart_.marks) {
            colour(m.colour);
            const double width = textWidth(m.label);
            const bool roomRight = px(m.x) + 4 + width < right_ - 4;
            const double from = roomRight ? px(m.x) + 5 : px(m.x) - 5 - width;
            double baseline = top_ + 32;
            for (bool clash = true; clash;) {
                clash = false;
                for (const Placed& p : placed)
                    if (p.baseline == baseline && from < p.to + 6 && p.from < from + width + 6) {
                        baseline += noteSize + 4;
                        clash = true;
                    }
            }
            placed.push_back({from, from + width, baseline});
            text(m.label, from, baseline, 0);
        }
    }

    /// A tick this close to the frame's side would only thicken it.
    static bool onEdge(double at, double low, double high) { return at < low + 2 || at > high - 2; }

    void drawAxes()
    {
        colour(black);
        cairo().set_line_width(cr_, 1);
        cairo().rectangle(cr_, left_, top_, right_ - left_, bottom_ - top_);
        cairo().stroke(cr_);

        // Ticks inside the frame on all four sides, labels outside on the left and below.
        setFont(tickSize, false);
        const int yDecimals = decimalsFor(yStep_);
        for (double y : ticks(yMin_, yMax_, yStep_)) {
            if (onEdge(py(y), top_, bottom_))
                continue;
            line(left_, py(y), left_ + 5, py(y));
            line(right_, py(y), right_ - 5, py(y));
            text(formatFixedTrimmed(y, yDecimals), left_ - 7, py(y) + 4, 1);
        }
        const int xDecimals = decimalsFor(xStep_);
        for (double x : ticks(xMin_, xMax_, xStep_)) {
            if (onEdge(px(x), left_, right_))
                continue;
            line(px(x), bottom_, px(x), bottom_ - 5);
            line(px(x), top_, px(x), top_ + 5);
            text(formatFixedTrimmed(x, xDecimals), px(x), bottom_ + 16, 0.5);
        }

        setFont(labelSize, false);
        text(chart_.xLabel, (left_ + right_) / 2, pageHeight - 14, 0.5);
        cairo().save(cr_);
        cairo().translate(cr_, 20, (top_ + bottom_) / 2);
        cairo().rotate(cr_, -M_PI / 2);
        text(chart_.yLabel, 0, 0, 0.5);
        cairo().restore(cr_);
    }

    /// The title on the left above the plot, the legend on the right: one entry per
    /// series, its marker on a short piece of its line.
    void drawTitleAndLegend()
    {
        colour(black);
        setFont(titleSize, true);
        text(chart_.title, left_, 22, 0);
        colour(axisGrey);
        setFont(noteSize, false);
        text(chart_.subtitle, left_, 39, 0);

        setFont(noteSize + 0.5, false);
        double x = right_;
        for (auto s = chart_.series.rbegin(); s != chart_.series.rend(); ++s) {
            colour(black);
            x -= textWidth(s->label);
            text(s->label, x, 22, 0);
            const double centre = x - 16;
            colour(s->colour);
            cairo().set_line_width(cr_, 1.2);
            dashedFor(*s);
            if (s->joined)
                line(centre - 10, 18, centre + 10, 18);
            cairo().set_dash(cr_, nullptr, 0, 0);
            drawMarker(*s, centre, 18);
            x = centre - 10 - 16;
        }
    }

    cairo_t* cr_;
    const Chart& chart_;
    double xMin_ = 0, xMax_ = 1, yMin_ = 0, yMax_ = 1, xStep_ = 1, yStep_ = 1;
    double left_ = 0, right_ = 0, top_ = 0, bottom_ = 0;
};

void paint(cairo_surface_t* surface, const Chart& chart, double scale)
{
    check(surface);
    const Context cr(cairo().create(surface));
    cairo().scale(cr.get(), scale, scale);
    Painter(cr.get(), chart).draw();
    if (const cairo_status_t s = cairo().status(cr.get()); s != CAIRO_STATUS_SUCCESS)
        failDrawing(s);
}

} // namespace

std::optional<std::string> plotsUnavailable() { return cairoMissing(); }

std::string renderChart(const Chart& chart, Format format)
{
    std::string bytes;
    if (format == Format::png) {
        const Surface surface(cairo().image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(pageWidth * pngScale),
                                                         static_cast<int>(pageHeight * pngScale)));
        paint(surface.get(), chart, pngScale);
        cairo().surface_flush(surface.get());
        if (const cairo_status_t s = cairo().surface_write_to_png_stream(surface.get(), appendBytes, &bytes);
            s != CAIRO_STATUS_SUCCESS)
            failDrawing(s);
        return bytes;
    }
    const Surface surface(format == Format::svg
                              ? cairo().svg_surface_create_for_stream(appendBytes, &bytes, pageWidth, pageHeight)
                              : cairo().pdf_surface_create_for_stream(appendBytes, &bytes, pageWidth, pageHeight));
    if (format == Format::pdf) {
        cairo().pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_TITLE, chart.title.c_str());
        cairo().pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATOR, "Kestrel");
    }
    paint(surface.get(), chart, 1);
    cairo().surface_finish(surface.get());
    check(surface.get());
    return bytes;
}

Raster renderRaster(const Chart& chart, double scale)
{
    if (!(scale > 0 && scale < 8))
        throw Failure("the plot's scale must lie between 0 and 8");
    Raster out;
    out.width = static_cast<int>(std::lround(pageWidth * scale));
    out.height = static_cast<int>(std::lround(pageHeight * scale));
    const Surface surface(cairo().image_surface_create(CAIRO_FORMAT_ARGB32, out.width, out.height));
    paint(surface.get(), chart, scale);
    cairo().surface_flush(surface.get());
    out.stride = cairo().image_surface_get_stride(surface.get());
    const unsigned char* data = cairo().image_surface_get_data(surface.get());
    if (!data)
        failDrawing(cairo().surface_status(surface.get()));
    out.pixels.assign(data, data + static_cast<std::size_t>(out.stride) * static_cast<std::size_t>(out.height));
    return out;
}

void writeChart(const Chart& chart, const std::filesystem::path& file)
{
    const auto format = formatFor(file);
    if (!format)
        throw Failure(cannotWrite(file, "a plot file name must end in .svg, .png or .pdf"));
    std::string bytes;
    try {
        bytes = renderChart(chart, *format);
    } catch (const Failure& f) {
        throw Failure(cannotWrite(file, f.message()));
    }
    writeWholeFile(file, bytes);
}

} // namespace kestrel::plot

#if defined(__SANITIZE_ADDRESS__) // gcc
#define KESTREL_LEAKS_CHECKED 1
#elif defined(__has_feature) // clang
#if __has_feature(address_sanitizer)
#define KESTREL_LEAKS_CHECKED 1
#endif
#endif
#ifdef KESTREL_LEAKS_CHECKED
// Fontconfig, which cairo asks for the font, keeps a few patterns it never frees. The
// leak checker would fail every program that draws a plot for them.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
