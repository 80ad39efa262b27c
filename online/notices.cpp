// The developer message and the update notice shown at start-up, and the Download
// Update button.
#include "online/online.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/report.h"
#include "core/whole_file.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#ifndef KESTREL_SERVER_ADDRESS
#define KESTREL_SERVER_ADDRESS ""
#endif
#ifndef KESTREL_CONTACT_ADDRESS
#define KESTREL_CONTACT_ADDRESS ""
#endif

namespace kestrel {

namespace {

/// More than any notice needs; a larger local file is not a notice.
constexpr std::size_t maxNoticeBytes = 1024 * 1024;

/// Windows-1252 from 0x80 to 0x9F; the five codes it leaves unassigned stand for the
/// control characters of the same numbers. From 0xA0 on it is Latin-1.
constexpr std::array<char16_t, 32> windows1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

/// The length of the well-formed UTF-8 sequence at `at`, or 0 when there is none: no
/// overlong forms, no surrogates, nothing beyond U+10FFFF.
std::size_t utf8SequenceAt(std::string_view s, std::size_t at)
{
    const auto byte = [&s](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > s.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

bool isUtf8(std::string_view s)
{
    for (std::size_t at = 0; at < s.size();) {
        const std::size_t length = utf8SequenceAt(s, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string fromWindows1252(std::string_view s)
{
    std::string out;
    out.reserve(s.size() * 2);
    for (const char ch : s) {
        const auto b = static_cast<std::uint8_t>(ch);
        appendUtf8(out, b >= 0x80 && b < 0xA0 ? windows1252High[b - 0x80] : char32_t{b});
    }
    return out;
}

std::vector<std::string> readNoticeLines(const std::filesystem::path& file)
{
    const std::optional<std::string> contents = readSmallFile(file, maxNoticeBytes);
    if (!contents)
        throw Failure(cannotRead(file, std::strerror(ENOENT)));
    return noticeLines(*contents);
}

/// A web page served in place of a notice: a captive portal's sign-in page, a proxy's
/// error page. No notice of ours begins with "<".
bool isWebPage(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        const std::string_view text = trimBlanks(line);
        if (!text.empty())
            return text.front() == '<';
    }
    return false;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

/// Why the link must not be opened, or "" for an http or https address. A tampered
/// notice could otherwise name a local program for the desktop to start.
std::string linkProblem(std::string_view link)
{
    for (const std::string_view scheme : {"http://", "https://"})
        if (startsWithIgnoringCase(link, scheme) && link.size() > scheme.size())
            return "";
    return "The update link is not a web address";
}

} // namespace

MakerAddresses builtInAddresses()
{
    return {KESTREL_SERVER_ADDRESS, KESTREL_CONTACT_ADDRESS};
}

const char* noticeFileName(NoticeFile file)
{
    return file == NoticeFile::message ? "kestrelMsg.txt" : "update.txt";
}

std::string noticeUrl(const std::string& server, NoticeFile file)
{
    return server + "/kestrel/" + noticeFileName(file);
}

std::vector<std::string> noticeLines(std::string_view bytes)
{
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (bytes.substr(0, byteOrderMark.size()) == byteOrderMark)
        bytes.remove_prefix(byteOrderMark.size());
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        if (lf == std::string_view::npos)
            lf = bytes.size();
        std::size_t end = lf;
        if (end > start && bytes[end - 1] == '\r')
            --end;
        const std::string_view line = bytes.substr(start, end - start);
        lines.push_back(isUtf8(line) ? std::string(line) : fromWindows1252(line));
        start = lf + 1;
    }
    return lines;
}

bool removeOldCopy(const std::filesystem::path& local)
{
    std::error_code ec;
    if (!std::filesystem::exists(local, ec))
        return false;
    std::filesystem::remove(local, ec);
    return true;
}

std::optional<std::vector<std::string>> getDeveloperMessage(Notices& notices, const std::filesystem::path& local)
{
    notices.messageLines = readNoticeLines(local);
    // An empty file says as little as "No Message" does.
    if (notices.messageLines.empty() || notices.messageLines.front() == "No Message" ||
        isWebPage(notices.messageLines))
        return std::nullopt;
    return std::vector<std::string>(notices.messageLines.begin() + 1, notices.messageLines.end());
}

std::optional<UpdateNotice> checkForUpdate(Notices& notices, const std::filesystem::path& local,
                                           const std::string& currentVersion)
{
    const std::string current(trimBlanks(currentVersion));
    const std::vector<std::string> lines = readNoticeLines(local);
    const std::string latest = lines.empty() ? std::string() : std::string(trimBlanks(lines.front()));
    // Versions compare as text, code by code. A page that a proxy or captive portal
    // put in place of the notice also compares greater, so a version must begin with
    // a digit to count.
    const bool newer = latest > current && !latest.empty() && latest.front() >= '0' && latest.front() <= '9';
    if (!newer)
        return std::nullopt;

    UpdateNotice notice;
    notice.latest = latest;
    notices.updateLink = lines.size() > 1 ? lines[1] : std::string();
    // The notes are lines 3 on; a notice without notes still adds one empty line.
    if (lines.size() > 2)
        notice.notes.assign(lines.begin() + 2, lines.end());
    else
        notice.notes.emplace_back();
    return notice;
}

bool downloadUpdateClick(const Notices& notices, Host& host)
{
    bool hide = false;
    reportFailures(
        host, "... Update download failed.",
        [&] {
            const std::string link(trimBlanks(notices.updateLink));
            const std::string problem = linkProblem(link);
            if (!problem.empty())
                throw Failure(problem);
            host.openDocument(link);
            hide = true;
        },
        BoxKind::plain);
    return hide;
}

} // namespace kestrel
