// The developer message and the update notice shown at start-up, and the Download
// Update button.
#include "online/online.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/report.h"
#include "core/whole_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <vector>

#ifndef KESTREL_SERVER_ADDRESS
#define KESTREL_SERVER_ADDRESS "http://kestrel.example.org"
#endif

namespace kestrel {

namespace {

/// More than any notice needs; a larger local file is not a notice.
constexpr std::size_t maxNoticeBytes = 1024 * 1024;

/// The file's lines, split at line feeds with a carriage return before them dropped.
/// The file is read as bytes, so a binary download cannot make the reading go wrong;
/// a missing last line end is no extra line.
std::vector<std::string> readLines(const std::filesystem::path& file)
{
    const std::optional<std::string> contents = readSmallFile(file, maxNoticeBytes);
    if (!contents)
        throw Failure(cannotRead(file, std::strerror(ENOENT)));
    const std::string& bytes = *contents;
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos)
            lf = bytes.size();
        std::size_t end = lf;
        if (end > start && bytes[end - 1] == '\r')
            --end;
        lines.push_back(bytes.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

/// Removes an old local copy so that a failed download cannot leave yesterday's notice
/// to be read as today's.
void removeOldCopy(Host& host, const std::filesystem::path& local)
{
    std::error_code ec;
    if (!std::filesystem::exists(local, ec))
        return;
    std::filesystem::remove(local, ec);
    host.pumpMessages();
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

std::string serverAddress()
{
    std::string address = KESTREL_SERVER_ADDRESS;
    while (!address.empty() && address.back() == '/')
        address.pop_back();
    return address;
}

std::optional<std::vector<std::string>> getDeveloperMessage(Notices& notices, Host& host, Downloader& downloader,
                                                            const std::string& server,
                                                            const std::filesystem::path& folder)
{
    const std::filesystem::path local = folder / "kestrelMsg.txt";
    const std::string url = server + "/kestrel/kestrelMsg.txt";
    removeOldCopy(host, local);
    if (!downloader.download(url, local))
        return std::nullopt;

    notices.messageLines = readLines(local);
    // An empty file says as little as "No Message" does.
    if (notices.messageLines.empty() || notices.messageLines.front() == "No Message")
        return std::nullopt;
    return std::vector<std::string>(notices.messageLines.begin() + 1, notices.messageLines.end());
}

std::optional<UpdateNotice> checkForUpdate(Notices& notices, Host& host, Downloader& downloader,
                                           const std::string& server, const std::filesystem::path& folder,
                                           const std::string& currentVersion)
{
    const std::string current(trimBlanks(currentVersion));
    const std::filesystem::path local = folder / "update.txt";
    const std::string url = server + "/kestrel/update.txt";
    removeOldCopy(host, local);
    if (!downloader.download(url, local)) {
        host.plainBox("Error downloading " + url);
        return std::nullopt;
    }

    const std::vector<std::string> lines = readLines(local);
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
            host.pumpMessages();
            hide = true;
        },
        BoxKind::plain);
    return hide;
}

} // namespace kestrel
