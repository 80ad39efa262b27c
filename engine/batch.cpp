#include "engine/batch.h"

#include "core/report.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

namespace kestrel {
namespace {

/// Lends `pixels` to the workspace's image and takes them back, with the capacity the
/// loader gave them, however the file ends: a frame's pixels take tens of megabytes,
/// and fresh pages for every frame cost about as much as reading it.
class BorrowedPixels {
public:
    BorrowedPixels(Image& image, PixelBuffer<float>& pixels) : image_(image), pixels_(pixels)
    {
        image_.floatPixels.swap(pixels_);
    }
    ~BorrowedPixels() { image_.floatPixels.swap(pixels_); }
    BorrowedPixels(const BorrowedPixels&) = delete;
    BorrowedPixels& operator=(const BorrowedPixels&) = delete;

private:
    Image& image_;
    PixelBuffer<float>& pixels_;
};

/// Reads the header of `input` and treats the image with `treat`; a file without a
/// header, or one that cannot be opened or read, ends as such.
template <class Treat> ImageOutcome treatFile(const std::filesystem::path& input, Workspace& ws, Treat treat)
{
    ImageOutcome out;
    const auto failure = caughtFailure([&] {
        if (readImageHeader(ws, input)) {
            out = treat();
        } else {
            out.skip = ImageOutcome::Skip::noHeader;
            out.message = noHeaderReason(ws.image);
        }
    });
    if (failure) {
        out = ImageOutcome{};
        out.result = ImageOutcome::Result::failed;
        out.skip = ImageOutcome::Skip::unreadable;
        out.message = *failure;
    }
    return out;
}

void appendReports(ImageOutcome& outcome, std::vector<BoxReport>& reports)
{
    outcome.reports.insert(outcome.reports.end(), std::make_move_iterator(reports.begin()),
                           std::make_move_iterator(reports.end()));
    reports.clear();
}

} // namespace

PendingImage correctFile(const std::filesystem::path& input, const std::filesystem::path& output,
                         const BatchSettings& settings, PixelBuffer<float>& pixels)
{
    RecordingHost host;
    Workspace ws(host);
    BorrowedPixels borrowed(ws.image, pixels);
    PendingImage pending;
    pending.result.input = input;
    const CommitStrategy later = [&pending](std::function<void()> commit) { pending.commit = std::move(commit); };
    ImageOutcome& outcome = pending.result.outcome;
    std::optional<ImageRun> run; // as chooseBands made it: the file as written is measured by it
    outcome = treatFile(input, ws, [&] {
        return correctLoadedImage(ws, settings.phases, settings.amplitude, output, later, settings.outputFolder.get(),
                                  &run);
    });
    if (settings.verify && run && outcome.result == ImageOutcome::Result::corrected) {
        if (const auto failure =
                caughtFailure([&] { pending.result.residual = writtenResidualAmplitude(ws.image, *run, outcome); }))
            pending.result.residualFailure = *failure;
    }
    appendReports(outcome, host.reports);
    return pending;
}

void finishWriting(PendingImage& image)
{
    if (!image.commit)
        return;
    ImageOutcome& outcome = image.result.outcome;
    if (const auto failure = caughtFailure(image.commit)) {
        outcome.result = ImageOutcome::Result::failed;
        outcome.message = *failure + inFunction(outcome.routine.c_str());
        outcome.stopsRun = true;
        outcome.reports.push_back({BoxKind::error, outcome.message});
        image.result.residual.reset();
    }
    image.commit = nullptr;
}

ProfileOutcome profileFile(const std::filesystem::path& input, const PhaseFields& phases,
                           const AmplitudeChoice& amplitude)
{
    RecordingHost host;
    Workspace ws(host);
    ProfileOutcome out;
    out.image = treatFile(input, ws, [&] {
        ProfileOutcome profiled = profileLoadedImage(ws, phases, amplitude);
        out.profile = std::move(profiled.profile);
        return profiled.image;
    });
    appendReports(out.image, host.reports);
    return out;
}

unsigned batchJobs(unsigned jobs, std::size_t files)
{
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return std::clamp<unsigned>(jobs ? jobs : cores, 1u, static_cast<unsigned>(std::max<std::size_t>(files, 1)));
}

ReadyPixels::ReadyPixels(const std::filesystem::path& firstInput, unsigned jobs)
{
    // Sized by the file, which holds the samples and a header; a file too large to be
    // one of our frames is left to the loader.
    constexpr std::uintmax_t largest = std::uintmax_t{1} << 31;
    std::error_code ec;
    const std::uintmax_t bytes = std::filesystem::file_size(firstInput, ec);
    if (ec || bytes > largest)
        return;
    const std::size_t samples = static_cast<std::size_t>(bytes / sizeof(float));
    buffers_.resize(jobs);
    for (PixelBuffer<float>& buffer : buffers_)
        threads_.emplace_back([&buffer, samples] {
            try {
                buffer.resize(samples);
            } catch (const std::bad_alloc&) {
                return; // the worker tries again, and reports it
            }
            // One write per page faults it in; the value is of no account, as the loader
            // overwrites every sample it keeps.
            constexpr std::size_t perPage = 4096 / sizeof(float);
            for (std::size_t i = 0; i < samples; i += perPage)
                buffer[i] = 0.0f;
        });
}

ReadyPixels::~ReadyPixels() { finish(); }

void ReadyPixels::finish()
{
    for (std::thread& t : threads_)
        t.join();
    threads_.clear();
}

std::vector<PixelBuffer<float>> ReadyPixels::take()
{
    finish();
    return std::exchange(buffers_, {});
}

BatchRun::BatchRun(std::vector<std::filesystem::path> inputs, OutputPlan plan, BatchSettings settings,
                   std::vector<PixelBuffer<float>> ready)
    : inputs_(std::move(inputs)), settings_(std::move(settings)), done_(inputs_.size()), readyPixels_(std::move(ready))
{
    if (plan.overwrite() && settings_.keepJournal)
        journal_.emplace(inputs_);
    // Which inputs may be written is settled here, in input order, so the answer does
    // not depend on which worker comes first.
    for (const auto& input : inputs_) {
        outputs_.push_back(plan.outputFor(input));
        refused_.push_back(plan.claim(input));
        if (!refused_.back() && journal_ && !settings_.force && journal_->correctedBefore(input))
            refused_.back() = OutputPlan::Refusal{OutputPlan::Refusal::Kind::correctedBefore,
                                                  "already corrected by an interrupted run"};
    }
    settings_.outputFolder = plan.outputFolder();
    jobs_ = batchJobs(settings_.jobs, inputs_.size());
}

BatchRun::~BatchRun() = default;

void BatchRun::stop()
{
    std::lock_guard lock(mutex_);
    stop_ = true;
    ready_.notify_all();
    room_.notify_all();
}

void BatchRun::work()
{
    PixelBuffer<float> pixels;
    {
        std::lock_guard lock(mutex_);
        if (!readyPixels_.empty()) {
            pixels = std::move(readyPixels_.back());
            readyPixels_.pop_back();
        }
    }
    treatImages(pixels);
    // Kept for a next run, which then needs no fresh pages.
    std::lock_guard lock(mutex_);
    readyPixels_.push_back(std::move(pixels));
}

void BatchRun::treatImages(PixelBuffer<float>& pixels)
{
    // Only a few images are treated ahead of the one being handed over, so that few
    // written files wait unnamed; enough that a slow first file, or a slow row of the
    // window, does not leave the other workers idle. Each worker keeps one buffer.
    const std::size_t ahead = 4 * static_cast<std::size_t>(jobs_);
    for (std::size_t i; (i = next_.fetch_add(1)) < inputs_.size();) {
        {
            std::unique_lock lock(mutex_);
            room_.wait(lock, [&] { return i < handedOver_ + ahead || stop_; });
            if (stop_)
                return;
        }
        PendingImage image = treat(i, pixels);
        std::lock_guard lock(mutex_);
        // An image finished after the stop is dropped, and its file with it.
        if (stop_)
            return;
        done_[i] = std::move(image);
        ready_.notify_all();
    }
}

PendingImage BatchRun::treat(std::size_t index, PixelBuffer<float>& pixels)
{
    if (const auto& refusal = refused_[index]) {
        PendingImage image;
        image.result.input = inputs_[index];
        image.result.outcome = refusedInput(*refusal);
        return image;
    }
    return correctFile(inputs_[index], outputs_[index], settings_, pixels);
}

bool BatchRun::noteReplaced(ImageResult& result)
{
    if (!journal_ || result.outcome.result != ImageOutcome::Result::corrected)
        return true;
    const auto failure = journal_->noteReplaced(result.input);
    if (!failure)
        return true;
    // Without its line a run started again would correct this file twice: no further
    // original is replaced.
    result.outcome.reports.push_back(
        {BoxKind::error, "The journal of " + result.input.parent_path().string() + " could not be written (" +
                             *failure + "); no further file is replaced, so that no file is corrected twice."});
    return false;
}

void BatchRun::runHere(BatchObserver& observer)
{
    if (readyPixels_.empty())
        readyPixels_.emplace_back();
    PixelBuffer<float>& pixels = readyPixels_.back();
    std::size_t i = 0;
    for (; i < inputs_.size() && !stop_; ++i) {
        PendingImage image = treat(i, pixels);
        if (stop_)
            break;
        finishWriting(image);
        const bool noted = noteReplaced(image.result);
        if (!observer.imageDone(i, image.result) || !noted) {
            ++i;
            break;
        }
    }
    stop();
    if (journal_ && i == inputs_.size())
        journal_->finish();
}

std::optional<PendingImage> BatchRun::take(std::size_t index)
{
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return done_[index].has_value() || stop_; });
    if (stop_)
        return std::nullopt;
    std::optional<PendingImage> image = std::move(done_[index]);
    done_[index].reset();
    return image;
}

void BatchRun::run(BatchObserver& observer)
{
    // A system short of threads (a process limit, a container) gives fewer workers; the
    // run goes on with those it gives, or on this thread alone.
    std::vector<std::thread> workers;
    std::string threadFailure;
    for (unsigned t = 0; t < jobs_; ++t) {
        try {
            workers.emplace_back([this] { work(); });
        } catch (const std::system_error& e) {
            threadFailure = e.what();
            break;
        }
    }
    if (workers.size() < jobs_)
        observer.fewerJobs(static_cast<unsigned>(workers.size()), jobs_, threadFailure);
    if (workers.empty())
        return runHere(observer);
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        std::optional<PendingImage> image = take(i);
        if (!image)
            break;
        // Put in place here, one file after the other, while the workers go on with
        // the next images: a worker that waited for the disk would leave its core idle.
        finishWriting(*image);
        const bool noted = noteReplaced(image->result);
        const bool goOn = observer.imageDone(i, image->result) && noted;
        {
            std::lock_guard lock(mutex_);
            handedOver_ = i + 1;
            room_.notify_all();
        }
        if (!goOn) {
            stop();
            break;
        }
    }
    stop();
    for (auto& t : workers)
        t.join();
    if (journal_ && handedOver_ == inputs_.size())
        journal_->finish();
    // Written files that were never handed over are dropped unnamed.
    done_.clear();
}

} // namespace kestrel
