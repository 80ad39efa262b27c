#include "core/host.h"
#include "core/numbers.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace kestrel {
namespace {

struct IntegerCase {
    const char* text;
    int status;
    std::int32_t value;
};

TEST(ParseInteger, DecimalHexadecimalSignsAndLimits)
{
    const IntegerCase cases[] = {
        {"4008", 0, 4008},
        {"-32", 0, -32},
        {"+16", 0, 16},
        {"   42", 0, 42},
        {"$10", 0, 16},
        {"x1F", 0, 31},
        {"X1f", 0, 31},
        {"0x1F", 0, 31},
        {"0X10", 0, 16},
        {"-$10", 0, -16},
        {"2147483647", 0, 2147483647},
        {"-2147483648", 0, INT32_MIN},
        {"$7FFFFFFF", 0, 2147483647},
        {"0", 0, 0},
        {"007", 0, 7},
    };
    for (const auto& c : cases) {
        const auto r = parseInteger(c.text);
        EXPECT_EQ(r.status, c.status) << c.text;
        EXPECT_EQ(r.value, c.value) << c.text;
    }
}

TEST(ParseInteger, FailuresReportThePositionOfTheFirstBadCharacter)
{
    const std::pair<const char*, int> cases[] = {
        {"", 1},            // empty text
        {"   ", 4},         // blanks only: the text stops too early
        {"-", 2},           // sign alone
        {"4008.0", 5},      // a point is not part of a whole number
        {"12a", 3},
        {"2147483648", 10}, // one past the 32-bit range
        {"-2147483649", 11},
        {"$", 2},
        {"0x", 3},
        {"$G", 2},
        {"12 ", 3},         // trailing blank
        {"'abc'", 1},
        {"1e3", 2},
    };
    for (const auto& [text, status] : cases)
        EXPECT_EQ(parseInteger(text).status, status) << '"' << text << '"';
}

TEST(ParseReal, AcceptedForms)
{
    const std::pair<const char*, double> cases[] = {
        {"5.", 5.0},      {".5", 0.5},     {"-0.25", -0.25}, {"+3", 3.0},   {"  2.5", 2.5},
        {"2E4", 20000.0}, {"1e-2", 0.01},  {"1.5E+3", 1500}, {"32767.9", 32767.9},
        {"1E10", 1e10},   {"-10", -10.0},
    };
    for (const auto& [text, value] : cases) {
        const auto r = parseReal(text);
        EXPECT_TRUE(r.ok()) << text;
        EXPECT_DOUBLE_EQ(r.value, value) << text;
    }
}

TEST(ParseReal, RejectedForms)
{
    const std::pair<const char*, int> cases[] = {
        {"", 1},   {".", 2},      {"-", 2},       {"2D4", 2},  {"1.0D+03", 4},
        {"1E", 3}, {"1E+", 4},    {"'2.5'", 1},   {"2.5 ", 4}, {"abc", 1},
        {"1..2", 3}, {"1E400", 6}, {"nan", 1},    {"inf", 1},  {"0x10", 2},
    };
    for (const auto& [text, status] : cases) {
        const auto r = parseReal(text);
        EXPECT_EQ(r.status, status) << '"' << text << '"';
        EXPECT_EQ(r.value, 0.0) << text;
    }
}

/// Texts of every shape parseReal takes: points anywhere, long mantissas, exponents far
/// out, and numbers halfway between two doubles, where a second rounding would show.
std::vector<std::string> realTexts()
{
    std::vector<std::string> texts = {
        "0.1", "-0.5", "+.5", "5.", "007.250", "123.456e-7", "1e308", "1.7976931348623157e308",
        "2.2250738585072014e-308", "4.9e-324", "1e-400", "-1e-5000", "1e-4950", "0.0000000000000000000000001e25",
        "9007199254740993", "1.00000000000000011102230246251565404236316680908203125", "0.30000000000000004",
        "123456789012345678901234567890.5e-20", "1e000000000000000000000000000000010", "-0.0", "1e-99999999999999",
        "0." + std::string(1200, '0') + "15e1201"};
    std::mt19937 random(26);
    for (int i = 0; i < 2000; ++i) {
        std::string digits;
        for (int d = 1 + static_cast<int>(random() % 25); d > 0; --d)
            digits += static_cast<char>('0' + random() % 10);
        std::string text = (random() % 2 ? "-" : "") + digits;
        text.insert(text.size() - random() % (digits.size() + 1), ".");
        if (random() % 2)
            text += "e" + std::to_string(static_cast<int>(random() % 700) - 350);
        texts.push_back(text);
    }
    return texts;
}

/// What parseReal should give: strtold of the whole text in the "C" locale, rounded to
/// a double; nothing when that is beyond a double.
std::optional<double> strtoldValue(const std::string& text)
{
    const double d = static_cast<double>(std::strtold(text.c_str(), nullptr));
    if (!(std::fabs(d) <= std::numeric_limits<double>::max()))
        return std::nullopt;
    return d;
}

TEST(ParseReal, GivesTheBitsOfStrtoldInTheCLocale)
{
    for (const std::string& text : realTexts()) {
        const auto r = parseReal(text);
        const auto expected = strtoldValue(text);
        ASSERT_EQ(r.ok(), expected.has_value()) << text;
        if (expected) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(r.value), std::bit_cast<std::uint64_t>(*expected)) << text;
        }
    }
}

TEST(TrimBlanks, RemovesBlanksAndControlCharactersOnly)
{
    EXPECT_EQ(trimBlanks(" \t\r\n x y \x01"), "x y");
    EXPECT_EQ(trimBlanks("   "), "");
    EXPECT_EQ(trimBlanks(""), "");
}

TEST(FormatFixed, DecimalsWidthAndTrimming)
{
    EXPECT_EQ(formatFixed(10, 3, 7), " 10.000");
    EXPECT_EQ(formatFixed(-1.5, 1, 2), "-1.5"); // a longer number is not cut
    EXPECT_EQ(formatFixedTrimmed(3.14159, 2, 10), "3.14");
    EXPECT_EQ(formatFixed(-1e308, 100).size(), 1 + 309 + 1 + 100u); // longer than any fixed buffer
    EXPECT_EQ(formatFixed(1.25, -3), "1");
}

// The user's locale must not reach numbers: a German locale writes decimal commas.
TEST(Numbers, IndependentOfTheUserLocale)
{
    const std::vector<std::string> texts = realTexts();
    std::vector<double> before;
    for (const std::string& text : texts)
        before.push_back(parseReal(text).value);
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    // Its name on Linux, then on Windows.
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "German_Germany.1252"))
        GTEST_SKIP() << "no German locale installed";
    ASSERT_EQ(*localeconv()->decimal_point, ',');
    EXPECT_EQ(formatFixed(1234.5, 2, 9), "  1234.50");
    EXPECT_DOUBLE_EQ(parseReal("0.5").value, 0.5);
    EXPECT_FALSE(parseReal("0,5").ok());
    for (std::size_t i = 0; i < texts.size(); ++i)
        ASSERT_EQ(std::bit_cast<std::uint64_t>(parseReal(texts[i]).value), std::bit_cast<std::uint64_t>(before[i]))
            << texts[i];
    std::setlocale(LC_ALL, previous.c_str());
}

TEST(GeneralErrorText, AppendsAFullStopAfterCharactersThatSortAfterIt)
{
    EXPECT_EQ(generalErrorText("Range check error"), "Range check error.");
    EXPECT_EQ(generalErrorText("Done."), "Done.");
    EXPECT_EQ(generalErrorText("Really?"), "Really?."); // '?' sorts after '.'
    EXPECT_EQ(generalErrorText("Oops!"), "Oops!");      // '!' sorts before '.'
    EXPECT_EQ(generalErrorText("(5)"), "(5)");
    EXPECT_EQ(generalErrorText(""), "");
}

} // namespace
} // namespace kestrel
