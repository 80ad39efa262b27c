#include "core/numbers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <limits>

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

/// The value of a text that passed parseReal's checks (a sign, digits with at most one
/// point, an exponent), in extended precision as strtold gives it in the "C" locale,
/// whatever locale the process is in. The point is the one part of such a text that a
/// locale changes, so the digits are read without it and the exponent lowered by the
/// digits that followed it: "12.5e3" is read as "125e2", the same number, which
/// strtold rounds the same way on every system.
long double extendedValue(std::string_view text)
{
    std::string number;
    long long exponent = 0;
    bool afterPoint = false;
    std::size_t i = 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] == '.')
            afterPoint = true;
        else
            number += text[i];
        if (afterPoint && isDigit(text[i]))
            --exponent;
    }
    if (i < text.size()) {
        const bool negative = text[++i] == '-';
        if (text[i] == '-' || text[i] == '+')
            ++i;
        // Held far beyond any exponent a long double reaches, so that no text of
        // digits overflows it; the number is out of range all the same.
        constexpr long long bound = 1'000'000'000;
        long long written = 0;
        for (; i < text.size(); ++i)
            written = std::min(written * 10 + (text[i] - '0'), bound);
        exponent += negative ? -written : written;
    }
    number += "e" + std::to_string(exponent);
    return std::strtold(number.c_str(), nullptr);
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
    const long double extended = extendedValue(text.substr(start));
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
