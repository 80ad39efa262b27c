#include "engine/journal.h"

#include "core/failure.h"
#include "core/whole_file.h"

#include <charconv>
#include <string_view>
#include <system_error>

namespace kestrel {
namespace {

namespace fs = std::filesystem;

fs::path folderOf(const fs::path& input)
{
    std::error_code ec;
    return fs::absolute(input, ec).lexically_normal().parent_path();
}

/// A name on one line: a line end or backslash in it written \n, \r, \\.
std::string escaped(const std::string& name)
{
    std::string out;
    for (const char c : name)
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\\' ? "\\\\" : std::string(1, c);
    return out;
}

std::string unescaped(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

/// Each line of a journal: "SIZE CHANGED NAME".
template <class Each> void eachLine(std::string_view text, Each each)
{
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second == std::string_view::npos)
            continue; // a line cut short by a crash before the flush: no file of its name
        std::uintmax_t size = 0;
        std::int64_t changed = 0;
        const auto a = std::from_chars(line.data(), line.data() + first, size);
        const auto b = std::from_chars(line.data() + first + 1, line.data() + second, changed);
        if (a.ec == std::errc() && a.ptr == line.data() + first && b.ec == std::errc() &&
            b.ptr == line.data() + second)
            each(unescaped(line.substr(second + 1)), size, changed, line);
    }
}

} // namespace

std::optional<OverwriteJournal::Stamp> OverwriteJournal::stampOf(const fs::path& file)
{
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec)
        return std::nullopt;
    const auto changed = fs::last_write_time(file, ec);
    if (ec)
        return std::nullopt;
    return Stamp{size, static_cast<std::int64_t>(changed.time_since_epoch().count())};
}

OverwriteJournal::OverwriteJournal(const std::vector<fs::path>& inputs)
{
    for (const fs::path& input : inputs)
        inputs_[folderOf(input)].insert(input.filename().string());
    for (const auto& [folder, names] : inputs_) {
        std::optional<std::string> text;
        try {
            text = readSmallFile(folder / fileName);
        } catch (const Failure&) {
        }
        if (text)
            eachLine(*text, [&](const std::string& name, std::uintmax_t size, std::int64_t changed, std::string_view) {
                found_[folder][name] = Stamp{size, changed};
            });
    }
}

bool OverwriteJournal::correctedBefore(const fs::path& input) const
{
    const auto folder = found_.find(folderOf(input));
    if (folder == found_.end())
        return false;
    const auto entry = folder->second.find(input.filename().string());
    return entry != folder->second.end() && stampOf(input) == entry->second;
}

std::optional<std::string> OverwriteJournal::noteReplaced(const fs::path& input)
{
    const auto stamp = stampOf(input);
    if (!stamp)
        return "its size and time cannot be read";
    const std::string line = std::to_string(stamp->size) + " " + std::to_string(stamp->changed) + " " +
                             escaped(input.filename().string()) + "\n";
    // Read again each time, so that lines another run added there meanwhile stay. No lock
    // file: the journal is to leave no trace once the run is done.
    const fs::path journal = folderOf(input) / fileName;
    try {
        writeWholeFile(journal, readSmallFile(journal).value_or("") + line);
    } catch (const std::exception& e) {
        return failureMessage(e);
    }
    return std::nullopt;
}

void OverwriteJournal::finish()
{
    for (const auto& [folder, names] : inputs_) {
        const fs::path journal = folder / fileName;
        std::error_code ec;
        if (!fs::exists(journal, ec))
            continue;
        // One that cannot be read or written is kept as it was: its files are skipped
        // only while they are unchanged.
        try {
            std::string kept;
            eachLine(readSmallFile(journal).value_or(""),
                     [&](const std::string& name, std::uintmax_t, std::int64_t, std::string_view line) {
                         if (!names.contains(name))
                             kept.append(line).append("\n");
                     });
            if (kept.empty())
                fs::remove(journal, ec);
            else
                writeWholeFile(journal, kept);
        } catch (const Failure&) {
        }
    }
}

} // namespace kestrel
