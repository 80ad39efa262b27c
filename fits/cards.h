// The card rules by which every keyword query reads a header card. Private to fits/.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::cards {

/// A card ends the header when its first three characters, letters folded to upper
/// case, are "END" and its characters 4 to 8 are blanks: the rest of its keyword field.
/// A keyword that only begins with END (ENDTIME) is an ordinary card.
bool isEndCard(std::string_view card);
/// Columns 1 to 8, blanks and control characters trimmed, letters folded to upper case.
std::string keywordField(std::string_view card);
/// Columns 11 to 79, trimmed of blanks and control characters.
std::string_view valueText(std::string_view card);
/// The value text up to its first blank or "/".
std::string_view numberText(std::string_view value);
/// ASCII letters a to z folded to upper case.
std::string upperAscii(std::string_view text);

/// The keyword scan every numeric query makes: over the cards whose keyword field
/// `matches`, in order, `convert` turns each card's number text into a value (nothing
/// when it does not convert); the last value wins. A value that does not convert sets
/// `result` back to `fallback` and ends the scan. `result` is kept up to date as the
/// scan goes, so a failure thrown by `convert` leaves the value found before it.
template <class T, class Matches, class Convert>
void scanLastGoodValue(const std::vector<std::string>& cards, Matches matches, Convert convert, T fallback,
                       T& result)
{
    result = fallback;
    for (const std::string& card : cards) {
        if (!matches(keywordField(card)))
            continue;
        const std::optional<T> value = convert(numberText(valueText(card)));
        if (!value) {
            result = fallback;
            return;
        }
        result = *value;
    }
}

} // namespace kestrel::cards
