// How often the check of a given phase is wrong, and how often it is right: synthetic
// frames corrected at a given phase, with the band at that phase (every refusal is a
// false contradiction) and 1, 2, 4 and 8 columns from it (every refusal is a stale
// phase found), and the cost of the check on one full-size frame. Prints the tables
// the manual quotes; not a test: it takes about a minute.
//   kestrel-phase-check [ROWS]   (default 268 rows, a tenth of a full frame)
#include "core/report.h"
#include "correction/correction.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace kestrel;

/// Gaussian noise of 12 ADU, drawn once: each frame reads it from a random start.
const std::vector<float>& noiseTable()
{
    static const std::vector<float> table = [] {
        std::mt19937 rng(34);
        std::normal_distribution<float> noise(0, 12);
        std::vector<float> t(1 << 24);
        for (float& x : t)
            x = noise(rng);
        return t;
    }();
    return table;
}

struct Frame {
    std::int32_t width, height, phase;
    double amplitude, gradient;
    bool stars;
};

std::vector<float> pixels(const Frame& f, std::mt19937& rng)
{
    const std::vector<float>& noise = noiseTable();
    const std::int32_t period = f.width >= 4008 ? 32 : 16;
    const std::size_t n = static_cast<std::size_t>(f.width) * f.height;
    std::size_t at = std::uniform_int_distribution<std::size_t>(0, noise.size() - n - 1)(rng);
    std::vector<float> px(n);
    for (std::int32_t r = 0; r < f.height; ++r)
        for (std::int32_t c = 0; c < f.width; ++c) {
            const bool reference = ((c - f.phase) % period + period) % period < period / 2;
            px[static_cast<std::size_t>(r) * f.width + c] =
                static_cast<float>(1200 + f.gradient * c + 0.03 * r + (reference ? f.amplitude : 0)) + noise[at++];
        }
    if (f.stars)
        for (int s = 0; s < 300; ++s)
            px[std::uniform_int_distribution<std::size_t>(0, n - 1)(rng)] = 30000.0f + static_cast<float>(s);
    return px;
}

ImageOutcome corrected(const Frame& f, std::vector<float> px, std::int32_t given, bool check)
{
    RecordingHost host;
    Workspace ws(host);
    ws.image = floatImageFromPixels(f.width, f.height, std::move(px));
    ImageRun run{f.width >= 4008 ? Binning::unbinned : Binning::binned2x2, given};
    run.checkPhase = check;
    return correctFloat32InMemory(ws, run);
}

bool refused(const ImageOutcome& o) { return o.skip == ImageOutcome::Skip::phaseContradicted; }

} // namespace

int main(int argc, char** argv)
{
    const std::int32_t rows = argc > 1 ? std::stoi(argv[1]) : 268;
    std::mt19937 rng(2026);
    std::uniform_real_distribution<double> unit(0, 1);

    // False contradictions: the band at the given phase, 0 to 20 ADU.
    for (const std::int32_t width : {4008, 2004}) {
        const std::int32_t period = width >= 4008 ? 32 : 16, height = width >= 4008 ? rows : rows / 2;
        int wrong = 0;
        const int frames = 1000;
        for (int i = 0; i < frames; ++i) {
            const std::int32_t phase = 1 + static_cast<std::int32_t>(unit(rng) * period) % period;
            const Frame f{width, height, phase, 20.0 * i / (frames - 1), (unit(rng) * 2 - 1) * 0.1, i % 2 == 0};
            wrong += refused(corrected(f, pixels(f, rng), phase, true)) ? 1 : 0;
        }
        std::printf("%s %d x %d: %d false contradictions in %d frames, band 0 to 20 ADU at the given phase\n",
                    width >= 4008 ? "1x1" : "2x2", width, height, wrong, frames);
    }

    // Stale phases found, by the band's amplitude and its distance from the given phase.
    const double amplitudes[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 20};
    const int frames = 20;
    for (const std::int32_t width : {4008, 2004}) {
        const std::int32_t period = width >= 4008 ? 32 : 16, height = width >= 4008 ? rows : rows / 2;
        std::printf("\n%s %d x %d, %d frames each: share refused\nADU", width >= 4008 ? "1x1" : "2x2", width, height,
                    frames);
        for (const int off : {1, 2, 4, 8})
            std::printf("\t%d off", off);
        std::printf("\n");
        for (const double a : amplitudes) {
            std::printf("%.1f", a);
            for (const std::int32_t off : {1, 2, 4, 8}) {
                int found = 0;
                for (int i = 0; i < frames; ++i) {
                    const std::int32_t given = 1 + static_cast<std::int32_t>(unit(rng) * period) % period;
                    const std::int32_t band = normalisedPhase(given + (i % 2 ? off : -off), period);
                    const Frame f{width, height, band, a, (unit(rng) * 2 - 1) * 0.1, i % 2 == 0};
                    found += refused(corrected(f, pixels(f, rng), given, true)) ? 1 : 0;
                }
                std::printf("\t%.2f", static_cast<double>(found) / frames);
            }
            std::printf("\n");
        }
    }

    // The cost on one full-size frame: the best of a few corrections with and without.
    const Frame full{4008, 2672, 8, 6.5, 0.05, true};
    const std::vector<float> px = pixels(full, rng);
    double best[2] = {1e9, 1e9};
    for (int round = 0; round < 5; ++round)
        for (const bool check : {false, true}) {
            const auto start = std::chrono::steady_clock::now();
            corrected(full, px, 8, check);
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best[check] = std::min(best[check], s);
        }
    std::printf("\none 4008 x 2672 frame corrected in memory: %.1f ms unchecked, %.1f ms checked (%+.1f %%)\n",
                best[0] * 1e3, best[1] * 1e3, (best[1] / best[0] - 1) * 100);
}
