// Sorting the results grid: textual, case-insensitive, in the user's language.
#include "settings/settings.h"

#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kestrel {
namespace {

using testing::Box;
using testing::TestHost;

class GridSort : public ::testing::Test {
protected:
    GridSort() : ws(host, window)
    {
        ::setenv("LC_ALL", "en_GB.UTF-8", 1);
        window.grid.setRowCount(1);
    }
    ~GridSort() override { ::unsetenv("LC_ALL"); }

    void addRow(std::array<std::string, 6> cells)
    {
        auto& g = window.grid;
        g.setRowCount(g.rowCount() + 1);
        g.setRow(g.rowCount() - 1, std::move(cells));
    }
    std::vector<std::string> column(int c) const
    {
        std::vector<std::string> out;
        for (int r = 1; r < window.grid.rowCount(); ++r)
            out.push_back(window.grid.cell(c, r));
        return out;
    }

    TestHost host;
    WindowModel window;
    Workspace ws;
};

TEST_F(GridSort, OrdersAsTextNotAsNumbers)
{
    addRow({"a.fits", "  10.00", "    60", "     -20", "  1.000", ""});
    addRow({"b.fits", "  11.00", "    120", "     -20", "  2.000", ""});
    SortStringGrid(ws, window.grid, 2);
    EXPECT_EQ(column(0), (std::vector<std::string>{"b.fits", "a.fits"}));
    // Sorting again by the same column keeps the order; rows move whole.
    SortStringGrid(ws, window.grid, 2);
    EXPECT_EQ(column(0), (std::vector<std::string>{"b.fits", "a.fits"}));
    EXPECT_EQ(window.grid.cell(4, 1), "  2.000");
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(GridSort, BlankRowsComeFirstAndAtSignsStayInTheirRow)
{
    addRow({"m@31.fits", "  1.00", "    30", "     -5", "  0.500", " "});
    addRow({" ", " ", " ", " ", " ", " "});
    addRow({"M@30.fits", "  2.00", "    30", "     -5", "  0.700", " "});
    SortStringGrid(ws, window.grid, 0);
    EXPECT_EQ(column(0), (std::vector<std::string>{" ", "M@30.fits", "m@31.fits"}));
    EXPECT_EQ(column(1), (std::vector<std::string>{" ", "  2.00", "  1.00"}));
}

TEST_F(GridSort, KeysEqualButForCaseAreOrderedByTheWholeRow)
{
    addRow({"M31.fits", "  2.00", "", "", "", ""});
    addRow({"m31.fits", "  1.00", "", "", "", ""});
    SortStringGrid(ws, window.grid, 0);
    EXPECT_EQ(column(1), (std::vector<std::string>{"  1.00", "  2.00"}));
}

TEST_F(GridSort, FollowsTheUsersLanguage)
{
    addRow({"\xC3\xA4pfel.fits", "", "", "", "", ""}); // a with diaeresis
    addRow({"zebra.fits", "", "", "", "", ""});
    SortStringGrid(ws, window.grid, 0);
    EXPECT_EQ(column(0).front(), "\xC3\xA4pfel.fits");
    // Swedish puts the letter after z.
    ::setenv("LC_ALL", "sv_SE.UTF-8", 1);
    SortStringGrid(ws, window.grid, 0);
    EXPECT_EQ(column(0).front(), "zebra.fits");
}

TEST_F(GridSort, ColumnOutsideTheGridIsReportedAndChangesNothing)
{
    addRow({"b", "", "", "", "", ""});
    addRow({"a", "", "", "", "", ""});
    SortStringGrid(ws, window.grid, 7);
    EXPECT_EQ(column(0), (std::vector<std::string>{"b", "a"}));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].kind, Box::plain);
    EXPECT_EQ(host.boxes[0].text, "Range check error... in function SortStringGrid.");
}

} // namespace
} // namespace kestrel
