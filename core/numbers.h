// Text to number and number to text, never touched by the user's locale: the decimal
// separator is always ".".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

/// Result of a conversion: `status` is 0 when the whole text was a number, else the
/// 1-based position of the first character that is not part of the number (one past
/// the end when the text stops too early, 1 for an empty text).
template <class T>
struct Conversion {
    T value{};
    int status = 1;
    bool ok() const { return status == 0; }
};

/// The value of a conversion that read the whole text, else nothing.
template <class T> std::optional<T> converted(const Conversion<T>& c)
{
    return c.ok() ? std::optional<T>(c.value) : std::nullopt;
}

/// Whole number: leading blanks, an optional sign, then decimal digits, or hexadecimal
/// digits after a "$", "x", "X" or "0x" prefix; it must fit a signed 32-bit integer and
/// end the text. On failure `value` holds the digits read so far (unused by callers).
Conversion<std::int32_t> parseInteger(std::string_view text);

/// Real number: leading blanks, optional sign, digits with an optional point (digits on
/// at least one side), optional "E"/"e" exponent with at least one digit; nothing may
/// follow. A "D" exponent is not accepted. Computed in extended precision and stored as
/// a double; on failure `value` is 0.
Conversion<double> parseReal(std::string_view text);

/// Removes leading and trailing blanks and control characters (codes 0 to 32).
std::string_view trimBlanks(std::string_view text);

/// Fixed-point with exactly `decimals` decimals, right-aligned in a field of `width`
/// characters (a longer number is not cut): formatFixed(10, 3, 7) is " 10.000".
std::string formatFixed(double value, int decimals, int width = 0);

/// formatFixed without surrounding blanks.
std::string formatFixedTrimmed(double value, int decimals, int width = 0);

} // namespace kestrel
