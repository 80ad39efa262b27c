// The results grid's model: a header row (row 0) and one row per image, 6 columns of
// text, as the window shows it and as its sort orders it.
#pragma once

#include "core/failure.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

/// The results grid: a header row (row 0) and image rows, 6 columns of text.
class ResultsGrid {
public:
    static constexpr int columnCount = 6;

    ResultsGrid() { setRowCount(8); }

    int rowCount() const { return static_cast<int>(rows_.size()); }

    /// Rows beyond the new count are dropped; rows added start empty.
    void setRowCount(int count)
    {
        rows_.resize(static_cast<std::size_t>(count < 1 ? 1 : count));
        ++revision_;
    }

    const std::string& cell(int column, int row) const { return rows_.at(index(row))[columnIndex(column)]; }

    void setCell(int column, int row, std::string text)
    {
        rows_.at(index(row))[columnIndex(column)] = std::move(text);
        ++revision_;
    }

    const std::array<std::string, columnCount>& row(int r) const { return rows_.at(index(r)); }
    void setRow(int r, std::array<std::string, columnCount> cells)
    {
        rows_.at(index(r)) = std::move(cells);
        ++revision_;
    }

    /// Counts changes, so a view can tell cheaply whether it must redraw.
    std::uint64_t revision() const { return revision_; }

    int currentColumn = 0;
    int currentRow = 1;

private:
    static std::size_t index(int row)
    {
        if (row < 0)
            failRange();
        return static_cast<std::size_t>(row);
    }
    static std::size_t columnIndex(int column)
    {
        if (column < 0 || column >= columnCount)
            failRange();
        return static_cast<std::size_t>(column);
    }

    std::vector<std::array<std::string, columnCount>> rows_;
    std::uint64_t revision_ = 0;
};

} // namespace kestrel
