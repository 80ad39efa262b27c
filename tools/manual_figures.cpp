// Draws the manual's figures at build time, from a synthetic frame and Kestrel's own
// code, so that the pictures always show what this build of the program does (the
// band profile is kestrel-cli's own plot):
//
//   kestrel-manual-figures frame OUTPUT.fits
//       a banded 4008-column float frame: sky, a faint nebula, stars, noise, and a
//       band of 4 ADU whose brighter half starts at column 8 of every 32
//   kestrel-manual-figures crop BEFORE.fits AFTER.fits OUTPUT.pdf
//       the same stretched crop of both frames side by side
//   kestrel-manual-figures picture INPUT.png OUTPUT.pdf
//       a PNG (the window's screenshot) as a one-page PDF
//
// The PDF files are cairo's; the manual's build passes them through Ghostscript,
// which writes them in the plain form that groff's PDF output can include.
#include "analysis/analysis.h"
#include "core/standard_descriptors.h"
#include "correction/correction.h"
#include "fits/workspace.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kestrel::ImageView;

constexpr std::int32_t frameWidth = 4008;
constexpr std::int32_t frameHeight = 640;
constexpr std::int32_t framePhase = 8;
constexpr float frameAmplitude = 4.0f;

// ---- The synthetic frame ---------------------------------------------------------

std::string card(const std::string& keyword, const std::string& value)
{
    std::string c = keyword;
    c.resize(8, ' ');
    c += "= ";
    c += std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value;
    c.resize(80, ' ');
    return c;
}

/// A calibrated light frame of a faint nebula, as several frames averaged would show
/// it: the noise is low enough that a band of a few ADU is plain once stretched.
std::vector<float> syntheticFrame()
{
    const std::size_t n = static_cast<std::size_t>(frameWidth) * frameHeight;
    std::vector<float> sky(n);
    struct Blob {
        double x, y, sigma, level;
    };
    const Blob nebula[] = {{1990, 300, 90, 22}, {2080, 360, 45, 14}, {1900, 230, 60, 9}, {2150, 250, 120, 8}};
    for (std::int32_t row = 0; row < frameHeight; ++row)
        for (std::int32_t col = 0; col < frameWidth; ++col) {
            double level = 820.0 + 0.002 * (col - 2000) + 0.008 * (row - 320);
            for (const Blob& b : nebula) {
                const double dx = col - b.x, dy = row - b.y;
                level += b.level * std::exp(-(dx * dx + dy * dy) / (2 * b.sigma * b.sigma));
            }
            sky[static_cast<std::size_t>(row) * frameWidth + col] = static_cast<float>(level);
        }

    std::mt19937 rng(20261207);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    // Star fluxes fall off as a power law: many faint stars, a few bright ones.
    constexpr double sigma = 1.3;
    for (int s = 0; s < 1100; ++s) {
        const double x = uniform(rng) * frameWidth, y = uniform(rng) * frameHeight;
        const double flux = 400.0 * std::pow(1.0 - uniform(rng), -1.4);
        const double peak = std::min(flux / (2 * std::numbers::pi * sigma * sigma), 60000.0);
        const int r = static_cast<int>(std::ceil(6 * sigma + std::log10(peak)));
        for (int row = std::max(0, static_cast<int>(y) - r); row <= std::min(frameHeight - 1, static_cast<int>(y) + r); ++row)
            for (int col = std::max(0, static_cast<int>(x) - r); col <= std::min(frameWidth - 1, static_cast<int>(x) + r);
                 ++col) {
                const double dx = col + 0.5 - x, dy = row + 0.5 - y;
                sky[static_cast<std::size_t>(row) * frameWidth + col] +=
                    static_cast<float>(peak * std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma)));
            }
    }

    std::normal_distribution<float> noise(0.0f, 2.5f);
    for (std::int32_t row = 0; row < frameHeight; ++row)
        for (std::int32_t col = 0; col < frameWidth; ++col) {
            const bool brighterHalf = ((col - framePhase) % 32 + 32) % 32 < 16;
            float& v = sky[static_cast<std::size_t>(row) * frameWidth + col];
            v += noise(rng) + (brighterHalf ? frameAmplitude : 0.0f);
        }
    return sky;
}

int writeFrame(const char* output)
{
    const std::vector<float> pixels = syntheticFrame();
    std::string header = card("SIMPLE", "T") + card("BITPIX", "-32") + card("NAXIS", "2") +
                         card("NAXIS1", std::to_string(frameWidth)) + card("NAXIS2", std::to_string(frameHeight)) +
                         card("EXPTIME", "300.0") + card("CCD-TEMP", "-20.0") + card("OBJECT", "'synthetic'");
    header += std::string("END").append(77, ' ');
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');
    std::string data(pixels.size() * 4, '\0');
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const auto u = std::bit_cast<std::uint32_t>(pixels[i]);
        for (int b = 0; b < 4; ++b)
            data[4 * i + b] = static_cast<char>(u >> (24 - 8 * b));
    }
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    std::ofstream out(output, std::ios::binary);
    out << header << data;
    out.close();
    if (!out)
        throw std::runtime_error(std::string("cannot write ") + output);
    return 0;
}

// ---- Reading frames with Kestrel's own reader --------------------------------------

/// Any box the reader would show is a reason to stop: the figures need whole frames.
class StrictHost : public kestrel::Host {
public:
    void errorBox(const std::string& text) override { throw std::runtime_error(text); }
    void plainBox(const std::string& text) override { throw std::runtime_error(text); }
    void generalErrorBox(const std::string& text) override { throw std::runtime_error(text); }
    bool confirm(const std::string&, bool) override { return false; }
    std::vector<std::filesystem::path> openFiles(const std::string&, const std::string&, bool) override { return {}; }
    void pumpMessages() override {}
    void setBusyCursor(bool) override {}
    bool openDocument(const std::string&) override { return false; }
};

struct Frame {
    std::vector<float> pixels;
    std::int32_t width = 0;
    std::int32_t height = 0;
    ImageView<float> view() { return kestrel::imageView(std::span<float>(pixels), width, height); }
    ImageView<const float> constView() const
    {
        return kestrel::imageView(std::span<const float>(pixels), width, height);
    }
    float at(std::int32_t col, std::int32_t row) const
    {
        return pixels[static_cast<std::size_t>(row) * static_cast<std::size_t>(width) + static_cast<std::size_t>(col)];
    }
};

Frame readFrame(const char* path)
{
    StrictHost host;
    kestrel::Workspace ws(host);
    if (!kestrel::loadFitsHeader(ws, path))
        throw std::runtime_error(std::string(path) + ": no readable FITS header");
    ws.image.imageWidth = kestrel::getFitsInteger(ws, "NAXIS1");
    ws.image.imageHeight = kestrel::getFitsInteger(ws, "NAXIS2");
    kestrel::loadAllImageDataFloat32(ws);
    Frame f{ws.image.floatPixels, ws.image.imageWidth, ws.image.imageHeight};
    f.constView(); // a frame with fewer samples than its header promises fails here
    return f;
}

double backgroundOf(const Frame& f)
{
    return kestrel::backgroundLevel(std::span<const float>(f.pixels)).level;
}

// ---- Drawing ---------------------------------------------------------------------

void check(cairo_surface_t* surface)
{
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(cairo_status_to_string(cairo_surface_status(surface)));
}

/// A grey picture of the crop, black at `black` and white at `white`, linear between.
cairo_surface_t* stretchedCrop(const Frame& f, int x0, int y0, int w, int h, double black, double white)
{
    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_surface_flush(image);
    unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(data + y * stride);
        for (int x = 0; x < w; ++x) {
            const double t = std::clamp((f.at(x0 + x, y0 + y) - black) / (white - black), 0.0, 1.0);
            const auto g = static_cast<std::uint32_t>(std::lround(255 * t));
            row[x] = g << 16 | g << 8 | g;
        }
    }
    cairo_surface_mark_dirty(image);
    return image;
}

void label(cairo_t* cr, double x, double y, const std::string& text, double size, bool centred = false)
{
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_move_to(cr, centred ? x - e.width / 2 - e.x_bearing : x, y);
    cairo_show_text(cr, text.c_str());
}

int drawCrop(const char* beforePath, const char* afterPath, const char* output)
{
    const Frame before = readFrame(beforePath), after = readFrame(afterPath);
    // Around the nebula, away from the edges whose partial bands stay as they are.
    constexpr int w = 448, h = 320, x0 = 1776, y0 = 150, gap = 16, top = 26;
    // A hard stretch: a few ADU of band become a tenth of the grey scale.
    const double background = backgroundOf(before);
    const double black = background - 2.0, white = background + 38.0;

    cairo_surface_t* pdf = cairo_pdf_surface_create(output, 2 * w + gap, h + top);
    cairo_t* cr = cairo_create(pdf);
    const char* titles[] = {"Before", "After"};
    const Frame* frames[] = {&before, &after};
    for (int i = 0; i < 2; ++i) {
        const double left = i * (w + gap);
        cairo_surface_t* picture = stretchedCrop(*frames[i], x0, y0, w, h, black, white);
        cairo_set_source_surface(cr, picture, left, top);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
        cairo_paint(cr);
        cairo_surface_destroy(picture);
        cairo_set_source_rgb(cr, 0, 0, 0);
        label(cr, left + w / 2.0, 18, titles[i], 15, true);
    }
    cairo_destroy(cr);
    cairo_surface_finish(pdf);
    check(pdf);
    cairo_surface_destroy(pdf);
    return 0;
}

// ---- A picture as a PDF page -----------------------------------------------------

int picture(const char* input, const char* output)
{
    cairo_surface_t* png = cairo_image_surface_create_from_png(input);
    check(png);
    // Screen pixels at 96 per inch, the size a screen shows them at.
    const double scale = 72.0 / 96.0;
    const int w = cairo_image_surface_get_width(png), h = cairo_image_surface_get_height(png);
    cairo_surface_t* pdf = cairo_pdf_surface_create(output, w * scale, h * scale);
    cairo_t* cr = cairo_create(pdf);
    cairo_scale(cr, scale, scale);
    cairo_set_source_surface(cr, png, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_finish(pdf);
    check(pdf);
    cairo_surface_destroy(pdf);
    cairo_surface_destroy(png);
    return 0;
}

int usage()
{
    std::fputs("usage: kestrel-manual-figures frame OUTPUT.fits\n"
               "       kestrel-manual-figures crop BEFORE.fits AFTER.fits OUTPUT.pdf\n"
               "       kestrel-manual-figures picture INPUT.png OUTPUT.pdf\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    kestrel::ensureStandardDescriptors();
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 2 && args[0] == "frame")
            return writeFrame(argv[2]);
        if (args.size() == 4 && args[0] == "crop")
            return drawCrop(argv[2], argv[3], argv[4]);
        if (args.size() == 3 && args[0] == "picture")
            return picture(argv[2], argv[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrel-manual-figures: %s\n", e.what());
        return 1;
    }
    return usage();
}
