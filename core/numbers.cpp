#include "core/numbers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <locale.h>

namespace kestrel {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// strtold in the "C" locale, whatever the process's locale says.
long double cLocaleStrtold(const std::string& text)
{
    static locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    return strtold_l(text.c_str(), nullptr, cLocale);
}

} // namespace

Conversion<std::int32_t> parseInteger(std::string_view text)
{
    Conversion<std::int32_t> result;
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto position = [](std::size_t index) { return static_cast<int>(index + 1); };

    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    const std::size_t firstDigit = i;
    // Accumulate as a negative number so that -2147483648 fits.
    std::int64_t magnitude = 0;
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    for (; i < n; ++i) {
        const int d = base == 16 ? hexDigit(text[i]) : (isDigit(text[i]) ? text[i] - '0' : -1);
        if (d < 0) {
            result.status = position(i);
            return result;
        }
        magnitude = magnitude * base + d;
        if (magnitude > limit) {
            result.status = position(i);
            return result;
        }
        result.value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    }
    if (i == firstDigit) {
        result.status = position(i);
        return result;
    }
    result.value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    result.status = 0;
    return result;
}

Conversion<double> parseReal(std::string_view text)
{
    Conversion<double> result;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    const std::size_t start = i;
    if (i < n && (text[i] == '-' || text[i] == '+'))
        ++i;
    std::size_t digits = 0;
    while (i < n && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        result.status = static_cast<int>(i + 1);
        return result;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '-' || text[i] == '+'))
            ++i;
        std::size_t expDigits = 0;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++expDigits;
        }
        if (expDigits == 0) {
            result.status = static_cast<int>(i + 1);
            return result;
        }
    }
    if (i != n) {
        result.status = static_cast<int>(i + 1);
        return result;
    }
    const long double extended = cLocaleStrtold(std::string(text.substr(start)));
    const double value = static_cast<double>(extended);
    if (!(value <= std::numeric_limits<double>::max() && value >= -std::numeric_limits<double>::max())) {
        // Beyond the range of a double: not a number Kestrel can hold.
        result.status = static_cast<int>(n + 1);
        return result;
    }
    result.value = value;
    result.status = 0;
    return result;
}

std::string_view trimBlanks(std::string_view text)
{
    std::size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ')
        --e;
    return text.substr(b, e - b);
}

std::string formatFixed(double value, int decimals, int width)
{
    // The longest fixed text of a double: sign, 309 integer digits, point, decimals.
    decimals = std::max(decimals, 0);
    std::string digits(static_cast<std::size_t>(decimals) + 320, '\0');
    const auto r = std::to_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed,
                                 decimals);
    digits.resize(static_cast<std::size_t>(r.ptr - digits.data()));
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), ' ');
    return digits;
}

std::string formatFixedTrimmed(double value, int decimals, int width)
{
    return std::string(trimBlanks(formatFixed(value, decimals, width)));
}

} // namespace kestrel
