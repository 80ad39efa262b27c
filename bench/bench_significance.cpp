// The measurements that say how far to trust a phase and a correction, on full-size
// frames: the contrast of every candidate phase (once per phase search) and the
// residual band and the balanced amplitude (once per image with --verify, with
// --estimator balanced, and twice in a profile). Each should add no more than a few
// tens of milliseconds to an image.
#include "analysis/significance.h"
#include "correction/balanced.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace kestrel {
namespace {

constexpr std::int32_t width = 4008, height = 2672;

/// Sky with a gradient, noise and a band of 6.5 ADU from column 8.
std::vector<float> frame()
{
    std::mt19937 rng(2026);
    std::normal_distribution<float> noise(0, 12);
    std::vector<float> px(static_cast<std::size_t>(width) * height);
    for (std::int32_t r = 0; r < height; ++r)
        for (std::int32_t c = 0; c < width; ++c)
            px[static_cast<std::size_t>(r) * width + c] =
                1200.0f + 0.05f * c + ((c - 8 + 32) % 32 < 16 ? 6.5f : 0.0f) + noise(rng);
    return px;
}

void BM_PhaseContrasts1x1(benchmark::State& state)
{
    const auto f = frame();
    std::vector<std::uint16_t> px(f.size());
    for (std::size_t i = 0; i < f.size(); ++i)
        px[i] = static_cast<std::uint16_t>(std::lround(f[i]));
    const PhaseLimits limits = phaseLimits(Binning::unbinned, 1150);
    for (auto _ : state)
        benchmark::DoNotOptimize(phaseContrasts({px, width, height}, Binning::unbinned, limits).data());
}

void BM_ResidualBand1x1(benchmark::State& state)
{
    const auto px = frame();
    for (auto _ : state)
        benchmark::DoNotOptimize(residualBand({px, width, height}, unbinnedBands, 1800).amplitude);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(px.size() * sizeof(float)));
}

void BM_BalancedAmplitude1x1(benchmark::State& state)
{
    const auto px = frame();
    for (auto _ : state)
        benchmark::DoNotOptimize(balancedAmplitude({px, width, height}, unbinnedBands, 8, 1800));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(px.size() * sizeof(float)));
}

BENCHMARK(BM_PhaseContrasts1x1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResidualBand1x1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BalancedAmplitude1x1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace kestrel
