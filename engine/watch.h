// Correcting a night as it is taken: folders watched while an acquisition program
// writes its frames into them, each frame corrected by the batch of both front ends
// once it is whole and no longer written, and corrected again if it changes later.
#pragma once

#include "engine/batch.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

/// A name an acquisition program gives its frames: it ends in .fit, .fits or .fts, in
/// any case. Every other file of a watched folder (a log, a temporary name, a preview)
/// is left alone.
bool isFrameName(const std::filesystem::path& name);

/// How far a file that is being written has come.
struct FrameProgress {
    enum class State {
        whole,      // the header and the whole data unit it announces, padded
        incomplete, // a header without END yet, or fewer bytes than it announces
        other,      // no FITS header can come of it: the correction says what it is
    };
    State state = State::other;
    std::uintmax_t have = 0;   // bytes in the file
    std::uintmax_t wanted = 0; // bytes of the header and its padded data unit, once known
};
FrameProgress frameProgress(const std::filesystem::path& file);

/// "incomplete after 600 s: 12,345,600 of 42,849,600 bytes".
std::string incompleteMessage(double seconds, std::uintmax_t have, std::uintmax_t wanted);

/// Where the corrected frames of a watched folder go: `outputDir` when given, else the
/// folder kestrel inside it, as correct puts them beside its first file.
std::filesystem::path watchOutputFolder(const std::filesystem::path& folder,
                                        const std::optional<std::filesystem::path>& outputDir);

struct WatchSettings {
    std::vector<std::filesystem::path> folders;
    std::optional<std::filesystem::path> outputDir; // default: kestrel/ in each folder
    BatchSettings batch;
    double settleSeconds = 2;       // no write for this long before a frame is taken
    bool correctExisting = true;    // frames there at start without a correction yet
    std::optional<double> pollSeconds; // look at the folders this often, not by events
    double incompleteSeconds = 600; // a frame still incomplete after this is given up
};

/// What a front end does with a watch's frames and folders.
class WatchObserver : public BatchObserver {
public:
    /// A watched folder that went away (a disk unplugged); `left` are still watched.
    virtual void folderGone(const std::filesystem::path& folder, std::size_t left) = 0;
};

/// The events of the system about the watched folders (inotify on Linux), or a look at
/// each folder in turn where there are none.
class FolderEvents;

class FolderWatch {
public:
    /// Throws a Failure naming the folder when one cannot be watched.
    explicit FolderWatch(WatchSettings settings);
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    /// Watches until stop() or until no folder is left: each frame's result goes to
    /// `observer` as it is done. False when it ended because no folder was left.
    bool run(WatchObserver& observer);

    /// From any thread: the frame in progress is finished or dropped, none is started.
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    // What a look at a file shows: a write or a rename in changes one of them.
    struct Look {
        std::uint64_t inode = 0;
        std::uintmax_t size = 0;
        std::int64_t modified = 0; // nanoseconds of the file's clock
        bool operator==(const Look&) const = default;
    };
    struct Candidate {
        std::size_t folder = 0;
        Look look;
        Clock::time_point changed; // when it was last written
        std::uint64_t order = 0;   // when it landed, among the others
        Clock::time_point looked;  // when the watch last looked at it
    };
    struct Written { // a correction this watch put in place, which it may replace
        std::pair<std::uint64_t, std::uint64_t> id;
        Look look;
    };
    class Forward;

    static std::optional<Look> lookAt(const std::filesystem::path& file);
    void note(std::size_t folder, const std::filesystem::path& file, Clock::time_point now);
    void rescan(std::size_t folder, Clock::time_point now, bool existing);
    std::optional<Clock::time_point> examine(WatchObserver& observer, Clock::time_point now,
                                             std::vector<std::filesystem::path>& ready);
    void correct(WatchObserver& observer, std::vector<std::filesystem::path> ready);
    void correctBatch(WatchObserver& observer, std::size_t folder, std::vector<std::filesystem::path> inputs,
                      bool replace);

    WatchSettings settings_;
    std::vector<std::filesystem::path> outputFolders_;
    std::vector<bool> gone_;
    std::unique_ptr<FolderEvents> events_;
    std::map<std::filesystem::path, Candidate> candidates_;
    std::map<std::filesystem::path, Look> done_;       // the state each frame was last taken in
    std::map<std::filesystem::path, Written> written_; // by input
    std::uint64_t landed_ = 0;

    std::atomic<bool> stop_{false};
    std::mutex batchMutex_;
    BatchRun* batch_ = nullptr; // the batch in progress, for stop()
};

} // namespace kestrel
