// Online notices: the developer message and the update notice, fetched from the
// maker's web server through a narrow download interface.
#pragma once

#include "core/host.h"
#include "core/version.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrel {

/// Fetches one URL into a local file. Implementations leave no local file behind when
/// the transfer fails or is not a 2xx answer.
class Downloader {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~Downloader() = default;
    /// True when the file was fetched whole by `deadline`; false once it passes,
    /// whatever the server is doing then.
    virtual bool download(const std::string& url, const std::filesystem::path& localPath, Clock::time_point deadline) = 0;
    /// Ends a download in progress on another thread at once, as a failed one, and
    /// makes every later one fail: for a program that is closing. Safe from any thread.
    virtual void cancel() {}
};

/// Downloads with libcurl: a few seconds to connect, and never past the deadline. Only
/// http and https are fetched; a body larger than `maxBytes` counts as a failed download.
class CurlDownloader : public Downloader {
public:
    explicit CurlDownloader(std::chrono::milliseconds connectTimeout = std::chrono::seconds(3),
                            std::size_t maxBytes = 1024 * 1024)
        : connectTimeout_(connectTimeout), maxBytes_(maxBytes)
    {
    }
    bool download(const std::string& url, const std::filesystem::path& localPath, Clock::time_point deadline) override;
    void cancel() override;

private:
    std::chrono::milliseconds connectTimeout_;
    std::size_t maxBytes_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    void* transfer_ = nullptr; // the transfer in progress, to be woken by cancel()
};

/// One download at a time on a thread of its own, so that a window never waits on the
/// network.
class FetchThread {
public:
    explicit FetchThread(Downloader& downloader) : downloader_(downloader) {}
    /// Cancels the download in progress and waits for the thread, which then ends at once.
    ~FetchThread();
    FetchThread(const FetchThread&) = delete;
    FetchThread& operator=(const FetchThread&) = delete;

    /// Downloads `url` into `local` by `deadline` on the fetch thread, which then calls
    /// `done` with the outcome. An earlier fetch is waited for first.
    void start(std::string url, std::filesystem::path local, Downloader::Clock::time_point deadline,
               std::function<void(bool)> done);
    /// Ends the download in progress at once (it reports a failure) and every later one.
    void cancel() { downloader_.cancel(); }

private:
    Downloader& downloader_;
    std::thread thread_;
};

/// How the maker is reached, as the build sets it: the web server's base address (with
/// no final slash) and the developer's e-mail address. Either is empty when the build
/// names none.
struct MakerAddresses {
    std::string server;
    std::string contact;
};

/// The addresses this build was configured with.
MakerAddresses builtInAddresses();

/// The notice files, by the name they have on the server and beside the program.
enum class NoticeFile { message, update };
const char* noticeFileName(NoticeFile file);
/// The file's address on `server`: "/kestrel/" and its name.
std::string noticeUrl(const std::string& server, NoticeFile file);

/// The lines of a notice file as text: split at line feeds (a carriage return before
/// one is dropped, a missing last line end makes no extra line), a UTF-8 byte order
/// mark at the start dropped, and each line in UTF-8. A line that is valid UTF-8 is
/// kept as it is; any other line is read as Windows-1252, the 8-bit text of the
/// program's first home, whose five unassigned bytes stand for the control characters
/// of the same codes, as browsers read them too.
std::vector<std::string> noticeLines(std::string_view bytes);

/// What the notices leave for the rest of the program's run.
struct Notices {
    std::vector<std::string> messageLines; // every line of the developer message file
    std::string updateLink;                // second line of a notice of a newer version
};

/// Removes an old local copy of a notice before it is fetched again, so that a failed
/// download cannot leave yesterday's notice to be read as today's. True when there was
/// one.
bool removeOldCopy(const std::filesystem::path& local);

/// Loads the downloaded message file `local` into messageLines. The lines to show (the
/// second to the last), or nothing when the first line is "No Message", the file is
/// empty, or it is a web page that a captive portal or proxy served in its place (its
/// first non-blank character is "<"). A file that cannot be read throws a Failure.
std::optional<std::vector<std::string>> getDeveloperMessage(Notices& notices, const std::filesystem::path& local);

/// A notice of a newer version: the version it names and its release notes.
struct UpdateNotice {
    std::string latest;
    std::vector<std::string> notes; // one empty line when the notice has none
};

/// Reads the downloaded update notice `local`: a notice that names a newer version than
/// `currentVersion` is returned and its link kept in `notices`. A file that cannot be
/// read throws a Failure.
std::optional<UpdateNotice> checkForUpdate(Notices& notices, const std::filesystem::path& local,
                                           const std::string& currentVersion);

/// Download Update: opens updateLink when it is an http or https address and says that
/// the panel is to be hidden; any other link gives the plain box "... Update download
/// failed." and leaves the panel.
bool downloadUpdateClick(const Notices& notices, Host& host);

} // namespace kestrel
