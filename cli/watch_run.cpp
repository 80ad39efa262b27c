#include "cli/watch_run.h"

#include "cli/output.h"
#include "cli/correct_run.h"
#include "cli/run.h"
#include "cli/stop_signals.h"
#include "core/numbers.h"
#include "engine/targets.h"
#include "engine/watch.h"
#include "settings/settings.h"

#include <atomic>
#include <cstdlib>
#include <iostream>

namespace kestrel::cli {
namespace {

namespace fs = std::filesystem;

/// Each frame's lines as the watch hands it over, and the stop on a signal or a lost
/// output, as a correct run has them.
class WatchRun : public WatchObserver {
public:
    WatchRun(const Options& o, fs::path settingsFile) : o_(o), settingsFile_(std::move(settingsFile)) {}

    int run(FolderWatch& watch)
    {
        watch_ = &watch;
        bool folderLeft = true;
        {
            StopSignals signals([this](int s) {
                lines_.stoppedBy(s);
                watch_->stop();
            });
            folderLeft = watch.run(*this);
        }
        if (const auto stopped = lines_.stoppedStatus())
            return *stopped;
        return folderLeft ? status_ : 1;
    }

    bool imageDone(std::size_t, ImageResult& result) override
    {
        nameRemedy(result.outcome, optionWords(Options::Command::watch));
        const ImageOutcome& outcome = result.outcome;
        const std::string name = result.input.filename().string();
        if (outcome.skip == ImageOutcome::Skip::repeated || outcome.skip == ImageOutcome::Skip::replacesInput ||
            outcome.skip == ImageOutcome::Skip::keepsExisting)
            std::cerr << name + ": " + outcome.message + "; it is skipped.\n";
        reportBoxes(result.input, outcome, settingsFile_);
        // Frame by frame: a night stopped at any moment has the results of the frames
        // whose lines were printed.
        if (o_.csv && outcome.handed() && outcome.measured) {
            try {
                appendResultsCsv(*o_.csv, {resultsEntry(name, outcome)});
            } catch (const std::exception& e) {
                std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
                status_ = 1;
            }
        }
        return lines_.print(resultLine(result, false));
    }

    void folderGone(const fs::path& folder, std::size_t left) override
    {
        std::cerr << "kestrel-cli: the watched folder " << folder.string() << " is gone; "
                  << (left ? "the " + std::to_string(left) + " other" + (left > 1 ? "s are" : " is") + " still watched"
                           : std::string("no folder is left to watch"))
                  << "\n";
    }

    void fewerJobs(unsigned started, unsigned asked, const std::string& reason) override
    {
        sayFewerJobs(started, asked, reason);
    }

private:
    const Options& o_;
    fs::path settingsFile_;
    FolderWatch* watch_ = nullptr;
    int status_ = 0;
    ResultLines lines_;
};

bool sameFolder(const fs::path& a, const fs::path& b)
{
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

} // namespace

int runWatch(const Options& o, const FileLocations& where)
{
    // An output folder that is watched itself would have each corrected frame taken
    // for a new one.
    for (const fs::path& folder : o.files)
        for (const fs::path& watched : o.files) {
            const fs::path output = watchOutputFolder(folder, o.outputDir);
            if (sameFolder(output, watched)) {
                std::cerr << "kestrel-cli: the output folder " << output.string() << " of " << folder.string()
                          << " is watched too\n";
                return 2;
            }
        }
    // A frame of a watched folder, or its correction, as a stream: each line would be
    // written over an image.
    const auto ofRun = [&](const fs::path& stream) -> std::optional<fs::path> {
        std::error_code ec;
        const fs::path file = fs::read_symlink(stream, ec);
        if (ec || !isFrameName(file.filename()))
            return std::nullopt;
        for (const fs::path& folder : o.files)
            if (sameFolder(file.parent_path(), folder) || sameFolder(file.parent_path(), watchOutputFolder(folder, o.outputDir)))
                return file;
        return std::nullopt;
    };
    if (refusedStreamOntoImage(ofRun))
        return 2;
    std::optional<PhaseFields> phases = phaseFieldsFor(o, where.settingsFile);
    if (!phases)
        return 1;
    if (o.csv) {
        // The frames there already, and their corrections, are no results file.
        std::vector<fs::path> inputs, outputs;
        for (const fs::path& folder : o.files) {
            std::error_code ec;
            for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
                if (isFrameName(it->path().filename())) {
                    inputs.push_back(it->path());
                    outputs.push_back(watchOutputFolder(folder, o.outputDir) / it->path().filename());
                }
        }
        if (const auto problem = resultsFileProblem(*o.csv, inputs, outputs)) {
            std::cerr << "kestrel-cli: " << problem->message << "\n";
            return problem->usage ? 2 : 1;
        }
    }
    WatchSettings settings;
    settings.folders = o.files;
    settings.outputDir = o.outputDir;
    settings.batch.phases = std::move(*phases);
    settings.batch.amplitude = {o.amplitude, o.balancedEstimator};
    settings.batch.jobs = o.jobs;
    settings.settleSeconds = o.settle;
    settings.correctExisting = !o.existingSkip;
    settings.pollSeconds = o.poll;
    // For the tests: a frame given up on sooner than after ten minutes.
    if (const char* giveUp = std::getenv("KESTREL_WATCH_INCOMPLETE_SECONDS"))
        if (const auto seconds = parseReal(giveUp); seconds.ok() && seconds.value > 0)
            settings.incompleteSeconds = seconds.value;
    try {
        FolderWatch watch(std::move(settings));
        noteEstimators(o);
        return WatchRun(o, where.settingsFile).run(watch);
    } catch (const Failure& e) {
        std::cerr << "kestrel-cli: " << e.message() << "\n";
        return 1;
    }
}

} // namespace kestrel::cli
