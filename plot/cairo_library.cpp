#include "plot/cairo_library.h"

#include "core/failure.h"

#include <dlfcn.h>

namespace kestrel::plot {
namespace {

struct Loaded {
    CairoLibrary calls;
    std::optional<std::string> missing;
};

Loaded load()
{
    Loaded out;
    // The library's run-time name; the package depends on it. Never closed: the calls
    // are kept for the life of the process.
    void* library = ::dlopen("libcairo.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = ::dlerror();
        out.missing = std::string("cairo, which draws the plots, cannot be loaded: ") + (why ? why : "not found");
        return out;
    }
#define KESTREL_CAIRO_LOOK_UP(name)                                                                                   \
    out.calls.name = reinterpret_cast<decltype(out.calls.name)>(::dlsym(library, "cairo_" #name));                   \
    if (!out.calls.name && !out.missing)                                                                             \
        out.missing = "cairo, which draws the plots, is too old: it lacks cairo_" #name;
    KESTREL_CAIRO_CALLS(KESTREL_CAIRO_LOOK_UP)
#undef KESTREL_CAIRO_LOOK_UP
    return out;
}

const Loaded& loaded()
{
    static const Loaded once = load();
    return once;
}

} // namespace

std::optional<std::string> cairoMissing() { return loaded().missing; }

const CairoLibrary& cairo()
{
    if (const auto& missing = loaded().missing)
        throw Failure(*missing);
    return loaded().calls;
}

} // namespace kestrel::plot
