// A batch correction as both front ends run it: files treated several at once, each
// away from the user with its boxes kept in its outcome, and put in place and handed
// over strictly in input order, so that a run that stops has written exactly the files
// it has reported.
#pragma once

#include "engine/journal.h"
#include "engine/steps.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel {

/// How a batch treats its files.
struct BatchSettings {
    PhaseFields phases;
    AmplitudeChoice amplitude;   // typed for every image, or how each is measured
    bool verify = false;         // measure the residual of each image as written
    unsigned jobs = 0;           // files treated at once; 0: one per core
    /// The output folder as the plan opened it (OutputPlan::outputFolder), which every
    /// corrected file goes into; none with overwrite.
    std::shared_ptr<const OpenFolder> outputFolder;
    /// With overwrite: correct again the files that an interrupted run replaced already
    /// (see OverwriteJournal), which are otherwise skipped.
    bool force = false;
    /// With overwrite: keep the journal of the files replaced. A call of the Python
    /// module corrects one file of many that a pipeline corrects at once, and keeps none.
    bool keepJournal = true;
};

/// One input of a batch and what became of it.
struct ImageResult {
    std::filesystem::path input;
    ImageOutcome outcome;
    /// With verify, after a correction: the residual amplitude of the image as written,
    /// or why it could not be measured.
    std::optional<ResidualBand> residual;
    std::string residualFailure;
};

/// An image treated, whose corrected file is written but not yet in place.
struct PendingImage {
    ImageResult result;
    std::function<void()> commit; // flushes the file and renames it into place
};

/// Treats one input on the calling thread, as the window's run treats it: header,
/// checks, measurement, correction, and the corrected file written into `output` but not
/// yet put in place. The boxes the routines asked for are in the outcome's reports. The
/// pixels are read into `pixels` (which keeps its memory for the next file).
PendingImage correctFile(const std::filesystem::path& input, const std::filesystem::path& output,
                         const BatchSettings& settings, PixelBuffer<float>& pixels);

/// Puts the written file in place. A failure makes the image failed: its message names
/// the routine of the outcome ("... in function fixFloat32Columns2x2." and the like),
/// and it is reported like any failure of the correction.
void finishWriting(PendingImage& image);

/// What a front end does with each image as the batch hands it over.
class BatchObserver {
public:
    virtual ~BatchObserver() = default;
    /// Called for every image in input order, on the thread that runs the batch, once
    /// its file is in place (or the image was skipped or failed). Returns false to stop
    /// the run after this image.
    virtual bool imageDone(std::size_t index, ImageResult& result) = 0;
    /// Called before the first image when the system gave fewer threads than the run's
    /// jobs (`reason` says why): `started` workers treat the files, and with none the
    /// thread that runs the batch treats them one after the other itself.
    virtual void fewerJobs(unsigned started, unsigned asked, const std::string& reason)
    {
        (void)started, (void)asked, (void)reason;
    }
};

/// How many files a batch of `files` treats at once: `jobs`, or one per core when 0,
/// and never more than there are files.
unsigned batchJobs(unsigned jobs, std::size_t files);

/// Memory for the pixels of a batch's first images, one buffer per job, sized for the
/// first input and faulted in at once on threads of its own. The window makes it ready
/// while it asks its questions: the first touch of fresh memory can cost more than
/// treating a frame, and the user's answer need not wait for it.
class ReadyPixels {
public:
    ReadyPixels(const std::filesystem::path& firstInput, unsigned jobs);
    ~ReadyPixels();
    ReadyPixels(const ReadyPixels&) = delete;
    ReadyPixels& operator=(const ReadyPixels&) = delete;
    /// The buffers, once all are ready; empty when the first input could not be sized.
    std::vector<PixelBuffer<float>> take();

private:
    void finish();
    std::vector<PixelBuffer<float>> buffers_;
    std::vector<std::thread> threads_;
};

class BatchRun {
public:
    /// Each input's output is claimed in input order at once (OutputPlan::claim): a
    /// refused input is a skipped image of the run. A run that replaces originals keeps
    /// a journal of those it replaced in their folders (OverwriteJournal), skips those
    /// an interrupted run's journal lists unless settings.force, and removes its lines
    /// once every image was handed over; one whose journal cannot be written stops it. The workers start with the buffers
    /// of `ready`, where given (ReadyPixels), and make their own otherwise.
    BatchRun(std::vector<std::filesystem::path> inputs, OutputPlan plan, BatchSettings settings,
             std::vector<PixelBuffer<float>> ready = {});
    ~BatchRun();
    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    /// Treats the inputs, several at once, and puts each file in place and hands it to
    /// `observer` in input order, on the calling thread. Returns when every image was
    /// handed over or the run stopped; images treated but not handed over by then are
    /// dropped with their files, which never appear.
    void run(BatchObserver& observer);

    /// From any thread: no further file is put in place or started.
    void stop();

    std::size_t size() const { return inputs_.size(); }

    /// After run: the workers' pixel buffers, for the next run to start with.
    std::vector<PixelBuffer<float>> takePixels() { return std::exchange(readyPixels_, {}); }
    const std::filesystem::path& outputFor(std::size_t index) const { return outputs_[index]; }

private:
    void work();
    void treatImages(PixelBuffer<float>& pixels);
    PendingImage treat(std::size_t index, PixelBuffer<float>& pixels);
    void runHere(BatchObserver& observer);
    std::optional<PendingImage> take(std::size_t index);
    bool noteReplaced(ImageResult& result);

    std::vector<std::filesystem::path> inputs_;
    std::vector<std::filesystem::path> outputs_;
    std::vector<std::optional<OutputPlan::Refusal>> refused_;
    std::optional<OverwriteJournal> journal_;
    BatchSettings settings_;
    unsigned jobs_ = 1;

    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::vector<std::optional<PendingImage>> done_;
    std::vector<PixelBuffer<float>> readyPixels_; // buffers for workers yet to start
    std::size_t handedOver_ = 0; // images handed to the observer so far
};

/// The phase search of one file away from the user is searchFilePhase (steps.h); the
/// profile of one file likewise, with the boxes in the outcome's reports. A file that
/// cannot be opened throws.
ProfileOutcome profileFile(const std::filesystem::path& input, const PhaseFields& phases,
                           const AmplitudeChoice& amplitude);

} // namespace kestrel
