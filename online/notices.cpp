// The developer message and the update notice shown at start-up, and the Download
// Update button.
#include "online/online.h"

#include "core/failure.h"
#include "core/numbers.h"

#include <algorithm>
#include <fstream>
#include <string_view>
#include <system_error>
#include <vector>

#ifndef KESTREL_SERVER_ADDRESS
#define KESTREL_SERVER_ADDRESS "http://kestrel.example.org"
#endif

namespace kestrel {

namespace {

/// More than any notice needs; a larger local file is read only this far.
constexpr std::size_t maxNoticeBytes = 1024 * 1024;

/// The file's lines, split at line feeds with a carriage return before them dropped.
/// The file is read as bytes, so a binary or oversized download cannot make the reading
/// go wrong; a missing last line end is no extra line.
std::vector<std::string> readLines(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw Failure("Cannot open file \"" + file.string() + "\"");
    std::string bytes;
    char chunk[16384];
    while (bytes.size() < maxNoticeBytes && in) {
        in.read(chunk, static_cast<std::streamsize>(std::min(sizeof chunk, maxNoticeBytes - bytes.size())));
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
    }

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
void removeOldCopy(Workspace& ws, const std::filesystem::path& local)
{
    std::error_code ec;
    if (!std::filesystem::exists(local, ec))
        return;
    std::filesystem::remove(local, ec);
    ws.host.pumpMessages();
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

void getDeveloperMessage(Workspace& ws, Downloader& downloader, const std::string& server)
{
    const std::filesystem::path local = ws.programFolder / "kestrelMsg.txt";
    const std::string url = server + "/kestrel/kestrelMsg.txt";
    removeOldCopy(ws, local);
    if (!downloader.download(url, local))
        return;

    ws.messageLines = readLines(local);
    // An empty file says as little as "No Message" does.
    if (ws.messageLines.empty() || ws.messageLines.front() == "No Message")
        return;
    auto& memo = ws.window.messagePanel.memoLines;
    memo.insert(memo.end(), ws.messageLines.begin() + 1, ws.messageLines.end());
    ws.window.messagePanel.visible = true;
}

void checkForUpdate(Workspace& ws, Downloader& downloader, const std::string& server,
                    const std::string& currentVersion)
{
    const std::string current(trimBlanks(currentVersion));
    const std::filesystem::path local = ws.programFolder / "update.txt";
    const std::string url = server + "/kestrel/update.txt";
    removeOldCopy(ws, local);
    if (!downloader.download(url, local)) {
        ws.host.plainBox("Error downloading " + url);
        return;
    }

    const std::vector<std::string> lines = readLines(local);
    const std::string latest = lines.empty() ? std::string() : std::string(trimBlanks(lines.front()));
    // Versions compare as text, code by code. A page that a proxy or captive portal
    // put in place of the notice also compares greater, so a version must begin with
    // a digit to count.
    const bool newer = latest > current && !latest.empty() && latest.front() >= '0' && latest.front() <= '9';
    if (!newer)
        return;

    ws.window.label9 = "The latest version is " + latest;
    ws.updateLink = lines.size() > 1 ? lines[1] : std::string();
    // The notes are lines 3 on; a notice without notes still adds one empty line.
    auto& memo = ws.window.updatePanel.memoLines;
    if (lines.size() > 2)
        memo.insert(memo.end(), lines.begin() + 2, lines.end());
    else
        memo.emplace_back();
    ws.window.updatePanel.visible = true;
}

void downloadUpdateClick(Workspace& ws)
{
    try {
        const std::string link(trimBlanks(ws.updateLink));
        const std::string problem = linkProblem(link);
        if (!problem.empty())
            throw Failure(problem);
        ws.host.openDocument(link);
        ws.host.pumpMessages();
        ws.window.updatePanel.visible = false;
    } catch (const std::exception& e) {
        ws.host.plainBox(failureMessage(e) + "... Update download failed.");
    }
}

} // namespace kestrel
