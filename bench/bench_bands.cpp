// The band analysis and correction against their straightforward counterparts, on
// synthetic frames that look like the camera's: a sky level with a gradient, noise,
// stars and the vertical banding itself.
#include "analysis/analysis.h"
#include "correction/correction.h"
#include "fits/writer.h"
#include "tests/analysis/reference.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"
#include "tests/support/window_means.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <malloc.h>
#include <random>
#include <string>
#include <utility>

namespace kestrel {
namespace {

std::vector<float> skyFrame(std::int32_t w, std::int32_t h, std::int32_t period)
{
    std::mt19937 rng(2024);
    std::normal_distribution<float> noise(0, 12);
    std::vector<float> px(static_cast<std::size_t>(w) * h);
    for (std::int32_t r = 0; r < h; ++r)
        for (std::int32_t c = 0; c < w; ++c) {
            const float band = ((c - 8 + period) % period) < period / 2 ? 3.0f : -3.0f;
            px[static_cast<std::size_t>(r) * w + c] = 900.0f + 0.03f * c + 0.02f * r + band + noise(rng);
        }
    std::uniform_int_distribution<std::int32_t> col(0, w - 1), row(0, h - 1);
    std::uniform_real_distribution<float> peak(200, 40000);
    for (int star = 0; star < w * h / 5000; ++star) {
        const std::int32_t sc = col(rng), sr = row(rng);
        const float p = peak(rng);
        for (std::int32_t dr = -4; dr <= 4; ++dr)
            for (std::int32_t dc = -4; dc <= 4; ++dc) {
                const std::int32_t c = sc + dc, r = sr + dr;
                if (c >= 0 && c < w && r >= 0 && r < h)
                    px[static_cast<std::size_t>(r) * w + c] += p * std::exp(-(dc * dc + dr * dr) / 3.0f);
            }
    }
    return px;
}

std::vector<std::uint16_t> skyFrame16(std::int32_t w, std::int32_t h, std::int32_t period)
{
    const auto f = skyFrame(w, h, period);
    std::vector<std::uint16_t> px(f.size());
    for (std::size_t i = 0; i < f.size(); ++i)
        px[i] = static_cast<std::uint16_t>(std::clamp(std::lround(f[i]), 0L, 65535L));
    return px;
}

struct Bench {
    testing::TestHost host;
    Workspace ws{host};
};

/// A full unbinned frame in the workspace, as 16-bit samples or as floats.
void fullFrame(Bench& b, SampleType type)
{
    b.ws.image.imageWidth = 4008;
    b.ws.image.imageHeight = 2672;
    if (type == SampleType::int16)
        b.ws.image.int16Pixels = skyFrame16(4008, 2672, 32);
    else
        b.ws.image.floatPixels = skyFrame(4008, 2672, 32);
}

void columnMeans(benchmark::State& state, std::int32_t w, std::int32_t h, const BandGeometry& bands, bool reference)
{
    Bench b;
    b.ws.image.imageWidth = w;
    b.ws.image.imageHeight = h;
    b.ws.image.floatPixels = skyFrame(w, h, bands.period);
    const double upper = 1.5 * getBackgroundFlux(b.ws, SampleType::float32);
    std::vector<long double> means(static_cast<std::size_t>(w - bands.window));
    for (auto _ : state) {
        if (reference) {
            benchmark::DoNotOptimize(reference::columnMeans(b.ws, bands.window, bands.lowerBound, upper));
        } else {
            bandWindowMeans({b.ws.image.floatPixels, w, h}, bands, upper, means);
            benchmark::DoNotOptimize(means.data());
        }
    }
}

void BM_ColumnMeans1x1(benchmark::State& state, bool reference) { columnMeans(state, 4008, 2672, unbinnedBands, reference); }
void BM_ColumnMeans2x2(benchmark::State& state, bool reference) { columnMeans(state, 2004, 1336, binned2x2Bands, reference); }

// The amplitude as the correction measures it: from the band windows of the counted
// pairs alone.
void measuredAmplitude(benchmark::State& state, std::int32_t w, std::int32_t h, const BandGeometry& bands)
{
    Bench b;
    b.ws.image.imageWidth = w;
    b.ws.image.imageHeight = h;
    b.ws.image.floatPixels = skyFrame(w, h, bands.period);
    const double upper = 1.5 * getBackgroundFlux(b.ws, SampleType::float32);
    for (auto _ : state)
        benchmark::DoNotOptimize(measureAmplitude({b.ws.image.floatPixels, w, h}, bands, 8, upper));
}
void BM_MeasureAmplitude1x1(benchmark::State& state) { measuredAmplitude(state, 4008, 2672, unbinnedBands); }
void BM_MeasureAmplitude2x2(benchmark::State& state) { measuredAmplitude(state, 2004, 1336, binned2x2Bands); }

void BM_BackgroundFloat(benchmark::State& state, bool reference)
{
    Bench b;
    fullFrame(b, SampleType::float32);
    for (auto _ : state)
        benchmark::DoNotOptimize(reference ? reference::background(b.ws, SampleType::float32)
                                           : getBackgroundFlux(b.ws, SampleType::float32));
}

void BM_Background16(benchmark::State& state, bool reference)
{
    Bench b;
    fullFrame(b, SampleType::int16);
    for (auto _ : state)
        benchmark::DoNotOptimize(reference ? reference::background(b.ws, SampleType::int16)
                                           : getBackgroundFlux(b.ws, SampleType::int16));
}

void BM_FindPhase1x1(benchmark::State& state, bool reference)
{
    Bench b;
    fullFrame(b, SampleType::int16);
    const double background = getBackgroundFlux(b.ws, SampleType::int16);
    for (auto _ : state) {
        if (reference) {
            benchmark::DoNotOptimize(reference::phaseScores(b.ws, 32, 1.333L, background));
        } else {
            benchmark::DoNotOptimize(findBandPhase(b.ws.image.int16Image(), Binning::unbinned, background).scores.data());
        }
    }
}

/// A line of /proc/self/status in bytes ("VmRSS", "VmHWM"); 0 where unknown.
double statusBytes(const std::string& key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::stod(line.substr(key.size() + 1)) * 1024;
    return 0;
}

void BM_CorrectFile1x1(benchmark::State& state)
{
    testing::TempDir dir;
    testing::writeFile(dir / "frame.fits", testing::headerRecords(testing::floatImageCards(4008, 2672)) +
                                               testing::floatData(skyFrame(4008, 2672, 32)));
    Bench b;
    const ImageRun run{Binning::unbinned, 8, 0};
    // Peak memory of the corrections over what the process held before them.
    malloc_trim(0);
    const double before = statusBytes("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";
    for (auto _ : state) {
        loadFitsHeader(b.ws, dir / "frame.fits");
        b.ws.image.imageWidth = 4008;
        b.ws.image.imageHeight = 2672;
        auto out = std::make_shared<WholeFileWriter>(dir / "out.fits");
        if (fixFloat32Columns(b.ws, run).result == ImageOutcome::Result::corrected)
            saveFloat32Fits(b.ws.image, std::move(out));
        if (!b.host.boxes.empty())
            state.SkipWithError(b.host.boxes.front().text.c_str());
    }
    state.SetBytesProcessed(state.iterations() * 4008LL * 2672 * 4);
    const double peak = statusBytes("VmHWM");
    if (peak > 0 && before > 0)
        state.counters["peak_per_image_bytes"] = (peak - before) / (4008.0 * 2672 * 4);
}

// The profile of a full frame against its correction, both from the same file: the
// profile measures twice more (the profile before and after, and the residual) but
// writes nothing.
void BM_ProfileFile1x1(benchmark::State& state)
{
    testing::TempDir dir;
    testing::writeFile(dir / "frame.fits", testing::headerRecords(testing::floatImageCards(4008, 2672)) +
                                               testing::floatData(skyFrame(4008, 2672, 32)));
    Bench b;
    const ImageRun run{Binning::unbinned, 8, 0};
    for (auto _ : state) {
        loadFitsHeader(b.ws, dir / "frame.fits");
        b.ws.image.imageWidth = 4008;
        b.ws.image.imageHeight = 2672;
        const ProfileOutcome out = profileFloat32Columns(b.ws, run);
        if (!b.host.boxes.empty())
            state.SkipWithError(b.host.boxes.front().text.c_str());
        benchmark::DoNotOptimize(out.profile.residual);
    }
    state.SetBytesProcessed(state.iterations() * 4008LL * 2672 * 4);
}

BENCHMARK_CAPTURE(BM_ColumnMeans1x1, reference, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ColumnMeans1x1, fast, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ColumnMeans2x2, reference, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ColumnMeans2x2, fast, false)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureAmplitude1x1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureAmplitude2x2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BackgroundFloat, reference, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BackgroundFloat, fast, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Background16, reference, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Background16, fast, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindPhase1x1, reference, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FindPhase1x1, fast, false)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorrectFile1x1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProfileFile1x1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace kestrel
