#include "plot/plot.h"

#include "core/failure.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <cmath>

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
