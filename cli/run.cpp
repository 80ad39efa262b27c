#include "cli/run.h"

#include "analysis/analysis.h"
#include "cli/console_host.h"
#include "core/numbers.h"

#include <cmath>
#include <utility>

namespace kestrel::cli {
namespace {

// Lends the worker's pixel buffer to the file's workspace and takes it back, with the
// capacity the loader gave it, however the file ends.
class BorrowedPixels {
public:
    BorrowedPixels(Workspace& ws, WorkerMemory& memory) : ws_(ws), memory_(memory)
    {
        ws_.floatPixels.swap(memory_.floatPixels);
    }
    ~BorrowedPixels() { ws_.floatPixels.swap(memory_.floatPixels); }
    BorrowedPixels(const BorrowedPixels&) = delete;
    BorrowedPixels& operator=(const BorrowedPixels&) = delete;

private:
    Workspace& ws_;
    WorkerMemory& memory_;
};

std::string joinFields(const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            line += '\t';
        line += fields[i];
    }
    return line;
}

FileResult::Status statusOf(const ImageOutcome& outcome)
{
    switch (outcome.result) {
    case ImageOutcome::Result::corrected:
        return FileResult::Status::corrected;
    case ImageOutcome::Result::skipped:
        return FileResult::Status::skipped;
    case ImageOutcome::Result::notCorrected:
    case ImageOutcome::Result::failed:
        break;
    }
    return FileResult::Status::failed;
}

std::string correctionRoutine(const std::string& binning)
{
    return binning == "2x2" ? "fixFloat32Columns2x2" : "fixFloat32Columns";
}

} // namespace

std::string significanceText(double significance)
{
    if (std::isinf(significance))
        return significance > 0 ? "inf" : "-inf";
    const std::string text = formatFixedTrimmed(significance, 1);
    return text == "-0.0" ? "0.0" : text;
}

std::string threeDecimals(double value)
{
    const std::string text = formatFixedTrimmed(value, 3);
    return text == "-0.000" ? "0.000" : text;
}

std::string fieldText(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void FileResult::finishWriting()
{
    if (!commit)
        return;
    try {
        commit();
    } catch (const std::exception& e) {
        const std::string message = failureMessage(e) + inFunction(correctionRoutine(outcome.binning).c_str());
        status = Status::failed;
        outcome.result = ImageOutcome::Result::failed;
        outcome.message = message;
        messages.push_back(message);
        residual.reset();
    }
    commit = nullptr;
}

std::string FileResult::line() const
{
    const ImageOutcome& o = outcome;
    std::string temperature, amplitude;
    if (o.handed() && o.result != ImageOutcome::Result::corrected) {
        temperature = "Failed";
    } else if (o.result == ImageOutcome::Result::corrected) {
        temperature = std::to_string(o.temperature.value_or(0));
        amplitude = formatFixedTrimmed(o.amplitude.value_or(0), 3, 7);
    }
    std::string result;
    switch (status) {
    case Status::corrected:
        result = "corrected";
        break;
    case Status::skipped:
        result = "skipped: " + o.message;
        break;
    case Status::failed:
        result = "failed: " + (o.message.empty() ? std::string("image not measured") : o.message);
        break;
    }
    std::vector<std::string> fields{fieldText(name), o.binning, o.background ? formatFixedTrimmed(*o.background, 2) : "",
                                    o.exposure ? std::to_string(*o.exposure) : "", temperature, amplitude,
                                    fieldText(result)};
    if (verify)
        fields.push_back(residual ? threeDecimals(*residual) : "");
    return joinFields(fields);
}

bool FileResult::succeeded() const { return status == Status::corrected && (!verify || residual); }

std::optional<tImageData> FileResult::entry() const
{
    if (!outcome.handed())
        return std::nullopt;
    tImageData entry;
    entry.image = name;
    entry.binning = outcome.binning;
    fillResultsEntry(outcome, entry);
    return entry;
}

namespace {

/// Reads the header of `input` and treats the image with `treat`; an unreadable file
/// or one without a header ends as such.
template <class Treat>
void treatFile(const std::filesystem::path& input, Workspace& ws, ConsoleHost& host, FileResult& out, Treat treat)
{
    out.name = input.filename().string();
    try {
        if (readImageHeader(ws, input)) {
            out.outcome = treat();
        } else {
            out.outcome.skip = ImageOutcome::Skip::noHeader;
            out.outcome.message = "no readable FITS header";
        }
    } catch (const std::exception& e) {
        host.messages.push_back(failureMessage(e));
        out.outcome = ImageOutcome{};
        out.outcome.result = ImageOutcome::Result::failed;
        out.outcome.skip = ImageOutcome::Skip::unreadable;
        out.outcome.message = failureMessage(e);
    }
    out.status = statusOf(out.outcome);
    // The reason for an image that could not be measured is the loader's own report.
    if (out.outcome.result == ImageOutcome::Result::notCorrected && out.outcome.message.empty() &&
        !host.messages.empty())
        out.outcome.message = host.messages.back();
    if (out.outcome.skip == ImageOutcome::Skip::badPhase && !host.messages.empty())
        host.messages.back() += " Give it with --phase-" + out.outcome.binning +
                                " N or set it in the settings file (kestx.ini) beside the program.";
}

} // namespace

FileResult correctOne(const std::filesystem::path& input, const std::filesystem::path& outputPath,
                      const PhaseFields& phases, double amplitudeSetting, WorkerMemory& memory, bool verify,
                      bool balanced)
{
    ConsoleHost host;
    Workspace ws(host);
    BorrowedPixels pixels(ws, memory);
    ws.amplitudeSetting = amplitudeSetting;
    ws.balancedAmplitude = balanced;

    FileResult out;
    out.verify = verify;
    const CommitStrategy later = [&out](std::function<void()> commit) { out.commit = std::move(commit); };
    treatFile(input, ws, host, out, [&] { return correctLoadedImage(ws, phases, outputPath, later); });
    if (verify && out.status == FileResult::Status::corrected) {
        try {
            out.residual = writtenResidualAmplitude(ws, out.outcome).amplitude;
        } catch (const std::exception& e) {
            host.messages.push_back("the residual amplitude could not be measured: " + failureMessage(e));
        }
    }
    out.messages = std::move(host.messages);
    return out;
}

ProfileResult profileOne(const std::filesystem::path& input, const PhaseFields& phases, double amplitudeSetting,
                         bool balanced)
{
    ConsoleHost host;
    Workspace ws(host);
    ws.amplitudeSetting = amplitudeSetting;
    ws.balancedAmplitude = balanced;
    ProfileResult out;
    treatFile(input, ws, host, out.file, [&] {
        ProfileOutcome profiled = profileLoadedImage(ws, phases);
        out.profile = std::move(profiled.profile);
        return profiled.image;
    });
    out.file.messages = std::move(host.messages);
    return out;
}

PhaseFields phaseFieldsFor(const Options& o, const std::filesystem::path& settingsFile)
{
    auto field = [&](const std::optional<std::string>& given, const char* key) {
        if (given)
            return *given;
        const std::string value = readProfileString(settingsFile, settingsSection, key, "ERROR");
        return value == "ERROR" ? std::string() : value;
    };
    return {field(o.phase1x1, "1x1phase"), field(o.phase2x2, "2x2phase")};
}

const BandContrast* PhaseResult::chosen() const
{
    if (!outcome || outcome->result != PhaseOutcome::Result::found)
        return nullptr;
    const auto p = static_cast<std::size_t>(outcome->search.phase);
    return p < contrasts.size() ? &contrasts[p] : nullptr;
}

namespace {

/// The contrast of every candidate phase of the search just found on the workspace's
/// image; nothing, and the reason among the messages, when it cannot be measured.
std::vector<BandContrast> contrastsOf(Workspace& ws, const PhaseOutcome& found, ConsoleHost& host)
{
    try {
        return phaseContrasts(ws.int16Image(), found.bands, found.search.limits);
    } catch (const std::exception& e) {
        host.messages.push_back("the significance of the phase could not be measured: " + failureMessage(e));
        return {};
    }
}

} // namespace

PhaseResult findPhaseOf(const std::filesystem::path& input)
{
    ConsoleHost host;
    Workspace ws(host);
    PhaseResult out;
    const std::string name = fieldText(input.filename().string());
    auto finish = [&](FileResult::Status status, const std::string& binning, const std::string& field) {
        out.status = status;
        out.line = name + "\t" + binning + "\t" + field;
        out.messages = std::move(host.messages);
        return out;
    };
    try {
        if (!loadFitsHeader(ws, input))
            return finish(FileResult::Status::skipped, "", "\t\tskipped: no readable FITS header");
    } catch (const std::exception& e) {
        host.messages.push_back(failureMessage(e));
        return finish(FileResult::Status::failed, "", "\t\tfailed: " + fieldText(failureMessage(e)));
    }
    const PhaseOutcome outcome = searchLoadedPhase(ws);
    out.outcome = outcome;
    switch (outcome.result) {
    case PhaseOutcome::Result::found: {
        out.contrasts = contrastsOf(ws, outcome, host);
        const BandContrast* chosen = out.chosen();
        return finish(FileResult::Status::corrected, outcome.binning,
                      std::to_string(outcome.search.phase) + "\t" +
                          (chosen ? significanceText(chosen->significance) : std::string()));
    }
    case PhaseOutcome::Result::notType:
    case PhaseOutcome::Result::otherWidth:
        return finish(FileResult::Status::skipped, outcome.binning, "\t\tskipped: " + outcome.message);
    case PhaseOutcome::Result::loadFailed:
        return finish(FileResult::Status::failed, outcome.binning,
                      "\t\tfailed: " + fieldText(host.messages.empty() ? outcome.message : host.messages.back()));
    case PhaseOutcome::Result::failed:
        break;
    }
    return finish(FileResult::Status::failed, outcome.binning, "\t\tfailed: " + fieldText(outcome.message));
}

} // namespace kestrel::cli
