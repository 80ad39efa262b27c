#include "cli/correct_run.h"

#include "cli/output.h"
#include "cli/run.h"
#include "cli/stop_signals.h"
#include "engine/targets.h"
#include "core/platform.h"
#include "core/whole_file.h"
#include "settings/settings.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <optional>
#include <unistd.h>

namespace kestrel::cli {
namespace {

// Status on standard error, only when it is a terminal.
class Progress {
public:
    explicit Progress(std::size_t total) : total_(total), enabled_(::isatty(2) != 0) {}
    void show(std::size_t done)
    {
        if (!enabled_)
            return;
        constexpr int width = 30;
        const int filled = total_ ? static_cast<int>(done * width / total_) : width;
        std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "##############################", width - filled, "",
                     done, total_);
        if (done == total_)
            std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    void clearLine()
    {
        if (enabled_)
            std::fputs("\r\033[K", stderr);
    }

private:
    std::size_t total_;
    bool enabled_;
};

/// One correct run: the batch of the engine, each file's line printed as the batch
/// hands it over in input order, and a stop on a signal or a lost output.
class CorrectRun : public BatchObserver {
public:
    CorrectRun(const Options& o, std::filesystem::path settingsFile, BatchRun& batch)
        : o_(o), settingsFile_(std::move(settingsFile)), batch_(batch), progress_(batch.size())
    {
    }

    int run()
    {
        {
            StopSignals signals([this](int s) {
                lines_.stoppedBy(s);
                batch_.stop();
            });
            batch_.run(*this);
        }
        std::vector<tImageData> entries;
        for (const auto& [name, outcome] : measured_)
            entries.push_back(resultsEntry(name, outcome));
        int status = handedOver_ == batch_.size() && allCorrected_ ? 0 : 1;
        // Nothing measured (a typed amplitude, or nothing corrected): no results file.
        if (o_.csv && !entries.empty()) {
            try {
                appendResultsCsv(*o_.csv, entries);
            } catch (const std::exception& e) {
                std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
                status = 1;
            }
        }
        removeTemporaryFiles();
        if (const auto stopped = lines_.stoppedStatus())
            return *stopped;
        return status;
    }

    bool imageDone(std::size_t, ImageResult& result) override
    {
        ++handedOver_;
        nameRemedy(result.outcome, optionWords(Options::Command::correct));
        const ImageOutcome& outcome = result.outcome;
        allCorrected_ = allCorrected_ && succeeded(result, o_.verify);
        if (outcome.handed() && outcome.measured)
            measured_.emplace_back(result.input.filename().string(), outcome);
        progress_.clearLine();
        if (outcome.skip == ImageOutcome::Skip::repeated || outcome.skip == ImageOutcome::Skip::replacesInput ||
            outcome.skip == ImageOutcome::Skip::keepsExisting || outcome.skip == ImageOutcome::Skip::correctedBefore)
            std::cerr << result.input.filename().string() + ": " + outcome.message + "; it is skipped.\n";
        reportBoxes(result.input, outcome, settingsFile_);
        if (!result.residualFailure.empty())
            std::cerr << result.input.filename().string() + ": the residual amplitude could not be measured: " +
                             result.residualFailure + "\n";
        if (!lines_.print(resultLine(result, o_.verify))) {
            batch_.stop();
            return false;
        }
        progress_.show(handedOver_);
        return true;
    }

    void fewerJobs(unsigned started, unsigned asked, const std::string& reason) override
    {
        sayFewerJobs(started, asked, reason);
    }

private:
    const Options& o_;
    std::filesystem::path settingsFile_;
    BatchRun& batch_;
    Progress progress_;
    std::size_t handedOver_ = 0;
    bool allCorrected_ = true;
    std::vector<std::pair<std::string, ImageOutcome>> measured_;
    ResultLines lines_;
};

} // namespace

int runCorrect(const Options& o, const FileLocations& where)
{
    const std::filesystem::path outputFolder = o.outputDir ? *o.outputDir : defaultOutputFolder(o.files.front());
    OutputPlan plan(o.overwrite, outputFolder, o.files);
    plan.replaceOutputs(o.replaceOutputs);
    // Before anything is printed: the message itself goes where no image is.
    const auto ofRun = [&](const std::filesystem::path& stream) -> std::optional<std::filesystem::path> {
        const auto id = fileIdentity(stream);
        for (const auto& input : o.files)
            for (const auto& file : {input, plan.outputFor(input)})
                if (id && fileIdentity(file) == id)
                    return file;
        return std::nullopt;
    };
    if (refusedStreamOntoImage(ofRun))
        return 2;
    std::optional<PhaseFields> phases = phaseFieldsFor(o, where.settingsFile);
    if (!phases)
        return 1;
    if (o.csv) {
        std::vector<std::filesystem::path> outputs;
        for (const auto& input : o.files)
            outputs.push_back(plan.outputFor(input));
        if (const auto problem = resultsFileProblem(*o.csv, o.files, outputs)) {
            std::cerr << "kestrel-cli: " << problem->message << "\n";
            return problem->usage ? 2 : 1;
        }
    }

    // What this run makes of the output folder's path, it takes away again if it
    // leaves it empty.
    std::optional<MadeFolder> made;
    if (!o.overwrite) {
        made.emplace(outputFolder);
        if (made->failure()) {
            std::cerr << "kestrel-cli: " << *made->failure() << "\n";
            return 1;
        }
    }
    BatchSettings settings;
    settings.phases = std::move(*phases);
    settings.amplitude = {o.amplitude, o.balancedEstimator};
    settings.verify = o.verify;
    settings.jobs = o.jobs;
    settings.force = o.force;
    BatchRun batch(o.files, std::move(plan), std::move(settings));
    noteEstimators(o);
    const int status = CorrectRun(o, where.settingsFile, batch).run();
    // Folders this run made and left empty (nothing could be corrected) go again.
    if (made)
        made->removeIfEmpty();
    return status;
}

} // namespace kestrel::cli

// ---- The note of correct --verify -------------------------------------------------

namespace kestrel::cli {

void noteEstimators(const Options& o)
{
    if (!o.verify)
        return;
    std::cerr << "kestrel-cli: "
              << (o.amplitude != 0 ? std::string("amplitudes typed")
                                   : std::string("amplitudes measured by the ") +
                                         (o.balancedEstimator ? "balanced" : "standard") + " estimator")
              << "; residual: the largest balanced amplitude left at any phase\n";
}

} // namespace kestrel::cli
