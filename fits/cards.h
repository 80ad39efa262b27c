// The card rules by which every keyword query reads a header card. Private to fits/.
#pragma once

#include <string>
#include <string_view>

namespace kestrel::cards {

/// A card ends the header when its first three characters, folded to upper case, are "END".
bool isEndCard(std::string_view card);
/// Columns 1 to 8, blanks and control characters trimmed, letters folded to upper case.
std::string keywordField(std::string_view card);
/// Columns 11 to 79, trimmed of blanks and control characters.
std::string_view valueText(std::string_view card);
/// The value text up to its first blank or "/".
std::string_view numberText(std::string_view value);
/// ASCII letters a to z folded to upper case.
std::string upperAscii(std::string_view text);

} // namespace kestrel::cards
