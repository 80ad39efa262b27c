// The two builds of the band-window sums, for the tests that compare both with the
// plain loop on every machine. Private to correction/.
#pragma once

#include "correction/correction.h"

namespace kestrel {

enum class WindowSumBuild {
    chosen,   // the one this processor runs best
    avx2,     // 256-bit lanes; only where the processor has them
    portable, // the x86-64 baseline
};

/// True when this processor can run the AVX2 build.
bool avx2Available();

/// bandWindowMeans with the window sums of the given build.
void bandWindowMeans(ImageView<const float> image, const BandGeometry& bands, double upper,
                     std::span<long double> means, WindowSumBuild build);

} // namespace kestrel
