// kestrel, the Python module: the steps of kestrel-cli over NumPy arrays and files, for
// pipelines written in Python. Every function calls the engine's steps and the same
// kernels as kestrel-cli, so a frame comes out bit for bit the same either way. The
// kernels run without the GIL: a thread pool over frames uses every core.
#include "python/arrays.h"

#include "core/program_folder.h"
#include "core/report.h"
#include "engine/batch.h"
#include "engine/steps.h"
#include "engine/targets.h"
#include "engine/watch.h"
#include "settings/settings.h"

#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <dlfcn.h>

#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef KESTREL_VERSION
#error "the build gives the version"
#endif
#ifndef KESTREL_INSTALL_BINDIR
#define KESTREL_INSTALL_BINDIR "/usr/local/bin"
#endif

namespace kestrel::python {
namespace {

namespace fs = std::filesystem;

// ---- Records: the named tuples the functions return ------------------------------

/// The classes of the records, made once when the module is imported and never freed
/// (the module is never unloaded).
struct Records {
    py::handle frame, phase, measurement, outcome, planned;
};
Records records;

/// A named tuple class of the module, with its documentation and each field's.
py::handle makeRecord(py::module_& m, const char* name, const char* doc,
                      const std::vector<std::pair<const char*, const char*>>& fields)
{
    py::list names;
    for (const auto& field : fields)
        names.append(field.first);
    py::object cls = py::module_::import("collections").attr("namedtuple")(name, names, py::arg("module") = "kestrel");
    cls.attr("__doc__") = doc;
    for (const auto& field : fields)
        cls.attr(field.first).attr("__doc__") = field.second;
    m.attr(name) = cls;
    return cls.release();
}

// ---- Failures ----------------------------------------------------------------------

py::handle errorType;

/// The texts of the boxes, as kestrel-cli prints them.
py::list reportTexts(const std::vector<BoxReport>& reports)
{
    py::list texts;
    for (const BoxReport& box : reports)
        texts.append(box.kind == BoxKind::general ? generalErrorText(box.text) : box.text);
    return texts;
}

/// Raises kestrel.Error with the core's message and the boxes it asked for.
[[noreturn]] void raiseError(const std::string& message, const std::vector<BoxReport>& reports = {})
{
    py::object error = py::reinterpret_borrow<py::object>(errorType)(message);
    error.attr("reports") = reportTexts(reports);
    PyErr_SetObject(errorType.ptr(), error.ptr());
    throw py::error_already_set();
}

// ---- Arguments ---------------------------------------------------------------------

/// A file name given as str or os.PathLike.
fs::path pathArgument(py::handle value, const char* name)
{
    py::object text;
    try {
        text = py::module_::import("os").attr("fspath")(value);
    } catch (py::error_already_set&) {
        throw py::type_error(std::string(name) + ": expected a file name (str or os.PathLike), got " +
                             typeName(value));
    }
    const std::string path = py::isinstance<py::bytes>(text) ? std::string(py::bytes(text)) : std::string(py::str(text));
    if (path.empty())
        throw py::value_error(std::string(name) + ": an empty file name was given");
    if (path.find('\0') != std::string::npos)
        throw py::value_error(std::string(name) + ": a file name with a NUL character");
    return path;
}

std::optional<fs::path> optionalPath(py::handle value, const char* name)
{
    if (value.is_none())
        return std::nullopt;
    return pathArgument(value, name);
}

/// The binning the width implies; `given` ("1x1", "2x2" or None) must agree with it.
Binning binningArgument(std::int32_t width, py::handle given)
{
    std::optional<Binning> asked;
    if (!given.is_none()) {
        const std::string text = py::isinstance<py::str>(given) ? std::string(py::str(given)) : std::string();
        if (text == "1x1")
            asked = Binning::unbinned;
        else if (text == "2x2")
            asked = Binning::binned2x2;
        else
            throw py::value_error("binning: " + std::string(py::repr(given)) + " is none of '1x1', '2x2' and None");
    }
    const std::optional<Binning> binning = binningOfWidth(width);
    if (!binning)
        throw py::value_error(widthReason(width));
    if (asked && *asked != *binning)
        throw py::value_error("width " + std::to_string(width) + " is " +
                              (*binning == Binning::unbinned ? "unbinned" : "2x2-binned") + ", not " +
                              binningText(*asked));
    return *binning;
}

/// A phase of the band period of `binning` (0 means the period itself), as the window's
/// phase field takes it; on the command line a phase outside the period is refused.
std::int32_t phaseArgument(py::handle value, Binning binning, const char* name)
{
    const std::int32_t period = bandGeometry(binning).period;
    const std::string range = std::string(name) + ": " + std::string(py::repr(value)) + " is not a phase from 0 to " +
                              std::to_string(period);
    if (value.is_none() || py::isinstance<py::bool_>(value) || !py::hasattr(value, "__index__"))
        throw py::type_error(range);
    const long long phase = py::int_(value.attr("__index__")()).cast<long long>();
    if (phase < 0 || phase > period)
        throw py::value_error(range);
    return static_cast<std::int32_t>(phase);
}

/// A phase as phaseArgument takes it, or 'auto': each frame's own, as the text of a
/// phase field.
std::string phaseTextArgument(py::handle value, Binning binning, const char* name)
{
    if (py::isinstance<py::str>(value) && value.cast<std::string>() == "auto")
        return "auto";
    return std::to_string(phaseArgument(value, binning, name));
}

std::optional<std::string> phaseFieldArgument(py::handle value, Binning binning, const char* name)
{
    if (value.is_none())
        return std::nullopt;
    return phaseTextArgument(value, binning, name);
}

/// A typed amplitude (above 0) or None, and the estimator of measured ones.
AmplitudeChoice amplitudeArgument(py::handle amplitude, const std::string& estimator)
{
    if (estimator != "standard" && estimator != "balanced")
        throw py::value_error("estimator: '" + estimator + "' is neither standard nor balanced");
    double typed = 0;
    if (!amplitude.is_none()) {
        if (py::isinstance<py::bool_>(amplitude) || !py::hasattr(amplitude, "__float__"))
            throw py::type_error("amplitude: " + std::string(py::repr(amplitude)) + " is not a number");
        typed = amplitude.cast<double>();
        if (std::isinf(typed))
            throw py::value_error("amplitude: " + std::string(py::repr(amplitude)) + " is not a number");
        if (!(typed > 0))
            throw py::value_error("Amphlitude must be greater than 0.0.");
    }
    return {typed, estimator == "balanced"};
}

// ---- Outcomes ----------------------------------------------------------------------

const char* resultName(ImageOutcome::Result result)
{
    switch (result) {
    case ImageOutcome::Result::corrected:
        return "corrected";
    case ImageOutcome::Result::notCorrected:
        return "not corrected";
    case ImageOutcome::Result::failed:
        return "failed";
    case ImageOutcome::Result::skipped:
        break;
    }
    return "skipped";
}

const char* skipName(ImageOutcome::Skip skip)
{
    switch (skip) {
    case ImageOutcome::Skip::none:
        return nullptr;
    case ImageOutcome::Skip::unreadable:
        return "unreadable";
    case ImageOutcome::Skip::noHeader:
        return "no header";
    case ImageOutcome::Skip::notFloat:
        return "not float";
    case ImageOutcome::Skip::notOneImage:
        return "not one image";
    case ImageOutcome::Skip::otherWidth:
        return "other width";
    case ImageOutcome::Skip::badPhase:
        return "bad phase";
    case ImageOutcome::Skip::repeated:
        return "repeated";
    case ImageOutcome::Skip::keepsExisting:
        return "keeps existing";
    case ImageOutcome::Skip::incomplete:
        return "incomplete";
    case ImageOutcome::Skip::phaseContradicted:
        return "phase contradicted";
    case ImageOutcome::Skip::noClearPhase:
        return "no clear phase";
    case ImageOutcome::Skip::replacesInput:
        break;
    }
    return "replaces input";
}

template <class T> py::object optionalValue(const std::optional<T>& value)
{
    return value ? py::cast(*value) : py::none();
}

py::object pathValue(const std::optional<fs::path>& path) { return path ? py::cast(path->string()) : py::none(); }

py::object estimatorOf(const ImageOutcome& o, const AmplitudeChoice& amplitude)
{
    if (o.measured)
        return py::str(amplitude.balanced ? "balanced" : "standard");
    if (o.amplitude && amplitude.typed != 0)
        return py::str("typed");
    return py::none();
}

py::object outcomeRecord(const ImageOutcome& o, const AmplitudeChoice& amplitude, const std::optional<fs::path>& input,
                         const std::optional<fs::path>& output, bool fromFile = true)
{
    const char* skip = skipName(o.skip);
    py::object temperature = fromFile ? optionalValue(o.temperature) : py::none();
    py::object exposure = fromFile ? optionalValue(o.exposure) : py::none();
    return py::reinterpret_borrow<py::object>(records.outcome)(
        pathValue(input), pathValue(output), resultName(o.result), skip ? py::cast(skip) : py::none(), o.message,
        o.binning.empty() ? py::none() : py::cast(o.binning), o.handed() ? py::cast(o.phase) : py::none(),
        optionalValue(o.background), optionalValue(o.amplitude), o.measured, estimatorOf(o, amplitude), temperature,
        exposure, reportTexts(o.reports));
}

/// The ImageOutcome that an Outcome record stands for, as far as the results file reads it.
ImageOutcome outcomeFromRecord(py::handle record)
{
    ImageOutcome o;
    const std::string result = py::str(record.attr("result"));
    o.result = result == "corrected"       ? ImageOutcome::Result::corrected
               : result == "not corrected" ? ImageOutcome::Result::notCorrected
               : result == "failed"        ? ImageOutcome::Result::failed
                                           : ImageOutcome::Result::skipped;
    if (!record.attr("skip").is_none())
        o.skip = ImageOutcome::Skip::unreadable; // any reason: not handed to a correction
    if (!record.attr("binning").is_none())
        o.binning = py::str(record.attr("binning"));
    if (!record.attr("temperature").is_none())
        o.temperature = record.attr("temperature").cast<std::int32_t>();
    if (!record.attr("exposure").is_none())
        o.exposure = record.attr("exposure").cast<std::int32_t>();
    if (!record.attr("amplitude").is_none())
        o.amplitude = record.attr("amplitude").cast<double>();
    o.measured = record.attr("measured").cast<bool>();
    return o;
}

// ---- Where the settings are --------------------------------------------------------

/// The files of kestrel-cli as the module sees them: those of the kestrel-cli of the
/// same build when the module lies in a build folder (its bin/ beside the module's
/// folder), else those of an installed kestrel-cli, in the user's own folders.
FileLocations moduleLocations()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&moduleLocations), &info) != 0 && info.dli_fname) {
        std::error_code ec;
        // The compiled part lies in the package folder kestrel/, itself in python/.
        const fs::path besideBuild = fs::absolute(info.dli_fname, ec).parent_path().parent_path().parent_path() / "bin";
        if (!ec && fs::exists(besideBuild / "kestrel-cli", ec))
            return FileLocations::forProgram(besideBuild);
    }
    return FileLocations::forProgram(KESTREL_INSTALL_BINDIR);
}

// ---- The functions -----------------------------------------------------------------

py::object readFrame(py::handle pathObject)
{
    const fs::path path = pathArgument(pathObject, "path");
    RecordingHost host;
    Workspace ws(host);
    std::string problem;
    std::int32_t type = 0;
    {
        py::gil_scoped_release release;
        const auto failure = caughtFailure([&] {
            if (!readImageHeader(ws, path)) {
                problem = noHeaderReason(ws.image);
                return;
            }
            type = getTypeofFile(ws);
            bool loaded = false;
            std::size_t samples = 0;
            if (type == typeFloat32) {
                loaded = loadAllImageDataFloat32(ws);
                samples = ws.image.floatPixels.size();
            } else if (type == typeUnsigned16) {
                loaded = loadAllImageDataInt16(ws);
                samples = ws.image.int16Pixels.size();
            } else {
                ws.fitsFile.close();
                problem = "not a 32-bit floating point or 16-bit unsigned image";
                return;
            }
            problem = loaded ? missingSamplesReason(ws.image.imageWidth, ws.image.imageHeight, samples)
                             : std::string("the image data could not be read");
        });
        // A file that cannot be opened or read: the failure names it.
        if (failure)
            problem = *failure;
        else if (!problem.empty())
            problem = path.filename().string() + ": " + problem;
    }
    if (!problem.empty())
        raiseError(problem, host.reports);
    Image& image = ws.image;
    const auto count = static_cast<std::size_t>(image.imageWidth) * static_cast<std::size_t>(image.imageHeight);
    py::object data;
    if (type == typeFloat32) {
        image.floatPixels.resize(count);
        data = arrayOwning<float>(std::make_unique<PixelBuffer<float>>(std::move(image.floatPixels)), image.imageHeight,
                                  image.imageWidth);
    } else {
        image.int16Pixels.resize(count);
        data = arrayOwning<std::uint16_t>(std::make_unique<std::vector<std::uint16_t>>(std::move(image.int16Pixels)),
                                          image.imageHeight, image.imageWidth);
    }
    const std::optional<Binning> binning = image.binning();
    return py::reinterpret_borrow<py::object>(records.frame)(
        image.headerCards, data, binning ? py::cast(binningText(*binning)) : py::none(), image.pixInsightImage);
}

/// A frame's buffer that each thread keeps from call to call, lent to an image while it
/// is worked on and taken back with its memory, as the engine's batch does: fresh pages
/// for every frame cost about as much as the work on it.
template <class Buffer> class Borrowed {
public:
    explicit Borrowed(Buffer& into) : into_(into) { into_.swap(kept()); }
    ~Borrowed() { into_.swap(kept()); }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;

private:
    static Buffer& kept()
    {
        thread_local Buffer buffer;
        return buffer;
    }
    Buffer& into_;
};

py::object findPhase(py::handle data, py::handle binningObject)
{
    const ArraySamples in = checkedArray(data, SampleKind::uint16, "data");
    const Binning binning = binningArgument(in.columns, binningObject);
    RecordingHost host;
    Workspace ws(host);
    PhaseOutcome out;
    out.binning = binningText(binning);
    out.bands = binning;
    const Borrowed<std::vector<std::uint16_t>> borrowed(ws.image.int16Pixels);
    {
        py::gil_scoped_release release;
        ws.image.imageWidth = in.columns;
        ws.image.imageHeight = in.rows;
        ws.image.int16Pixels.resize(in.count());
        copySamples(in, ws.image.int16Pixels.data());
        searchPixelsPhase(ws, out);
    }
    if (out.result != PhaseOutcome::Result::found)
        raiseError(out.message, host.reports);
    py::list scores;
    for (const long double score : out.search.scores)
        scores.append(static_cast<double>(score));
    const auto numpy = py::module_::import("numpy");
    std::vector<double> contrasts, errors, significances;
    for (const BandContrast& c : out.contrasts) {
        contrasts.push_back(c.contrast);
        errors.push_back(c.standardError);
        significances.push_back(c.significance);
    }
    const BandContrast* chosen = out.chosen();
    return py::reinterpret_borrow<py::object>(records.phase)(
        out.search.phase, out.binning, chosen ? py::cast(chosen->significance) : py::none(),
        numpy.attr("array")(scores, "float64"), py::array_t<double>(contrasts.size(), contrasts.data()),
        py::array_t<double>(errors.size(), errors.data()),
        py::array_t<double>(significances.size(), significances.data()),
        out.contrastFailure.empty() ? py::none() : py::cast(out.contrastFailure), reportTexts(host.reports));
}

/// An array's samples as an image in memory, ready for chooseBands: its buffer filled
/// (the one it holds, grown as needed; a PixInsight image's samples scaled to ADU, as the
/// loader scales them), its size and a float header set. False, with the box in the
/// host, when the scaling overflows.
bool imageInMemory(Workspace& ws, const ArraySamples& in, bool pixInsight)
{
    PixelBuffer<float> pixels = std::move(ws.image.floatPixels);
    pixels.resize(in.count());
    copySamples(in, pixels.data());
    ws.image = floatImageFromPixels(in.columns, in.rows, std::move(pixels));
    if (!pixInsight)
        return true;
    return reportFailures(ws.host, inFunction("loadAllImageDataFloat32"),
                          [&] { scaleFromPixInsight(ws.image.floatPixels); });
}

/// The run chooseBands picks for the image, as for a file; `phase` is valid for its binning.
ImageRun runFor(Workspace& ws, const std::string& phase, const AmplitudeChoice& amplitude, bool check)
{
    PhaseFields fields{phase, phase};
    fields.autoAllowed = true;
    fields.check = check;
    const BandChoice choice = chooseBands(ws, fields, amplitude);
    if (!choice.run)
        raiseError(choice.skipped.message, choice.skipped.reports);
    return *choice.run;
}

/// The array as the workspace's float image (scaled as a load would), and the run's
/// choices for it; raises what the scaling refuses.
ImageRun arrayImage(Workspace& ws, RecordingHost& host, const ArraySamples& in, const std::string& phase,
                    const AmplitudeChoice& amplitude, bool pixInsight, bool check = false)
{
    bool scaled = false;
    {
        py::gil_scoped_release release;
        scaled = imageInMemory(ws, in, pixInsight);
    }
    if (!scaled)
        raiseError(host.reports.back().text, host.reports);
    return runFor(ws, phase, amplitude, check);
}

py::object measure(py::handle data, py::handle phaseObject, py::handle binningObject, py::handle amplitudeObject,
                   const std::string& estimator, bool pixInsight)
{
    const ArraySamples in = checkedArray(data, SampleKind::float32, "data");
    const Binning binning = binningArgument(in.columns, binningObject);
    const std::int32_t phase = phaseArgument(phaseObject, binning, "phase");
    const AmplitudeChoice amplitude = amplitudeArgument(amplitudeObject, estimator);
    RecordingHost host;
    Workspace ws(host);
    const Borrowed<PixelBuffer<float>> borrowed(ws.image.floatPixels);
    ProfileOutcome out;
    const ImageRun run = arrayImage(ws, host, in, std::to_string(phase), amplitude, pixInsight);
    {
        py::gil_scoped_release release;
        out = profileFloat32InMemory(ws, run);
    }
    out.image.reports = host.reports;
    if (out.image.result != ImageOutcome::Result::corrected)
        raiseError(out.image.message.empty() ? "image not measured" : out.image.message, host.reports);
    const ImageOutcome& o = out.image;
    const BandProfile& p = out.profile;
    return py::reinterpret_borrow<py::object>(records.measurement)(
        o.binning, p.phase, *o.background, *o.amplitude, o.measured, estimatorOf(o, amplitude),
        py::make_tuple(p.columns.first, p.columns.last), p.upper,
        py::array_t<double>(p.before.size(), p.before.data()), py::array_t<double>(p.after.size(), p.after.data()),
        p.residual.amplitude, p.residual.phase, p.residual.noise, reportTexts(host.reports));
}

/// The way out of a phase that the frame contradicts, in the module's words.
void namePhaseWayOut(ImageOutcome& outcome, const std::string& argument)
{
    if (outcome.skip == ImageOutcome::Skip::phaseContradicted && outcome.ownPhase)
        outcome.message += "; give " + argument + "=" + std::to_string(outcome.ownPhase->phase) +
                           ", or phase_check=False";
}

py::tuple correct(py::handle data, py::handle phaseObject, py::handle amplitudeObject, py::handle binningObject,
                  py::handle outObject, const std::string& estimator, bool pixInsight, bool phaseCheck)
{
    const ArraySamples in = checkedArray(data, SampleKind::float32, "data");
    const Binning binning = binningArgument(in.columns, binningObject);
    const std::string phase = phaseTextArgument(phaseObject, binning, "phase");
    const AmplitudeChoice amplitude = amplitudeArgument(amplitudeObject, estimator);
    std::optional<ArraySamples> out;
    if (!outObject.is_none())
        out = checkedOutput(outObject, in);
    RecordingHost host;
    Workspace ws(host);
    // Corrected into `out`, the samples stay in a buffer of the thread's; else they
    // become the new array.
    std::optional<Borrowed<PixelBuffer<float>>> borrowed;
    if (out)
        borrowed.emplace(ws.image.floatPixels);
    ImageOutcome outcome;
    const ImageRun run = arrayImage(ws, host, in, phase, amplitude, pixInsight, phaseCheck);
    {
        py::gil_scoped_release release;
        outcome = correctFloat32InMemory(ws, run);
        // The samples as the corrected file holds them.
        if (outcome.result == ImageOutcome::Result::corrected) {
            samplesAsWritten(ws.image.floatPixels, pixInsight);
            if (out)
                storeSamples(ws.image.floatPixels.data(), *out);
        }
    }
    outcome.reports = host.reports;
    namePhaseWayOut(outcome, "phase");
    if (outcome.result != ImageOutcome::Result::corrected)
        raiseError(outcome.message.empty() ? "image not measured" : outcome.message, host.reports);
    py::object corrected = out ? py::object(out->array)
                               : py::object(arrayOwning<float>(
                                     std::make_unique<PixelBuffer<float>>(std::move(ws.image.floatPixels)), in.rows,
                                     in.columns));
    return py::make_tuple(corrected, outcomeRecord(outcome, amplitude, std::nullopt, std::nullopt, false));
}

/// The phase fields of correct_file: given, else from the settings file, as kestrel-cli
/// takes them.
PhaseFields phaseFields(py::handle phase1x1, py::handle phase2x2, const fs::path& settingsFile, bool check)
{
    const auto field = [&](py::handle given, Binning binning, const char* name, const char* key) {
        if (const auto text = phaseFieldArgument(given, binning, name))
            return *text;
        std::string value;
        if (const auto failure =
                caughtFailure([&] { value = readProfileString(settingsFile, settingsSection, key, "ERROR"); }))
            raiseError(*failure);
        return value == "ERROR" ? std::string() : value;
    };
    PhaseFields fields{field(phase1x1, Binning::unbinned, "phase_1x1", "1x1phase"),
                       field(phase2x2, Binning::binned2x2, "phase_2x2", "2x2phase")};
    fields.autoAllowed = true;
    fields.check = check;
    return fields;
}

py::object correctFile(py::handle pathObject, py::handle outputDirObject, bool overwrite, py::handle phase1x1,
                       py::handle phase2x2, py::handle amplitudeObject, const std::string& estimator,
                       bool replaceOutputs, bool phaseCheck)
{
    const fs::path input = pathArgument(pathObject, "path");
    const std::optional<fs::path> outputDir = optionalPath(outputDirObject, "output_dir");
    if (overwrite && outputDir)
        throw py::value_error("overwrite and output_dir exclude each other");
    const AmplitudeChoice amplitude = amplitudeArgument(amplitudeObject, estimator);
    const FileLocations where = moduleLocations();
    BatchSettings settings;
    settings.phases = phaseFields(phase1x1, phase2x2, where.settingsFile, phaseCheck);
    settings.amplitudeSetting = amplitude.typed;
    settings.balancedAmplitude = amplitude.balanced;

    const fs::path folder = outputDir ? *outputDir : fs::absolute(input).parent_path() / "kestrel";
    OutputPlan plan(overwrite, folder, {input});
    plan.replaceOutputs(replaceOutputs);
    const fs::path output = plan.outputFor(input);
    ImageOutcome outcome;
    {
        py::gil_scoped_release release;
        if (const auto refusal = plan.claim(input)) {
            outcome = refusedInput(*refusal);
        } else {
            // Frames of one thread share a buffer: fresh pages for every frame cost about
            // as much as reading it.
            thread_local PixelBuffer<float> pixels;
            std::error_code ec;
            if (!overwrite)
                fs::create_directories(folder, ec);
            if (ec) {
                outcome.result = ImageOutcome::Result::failed;
                outcome.message = "cannot create the output folder " + folder.string() + ": " + ec.message();
            } else {
                PendingImage pending = correctFile(input, output, settings, pixels);
                finishWriting(pending);
                outcome = std::move(pending.result.outcome);
            }
        }
    }
    if (outcome.skip == ImageOutcome::Skip::replacesInput)
        outcome.message += "; give overwrite=True to replace originals";
    if (outcome.skip == ImageOutcome::Skip::keepsExisting)
        outcome.message += "; give replace_outputs=True to replace it";
    namePhaseWayOut(outcome, "phase_" + outcome.binning);
    if (outcome.skip == ImageOutcome::Skip::badPhase)
        outcome.message += " Give it with phase_" + outcome.binning + "=N or set it in the settings file " +
                           where.settingsFile.string() + ".";
    const bool written = outcome.result == ImageOutcome::Result::corrected;
    return outcomeRecord(outcome, amplitude, input, written ? std::optional<fs::path>(output) : std::nullopt);
}

py::list planOutputs(py::handle pathsObject, py::handle outputDirObject, bool overwrite, bool replaceOutputs)
{
    if (pathsObject.is_none() || py::isinstance<py::str>(pathsObject) || !py::hasattr(pathsObject, "__iter__"))
        throw py::type_error("paths: expected a list of file names");
    std::vector<fs::path> inputs;
    for (py::handle item : pathsObject)
        inputs.push_back(pathArgument(item, "paths"));
    const std::optional<fs::path> outputDir = optionalPath(outputDirObject, "output_dir");
    if (overwrite && outputDir)
        throw py::value_error("overwrite and output_dir exclude each other");
    py::list planned;
    if (inputs.empty())
        return planned;
    // As kestrel-cli: every file into one folder, by default kestrel/ in the first one's.
    const fs::path folder = outputDir ? *outputDir : fs::absolute(inputs.front()).parent_path() / "kestrel";
    OutputPlan plan(overwrite, folder, inputs);
    plan.replaceOutputs(replaceOutputs);
    for (const fs::path& input : inputs) {
        const fs::path output = plan.outputFor(input);
        py::object refused = py::none();
        if (const auto refusal = plan.claim(input)) {
            ImageOutcome outcome = refusedInput(*refusal);
            if (outcome.skip == ImageOutcome::Skip::replacesInput)
                outcome.message += "; give overwrite=True to replace originals";
            if (outcome.skip == ImageOutcome::Skip::keepsExisting)
                outcome.message += "; give replace_outputs=True to replace it";
            refused = outcomeRecord(outcome, {}, input, std::nullopt);
        }
        planned.append(py::reinterpret_borrow<py::object>(records.planned)(input.string(), output.string(), refused));
    }
    return planned;
}

std::size_t appendResults(py::handle pathObject, py::handle outcomes)
{
    const fs::path csv = pathArgument(pathObject, "path");
    if (outcomes.is_none() || py::isinstance<py::str>(outcomes) || !py::hasattr(outcomes, "__iter__"))
        throw py::type_error("outcomes: expected a list of kestrel.Outcome");
    std::vector<tImageData> entries;
    std::vector<fs::path> images;
    const py::object outcomeType = py::reinterpret_borrow<py::object>(records.outcome);
    for (py::handle item : outcomes) {
        if (!py::isinstance(item, outcomeType))
            throw py::type_error("outcomes: expected kestrel.Outcome, got " +
                                 typeName(item));
        for (const char* field : {"input", "output"})
            if (!item.attr(field).is_none())
                images.emplace_back(std::string(py::str(item.attr(field))));
        const ImageOutcome outcome = outcomeFromRecord(item);
        // The measured results, as kestrel-cli --csv records them.
        if (!outcome.handed() || !outcome.measured)
            continue;
        if (item.attr("input").is_none())
            throw py::value_error("outcomes: the outcome of an array names no file; only those of correct_file "
                                  "go into a results file");
        entries.push_back(resultsEntry(fs::path(std::string(py::str(item.attr("input")))).filename().string(), outcome));
    }
    // The file is checked also when there is nothing to append: a script may check it
    // before any frame is touched.
    std::optional<std::string> problem;
    std::optional<std::string> failure;
    {
        py::gil_scoped_release release;
        // Only what the script named wrongly is refused here; a file that cannot be
        // written fails the append with its reason.
        if (auto found = resultsFileProblem(csv, images, {}, {"", "the image"}); found && found->usage)
            problem = std::move(found->message);
        if (!problem && !entries.empty())
            failure = caughtFailure([&] { appendResultsCsv(csv, entries); });
    }
    if (problem)
        throw py::value_error("path: " + *problem);
    if (failure)
        raiseError(*failure);
    return entries.size();
}

// ---- Documentation -----------------------------------------------------------------

constexpr const char* moduleDoc = R"(Kestrel removes the faint vertical banding of KAI-11000M frames: columns come in
groups that are alternately a little brighter and a little darker, repeating every
32 columns (16 when 2x2-binned). This module calls the same steps and kernels as
kestrel-cli, so a frame comes out bit for bit the same either way.

Arrays: images are 2-D NumPy arrays of shape (rows, columns): float32 samples for a
correction, uint16 samples for the phase search, in either byte order ('<f4', '>f4',
'<u2', '>u2'), with any strides, read-only or not. No other dtype is converted (a
float64 array would have to be rounded): TypeError says so. Samples are in ADU.

Threads: the work runs without the GIL, so a thread pool over frames uses every core.
Each thread keeps a frame's buffer from call to call (tens of megabytes), as fresh
memory for every frame costs about as much as the work on it.

Failures of Kestrel's own (a measurement that fails, a file that cannot be read) raise
kestrel.Error with Kestrel's message; bad arguments raise TypeError or ValueError.
)";

constexpr const char* readDoc = R"(Reads a FITS image as Kestrel reads it.

Returns a Frame: the header cards (80-character strings before END, in order), the
pixels as a 2-D array (rows, columns) in this machine's byte order, float32 for a
32-bit floating point image (in ADU: a PixInsight file's 0..1 samples times 65535, as
Kestrel measures them) or uint16 for a 16-bit unsigned one (BZERO applied), the binning
its width implies ('1x1', '2x2' or None) and whether it is a PixInsight file.

Raises kestrel.Error naming the file when it cannot be opened or read, has no
readable header, or is of another type.
)";

constexpr const char* findPhaseDoc = R"(Finds the band phase of a 16-bit unsigned frame.

data: 2-D uint16 array (rows, columns), '<u2' or '>u2', of a sensor width (4008 or
4032 columns unbinned, 2004 or 2016 2x2-binned). binning: '1x1', '2x2' or None (from
the width); when given it must agree with the width.

Returns a Phase: the phase (the first column of a reference band, 0 to 31 or 0 to 15),
the binning, its significance (the band contrast at that phase over its standard
error; below 5 the phase does not stand out from the noise; None when it could not be
measured, see contrast_failure), the score of every candidate phase, and the contrast,
standard error and significance of every candidate.

Raises kestrel.Error when the search fails (an image without sky samples).
)";

constexpr const char* measureDoc = R"(Measures what correct would do to a frame, writing nothing.

data: 2-D float32 array (rows, columns), '<f4' or '>f4', of a sensor width. phase:
0 to 32 unbinned, 0 to 16 2x2-binned (0 means the period). amplitude: None to measure
it, or the ADU (above 0) to apply. binning: '1x1', '2x2' or None (from the width).
estimator: 'standard' (as the window and kestrel-cli measure) or 'balanced' (a sky
gradient cancels). pixinsight: the samples are a PixInsight file's 0..1 ones (as
Astropy reads them); they are measured in ADU, times 65535, as kestrel-cli does.

Returns a Measurement: background, amplitude and estimator, the band profile before
and after the correction with the columns and sample bound it reads, and the
residual left at any phase, as kestrel-cli profile prints them.

Raises kestrel.Error with Kestrel's message when the image cannot be measured.
)";

constexpr const char* correctDoc = R"(Corrects the banding of a frame in memory.

data, phase, amplitude, binning, estimator and pixinsight as for measure. out: None
for a new array, or a writeable float32 array of the same shape (either byte order,
data itself included) that receives the corrected samples. phase may also be 'auto':
the frame's own strongest phase, where its band stands out (significance 5 or more).
phase_check=True (the default) refuses a phase the frame's own banding contradicts
(it stands out at another phase, not half a period away): kestrel.Error names both
phases; phase_check=False corrects at the given phase all the same.

Returns (corrected, outcome): the corrected samples bit for bit as kestrel-cli writes
them into the corrected file (so negative samples and NaN come back as 0, and with
pixinsight=True the samples are back in 0..1), and the Outcome (temperature and
exposure are None: an array has no header).

Raises kestrel.Error with Kestrel's message when the image cannot be corrected; out
is then left as it was.
)";

constexpr const char* correctFileDoc = R"(Corrects one FITS file exactly as kestrel-cli correct does.

The corrected file goes into output_dir (made if missing) or, by default, into the
folder kestrel inside the file's folder; with overwrite=True it replaces the file
itself. It appears whole or not at all, a link is written through, and an original
is never replaced without overwrite=True; a write-protected original never. A file
of its name already in the output folder is replaced only when it is an earlier
correction of the same file (the same header and size); any other is kept and the
file skipped, unless replace_outputs=True.
phase_1x1 (0 to 32) and phase_2x2 (0 to 16): None takes 1x1phase or 2x2phase from
the settings file kestx.ini that kestrel-cli reads (settings_file()); 'auto' takes
each frame's own phase. amplitude and estimator as for measure. phase_check as for
correct: a contradicted phase gives an Outcome skipped as 'phase contradicted'.

Returns the Outcome, whatever became of the file (a file that is skipped or fails is
an outcome, as a line of kestrel-cli is: see its result and message); raises
kestrel.Error only when the settings file cannot be read.
)";

constexpr const char* planDoc = R"(Which outputs the files of one run may write, as kestrel-cli settles them.

Every file goes into output_dir, by default the folder kestrel inside the first file's
folder (overwrite=True: each replaces itself). A file that is the same as an earlier
one, whose output an earlier one writes, or whose output would replace a file of the
run without overwrite, is refused. Returns one Planned per file, in order: its output,
and refused, the skipped Outcome kestrel-cli gives it, or None when it may go ahead.
Give the files that may go ahead to correct_file with the same output_dir.
)";

constexpr const char* appendResultsDoc = R"(Appends the measured outcomes to a results file, as kestrel-cli --csv does.

The outcomes of correct_file whose amplitude was measured become records in the format
of the window's Save Results (a new or empty file gets the header line first), in one
write that either appends them all or leaves the file as it was. A file that is one of
the outcomes' images, a FITS image or binary data is refused with ValueError, also
when there is nothing to append (so append_results(path, []) checks a file before a
run). Returns the number of records appended; with none, nothing is written.
)";

constexpr const char* settingsFileDoc = R"(The settings file kestx.ini whose phases correct_file takes when none is given.

That of the kestrel-cli built beside the module (a build folder, a portable copy), or,
installed, that of an installed kestrel-cli: ~/.config/kestrel/kestx.ini (or
$XDG_CONFIG_HOME/kestrel/kestx.ini).
)";


// ---- kestrel.watch: the engine's watch, on a thread of its own ---------------------

/// The watch of kestrel-cli watch, its frames' outcomes queued for the generator that
/// takes them one by one; the generator's end (a pipeline that stops) stops the watch.
class ModuleWatch final : public WatchObserver {
public:
    ModuleWatch(WatchSettings settings, AmplitudeChoice amplitude)
        : outputDir_(settings.outputDir), amplitude_(amplitude), watch_(std::move(settings))
    {
        thread_ = std::thread([this] {
            const bool left = watch_.run(*this);
            std::lock_guard lock(mutex_);
            ended_ = true;
            noFolder_ = !left;
            ready_.notify_all();
        });
    }
    ~ModuleWatch() override { stop(); }
    ModuleWatch(const ModuleWatch&) = delete;
    ModuleWatch& operator=(const ModuleWatch&) = delete;

    void stop()
    {
        watch_.stop();
        if (thread_.joinable()) {
            py::gil_scoped_release release;
            thread_.join();
        }
    }

    bool imageDone(std::size_t, ImageResult& result) override
    {
        std::lock_guard lock(mutex_);
        done_.push_back(std::move(result));
        ready_.notify_all();
        return true;
    }
    void folderGone(const fs::path&, std::size_t) override {}

    /// The next frame's Outcome, or None once the watch has ended; Ctrl-C reaches
    /// Python while it waits.
    py::object next()
    {
        std::optional<ImageResult> result;
        for (;;) {
            {
                py::gil_scoped_release release;
                std::unique_lock lock(mutex_);
                ready_.wait_for(lock, std::chrono::milliseconds(100), [&] { return !done_.empty() || ended_; });
                if (!done_.empty()) {
                    result = std::move(done_.front());
                    done_.pop_front();
                } else if (ended_) {
                    break;
                }
            }
            if (result)
                break;
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
        }
        if (!result)
            return py::none();
        const fs::path& input = result->input;
        namePhaseWayOut(result->outcome, "phase_" + result->outcome.binning);
        const bool written = result->outcome.result == ImageOutcome::Result::corrected;
        return outcomeRecord(result->outcome, amplitude_, input,
                             written ? std::optional<fs::path>(watchOutputFolder(input.parent_path(), outputDir_) /
                                                                input.filename())
                                     : std::nullopt);
    }

private:
    std::optional<fs::path> outputDir_;
    AmplitudeChoice amplitude_;
    FolderWatch watch_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<ImageResult> done_;
    bool ended_ = false;
    bool noFolder_ = false;
};

std::unique_ptr<ModuleWatch> startWatch(py::handle foldersObject, py::handle outputDirObject, py::handle phase1x1,
                                        py::handle phase2x2, py::handle amplitudeObject, const std::string& estimator,
                                        double settle, const std::string& existing, py::handle pollObject,
                                        unsigned jobs, bool phaseCheck)
{
    WatchSettings settings;
    if (py::isinstance<py::str>(foldersObject) || py::hasattr(foldersObject, "__fspath__"))
        settings.folders.push_back(pathArgument(foldersObject, "folders"));
    else if (py::hasattr(foldersObject, "__iter__"))
        for (py::handle item : foldersObject)
            settings.folders.push_back(pathArgument(item, "folders"));
    if (settings.folders.empty())
        throw py::value_error("folders: no folder given");
    if (!(settle >= 0 && settle <= 3600))
        throw py::value_error("settle: not a number of seconds from 0 to 3600");
    if (existing != "correct" && existing != "skip")
        throw py::value_error("existing: '" + existing + "' is neither 'skip' nor 'correct'");
    const AmplitudeChoice amplitude = amplitudeArgument(amplitudeObject, estimator);
    settings.outputDir = optionalPath(outputDirObject, "output_dir");
    settings.batch.phases = phaseFields(phase1x1, phase2x2, moduleLocations().settingsFile, phaseCheck);
    settings.batch.amplitudeSetting = amplitude.typed;
    settings.batch.balancedAmplitude = amplitude.balanced;
    settings.batch.jobs = jobs;
    settings.batch.stopWhereOutcomeSays = false;
    settings.settleSeconds = settle;
    settings.correctExisting = existing == "correct";
    if (!pollObject.is_none()) {
        const double poll = pollObject.cast<double>();
        if (!(poll > 0 && poll <= 3600))
            throw py::value_error("poll: not a number of seconds from above 0 to 3600");
        settings.pollSeconds = poll;
    }
    try {
        return std::make_unique<ModuleWatch>(std::move(settings), amplitude);
    } catch (const Failure& e) {
        raiseError(e.message());
    }
}

constexpr const char* watchDoc = R"(Watches folders and yields an Outcome for each frame as it is corrected.

The rules of kestrel-cli watch: a frame (.fit, .fits, .fts) is taken once its header
and data unit are whole and nothing has written to it for settle seconds, corrected
into output_dir (default: kestrel/ inside its folder), and corrected again when it is
written again; existing='correct' also takes the frames there without a correction
yet, 'skip' only new ones; poll looks at the folders every poll seconds instead of
waiting for the system's news of them. The generator ends when no folder is left;
closing it (or leaving the loop) stops the watch after the frame in progress.
)";
} // namespace
} // namespace kestrel::python

PYBIND11_MODULE(_kestrel, m)
{
    using namespace kestrel::python;
    m.doc() = moduleDoc;
    m.attr("__version__") = KESTREL_VERSION;
    errorType = py::handle(PyErr_NewExceptionWithDoc(
        "kestrel.Error", "A failure of Kestrel's own, with its message; `reports` holds the texts of every box "
                         "the steps asked for, in order, as kestrel-cli prints them.",
        PyExc_Exception, nullptr));
    if (!errorType)
        throw py::error_already_set();
    m.attr("Error") = errorType;

    records.frame = makeRecord(m, "Frame", "A FITS image as kestrel.read reads it.",
                               {{"cards", "The header cards before END, 80 characters each, in order."},
                                {"data", "The pixels, (rows, columns): float32 in ADU or uint16."},
                                {"binning", "'1x1', '2x2', or None for a width of no binning."},
                                {"pixinsight", "True for a PixInsight file (float samples stored 0..1)."}});
    records.phase = makeRecord(
        m, "Phase", "The band phase of a 16-bit frame, as kestrel.find_phase finds it.",
        {{"phase", "The first column of a reference band."},
         {"binning", "'1x1' or '2x2'."},
         {"significance", "The chosen phase's contrast over its standard error; None when not measured."},
         {"scores", "The finder's score of every candidate phase (float64)."},
         {"contrasts", "The balanced band contrast of every candidate phase, ADU."},
         {"standard_errors", "The standard error of each contrast, ADU."},
         {"significances", "Each contrast over its standard error."},
         {"contrast_failure", "Why the contrasts could not be measured, or None."},
         {"reports", "The texts of the boxes the search asked for, in order."}});
    records.measurement = makeRecord(
        m, "Measurement", "What kestrel.measure found, as kestrel-cli profile prints it.",
        {{"binning", "'1x1' or '2x2'."},
         {"phase", "The phase of the measurement, 1 to the period."},
         {"background", "The background level, ADU."},
         {"amplitude", "The amplitude the correction adds to the offset bands, ADU."},
         {"measured", "True when the amplitude was measured, False when typed."},
         {"estimator", "'standard', 'balanced' or 'typed'."},
         {"columns", "The first and last column the profile and the amplitude read."},
         {"upper", "The upper sample bound of the measurement, ADU."},
         {"before", "The band profile before the correction, one entry per column of the period."},
         {"after", "The band profile after the correction."},
         {"residual", "The largest balanced amplitude left at any phase after the correction, ADU."},
         {"residual_phase", "Where the residual lies, 1 to the period."},
         {"residual_noise", "The standard error of the residual, ADU."},
         {"reports", "The texts of the boxes the steps asked for, in order."}});
    records.outcome = makeRecord(
        m, "Outcome", "What became of one image, as a result line of kestrel-cli correct tells it.",
        {{"input", "The file corrected, or None for an array."},
         {"output", "The corrected file written, or None."},
         {"result", "'corrected', 'not corrected', 'failed' or 'skipped'."},
         {"skip", "Why it was not handed to a correction: 'unreadable', 'no header', 'not float', 'other width', "
                  "'bad phase', 'repeated', 'replaces input', 'keeps existing'; else None."},
         {"message", "Why it was skipped, or the failure's report; '' when corrected."},
         {"binning", "'1x1' or '2x2', once chosen, else None."},
         {"phase", "The phase it was corrected at, once chosen, else None."},
         {"background", "The background level, ADU, or None."},
         {"amplitude", "The amplitude added to the offset bands, ADU (9999 marks an image not corrected)."},
         {"measured", "True when the amplitude was measured, False when typed."},
         {"estimator", "'standard', 'balanced', 'typed', or None."},
         {"temperature", "CCD-TEMP rounded to whole degrees (20000 when missing), or None."},
         {"exposure", "EXPOSURE or EXPTIME in whole seconds, or None."},
         {"reports", "The texts of the boxes the steps asked for, in order, as kestrel-cli prints them."}});
    records.planned = makeRecord(m, "Planned", "One file of a run and the output kestrel.plan gives it.",
                                 {{"input", "The file."},
                                  {"output", "Where its corrected file goes."},
                                  {"refused", "The skipped Outcome of a file that may not go ahead, or None."}});

    // The functions are Python functions over the bound ones: they have signatures that
    // help() and editors read, and pickle by name, as Dask sends a task to its workers
    // (a bound function does not pickle at all).
    m.def("_read", &readFrame);
    m.def("_find_phase", &findPhase);
    m.def("_measure", &measure);
    m.def("_correct", &correct);
    m.def("_correct_file", &correctFile);
    m.def("_plan", &planOutputs);
    m.def("_append_results", &appendResults);
    m.def("_settings_file", [] { return moduleLocations().settingsFile.string(); });
    py::class_<ModuleWatch>(m, "_Watch").def("next", &ModuleWatch::next).def("stop", &ModuleWatch::stop);
    m.def("_watch", &startWatch);
    py::exec(R"(
def read(path):
    return _read(path)

def find_phase(data, binning=None):
    return _find_phase(data, binning)

def measure(data, phase, binning=None, amplitude=None, *, estimator="standard", pixinsight=False):
    return _measure(data, phase, binning, amplitude, estimator, pixinsight)

def correct(data, phase, amplitude=None, binning=None, out=None, *, estimator="standard", pixinsight=False,
            phase_check=True):
    return _correct(data, phase, amplitude, binning, out, estimator, pixinsight, phase_check)

def correct_file(path, output_dir=None, overwrite=False, phase_1x1=None, phase_2x2=None, amplitude=None, *,
                 estimator="standard", replace_outputs=False, phase_check=True):
    return _correct_file(path, output_dir, overwrite, phase_1x1, phase_2x2, amplitude, estimator, replace_outputs,
                         phase_check)

def plan(paths, output_dir=None, overwrite=False, *, replace_outputs=False):
    return _plan(paths, output_dir, overwrite, replace_outputs)

def append_results(path, outcomes):
    return _append_results(path, outcomes)

def settings_file():
    return _settings_file()

def watch(folders, output_dir=None, phase_1x1=None, phase_2x2=None, amplitude=None, *, estimator="standard",
          settle=2.0, existing="correct", poll=None, jobs=0, phase_check=True):
    w = _watch(folders, output_dir, phase_1x1, phase_2x2, amplitude, estimator, settle, existing, poll, jobs,
               phase_check)
    try:
        while (outcome := w.next()) is not None:
            yield outcome
    finally:
        w.stop()
)",
             m.attr("__dict__"));
    for (const auto& [name, doc] : {std::pair{"read", readDoc}, {"find_phase", findPhaseDoc}, {"measure", measureDoc},
                                    {"correct", correctDoc}, {"correct_file", correctFileDoc}, {"plan", planDoc},
                                    {"append_results", appendResultsDoc}, {"settings_file", settingsFileDoc},
                                    {"watch", watchDoc}})
        m.attr(name).attr("__doc__") = doc;
}
