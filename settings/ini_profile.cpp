// The INI profile rules, applied to the file's text in memory; core/whole_file does the
// disk.
#include "settings/settings.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/whole_file.h"

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrel {

namespace {

constexpr std::size_t maxValueLength = 2047;

/// One line of the file with its own line end, so untouched lines are written back
/// byte for byte.
struct Line {
    std::string_view text;
    std::string_view end;
};

/// A byte order mark that an editor put at the start: kept in the file, but no part of
/// the first line.
std::string_view byteOrderMark(std::string_view contents)
{
    constexpr std::string_view mark = "\xEF\xBB\xBF";
    return contents.starts_with(mark) ? mark : std::string_view();
}

std::vector<Line> splitLines(std::string_view contents)
{
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < contents.size()) {
        const std::size_t lf = contents.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.push_back({contents.substr(start), {}});
            break;
        }
        std::size_t textEnd = lf;
        if (textEnd > start && contents[textEnd - 1] == '\r')
            --textEnd;
        lines.push_back({contents.substr(start, textEnd - start), contents.substr(textEnd, lf + 1 - textEnd)});
        start = lf + 1;
    }
    return lines;
}

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

/// The name of a "[name]" line, or nothing for any other line.
std::optional<std::string_view> sectionName(std::string_view line)
{
    const std::string_view t = trimBlanks(line);
    if (t.empty() || t.front() != '[')
        return std::nullopt;
    const std::size_t close = t.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return trimBlanks(t.substr(1, close - 1));
}

/// Key and raw value of a "key=value" line; nothing for comments and other lines.
struct Entry {
    std::string_view key;
    std::string_view value;
};

std::optional<Entry> entryOf(std::string_view line)
{
    const std::string_view t = trimBlanks(line);
    if (t.empty() || t.front() == ';')
        return std::nullopt;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    return Entry{trimBlanks(line.substr(0, eq)), line.substr(eq + 1)};
}

/// Index range [first, last) of the lines inside the first section of that name; the
/// header line itself is first - 1. Nothing when the section is missing.
struct SectionRange {
    std::size_t first;
    std::size_t last;
};

std::optional<SectionRange> findSection(const std::vector<Line>& lines, std::string_view section)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto name = sectionName(lines[i].text);
        if (!name || !sameName(*name, section))
            continue;
        std::size_t end = i + 1;
        while (end < lines.size() && !sectionName(lines[end].text))
            ++end;
        return SectionRange{i + 1, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> findKey(const std::vector<Line>& lines, SectionRange range, std::string_view key)
{
    for (std::size_t i = range.first; i < range.last; ++i) {
        const auto entry = entryOf(lines[i].text);
        if (entry && sameName(entry->key, key))
            return i;
    }
    return std::nullopt;
}

std::string cleanValue(std::string_view raw)
{
    std::string_view v = trimBlanks(raw);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    if (v.size() > maxValueLength)
        v = v.substr(0, maxValueLength);
    return std::string(v);
}

} // namespace

std::string readProfileString(const std::filesystem::path& file, const std::string& section,
                              const std::string& key, const std::string& fallback)
{
    // A missing file gives the default; one that exists but cannot be read is a failure
    // of its own, for the caller to report, not a value.
    const std::optional<std::string> contents = readSmallFile(file);
    if (!contents)
        return fallback;
    const std::string_view text = *contents;
    const std::vector<Line> lines = splitLines(text.substr(byteOrderMark(text).size()));
    const auto range = findSection(lines, section);
    if (!range)
        return fallback;
    const auto at = findKey(lines, *range, key);
    if (!at)
        return fallback;
    return cleanValue(entryOf(lines[*at].text)->value);
}

namespace {

/// The text of an INI file with one value set (see writeProfileString).
std::string withValue(const std::string& contents, const std::string& section, const std::string& key,
                      const std::string& value)
{
    const std::string_view mark = byteOrderMark(contents);
    const std::vector<Line> lines = splitLines(std::string_view(contents).substr(mark.size()));

    // New lines take the line end the file already uses.
    std::string_view newline = "\n";
    for (const Line& l : lines)
        if (!l.end.empty()) {
            newline = l.end;
            break;
        }
    const std::string pair = key + "=" + value;

    std::string out;
    out.reserve(contents.size() + pair.size() + section.size() + 8);
    out.append(mark);
    auto put = [&out](const Line& l) {
        out.append(l.text);
        out.append(l.end);
    };

    const auto range = findSection(lines, section);
    if (!range) {
        for (const Line& l : lines)
            put(l);
        if (!lines.empty() && lines.back().end.empty())
            out.append(newline);
        out.append("[").append(section).append("]").append(newline);
        out.append(pair).append(newline);
        return out;
    }

    const auto at = findKey(lines, *range, key);
    // A new key goes after the section's last non-blank line, so blank lines that
    // separate it from the next section stay where they are.
    std::size_t insertAfter = range->first - 1;
    for (std::size_t i = range->first; i < range->last; ++i)
        if (!trimBlanks(lines[i].text).empty())
            insertAfter = i;

    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (at && i == *at) {
            out.append(pair).append(lines[i].end);
            continue;
        }
        put(lines[i]);
        if (!at && i == insertAfter) {
            if (lines[i].end.empty())
                out.append(newline);
            out.append(pair).append(newline);
        }
    }
    return out;
}

} // namespace

void writeProfileStrings(const std::filesystem::path& file, const std::string& section,
                         const std::vector<std::pair<std::string, std::string>>& values)
{
    // A line break would split the pair and spoil the lines after it.
    for (const auto& [key, value] : values)
        if (value.find_first_of("\r\n") != std::string::npos)
            throw Failure(cannotWrite(file, "the value of " + key + " holds a line break"));
    // Read again under the lock: a value another program set meanwhile stays.
    changeWholeFile(file, [&](const std::optional<std::string>& contents) {
        std::string text = contents.value_or(std::string());
        for (const auto& [key, value] : values)
            text = withValue(text, section, key, value);
        return text;
    });
}

void writeProfileString(const std::filesystem::path& file, const std::string& section, const std::string& key,
                        const std::string& value)
{
    writeProfileStrings(file, section, {{key, value}});
}

} // namespace kestrel
