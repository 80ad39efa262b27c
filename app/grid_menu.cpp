// The context menus of the results grid and of the phase fields, and the chart dialogs
// they open: an image's band profile measured again from its input, the amplitudes of
// the last batch, the scores of the last phase run.
#include "app/form.h"

#include "core/report.h"
#include "plot/plot.h"

#include <memory>

namespace kestrel {
namespace {

constexpr const char* bandProfileCaption = "Band Profile...";
constexpr const char* openFolderCaption = "Open Folder";
constexpr const char* runAmplitudesCaption = "Amplitudes of This Run...";
constexpr const char* phaseScoresCaption = "Phase Scores...";

/// Why a row's image has no band profile to show, if it has one.
std::string whyNoProfile(const ShownImage& image)
{
    switch (image.result) {
    case ImageOutcome::Result::corrected:
        return {};
    case ImageOutcome::Result::skipped:
        return "the image was skipped";
    case ImageOutcome::Result::notCorrected:
    case ImageOutcome::Result::failed:
        break;
    }
    return "the image was not corrected";
}

/// The name a chart's file is offered under: the image's name without its extension.
std::string chartFileName(const std::string& image, const std::string& what)
{
    return std::filesystem::path(image).stem().string() + "-" + what + ".png";
}

/// Why no chart can be drawn, short enough for a menu: the system's own words (the
/// library's path, the loader's message) go to the item's tooltip.
struct NoPlots {
    std::string reason, detail;
};
std::optional<NoPlots> noPlots()
{
    const std::optional<std::string> why = plot::plotsUnavailable();
    if (!why)
        return std::nullopt;
    return NoPlots{why->substr(0, why->find(": ")), *why};
}

/// The item, unavailable for want of cairo when it is missing, else for `why` if any.
MenuItem chartItem(MenuChoice choice, const char* caption, const std::optional<NoPlots>& missing,
                   const std::string& why)
{
    if (missing)
        return {choice, caption, missing->reason, missing->detail};
    return {choice, caption, why, {}};
}

} // namespace

std::optional<FileStamp> stampOf(const std::filesystem::path& file)
{
    std::error_code ec;
    FileStamp stamp;
    stamp.size = std::filesystem::file_size(file, ec);
    if (ec)
        return std::nullopt;
    stamp.written = std::filesystem::last_write_time(file, ec);
    if (ec)
        return std::nullopt;
    return stamp;
}

std::string noFileManagerText(const std::filesystem::path& folder)
{
    return "No file manager was found to open " + folder.string() + ". Open the folder with a program of your choice.";
}

const ShownImage* TForm1::shownAt(int row) const
{
    const ResultsGrid& grid = window.grid;
    if (row < 1 || row >= grid.rowCount())
        return nullptr;
    const std::string& name = grid.cell(0, row);
    int before = 0; // rows above this one that show the same name
    for (int r = 1; r < row; ++r)
        before += grid.cell(0, r) == name ? 1 : 0;
    for (const ShownImage& image : run.shown)
        if (image.name == name && before-- == 0)
            return &image;
    return nullptr;
}

std::vector<MenuItem> TForm1::gridMenu(int row) const
{
    const ShownImage* image = running_ ? nullptr : shownAt(row);
    if (!image)
        return {};
    const std::optional<NoPlots> missing = noPlots();
    std::vector<MenuItem> items;
    items.push_back(chartItem(MenuChoice::bandProfile, bandProfileCaption, missing, whyNoProfile(*image)));
    items.push_back({MenuChoice::openFolder, openFolderCaption,
                     image->result == ImageOutcome::Result::corrected ? "" : "no corrected file was written", {}});
    if (run.severalFiles) {
        std::string why;
        if (!run.statisticsShown)
            why = "the run ended before its last image";
        else if (!amplitudeSpread(run.amplitudes))
            why = "no image of this run was corrected";
        items.push_back(chartItem(MenuChoice::runAmplitudes, runAmplitudesCaption, missing, why));
    }
    return items;
}

std::vector<MenuItem> TForm1::phaseFieldMenu() const
{
    std::string why;
    if (running_)
        why = "a run is in progress";
    else if (!lastPhase_)
        why = "no phase was searched yet";
    else if (lastPhase_->result != PhaseOutcome::Result::found)
        why = "the last search found no phase";
    else if (lastPhase_->contrasts.empty())
        why = lastPhase_->contrastFailure.empty() ? "the phase's significance could not be measured"
                                                  : lastPhase_->contrastFailure;
    return {chartItem(MenuChoice::phaseScores, phaseScoresCaption, noPlots(), why)};
}

void TForm1::menuChosen(MenuChoice choice, int row)
{
    const std::vector<MenuItem> items = choice == MenuChoice::phaseScores ? phaseFieldMenu() : gridMenu(row);
    bool offered = false;
    for (const MenuItem& item : items)
        offered = offered || (item.choice == choice && item.unavailable.empty());
    if (!offered)
        return;
    switch (choice) {
    case MenuChoice::bandProfile:
        showBandProfile(*shownAt(row));
        break;
    case MenuChoice::openFolder:
        openedFolder_ = shownAt(row)->output.parent_path();
        if (!host.openDocument(openedFolder_.string()))
            host.plainBox(noFileManagerText(openedFolder_));
        break;
    case MenuChoice::runAmplitudes:
        showRunAmplitudes();
        break;
    case MenuChoice::phaseScores:
        showPhaseScores();
        break;
    }
}

void TForm1::showBandProfile(const ShownImage& image)
{
    const std::optional<FileStamp> now = stampOf(image.input);
    if (!now) {
        host.errorBox(image.input.string() + " is gone since the run: its band profile cannot be measured.");
        return;
    }
    if (!image.stamp || *now != *image.stamp) {
        host.errorBox(image.input.string() +
                      " has changed since the run: its band profile would not show what the run corrected.");
        return;
    }
    running_ = true;
    host.setBusyCursor(true);
    host.pumpMessages();
    // The batch keeps no pixels: the input is read and measured again, as the run did,
    // away from the window.
    struct Measured {
        ProfileOutcome out;
        std::optional<std::string> failure;
    };
    auto measured = std::make_shared<Measured>();
    const AmplitudeChoice amplitude(run.amplitudeSetting, false);
    // The dialog names the frame's own phase beside the field's, which the correction
    // took as it stands.
    PhaseFields phases = run.phases;
    phases.showOwn = true;
    threads_->start(
        [measured, input = image.input, phases, amplitude] {
            measured->failure = caughtFailure([&] { measured->out = profileFile(input, phases, amplitude); });
        },
        [this, measured, name = image.name, input = image.input] {
            host.setBusyCursor(false);
            running_ = false;
            const ImageOutcome& outcome = measured->out.image;
            if (measured->failure) {
                host.errorBox(*measured->failure);
            } else if (outcome.result != ImageOutcome::Result::corrected) {
                showBoxes(host, outcome.reports);
                if (outcome.reports.empty())
                    host.errorBox(input.string() + ": " + outcome.message);
            } else if (showCharts) {
                const BandProfile& p = measured->out.profile;
                const std::string estimator = estimatorName(outcome, false);
                ChartView view;
                view.caption = "Band Profile of " + name;
                view.lines = {input.string(),
                              "Binning " + outcome.binning + ", phase " + std::to_string(p.phase) + ", columns " +
                                  std::to_string(p.columns.first) + " to " + std::to_string(p.columns.last),
                              "Amplitude applied: " + threeDecimals(outcome.amplitude.value_or(0)) + " ADU (" +
                                  (estimator == "typed" ? "typed" : estimator + " estimator") + ")",
                              "Residual: " + threeDecimals(p.residual.amplitude) + " ADU at phase " +
                                  std::to_string(p.residual.phase) + "; noise " + threeDecimals(p.residual.noise) +
                                  " ADU"};
                if (outcome.ownPhase)
                    view.lines.push_back("The frame's own phase: " + std::to_string(outcome.ownPhase->phase) +
                                         ", significance " + significanceText(outcome.ownPhase->significance));
                view.charts = {profileChart(name, outcome, p, false)};
                view.fileNames = {chartFileName(name, "profile")};
                showCharts(view);
            }
            runEnded();
            showPendingNotices();
        });
}

void TForm1::showRunAmplitudes()
{
    const std::optional<AmplitudeSpread> spread = amplitudeSpread(run.amplitudes);
    if (!spread || !showCharts)
        return;
    std::vector<RunAmplitude> images;
    for (const ShownImage& image : run.shown) {
        const double amplitude = run.amplitudes.at(image.index);
        if (amplitude == failedAmplitude)
            continue;
        RunAmplitude a{static_cast<int>(image.index) + 1, amplitude, std::nullopt};
        if (image.temperature)
            a.temperature = *image.temperature;
        images.push_back(a);
    }
    ChartView view;
    view.caption = "Amplitudes of This Run";
    view.lines = {std::to_string(images.size()) + " of " + std::to_string(run.amplitudes.size()) +
                      " images corrected",
                  "Mean amplitude: " + threeDecimals(spread->mean) + " ADU",
                  "Standard deviation: " + (spread->deviation ? threeDecimals(*spread->deviation) + " ADU" : "none")};
    view.charts = {amplitudeOrderChart(images, *spread)};
    view.fileNames = {"amplitudes-by-image.png"};
    if (auto byTemperature = amplitudeTemperatureChart(images, *spread)) {
        view.charts.push_back(*byTemperature);
        view.fileNames.push_back("amplitudes-by-temperature.png");
    } else {
        view.lines.push_back("No image gives its CCD temperature.");
    }
    showCharts(view);
}

void TForm1::showPhaseScores()
{
    if (!showCharts)
        return;
    const PhaseOutcome& found = *lastPhase_;
    const BandContrast* c = found.chosen();
    ChartView view;
    view.caption = "Phase Scores of " + lastPhaseName_;
    view.lines = {lastPhaseName_ + ", " + found.binning + ": phase " + std::to_string(found.search.phase)};
    if (c)
        view.lines.push_back("Band contrast " + threeDecimals(c->contrast) + " ADU, standard error " +
                             threeDecimals(c->standardError) + " ADU, significance " +
                             significanceText(c->significance) + " (a phase to trust reads 5 or more)");
    view.charts = {contrastChart(lastPhaseName_, found)};
    view.fileNames = {chartFileName(lastPhaseName_, "phases")};
    showCharts(view);
}

} // namespace kestrel
