// cairo, loaded when the first plot is drawn rather than when kestrel-cli starts: cairo
// and the libraries it brings with it take about three milliseconds to load, a fifth of
// the time a small frame takes to correct, and most runs draw no plot.
#pragma once

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>

#include <optional>
#include <string>

namespace kestrel::plot {

// Every call the charts make, by its name without the "cairo_" prefix.
#define KESTREL_CAIRO_CALLS(X)                                                                                        \
    X(arc) X(clip) X(create) X(destroy) X(fill) X(fill_preserve) X(image_surface_create)                              \
    X(image_surface_get_data) X(image_surface_get_stride) X(line_to) X(move_to)                                       \
    X(new_path) X(pdf_surface_create_for_stream) X(pdf_surface_set_metadata) X(rectangle) X(restore) X(rotate)        \
    X(save) X(scale) X(select_font_face) X(set_dash) X(set_font_size) X(set_line_width) X(set_source_rgb)             \
    X(show_text) X(status) X(status_to_string) X(stroke) X(surface_destroy) X(surface_finish) X(surface_flush)        \
    X(surface_status) X(surface_write_to_png_stream) X(svg_surface_create_for_stream) X(text_extents) X(translate)

struct CairoLibrary {
#define KESTREL_CAIRO_MEMBER(name) decltype(&::cairo_##name) name = nullptr;
    KESTREL_CAIRO_CALLS(KESTREL_CAIRO_MEMBER)
#undef KESTREL_CAIRO_MEMBER
};

/// Why cairo cannot be loaded, or nothing once it is; loads it at the first call.
std::optional<std::string> cairoMissing();

/// cairo's calls; throws Failure with the reason when the library cannot be loaded.
const CairoLibrary& cairo();

} // namespace kestrel::plot
