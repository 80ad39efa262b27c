// Online notices: the developer message and the update notice, fetched from the
// maker's web server through a narrow download interface.
#pragma once

#include "core/host.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

inline constexpr const char* programVersion = "1.35";

/// Fetches one URL into a local file. Implementations leave no local file behind when
/// the transfer fails or is not a 2xx answer.
class Downloader {
public:
    virtual ~Downloader() = default;
    /// True when the file was fetched whole.
    virtual bool download(const std::string& url, const std::filesystem::path& localPath) = 0;
};

/// Downloads with libcurl: a few seconds to connect, about 15 s in all, so start-up
/// never hangs on a server that does not answer. Only http and https are fetched; a
/// body larger than `maxBytes` counts as a failed download.
class CurlDownloader : public Downloader {
public:
    explicit CurlDownloader(std::chrono::milliseconds totalTimeout = std::chrono::seconds(15),
                            std::chrono::milliseconds connectTimeout = std::chrono::seconds(3),
                            std::size_t maxBytes = 1024 * 1024)
        : totalTimeout_(totalTimeout), connectTimeout_(connectTimeout), maxBytes_(maxBytes)
    {
    }
    bool download(const std::string& url, const std::filesystem::path& localPath) override;

private:
    std::chrono::milliseconds totalTimeout_;
    std::chrono::milliseconds connectTimeout_;
    std::size_t maxBytes_;
};

/// The maker's web server (set at build time).
std::string serverAddress();

/// What the notices leave for the rest of the program's run.
struct Notices {
    std::vector<std::string> messageLines; // every line of the developer message file
    std::string updateLink;                // second line of a notice of a newer version
};

/// Fetches "kestrelMsg.txt" from `server` into `folder` and loads it into messageLines.
/// The lines to show (the second to the last), or nothing when there is no message or
/// the download failed (silently). Failures in reading the file propagate to the
/// caller (start-up reports them).
std::optional<std::vector<std::string>> getDeveloperMessage(Notices& notices, Host& host, Downloader& downloader,
                                                            const std::string& server,
                                                            const std::filesystem::path& folder);

/// A notice of a newer version: the version it names and its release notes.
struct UpdateNotice {
    std::string latest;
    std::vector<std::string> notes; // one empty line when the notice has none
};

/// Fetches "update.txt" into `folder`; a notice that names a newer version than
/// `currentVersion` is returned and its link kept in `notices`. A failed download shows
/// "Error downloading " and the URL in a plain box.
std::optional<UpdateNotice> checkForUpdate(Notices& notices, Host& host, Downloader& downloader,
                                           const std::string& server, const std::filesystem::path& folder,
                                           const std::string& currentVersion);

/// Download Update: opens updateLink when it is an http or https address and says that
/// the panel is to be hidden; any other link gives the plain box "... Update download
/// failed." and leaves the panel.
bool downloadUpdateClick(const Notices& notices, Host& host);

} // namespace kestrel
