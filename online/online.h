// Online notices: the developer message and the update notice, fetched from the
// maker's web server through a narrow download interface.
#pragma once

#include "fits/workspace.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

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

/// Fetches "kestrelMsg.txt" and shows messagePanel when it has a message. Failures in
/// reading the file propagate to the caller (start-up reports them).
void getDeveloperMessage(Workspace& ws, Downloader& downloader, const std::string& server);
/// Fetches "update.txt" and shows updatePanel when it names a newer version than
/// `currentVersion`; a failed download shows "Error downloading " and the URL.
void checkForUpdate(Workspace& ws, Downloader& downloader, const std::string& server,
                    const std::string& currentVersion);

/// Download Update: opens updateLink when it is an http or https address, then hides
/// the panel; any other link gives the plain box "...  Update download failed.".
void downloadUpdateClick(Workspace& ws);

} // namespace kestrel
