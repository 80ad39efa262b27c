// Sorting the results grid: textual, case-insensitive, in the user's language.
#include "settings/settings.h"

#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kestrel {
namespace {

using Cells = std::array<std::string, ResultsGrid::columnCount>;
using Texts = std::vector<std::string>;

class GridSort : public ::testing::Test {
protected:
    GridSort() { ::setenv("LC_ALL", "en_GB.UTF-8", 1); }
    ~GridSort() override { ::unsetenv("LC_ALL"); }

    void fill(const std::vector<Cells>& rows)
    {
        grid.setRowCount(static_cast<int>(rows.size()) + 1);
        for (std::size_t r = 0; r < rows.size(); ++r)
            grid.setRow(static_cast<int>(r) + 1, rows[r]);
    }
    Texts sortedColumn(int sortBy, int shown)
    {
        SortStringGrid(host, grid, sortBy);
        Texts out;
        for (int r = 1; r < grid.rowCount(); ++r)
            out.push_back(grid.cell(shown, r));
        return out;
    }

    testing::TestHost host;
    ResultsGrid grid;
};

TEST_F(GridSort, OrdersAsTextAndMovesWholeRows)
{
    fill({{"a.fits", "  1.00", "    60"}, {"b.fits", "  2.00", "    120"}, {" ", " ", " "}});
    // "    120" before "    60"; the blank key's "@" sorts after the exposures' blanks.
    EXPECT_EQ(sortedColumn(2, 0), (Texts{"b.fits", "a.fits", " "}));
    EXPECT_EQ(sortedColumn(2, 1), (Texts{"  2.00", "  1.00", " "}));
    EXPECT_EQ(sortedColumn(0, 2), (Texts{" ", "    60", "    120"}));
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(GridSort, KeysEqualButForCaseAreOrderedByTheWholeRow)
{
    fill({{"M@31.fits", "  2.00"}, {"m@31.fits", "  1.00"}, {"m@30.fits", "  3.00"}});
    EXPECT_EQ(sortedColumn(0, 1), (Texts{"  3.00", "  1.00", "  2.00"}));
}

TEST_F(GridSort, FollowsTheUsersLanguage)
{
    fill({{"zebra.fits"}, {"\xC3\xA4pfel.fits"}}); // a with diaeresis
    EXPECT_EQ(sortedColumn(0, 0).front(), "\xC3\xA4pfel.fits");
    ::setenv("LC_ALL", "sv_SE.UTF-8", 1); // Swedish puts the letter after z
    EXPECT_EQ(sortedColumn(0, 0).front(), "zebra.fits");
}

TEST_F(GridSort, ColumnOutsideTheGridIsReportedAndChangesNothing)
{
    fill({{"b"}, {"a"}});
    EXPECT_EQ(sortedColumn(7, 0), (Texts{"b", "a"}));
    EXPECT_EQ(host.texts(testing::Box::plain), (Texts{"Range check error... in function SortStringGrid."}));
}

} // namespace
} // namespace kestrel
