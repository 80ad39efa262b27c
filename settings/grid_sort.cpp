// Sorting the results grid by one column, as words are sorted in the user's language.
#include "settings/settings.h"

#include "core/failure.h"
#include "core/report.h"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

namespace kestrel {

namespace {

/// The collation locale named by the environment, as the C library would take it:
/// LC_ALL, then LC_COLLATE, then LANG; "C", "POSIX" and nothing give the root order.
std::string collationLocaleName()
{
    for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0')
            continue;
        std::string_view name(value);
        name = name.substr(0, name.find_first_of(".@"));
        if (name == "C" || name == "POSIX")
            return "";
        return std::string(name);
    }
    return "";
}

std::unique_ptr<icu::Collator> userCollator()
{
    UErrorCode status = U_ZERO_ERROR;
    const std::string name = collationLocaleName();
    const icu::Locale locale = name.empty() ? icu::Locale::getRoot() : icu::Locale(name.c_str());
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator)
        throw Failure(std::string("Cannot create the collator: ") + u_errorName(status));
    // Secondary strength: accents count, case does not.
    collator->setStrength(icu::Collator::SECONDARY);
    return collator;
}

} // namespace

void SortStringGrid(Host& host, ResultsGrid& grid, int column)
{
    reportFailures(host, inFunction("SortStringGrid"), [&] {
        const int n = grid.rowCount();
        struct Row {
            std::string text; // key, "@", then every cell followed by a line break
            std::array<std::string, ResultsGrid::columnCount> cells;
        };
        std::vector<Row> rows;
        rows.reserve(static_cast<std::size_t>(n > 1 ? n - 1 : 0));
        for (int r = 1; r < n; ++r) {
            Row row{grid.cell(column, r) + "@", grid.row(r)};
            for (const std::string& cell : row.cells)
                row.text += cell + "\n";
            rows.push_back(std::move(row));
        }

        const auto collator = userCollator();
        UErrorCode status = U_ZERO_ERROR;
        std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
            return collator->compareUTF8(a.text, b.text, status) == UCOL_LESS;
        });
        if (U_FAILURE(status))
            throw Failure(std::string("Cannot compare the rows: ") + u_errorName(status));

        for (int r = 1; r < n; ++r)
            grid.setRow(r, std::move(rows[static_cast<std::size_t>(r - 1)].cells));
    }, BoxKind::plain);
}

} // namespace kestrel
