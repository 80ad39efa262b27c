#include "analysis/analysis.h"
#include "analysis/background.h"
#include "tests/analysis/reference.h"
#include "tests/support/straightforward.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>

namespace kestrel {
namespace {

using testing::Box;
using testing::TempDir;
using testing::TestHost;

struct Fixture {
    TestHost host;
    Workspace ws{host};

    void image16(std::int32_t w, std::int32_t h, std::vector<std::uint16_t> px)
    {
        ws.image.imageWidth = w;
        ws.image.imageHeight = h;
        ws.image.int16Pixels = std::move(px);
    }
    void imageFloat(std::int32_t w, std::int32_t h, std::vector<float> px)
    {
        ws.image.imageWidth = w;
        ws.image.imageHeight = h;
        ws.image.floatPixels = std::move(px);
    }
};

bool sameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool sameBits(const std::vector<long double>& a, const std::vector<long double>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], 10) != 0)
            return false;
    return true;
}

TEST(Sorts, SmallRangesEqualRunsAndDeepInputs)
{
    using testing::QuickSort;
    using testing::QuickSort16;
    Fixture f;
    std::vector<std::uint16_t> a{3, 1, 2};
    QuickSort16(f.ws, a, 0, 2);
    EXPECT_EQ(a, (std::vector<std::uint16_t>{1, 2, 3}));
    std::vector<double> one{5.0};
    QuickSort(f.ws, one, 0, 0);
    EXPECT_EQ(one, std::vector<double>{5.0});

    // Orders that drive a naive partition sort deep: organ pipe, equal values, sorted.
    std::vector<std::uint16_t> big(400000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint16_t>(i < big.size() / 2 ? i : big.size() - i);
    auto expected = big;
    std::sort(expected.begin(), expected.end());
    QuickSort16(f.ws, big, 0, static_cast<std::int32_t>(big.size() - 1));
    EXPECT_EQ(big, expected);
    std::vector<double> equal(300000, 7.0);
    QuickSort(f.ws, equal, 0, static_cast<std::int32_t>(equal.size() - 1));
    EXPECT_EQ(equal, std::vector<double>(300000, 7.0));
    EXPECT_TRUE(f.host.boxes.empty());

    QuickSort(f.ws, one, 0, 3);
    EXPECT_EQ(f.host.texts(Box::error), std::vector<std::string>{"Range check error... in procedure QuickSort."});
}

TEST(Background, SlicePositions)
{
    // N - 1 = 1000: 16-bit positions 2..10, float positions 2..100; samples 0..1000.
    std::vector<std::uint16_t> ramp16(1001);
    std::vector<float> rampF(1001);
    for (int i = 0; i < 1001; ++i) {
        ramp16[static_cast<std::size_t>(1000 - i)] = static_cast<std::uint16_t>(i);
        rampF[static_cast<std::size_t>(i)] = static_cast<float>(1000 - i);
    }
    Fixture f;
    f.image16(1001, 1, ramp16);
    EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::int16), 6.0);
    EXPECT_EQ(backgroundLevel(f.ws.image.int16Image().pixels).averaged, 9);
    f.imageFloat(7, 143, rampF);
    EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::float32), 51.0);
    EXPECT_EQ(backgroundLevel(f.ws.image.floatImage().pixels).averaged, 99);

    // N - 1 = 250: upper 2 (2.5 to even); N - 1 = 50: the darkest sample alone;
    // N - 1 = 750: lower 1, as the extended product lies just below 1.5.
    for (auto [n, expected] : {std::pair{251, 1.0}, {51, 0.0}, {751, 4.5}}) {
        std::vector<std::uint16_t> px(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            px[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(i);
        f.image16(n, 1, px);
        EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::int16), expected) << n;
    }
    f.image16(40, 30, std::vector<std::uint16_t>(1200, 1000));
    EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::int16), 1000.0);
    // The true mean, also where a 32-bit sum would wrap.
    f.image16(1000, 100, std::vector<std::uint16_t>(100000, 65535));
    EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::int16), 65535.0);
    EXPECT_TRUE(f.host.boxes.empty());
}

TEST(Background, FailuresGiveZeroAndTheirBoxes)
{
    Fixture f;
    f.imageFloat(3, 2, {1, 2, NAN, 4, 5, 6});
    EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::float32), 0.0);
    f.image16(3000, 2000, std::vector<std::uint16_t>(10, 5)); // far fewer samples than the size says
    EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::int16), 0.0);
    EXPECT_EQ(f.host.texts(Box::error), (std::vector<std::string>{
                                            "Invalid floating point operation... in function getBackgroundFlux.",
                                            "Range check error... in function getBackgroundFlux."}));

    // No sample to average (every float sample negative, or no pixels at all): the sort
    // of nothing fails first, then the sum.
    f.host.boxes.clear();
    f.imageFloat(3, 2, {-1, -2, -3, -4, -5, -6});
    EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::float32), 0.0);
    f.image16(0, 0, {});
    EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::int16), 0.0);
    EXPECT_EQ(f.host.texts(Box::error), (std::vector<std::string>{
                                            "Range check error... in procedure QuickSort.",
                                            "Range check error... in function getBackgroundFlux.",
                                            "Range check error... in procedure QuickSort16.",
                                            "Range check error... in function getBackgroundFlux."}));
}

TEST(Background, MatchesReferenceOnRandomImages)
{
    std::mt19937 rng(7);
    for (auto [w, h] : {std::pair{4008, 23}, {4032, 11}, {2004, 31}, {2016, 17}}) {
        const std::size_t n = static_cast<std::size_t>(w) * h;
        std::vector<float> px(n);
        std::vector<std::uint16_t> px16(n);
        std::normal_distribution<float> sky(1000, 40);
        for (std::size_t i = 0; i < n; ++i) {
            const auto pick = rng() % 100;
            px[i] = pick < 3 ? -sky(rng) : pick < 6 ? 0.0f : pick < 9 ? -0.0f : pick < 12 && w > 3000 ? 1e-7f * (rng() % 9) : std::round(sky(rng) * 4) / 4;
            px16[i] = static_cast<std::uint16_t>(pick < 5 ? rng() % 65536 : 1000 + rng() % 60);
        }
        Fixture f;
        f.imageFloat(w, h, px);
        EXPECT_TRUE(sameBits(getBackgroundFlux(f.ws, SampleType::float32), reference::background(f.ws, SampleType::float32))) << w;
        f.image16(w, h, px16);
        EXPECT_TRUE(sameBits(getBackgroundFlux(f.ws, SampleType::int16), reference::background(f.ws, SampleType::int16))) << w;
        EXPECT_TRUE(f.host.boxes.empty());
    }
}

// Float images whose dark slice lies in one bucket of patterns, in neighbouring ones,
// next to zero (with negative zeros and denormals), at infinity, or spread so widely
// that it is selected instead of counted.
TEST(Background, FloatSliceMatchesReferenceWhereverItLies)
{
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0, 1);
    std::uniform_int_distribution<std::uint32_t> anyBits;
    const std::vector<std::pair<const char*, std::function<float(std::size_t)>>> kinds = {
        {"noisy sky", [&](std::size_t) { return 1200.0f + 15.0f * noise(rng); }},
        {"sky across a power of two", [&](std::size_t) { return 1024.0f + 30.0f * noise(rng); }},
        {"dark slice in one bucket", [&](std::size_t i) { return i % 3 ? 5000.0f + noise(rng) : 100.0f + noise(rng) / 64; }},
        {"one value", [&](std::size_t) { return 977.25f; }},
        {"two neighbouring buckets", [&](std::size_t i) { return i % 20 ? 1024.0f : std::nextafter(1024.0f, 0.0f); }},
        {"near zero", [&](std::size_t i) {
             // 1 % negative zeros, 1 % zeros, denormals of both signs; all in one bucket.
             const std::size_t pick = i % 100;
             return pick == 0 ? -0.0f : pick == 1 ? 0.0f : pick < 20 ? std::bit_cast<float>(anyBits(rng) & 0x8000FFFFu)
                                                         : std::bit_cast<float>(anyBits(rng) & 0x0000FFFFu);
         }},
        {"at infinity", [&](std::size_t i) { return i % 50 ? INFINITY : std::numeric_limits<float>::max(); }},
        {"far apart", [&](std::size_t i) { return i % 50 ? INFINITY : 5.0f; }},
        {"spread widely", [&](std::size_t) { return std::ldexp(1.0f + std::abs(noise(rng)), static_cast<int>(anyBits(rng) % 200) - 100); }},
    };
    for (const auto& [name, sample] : kinds) {
        for (auto [w, h] : {std::pair{4008, 9}, {2016, 5}}) {
            std::vector<float> px(static_cast<std::size_t>(w) * h);
            for (std::size_t i = 0; i < px.size(); ++i)
                px[i] = sample(i);
            Fixture f;
            f.imageFloat(w, h, px);
            const double fast = getBackgroundFlux(f.ws, SampleType::float32);
            const auto boxes = f.host.texts(Box::error);
            f.host.boxes.clear();
            double expected = 0;
            try {
                expected = reference::background(f.ws, SampleType::float32);
            } catch (const std::exception&) {
                EXPECT_EQ(boxes.size(), 1u) << name;
                continue;
            }
            EXPECT_TRUE(boxes.empty()) << name;
            EXPECT_TRUE(sameBits(fast, expected)) << name << " " << w << ": " << fast << " vs " << expected;
            // Each build of the count, whichever this processor would choose.
            for (BackgroundBuild build : {BackgroundBuild::avx2, BackgroundBuild::portable}) {
                if (build == BackgroundBuild::avx2 && !__builtin_cpu_supports("avx2"))
                    continue;
                EXPECT_TRUE(sameBits(backgroundLevel(px, build).level, expected))
                    << name << " " << w << (build == BackgroundBuild::avx2 ? " avx2" : " portable");
            }
        }
    }
}

TEST(Background, EveryNaNPatternFails)
{
    // Quiet and signalling NaNs of both signs, also those that share their upper bits
    // with infinity.
    for (std::uint32_t nan : {0x7F800001u, 0x7FC00000u, 0x7FFFFFFFu, 0xFF800001u, 0xFFC00000u}) {
        std::vector<float> px(400, 100.0f);
        px[123] = std::bit_cast<float>(nan);
        px[7] = INFINITY;
        Fixture f;
        f.imageFloat(20, 20, px);
        EXPECT_EQ(getBackgroundFlux(f.ws, SampleType::float32), 0.0) << std::hex << nan;
        EXPECT_EQ(f.host.texts(Box::error),
                  std::vector<std::string>{"Invalid floating point operation... in function getBackgroundFlux."});
    }
}

// Columns at period positions [from, from + count) (cyclic) hold `bright`, others 1000.
std::vector<std::uint16_t> banded(std::int32_t w, std::int32_t h, std::int32_t period, std::int32_t from,
                                  std::int32_t count, std::uint16_t bright)
{
    std::vector<std::uint16_t> px(static_cast<std::size_t>(w) * h, 1000);
    for (std::int32_t r = 0; r < h; ++r)
        for (std::int32_t c = 0; c < w; ++c)
            if (((c % period) - from + period) % period < count)
                px[static_cast<std::size_t>(r) * w + c] = bright;
    return px;
}

TEST(PhaseFinder, KnownPhases)
{
    struct Case {
        Binning binning;
        std::int32_t width, period, from, count, expected;
    };
    for (const Case& c : {Case{Binning::unbinned, 4008, 32, 0, 0, 0}, Case{Binning::unbinned, 4008, 32, 5, 16, 5},
                          Case{Binning::binned2x2, 2004, 16, 3, 8, 3}, Case{Binning::unbinned, 4032, 32, 24, 16, 24},
                          Case{Binning::unbinned, 4008, 32, 7, 16, 7}}) {
        const auto px = banded(c.width, 3, c.period, c.from, c.count, 1100);
        const PhaseSearch search = findBandPhase({px, c.width, 3}, c.binning, 1000);
        EXPECT_EQ(search.phase, c.expected) << c.from;
        ASSERT_EQ(search.scores.size(), static_cast<std::size_t>(c.period));
        const bool unbinned = c.binning == Binning::unbinned;
        EXPECT_EQ(search.limits.lower, 750.0);
        EXPECT_EQ(search.limits.upper, unbinned ? 1333.0 : 1330.0);
        if (c.from == 5) {
            EXPECT_EQ(search.scores[5], 111100.0L);
            EXPECT_EQ(search.scores[4], 110468.75L);
        }
    }
}

TEST(PhaseFinder, ScoresEqualAsDoublesKeepTheLowerPhase)
{
    // Both scores lie below 111100 by less than half a double's step there (2^-37), so
    // both round to 111100: held as a double, the maximum after phase 0 is 111100 and
    // phase 1 does not beat it, although its extended score is larger.
    const long double d = 111100.0L;
    const std::vector<long double> tied{d - std::ldexp(1.0L, -45), d - std::ldexp(1.0L, -46), 1000.0L};
    ASSERT_LT(tied[0], tied[1]);
    ASSERT_EQ(static_cast<double>(tied[0]), static_cast<double>(tied[1]));
    EXPECT_EQ(bestPhase(tied), 0);
    // A score larger as a double wins; equal scores keep the lowest phase.
    EXPECT_EQ(bestPhase(std::vector<long double>{d, d + 1.0L / 64, d}), 1);
    EXPECT_EQ(bestPhase(std::vector<long double>{5, 5, 5}), 0);
}

TEST(PhaseFinder, LimitsAreExclusiveAndAnEmptyWindowFails)
{
    // 750 and 1333 are out of range, 751 and 1329 in: only those two count in window 0.
    auto px = banded(4008, 2, 32, 0, 32, 750);
    for (std::int32_t r = 0; r < 2; ++r)
        for (std::int32_t c = 0; c < 4008; ++c) {
            const auto pos = c % 32;
            auto& v = px[static_cast<std::size_t>(r) * 4008 + c];
            v = pos == 10 ? 1329 : pos == 11 ? 751 : pos < 16 ? (pos % 2 ? 1333 : 750) : 1000;
        }
    const PhaseSearch search = findBandPhase({px, 4008, 2}, Binning::unbinned, 1000);
    EXPECT_EQ(search.scores[0], 101 * 1040.0L);
    EXPECT_EQ(search.scores[16], 101 * 1000.0L);

    // A background of 0 leaves no sample in range; the scores of the blocks before the
    // failing window are kept.
    const std::vector<std::uint16_t> dark(4008, 0);
    std::vector<long double> scores(16, 0.0L);
    try {
        addPhaseScores({dark, 2004, 2}, Binning::binned2x2, phaseLimits(Binning::binned2x2, 0), scores);
        FAIL() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.message(), messages::invalidOperation);
    }
}

TEST(PhaseFinder, ScoresMatchReference)
{
    std::mt19937 rng(11);
    for (auto [w, binning] : {std::pair{4008, Binning::unbinned}, {4032, Binning::unbinned},
                              {2004, Binning::binned2x2}, {2016, Binning::binned2x2}}) {
        const std::int32_t h = 13;
        std::vector<std::uint16_t> px(static_cast<std::size_t>(w) * h);
        for (auto& v : px)
            v = static_cast<std::uint16_t>(rng() % 8 == 0 ? rng() % 65536 : 700 + rng() % 700);
        Fixture f;
        f.image16(w, h, px);
        const bool unbinned = binning == Binning::unbinned;
        const auto expected = reference::phaseScores(f.ws, unbinned ? 32 : 16, unbinned ? 1.333L : 1.33L, 1000.37);
        EXPECT_TRUE(sameBits(findBandPhase(f.ws.image.int16Image(), binning, 1000.37).scores, expected)) << w;
        EXPECT_TRUE(f.host.boxes.empty());
    }
}

} // namespace
} // namespace kestrel
