#include "plot/plot.h"

#include "core/failure.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace kestrel::plot {
namespace {

using testing::TempDir;

Chart simpleChart()
{
    Chart chart;
    chart.title = "t";
    chart.xMin = -1;
    chart.xMax = 4;
    chart.series = {{"s", {0, 1, 2, 3}, {10, 12, 11, 13}, {0.2, 0.4, 0.6}, MarkerShape::square}};
    return chart;
}

TEST(Plot, FormatComesFromTheExtension)
{
    EXPECT_EQ(formatFor("a.svg"), Format::svg);
    EXPECT_EQ(formatFor("dir.d/B.PNG"), Format::png);
    EXPECT_EQ(formatFor("c.Pdf"), Format::pdf);
    for (const char* other : {"d.jpg", "svg", ".svg.txt", "e.svgz", ""})
        EXPECT_EQ(formatFor(other), std::nullopt) << other;
}

/// Pixels of exactly `argb` in the raster; with `bluish`, those whose blue stands out
/// of their red, as the series' colour blended by smoothing does.
long countPixels(const Raster& r, std::uint32_t argb, bool bluish = false)
{
    long n = 0;
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
            std::uint32_t p;
            std::memcpy(&p, r.pixels.data() + static_cast<std::size_t>(y) * r.stride + 4 * x, 4);
            n += bluish ? (p & 0xFF) > ((p >> 16) & 0xFF) + 40 : p == argb;
        }
    return n;
}

TEST(Plot, RastersForTheWindowAtAnyScaleWithOrWithoutTheLine)
{
    const std::uint32_t white = 0xFFFFFFFF, seriesColour = 0xFF336699; // 0.2, 0.4, 0.6 opaque
    const Raster one = renderRaster(simpleChart(), 1);
    EXPECT_EQ(std::make_pair(one.width, one.height), std::make_pair(720, 450));
    ASSERT_GE(one.stride, 4 * one.width);
    ASSERT_EQ(one.pixels.size(), static_cast<std::size_t>(one.stride) * 450);
    EXPECT_GT(countPixels(one, white), 720 * 450 / 2); // the page, not a transparent one
    const Raster two = renderRaster(simpleChart(), 2);
    EXPECT_EQ(std::make_pair(two.width, two.height), std::make_pair(1440, 900));
    // Markers alone draw less of the series' colour than markers joined by a line.
    Chart scatter = simpleChart();
    scatter.series[0].joined = false;
    const long joined = countPixels(one, 0, true), alone = countPixels(renderRaster(scatter, 1), 0, true);
    EXPECT_GE(countPixels(one, seriesColour), 40);
    EXPECT_LT(alone * 2, joined);
    for (double bad : {0.0, -1.0, 8.0, std::nan("")})
        EXPECT_THROW(renderRaster(simpleChart(), bad), Failure) << bad;
}

TEST(Plot, BadChartsAndUnwritableFilesFailAndLeaveNothing)
{
    Chart empty = simpleChart();
    empty.xMax = empty.xMin;
    Chart uneven = simpleChart();
    uneven.series[0].y.pop_back();
    Chart notANumber = simpleChart();
    notANumber.series[0].y[2] = NAN;
    for (const Chart& bad : {empty, uneven, notANumber})
        EXPECT_THROW(renderChart(bad, Format::svg), Failure);

    TempDir dir;
    testing::writeFile(dir / "kept.png", "old");
    try {
        writeChart(notANumber, dir / "kept.png");
        FAIL() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.message().rfind("Cannot write " + (dir / "kept.png").string() + ": ", 0), 0u) << f.message();
    }
    EXPECT_EQ(testing::readFile(dir / "kept.png"), "old");
    EXPECT_THROW(writeChart(simpleChart(), dir / "plot.jpg"), Failure);
    EXPECT_THROW(writeChart(simpleChart(), dir / "missing" / "plot.svg"), Failure);
    EXPECT_FALSE(std::filesystem::exists(dir / "plot.jpg"));

    writeChart(simpleChart(), dir / "plot.pdf");
    EXPECT_EQ(testing::readFile(dir / "plot.pdf").rfind("%PDF-", 0), 0u);
}

} // namespace
} // namespace kestrel::plot
