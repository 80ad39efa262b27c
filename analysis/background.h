// The builds of the float background's count, for the tests that compare each with the
// sorted sum on every machine. Private to analysis/.
#pragma once

#include "analysis/analysis.h"

namespace kestrel {

enum class BackgroundBuild {
    chosen,   // the one this processor runs best
    avx2,     // 256-bit lanes; only where the processor has them
    portable, // the x86-64 baseline
};

/// backgroundLevel of float samples, counted with the given build.
BackgroundLevel backgroundLevel(std::span<const float> samples, BackgroundBuild build);

} // namespace kestrel
