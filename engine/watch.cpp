#include "engine/watch.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/platform.h"
#include "engine/choices.h"
#include "engine/output_plan.h"
#include "engine/watch_events.h"
#include "fits/cards.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <fstream>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uintmax_t recordBytes = 2880;

std::string lowerAscii(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

/// 12345600 as "12,345,600".
std::string grouped(std::uintmax_t n)
{
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::chrono::milliseconds millis(double seconds)
{
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

/// With no events of the system, or none to trust (a share whose writers are other
/// machines), each folder is looked at in turn; one that no longer exists is gone.
class PollingEvents final : public FolderEvents {
public:
    PollingEvents(const std::vector<fs::path>& folders, std::chrono::milliseconds interval)
        : folders_(folders), gone_(folders.size(), false), interval_(interval),
          next_(std::chrono::steady_clock::now() + interval)
    {
    }

    std::vector<FolderEvent> wait(std::optional<std::chrono::milliseconds> timeout) override
    {
        const auto now = std::chrono::steady_clock::now();
        auto until = next_;
        if (timeout)
            until = std::min(until, now + *timeout);
        {
            std::unique_lock lock(mutex_);
            woken_.wait_until(lock, until, [&] { return wake_; });
            if (std::exchange(wake_, false))
                return {};
        }
        if (std::chrono::steady_clock::now() < next_)
            return {};
        next_ = std::chrono::steady_clock::now() + interval_;
        std::vector<FolderEvent> events;
        for (std::size_t i = 0; i < folders_.size(); ++i) {
            if (gone_[i])
                continue;
            std::error_code ec;
            const bool there = fs::is_directory(folders_[i], ec);
            if (!there)
                gone_[i] = true;
            events.push_back({there ? FolderEvent::Kind::rescan : FolderEvent::Kind::gone, i, {}});
        }
        return events;
    }

    void wake() override
    {
        std::lock_guard lock(mutex_);
        wake_ = true;
        woken_.notify_all();
    }

private:
    std::vector<fs::path> folders_;
    std::vector<bool> gone_;
    std::chrono::milliseconds interval_;
    std::chrono::steady_clock::time_point next_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool wake_ = false;
};

} // namespace

std::unique_ptr<FolderEvents> pollingFolderEvents(const std::vector<fs::path>& folders,
                                                  std::chrono::milliseconds interval)
{
    return std::make_unique<PollingEvents>(folders, interval);
}

bool isFrameName(const fs::path& name)
{
    const std::string extension = lowerAscii(name.extension().string());
    return extension == ".fit" || extension == ".fits" || extension == ".fts";
}

FrameProgress frameProgress(const fs::path& file)
{
    FrameProgress progress;
    std::error_code ec;
    progress.have = fs::file_size(file, ec);
    if (ec)
        return progress;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return progress;
    // The header, record by record up to END. A file that cannot begin a FITS header is
    // left to the correction, whose reader says what it is.
    constexpr std::size_t card = 80, mostRecords = 10000;
    constexpr std::string_view simple = "SIMPLE  =";
    std::array<char, recordBytes> block{};
    long long bitpix = 0, axes = -1;
    std::map<long long, long long> lengths;
    for (std::size_t n = 0; n < mostRecords; ++n) {
        in.read(block.data(), block.size());
        const auto got = static_cast<std::size_t>(in.gcount());
        const std::string_view start(block.data(), std::min(got, simple.size()));
        if (n == 0 && start != simple.substr(0, start.size()))
            return progress;
        if (got < block.size()) {
            progress.state = FrameProgress::State::incomplete;
            return progress;
        }
        for (std::size_t at = 0; at < recordBytes; at += card) {
            const std::string_view text(block.data() + at, card);
            if (cards::isEndCard(text)) {
                std::uintmax_t data = axes > 0 ? static_cast<std::uintmax_t>(std::llabs(bitpix) / 8) : 0;
                for (long long axis = 1; axis <= axes; ++axis) {
                    const auto length = lengths.find(axis);
                    if (length == lengths.end() || length->second < 0)
                        return progress;
                    data *= static_cast<std::uintmax_t>(length->second);
                }
                progress.wanted = (n + 1) * recordBytes + (data + recordBytes - 1) / recordBytes * recordBytes;
                progress.state = progress.have >= progress.wanted ? FrameProgress::State::whole
                                                                  : FrameProgress::State::incomplete;
                return progress;
            }
            const std::string keyword = cards::keywordField(text);
            if (keyword != "BITPIX" && keyword.rfind("NAXIS", 0) != 0)
                continue;
            const auto value = parseInteger(cards::numberText(cards::valueText(text)));
            if (!value.ok())
                return progress;
            if (keyword == "BITPIX")
                bitpix = value.value;
            else if (keyword == "NAXIS")
                axes = value.value;
            else if (const auto axis = parseInteger(keyword.substr(5)); axis.ok())
                lengths[axis.value] = value.value;
        }
    }
    return progress;
}

std::string incompleteMessage(double seconds, std::uintmax_t have, std::uintmax_t wanted)
{
    std::string text = "incomplete after " + formatFixedTrimmed(seconds, seconds == static_cast<long long>(seconds) ? 0 : 1) +
                       " s: " + grouped(have);
    return text + (wanted ? " of " + grouped(wanted) + " bytes" : " bytes, and no complete header");
}

fs::path watchOutputFolder(const fs::path& folder, const std::optional<fs::path>& outputDir)
{
    return outputDir ? *outputDir : outputFolderIn(folder);
}

// ---- The watch ---------------------------------------------------------------------

/// Hands each image of a batch on, and notes what state its frame was taken in.
class FolderWatch::Forward final : public BatchObserver {
public:
    Forward(FolderWatch& watch, WatchObserver& observer, std::map<fs::path, Look> taken)
        : watch_(watch), observer_(observer), taken_(std::move(taken))
    {
    }
    bool imageDone(std::size_t index, ImageResult& result) override
    {
        const fs::path& input = result.input;
        watch_.candidates_.erase(input);
        if (const auto look = taken_.find(input); look != taken_.end())
            watch_.done_[input] = look->second;
        if (result.outcome.result == ImageOutcome::Result::corrected) {
            const fs::path output =
                watchOutputFolder(input.parent_path(), watch_.settings_.outputDir) / input.filename();
            const auto id = fileIdentity(output);
            const auto look = lookAt(output);
            if (id && look)
                watch_.written_[input] = {*id, *look};
        }
        const bool goOn = observer_.imageDone(index, result);
        if (!goOn)
            watch_.stop();
        return goOn;
    }
    void fewerJobs(unsigned started, unsigned asked, const std::string& reason) override
    {
        observer_.fewerJobs(started, asked, reason);
    }

private:
    FolderWatch& watch_;
    WatchObserver& observer_;
    std::map<fs::path, Look> taken_;
};

FolderWatch::FolderWatch(WatchSettings settings) : settings_(std::move(settings))
{
    for (fs::path& folder : settings_.folders) {
        std::error_code ec;
        if (!fs::is_directory(folder, ec))
            throw Failure("cannot watch " + folder.string() + ": it is no folder");
        folder = fs::absolute(folder, ec).lexically_normal();
        if (!folder.has_filename())
            folder = folder.parent_path();
        outputFolders_.push_back(watchOutputFolder(folder, settings_.outputDir));
    }
    gone_.assign(settings_.folders.size(), false);
    if (!settings_.pollSeconds)
        events_ = systemFolderEvents(settings_.folders);
    if (!events_)
        events_ = pollingFolderEvents(settings_.folders, millis(settings_.pollSeconds.value_or(2)));
}

FolderWatch::~FolderWatch() = default;

void FolderWatch::stop()
{
    stop_ = true;
    events_->wake();
    std::lock_guard lock(batchMutex_);
    if (batch_)
        batch_->stop();
}

std::optional<FolderWatch::Look> FolderWatch::lookAt(const fs::path& file)
{
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (ec || !fs::is_regular_file(status))
        return std::nullopt;
    Look look;
    look.size = fs::file_size(file, ec);
    const auto modified = fs::last_write_time(file, ec);
    if (ec)
        return std::nullopt;
    look.modified = std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
    if (const auto id = fileIdentity(file))
        look.inode = id->second;
    return look;
}

namespace {

/// When a file was last written, on the watch's clock, from its modification time: a
/// file last written a while ago (a rename into the folder, a frame there before the
/// watch began) has settled already for as long, and frames seen at one look are
/// taken in the order their writers finished them, however late each change was seen.
std::chrono::steady_clock::time_point lastWritten(std::int64_t modified, std::chrono::steady_clock::time_point now)
{
    using Duration = std::chrono::steady_clock::duration;
    const auto age = fs::file_time_type::clock::now().time_since_epoch() - std::chrono::nanoseconds(modified);
    return now - std::max<Duration>(Duration::zero(), std::chrono::duration_cast<Duration>(age));
}

/// When a file seen changed was last written: after the watch's previous look at it,
/// whatever its time says, so that a file clock that runs ahead of the system's (as
/// under Wine) cannot make a frame still being written look settled.
std::chrono::steady_clock::time_point changedSince(std::int64_t modified, std::chrono::steady_clock::time_point looked,
                                                   std::chrono::steady_clock::time_point now)
{
    return std::max(lastWritten(modified, now), looked);
}

} // namespace

void FolderWatch::note(std::size_t folder, const fs::path& file, Clock::time_point now)
{
    const auto look = lookAt(file);
    if (!look) {
        candidates_.erase(file);
        return;
    }
    if (const auto done = done_.find(file); done != done_.end() && done->second == *look)
        return;
    const auto [at, fresh] = candidates_.try_emplace(file);
    Candidate& c = at->second;
    if (fresh) {
        c = {folder, *look, lastWritten(look->modified, now), landed_++, now};
    } else if (!(c.look == *look)) {
        c.look = *look;
        c.changed = changedSince(look->modified, c.looked, now);
    }
    c.looked = now;
}

void FolderWatch::rescan(std::size_t folder, Clock::time_point now, bool existing)
{
    std::error_code ec;
    std::vector<fs::path> frames;
    for (fs::directory_iterator it(settings_.folders[folder], ec), end; !ec && it != end; it.increment(ec))
        if (isFrameName(it->path().filename()))
            frames.push_back(it->path());
    // Frames there at start land in the order of their names, as a night's are numbered.
    std::sort(frames.begin(), frames.end());
    for (const fs::path& frame : frames) {
        if (existing) {
            const auto look = lookAt(frame);
            if (!look)
                continue;
            const fs::path output = outputFolders_[folder] / frame.filename();
            const bool corrected = earlierCorrection(frame, output);
            // An earlier correction of this very frame may be replaced when it changes.
            if (corrected)
                if (const auto id = fileIdentity(output); id && lookAt(output))
                    written_[frame] = {*id, *lookAt(output)};
            if (corrected || !settings_.correctExisting) {
                done_[frame] = *look;
                continue;
            }
        }
        note(folder, frame, now);
    }
}

std::optional<FolderWatch::Clock::time_point> FolderWatch::examine(WatchObserver& observer, Clock::time_point now,
                                                                   std::vector<fs::path>& ready)
{
    const auto settle = std::chrono::duration_cast<Clock::duration>(millis(settings_.settleSeconds));
    const auto giveUp = std::chrono::duration_cast<Clock::duration>(millis(settings_.incompleteSeconds));
    // A frame still incomplete is looked at again this often, in case its writer keeps
    // it open and nothing tells of its writes.
    const auto again = std::chrono::duration_cast<Clock::duration>(
        std::clamp(millis(settings_.settleSeconds), std::chrono::milliseconds(200), std::chrono::milliseconds(5000)));
    std::optional<Clock::time_point> next;
    auto wakeAt = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    std::vector<std::pair<std::pair<Clock::time_point, std::uint64_t>, fs::path>> found;
    for (auto it = candidates_.begin(); it != candidates_.end();) {
        const fs::path& file = it->first;
        Candidate& c = it->second;
        const auto look = lookAt(file);
        if (!look) {
            it = candidates_.erase(it);
            continue;
        }
        if (!(*look == c.look)) {
            c.look = *look;
            c.changed = changedSince(look->modified, c.looked, now);
        }
        c.looked = now;
        if (now < c.changed + settle) {
            wakeAt(c.changed + settle);
            ++it;
            continue;
        }
        const FrameProgress progress = frameProgress(file);
        if (progress.state != FrameProgress::State::incomplete) {
            found.push_back({{c.changed, c.order}, file});
            ++it;
            continue;
        }
        if (now < c.changed + giveUp) {
            wakeAt(std::min(c.changed + giveUp, now + again));
            ++it;
            continue;
        }
        // Given up once: reported, and taken again only when it changes.
        ImageResult result;
        result.input = file;
        result.outcome.skip = ImageOutcome::Skip::incomplete;
        result.outcome.message = incompleteMessage(settings_.incompleteSeconds, progress.have, progress.wanted);
        done_[file] = c.look;
        it = candidates_.erase(it);
        if (!observer.imageDone(0, result))
            stop();
    }
    std::sort(found.begin(), found.end());
    for (auto& [key, file] : found)
        ready.push_back(std::move(file));
    return next;
}

void FolderWatch::correct(WatchObserver& observer, std::vector<fs::path> ready)
{
    // In landing order, as few batches as the folders and the replacements allow, so
    // that a burst of frames is treated several at once as correct treats them.
    std::vector<std::size_t> folders;
    for (const fs::path& frame : ready)
        folders.push_back(candidates_.at(frame).folder);
    std::vector<fs::path> batch;
    std::size_t batchFolder = 0;
    bool batchReplaces = false;
    for (std::size_t i = 0; i <= ready.size() && !stop_; ++i) {
        std::size_t folder = 0;
        bool replaces = false;
        if (i < ready.size()) {
            folder = folders[i];
            // Only the correction this watch wrote, unchanged since, is replaced.
            if (const auto w = written_.find(ready[i]); w != written_.end()) {
                const fs::path output = outputFolders_[folder] / ready[i].filename();
                replaces = fileIdentity(output) == w->second.id && lookAt(output) == w->second.look;
            }
        }
        if (!batch.empty() && (i == ready.size() || folder != batchFolder || replaces != batchReplaces))
            correctBatch(observer, batchFolder, std::exchange(batch, {}), batchReplaces);
        if (i < ready.size()) {
            batch.push_back(ready[i]);
            batchFolder = folder;
            batchReplaces = replaces;
        }
    }
}

void FolderWatch::correctBatch(WatchObserver& observer, std::size_t folder, std::vector<fs::path> inputs,
                               bool replace)
{
    // The state each frame is taken in: one written again while it is corrected is
    // corrected again.
    std::map<fs::path, Look> taken;
    for (const fs::path& input : inputs)
        if (const auto look = lookAt(input))
            taken[input] = *look;
    std::error_code ec;
    fs::create_directories(outputFolders_[folder], ec); // or the writer says why not
    OutputPlan plan(false, outputFolders_[folder], inputs);
    plan.replaceOutputs(replace);
    BatchRun batch(std::move(inputs), std::move(plan), settings_.batch);
    Forward forward(*this, observer, std::move(taken));
    {
        std::lock_guard lock(batchMutex_);
        if (stop_)
            return;
        batch_ = &batch;
    }
    batch.run(forward);
    std::lock_guard lock(batchMutex_);
    batch_ = nullptr;
}

bool FolderWatch::run(WatchObserver& observer)
{
    for (std::size_t i = 0; i < settings_.folders.size(); ++i)
        rescan(i, Clock::now(), true);
    while (!stop_) {
        if (std::find(gone_.begin(), gone_.end(), false) == gone_.end())
            return false;
        std::vector<fs::path> ready;
        const auto next = examine(observer, Clock::now(), ready);
        if (!ready.empty()) {
            correct(observer, std::move(ready));
            continue;
        }
        std::optional<std::chrono::milliseconds> timeout;
        if (next)
            timeout = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
        const std::vector<FolderEvent> events = events_->wait(timeout);
        const auto now = Clock::now();
        for (const FolderEvent& e : events) {
            if (gone_[e.folder])
                continue;
            switch (e.kind) {
            case FolderEvent::Kind::file:
                if (isFrameName(e.name))
                    note(e.folder, settings_.folders[e.folder] / e.name, now);
                break;
            case FolderEvent::Kind::rescan:
                rescan(e.folder, now, false);
                break;
            case FolderEvent::Kind::gone: {
                gone_[e.folder] = true;
                std::erase_if(candidates_, [&](const auto& c) { return c.second.folder == e.folder; });
                observer.folderGone(settings_.folders[e.folder],
                                    static_cast<std::size_t>(std::count(gone_.begin(), gone_.end(), false)));
                break;
            }
            }
        }
    }
    return true;
}

} // namespace kestrel
