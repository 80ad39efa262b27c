// A build without cairo refuses every plot with its reason and writes nothing.
#include "plot/plot.h"

#include "core/failure.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

namespace kestrel::plot {
namespace {

TEST(PlotsUnavailable, EveryPlotIsRefusedAndNoFileWritten)
{
    const auto reason = plotsUnavailable();
    ASSERT_TRUE(reason);
    EXPECT_NE(reason->find("without cairo"), std::string::npos) << *reason;
    Chart chart;
    chart.series = {{"score", {0, 1}, {2, 3}, Colour{}, MarkerShape::circle}};
    try {
        renderChart(chart, Format::png);
        ADD_FAILURE() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.message(), *reason);
    }

    testing::TempDir dir;
    const auto file = dir / "profile.svg";
    try {
        writeChart(chart, file);
        ADD_FAILURE() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.message(), "Cannot write " + file.string() + ": " + *reason);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    // The names --plot takes are known all the same.
    EXPECT_EQ(formatFor("a.PDF"), Format::pdf);
    EXPECT_EQ(formatFor("a.jpg"), std::nullopt);
}

} // namespace
} // namespace kestrel::plot
