// kestrel, the Python module: the steps of kestrel-cli over NumPy arrays and files, for
// pipelines written in Python. Every function calls the engine's steps and the same
// kernels as kestrel-cli, so a frame comes out bit for bit the same either way. The
// kernels run without the GIL: a thread pool over frames uses every core.
#include "python/arrays.h"

#include "core/arith.h"
#include "core/program_folder.h"
#include "core/report.h"
#include "engine/batch.h"
#include "engine/choices.h"
#include "engine/steps.h"
#include "engine/targets.h"
#include "engine/watch.h"
#include "fits/writer.h"
#include "settings/settings.h"

#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <dlfcn.h>

#include <bit>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <limits>
#include <memory>
#include <optional>
#include <span>
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

// ---- Text: names and messages as Python sees them ---------------------------------

/// A text of the system's bytes (a file name, a message that names one) as os.fsdecode
/// gives it: bytes that are not UTF-8 become surrogate escapes, which os.fsencode turns
/// back into the same bytes, so that no name a file system holds makes a call fail.
py::str systemText(const std::string& text)
{
    PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!decoded)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

/// A header card's 80 bytes: FITS allows only ASCII, but files from the field hold
/// Latin-1 (a degree sign, an observer's name), which is read as it most likely is.
py::str cardText(const std::string& card)
{
    PyObject* decoded = PyUnicode_DecodeLatin1(card.data(), static_cast<Py_ssize_t>(card.size()), nullptr);
    if (!decoded)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

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
        texts.append(systemText(box.kind == BoxKind::general ? generalErrorText(box.text) : box.text));
    return texts;
}

/// Raises kestrel.Error with the core's message and the boxes it asked for.
[[noreturn]] void raiseError(const std::string& message, const std::vector<BoxReport>& reports = {})
{
    py::object error = py::reinterpret_borrow<py::object>(errorType)(systemText(message));
    error.attr("reports") = reportTexts(reports);
    PyErr_SetObject(errorType.ptr(), error.ptr());
    throw py::error_already_set();
}

/// The helper of the module's Python part that makes the OSError of an error number.
py::handle systemErrorMaker;

/// Raises the OSError of the module that fits the system's error number (a missing
/// file, one that may not be read, any other), which is also a kestrel.Error, so that a
/// pipeline catches it as it catches the failures of open().
[[noreturn]] void raiseSystemError(int number, const std::string& message, const fs::path& file,
                                   const std::vector<BoxReport>& reports)
{
    py::object error = py::reinterpret_borrow<py::object>(systemErrorMaker)(
        number, systemText(message), systemText(file.string()));
    error.attr("reports") = reportTexts(reports);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

/// As caughtFailure, keeping the system's error number of a failure that has one.
template <class Body> std::optional<std::string> caughtSystemFailure(int& systemError, Body&& body)
{
    try {
        std::forward<Body>(body)();
        return std::nullopt;
    } catch (const Failure& e) {
        systemError = e.systemError();
        return e.message();
    } catch (const std::exception& e) {
        return failureMessage(e);
    }
}

// ---- Arguments ---------------------------------------------------------------------

/// A file name given as str, bytes or os.PathLike, as the bytes the system takes
/// (os.fsencode: a str's surrogate escapes become the bytes they stand for).
fs::path pathArgument(py::handle value, const char* name)
{
    py::object text;
    try {
        text = py::module_::import("os").attr("fsencode")(value);
    } catch (py::error_already_set&) {
        throw py::type_error(std::string(name) + ": expected a file name (str or os.PathLike), got " +
                             typeName(value));
    }
    const std::string path = py::bytes(text);
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
        if (const AmplitudeFault fault = amplitudeFault(typed); fault != AmplitudeFault::none)
            throw py::value_error("amplitude: " + std::string(py::repr(amplitude)) + " " + amplitudeFaultText(fault));
    }
    return {typed, estimator == "balanced"};
}

/// The arguments that take a call past a refusal, in the module's words; `phase` names
/// the phase argument of an array's correction, which has one for either binning. A
/// watch never replaces a file.
RemedyWords argumentWords(const char* phase = nullptr, bool watch = false)
{
    return [phase, watch](Remedy remedy, const std::string& value) -> std::string {
        switch (remedy) {
        case Remedy::overwrite:
            return watch ? "" : "overwrite=True";
        case Remedy::replaceOutputs:
            return watch ? "" : "replace_outputs=True";
        case Remedy::force:
            return ""; // a call keeps no journal of what it replaced
        case Remedy::phase1x1:
            return std::string(phase ? phase : "phase_1x1") + "=" + value;
        case Remedy::phase2x2:
            return std::string(phase ? phase : "phase_2x2") + "=" + value;
        case Remedy::noPhaseCheck:
            break;
        }
        return "phase_check=False";
    };
}

/// What the user can give instead, added to a refused or skipped outcome's message.
void nameRemedies(ImageOutcome& outcome, const fs::path& settingsFile, bool watch = false)
{
    nameRemedy(outcome, argumentWords(nullptr, watch));
    if (const std::string hint = missingPhaseHint(outcome, argumentWords(), settingsFile); !hint.empty())
        outcome.message += " " + hint;
}

// ---- Outcomes ----------------------------------------------------------------------

/// What kestrel-cli says of an image whose amplitude marks it not corrected.
constexpr const char* imageNotMeasured = "image not measured";

const char* resultName(ImageOutcome::Result result)
{
    switch (result) {
    case ImageOutcome::Result::corrected:
        return "corrected";
    // kestrel-cli prints "failed:" for an image whose amplitude marks it not corrected
    // as for one a failure ended.
    case ImageOutcome::Result::notCorrected:
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
    case ImageOutcome::Skip::correctedBefore:
        return "corrected before";
    case ImageOutcome::Skip::phaseContradicted:
        return "phase contradicted";
    case ImageOutcome::Skip::noClearPhase:
        return "no clear phase";
    case ImageOutcome::Skip::replacesInput:
        break;
    }
    return "replaces input";
}

/// The reason skipName names; unreadable for a name it never gives.
ImageOutcome::Skip skipNamed(const std::string& name)
{
    for (int k = static_cast<int>(ImageOutcome::Skip::unreadable); k <= static_cast<int>(ImageOutcome::Skip::noClearPhase); ++k)
        if (const char* known = skipName(static_cast<ImageOutcome::Skip>(k)); known && name == known)
            return static_cast<ImageOutcome::Skip>(k);
    return ImageOutcome::Skip::unreadable;
}

template <class T> py::object optionalValue(const std::optional<T>& value)
{
    return value ? py::cast(*value) : py::none();
}

py::object pathValue(const std::optional<fs::path>& path) { return path ? py::object(systemText(path->string())) : py::none(); }

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
    // No placeholder numbers: the window's 9999, 20000 and 0 stand for "none" here, so
    // that a pipeline's mean of a column does not take them for measurements.
    py::object temperature = fromFile ? optionalValue(o.ccdTemperature) : py::none();
    py::object exposure = fromFile ? optionalValue(o.exposure) : py::none();
    py::object background = o.backgroundFailed ? py::none() : optionalValue(o.background);
    py::object amplitudeAdded =
        o.amplitude && *o.amplitude == failedAmplitude && o.result != ImageOutcome::Result::corrected
            ? py::none()
            : optionalValue(o.amplitude);
    const bool unmeasured = o.handed() && o.result != ImageOutcome::Result::corrected && o.message.empty();
    return py::reinterpret_borrow<py::object>(records.outcome)(
        pathValue(input), pathValue(output), resultName(o.result), skip ? py::cast(skip) : py::none(),
        systemText(unmeasured ? std::string(imageNotMeasured) : o.message), o.binning.empty() ? py::none() : py::cast(o.binning),
        o.handed() ? py::cast(o.phase) : py::none(), background, amplitudeAdded, o.measured,
        estimatorOf(o, amplitude), temperature, exposure, reportTexts(o.reports));
}

/// The ImageOutcome that an Outcome record stands for, as far as the results file reads it.
ImageOutcome outcomeFromRecord(py::handle record)
{
    ImageOutcome o;
    const std::string result = py::str(record.attr("result"));
    o.result = result == "corrected" ? ImageOutcome::Result::corrected
               : result == "failed"  ? ImageOutcome::Result::failed
                                     : ImageOutcome::Result::skipped;
    if (const py::object skip = record.attr("skip"); !skip.is_none())
        o.skip = skipNamed(py::str(skip));
    if (!record.attr("binning").is_none())
        o.binning = py::str(record.attr("binning"));
    // The results file holds what kestrel-cli --csv writes: the window's marks where
    // the record says "none".
    const py::object temperature = record.attr("temperature");
    o.temperature = temperature.is_none() ? 20000 : roundToInt32(temperature.cast<double>());
    if (!record.attr("exposure").is_none())
        o.exposure = record.attr("exposure").cast<std::int32_t>();
    const py::object amplitude = record.attr("amplitude");
    o.amplitude = amplitude.is_none() ? failedAmplitude : amplitude.cast<double>();
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
    bool pixInsight = false;
    int systemError = 0;
    {
        py::gil_scoped_release release;
        const auto failure = caughtSystemFailure(systemError, [&] {
            if (!readImageHeader(ws, path)) {
                problem = noHeaderReason(ws.image);
                return;
            }
            type = getTypeofFile(ws);
            bool loaded = false;
            std::size_t samples = 0;
            if (type == typeFloat32) {
                // A PixInsight file's samples are given as stored, 0..1: the frame says so,
                // and correct and measure take them back with pixinsight=True.
                pixInsight = ws.image.pixInsightImage;
                ws.image.pixInsightImage = false;
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
    if (systemError != 0)
        raiseSystemError(systemError, problem, path, host.reports);
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
    py::list cards;
    for (const std::string& card : image.headerCards)
        cards.append(cardText(card));
    return py::reinterpret_borrow<py::object>(records.frame)(
        cards, data, binning ? py::cast(binningText(*binning)) : py::none(), pixInsight,
        type == typeUnsigned16 ? "adu" : pixInsight ? "normalised" : "adu");
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

/// What a correction in memory does with NaN samples: refuse the frame when they would
/// make the measurement fail, or pass over them as the measurement passes over the
/// samples below its bounds.
enum class NanPolicy { raise, ignore };

NanPolicy nanPolicyArgument(const std::string& policy)
{
    if (policy == "raise")
        return NanPolicy::raise;
    if (policy == "ignore")
        return NanPolicy::ignore;
    throw py::value_error("nan_policy: '" + policy + "' is neither 'raise' nor 'ignore'");
}

/// Where a frame's NaN samples are, each made -infinity meanwhile: below every bound of
/// the background and the band means, it is passed over as a sample below 0 is, and the
/// correction leaves it as it is. restore() puts the NaN back before the samples are
/// written, so that they come out as a NaN does.
class HiddenNaN {
public:
    std::size_t count() const { return positions_.size(); }
    void hide(std::span<float> samples)
    {
        positions_.clear();
        if (!holdsNaN(samples))
            return;
        for (std::size_t i = 0; i < samples.size(); ++i)
            if (std::isnan(samples[i])) {
                positions_.push_back(i);
                nan_ = samples[i];
                samples[i] = -std::numeric_limits<float>::infinity();
            }
    }
    /// A frame without NaN, nearly every one, costs a pass in blocks of a fixed length,
    /// which the compiler turns into vector instructions.
    static bool holdsNaN(std::span<const float> samples)
    {
        constexpr std::size_t block = 1024;
        std::size_t i = 0;
        for (; i + block <= samples.size(); i += block) {
            std::uint32_t found = 0;
            for (std::size_t k = 0; k < block; ++k)
                found |= (std::bit_cast<std::uint32_t>(samples[i + k]) & 0x7FFFFFFFu) > 0x7F800000u;
            if (found != 0)
                return true;
        }
        for (; i < samples.size(); ++i)
            if (std::isnan(samples[i]))
                return true;
        return false;
    }
    void restore(std::span<float> samples) const
    {
        for (const std::size_t i : positions_)
            samples[i] = nan_;
    }

private:
    std::vector<std::size_t> positions_;
    float nan_ = std::numeric_limits<float>::quiet_NaN();
};

/// Why a frame with NaN samples cannot be measured, and what the user can do.
std::string nanSamplesText(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " NaN sample" : " NaN samples") +
           ": the background cannot be measured; fill them or give an amplitude";
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
/// choices for it; raises what the scaling refuses. NaN samples to be passed over are
/// hidden in `nan`. `check` has the frame's own banding checked against the phase.
ImageRun arrayImage(Workspace& ws, RecordingHost& host, const ArraySamples& in, const std::string& phase,
                    const AmplitudeChoice& amplitude, bool pixInsight, NanPolicy policy, HiddenNaN& nan,
                    bool check = false)
{
    bool scaled = false;
    {
        py::gil_scoped_release release;
        scaled = imageInMemory(ws, in, pixInsight);
        if (scaled && policy == NanPolicy::ignore)
            nan.hide(ws.image.floatPixels);
    }
    if (!scaled)
        raiseError(host.reports.back().text, host.reports);
    return runFor(ws, phase, amplitude, check);
}

/// Raises the failure of a frame that was not corrected: a measurement that failed at
/// its NaN samples says so (they are looked for only then, so that the frames without
/// any cost nothing), any other its own message.
[[noreturn]] void raiseNotCorrected(const ImageOutcome& outcome, std::span<float> samples,
                                    const std::vector<BoxReport>& reports)
{
    if (outcome.result == ImageOutcome::Result::failed && !outcome.amplitude &&
        outcome.message.starts_with(messages::invalidOperation)) {
        HiddenNaN nan;
        nan.hide(samples);
        if (nan.count() != 0)
            raiseError(nanSamplesText(nan.count()), reports);
    }
    raiseError(outcome.message.empty() ? imageNotMeasured : outcome.message, reports);
}

py::object measure(py::handle data, py::handle phaseObject, py::handle binningObject, py::handle amplitudeObject,
                   const std::string& estimator, bool pixInsight, const std::string& nanPolicy)
{
    const NanPolicy policy = nanPolicyArgument(nanPolicy);
    const ArraySamples in = checkedArray(data, SampleKind::float32, "data");
    const Binning binning = binningArgument(in.columns, binningObject);
    const std::int32_t phase = phaseArgument(phaseObject, binning, "phase");
    const AmplitudeChoice amplitude = amplitudeArgument(amplitudeObject, estimator);
    RecordingHost host;
    Workspace ws(host);
    const Borrowed<PixelBuffer<float>> borrowed(ws.image.floatPixels);
    ProfileOutcome out;
    HiddenNaN nan;
    const ImageRun run = arrayImage(ws, host, in, std::to_string(phase), amplitude, pixInsight, policy, nan);
    {
        py::gil_scoped_release release;
        out = profileFloat32InMemory(ws, run);
    }
    out.image.reports = host.reports;
    if (out.image.result != ImageOutcome::Result::corrected)
        raiseNotCorrected(out.image, ws.image.floatPixels, host.reports);
    const ImageOutcome& o = out.image;
    const BandProfile& p = out.profile;
    return py::reinterpret_borrow<py::object>(records.measurement)(
        o.binning, p.phase, *o.background, *o.amplitude, o.measured, estimatorOf(o, amplitude),
        py::make_tuple(p.columns.first, p.columns.last), p.upper,
        py::array_t<double>(p.before.size(), p.before.data()), py::array_t<double>(p.after.size(), p.after.data()),
        p.residual.amplitude, p.residual.phase, p.residual.noise, reportTexts(host.reports));
}

py::tuple correct(py::handle data, py::handle phaseObject, py::handle amplitudeObject, py::handle binningObject,
                  py::handle outObject, const std::string& estimator, bool pixInsight, const std::string& nanPolicy,
                  bool phaseCheck)
{
    const NanPolicy policy = nanPolicyArgument(nanPolicy);
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
    HiddenNaN nan;
    const ImageRun run = arrayImage(ws, host, in, phase, amplitude, pixInsight, policy, nan, phaseCheck);
    {
        py::gil_scoped_release release;
        outcome = correctFloat32InMemory(ws, run);
        // The samples as the corrected file holds them.
        if (outcome.result == ImageOutcome::Result::corrected) {
            nan.restore(ws.image.floatPixels);
            samplesAsWritten(ws.image.floatPixels, pixInsight);
            if (out)
                storeSamples(ws.image.floatPixels.data(), *out);
        }
    }
    outcome.reports = host.reports;
    nameRemedy(outcome, argumentWords("phase"));
    if (outcome.result != ImageOutcome::Result::corrected)
        raiseNotCorrected(outcome, ws.image.floatPixels, host.reports);
    py::object corrected = out ? py::object(out->array)
                               : py::object(arrayOwning<float>(
                                     std::make_unique<PixelBuffer<float>>(std::move(ws.image.floatPixels)), in.rows,
                                     in.columns));
    return py::make_tuple(corrected, outcomeRecord(outcome, amplitude, std::nullopt, std::nullopt, false));
}

/// The phase fields of correct_file and watch: given, else from the settings file, as
/// kestrel-cli takes them.
PhaseFields phaseFields(py::handle phase1x1, py::handle phase2x2, const fs::path& settingsFile, bool check)
{
    const auto given1x1 = phaseFieldArgument(phase1x1, Binning::unbinned, "phase_1x1");
    const auto given2x2 = phaseFieldArgument(phase2x2, Binning::binned2x2, "phase_2x2");
    PhaseFields fields;
    if (const auto failure = caughtFailure([&] { fields = phaseFieldsFrom(given1x1, given2x2, settingsFile, check); }))
        raiseError(*failure);
    return fields;
}

/// The outcome of a one-file batch, as it is handed over.
class OneFile : public BatchObserver {
public:
    bool imageDone(std::size_t, ImageResult& result) override
    {
        outcome = std::move(result.outcome);
        return true;
    }
    ImageOutcome outcome;
};

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
    settings.amplitude = amplitude;
    settings.jobs = 1;
    // A pipeline corrects many frames of one folder at once, each call alone: none
    // keeps the journal of a run, whose lines several calls at once would mix.
    settings.keepJournal = false;

    const fs::path folder = outputDir ? *outputDir : defaultOutputFolder(input);
    OutputPlan plan(overwrite, folder, {input});
    plan.replaceOutputs(replaceOutputs);
    const fs::path output = plan.outputFor(input);
    ImageOutcome outcome;
    {
        py::gil_scoped_release release;
        // Frames of one thread share a buffer: fresh pages for every frame cost about
        // as much as reading it.
        thread_local PixelBuffer<float> pixels;
        std::optional<MadeFolder> made;
        if (!overwrite)
            made.emplace(folder);
        if (made && made->failure()) {
            outcome.result = ImageOutcome::Result::failed;
            outcome.message = *made->failure();
        } else {
            std::vector<PixelBuffer<float>> ready;
            ready.push_back(std::move(pixels));
            BatchRun batch({input}, std::move(plan), std::move(settings), std::move(ready));
            OneFile one;
            batch.run(one);
            if (auto left = batch.takePixels(); !left.empty())
                pixels = std::move(left.front());
            outcome = std::move(one.outcome);
            if (made)
                made->removeIfEmpty();
            // The window's rule fails the measurement at a NaN sample; the outcome says
            // so in the words of correct (the buffer still holds the samples read).
            if (outcome.result == ImageOutcome::Result::failed && outcome.measured == false &&
                amplitude.typed == 0 && outcome.message.starts_with(messages::invalidOperation)) {
                HiddenNaN nan;
                nan.hide(pixels);
                if (nan.count() != 0)
                    outcome.message = nanSamplesText(nan.count());
            }
        }
    }
    nameRemedies(outcome, where.settingsFile);
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
    const fs::path folder = outputDir ? *outputDir : defaultOutputFolder(inputs.front());
    OutputPlan plan(overwrite, folder, inputs);
    plan.replaceOutputs(replaceOutputs);
    for (const fs::path& input : inputs) {
        const fs::path output = plan.outputFor(input);
        py::object refused = py::none();
        if (const auto refusal = plan.claim(input)) {
            ImageOutcome outcome = refusedInput(*refusal);
            nameRemedy(outcome, argumentWords());
            refused = outcomeRecord(outcome, {}, input, std::nullopt);
        }
        planned.append(py::reinterpret_borrow<py::object>(records.planned)(systemText(input.string()),
                                                                           systemText(output.string()), refused));
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
                images.push_back(pathArgument(item.attr(field), "outcomes"));
        const ImageOutcome outcome = outcomeFromRecord(item);
        // The measured results, as kestrel-cli --csv records them.
        if (!outcome.handed() || !outcome.measured)
            continue;
        if (item.attr("input").is_none())
            throw py::value_error("outcomes: the outcome of an array names no file; only those of correct_file "
                                  "go into a results file");
        entries.push_back(resultsEntry(pathArgument(item.attr("input"), "outcomes").filename().string(), outcome));
    }
    // The file is checked also when there is nothing to append: a script may check it
    // before any frame is touched.
    std::optional<TargetProblem> found;
    std::optional<std::string> failure;
    {
        py::gil_scoped_release release;
        // kestrel-cli's rule for --csv: a file named wrongly is a ValueError, one that
        // can never be written there (a folder, a missing folder, write-protected) a
        // kestrel.Error, both before anything is appended.
        found = resultsFileProblem(csv, images, {}, {"", "the image"});
        if (!found && !entries.empty())
            failure = caughtFailure([&] { appendResultsCsv(csv, entries); });
    }
    if (found && found->usage)
        throw py::value_error("path: " + found->message);
    if (found)
        raiseError(found->message);
    if (failure)
        raiseError(*failure);
    return entries.size();
}

// ---- Documentation -----------------------------------------------------------------

constexpr const char* moduleDoc = R"doc(Kestrel's band correction for Python pipelines, bit for bit as kestrel-cli.

    >>> import kestrel
    >>> frame = kestrel.read("night/frame1.fits")
    >>> fixed, outcome = kestrel.correct(frame.data, 8, pixinsight=frame.pixinsight)

Kestrel removes the faint vertical banding of KAI-11000M frames: columns come in
groups that are alternately a little brighter and a little darker, repeating every
32 columns (16 when 2x2-binned). This module calls the same steps and kernels as
kestrel-cli, so a frame comes out bit for bit the same either way.

Arrays: images are 2-D NumPy arrays of shape (rows, columns): float32 samples for a
correction, uint16 samples for the phase search, in either byte order ('<f4', '>f4',
'<u2', '>u2'), with any strides, read-only or not. No other dtype is converted (a
float64 array would have to be rounded): TypeError says so. Samples are in ADU, or in
0..1 with pixinsight=True. An astropy CCDData in ADU or electrons goes into correct
and measure as well.

Outcomes hold None where the window shows a mark: no amplitude for a frame not
corrected, no temperature without CCD-TEMP, no background where it could not be
measured; numpy.array(values, float) makes them NaN.

Threads: the work runs without the GIL, so a thread pool over frames uses every core.
Each thread keeps a frame's buffer from call to call (tens of megabytes), as fresh
memory for every frame costs about as much as the work on it.

Failures of Kestrel's own (a measurement that fails, a file that cannot be read) raise
kestrel.Error with Kestrel's message; a missing file, one that may not be read and
other failures of the system raise MissingFileError, FilePermissionError and
FileSystemError, which are also FileNotFoundError, PermissionError and OSError; bad
arguments raise TypeError or ValueError.
)doc";

constexpr const char* readDoc = R"doc(Reads a FITS image as Kestrel reads it.

Parameters
----------
path : str, bytes or os.PathLike
    The file. Bytes go to the system as they are; a str is encoded as os.fsencode
    does.

Returns
-------
Frame
    cards: the header cards before END, 80 characters each (bytes beyond ASCII read
    as Latin-1); data: the pixels (rows, columns) in this machine's byte order, as
    the file stores them: float32 for a 32-bit floating point image, uint16 for a
    16-bit unsigned one (BZERO applied); binning: '1x1', '2x2' or None; pixinsight:
    True for a PixInsight file, whose samples are 0..1; scale: 'normalised' for
    those, else 'adu'. Give data and pixinsight to correct or measure as they are.

Raises
------
MissingFileError
    The file is not there (also a FileNotFoundError).
FilePermissionError
    The system does not let it be read (also a PermissionError).
FileSystemError
    Any other failure of the system, its errno set (also an OSError).
Error
    The file has no readable header, is of another type or is cut short; the
    message names it.

Examples
--------
>>> frame = kestrel.read("night/frame1.fits")
>>> fixed, outcome = kestrel.correct(frame.data, 8, pixinsight=frame.pixinsight)
)doc";

constexpr const char* findPhaseDoc = R"doc(Finds the band phase of a 16-bit unsigned frame.

Parameters
----------
data : numpy.ndarray
    2-D uint16 array (rows, columns), '<u2' or '>u2', of a sensor width (4008 or
    4032 columns unbinned, 2004 or 2016 2x2-binned).
binning : {'1x1', '2x2', None}
    None takes it from the width; given, it must agree with the width.

Returns
-------
Phase
    The phase (the first column of a reference band, 0 to 31 or 0 to 15), the
    binning, its significance (the band contrast at that phase over its standard
    error; below 5 the phase does not stand out from the noise; None when it could
    not be measured, see contrast_failure), the score of every candidate phase, and
    the contrast, standard error and significance of every candidate.

Raises
------
TypeError, ValueError
    data is no such array, or binning disagrees with its width.
Error
    The search fails (an image without sky samples).

Examples
--------
>>> kestrel.find_phase(kestrel.read("raw.fits").data).phase
)doc";

constexpr const char* measureDoc = R"doc(Measures what correct would do to a frame, writing nothing.

Parameters
----------
data : numpy.ndarray or astropy.nddata.CCDData
    2-D float32 array (rows, columns), '<f4' or '>f4', of a sensor width, or a
    CCDData of one in ADU or electrons (its mask is not looked at).
phase : int
    0 to 32 unbinned, 0 to 16 2x2-binned (0 means the period); a NumPy integer too.
binning : {'1x1', '2x2', None}
    None takes it from the width.
amplitude : float, astropy Quantity or None
    None measures it; else the ADU (above 0) to apply, or a Quantity in ADU (for a
    CCDData, in its unit).
estimator : {'standard', 'balanced'}
    'standard' as the window and kestrel-cli measure; 'balanced', which a sky
    gradient does not bias.
pixinsight : bool
    The samples are a PixInsight file's 0..1 ones (as Astropy and kestrel.read give
    them); they are measured in ADU, times 65535, as kestrel-cli does.
nan_policy : {'raise', 'ignore'}
    A NaN sample makes a measured amplitude fail, as in the window: 'raise' says how
    many there are; 'ignore' passes over them, as over samples below 0.

Returns
-------
Measurement
    Background, amplitude and estimator, the band profile before and after the
    correction with the columns and sample bound it reads, and the residual left at
    any phase, as kestrel-cli profile prints them.

Raises
------
TypeError, ValueError
    An argument it cannot take, a CCDData in a unit that is not a count among them.
Error
    The image cannot be measured, or holds NaN samples with nan_policy='raise'.

Examples
--------
>>> kestrel.measure(frame.data, 8).amplitude
)doc";

constexpr const char* correctDoc = R"doc(Corrects the banding of a frame in memory.

Parameters
----------
data, phase, amplitude, binning, estimator, pixinsight, nan_policy
    As for measure.
out : numpy.ndarray or None
    None for a new array, or a writeable float32 array of the same shape (either byte
    order, data itself included) that receives the corrected samples.
phase : int or 'auto'
    As for measure, or 'auto': the frame's own strongest phase, where its band stands
    out (significance 5 or more).
phase_check : bool
    True (the default) refuses a phase that the frame's own banding contradicts (it
    stands out at another phase, not half a period away): Error names both phases.
    False corrects at the given phase all the same.

Returns
-------
corrected : numpy.ndarray or astropy.nddata.CCDData
    The corrected samples bit for bit as kestrel-cli writes them into the corrected
    file (negative samples and NaN come back as 0, and with pixinsight=True the
    samples are back in 0..1). For a CCDData, a new CCDData with them and the same
    header, WCS, unit, mask and uncertainty, unchanged: the correction adds a level
    to the offset bands, which moves no star and changes no sample's noise.
outcome : Outcome
    What became of the frame; its temperature and exposure are None, as an array
    has no header.

Raises
------
TypeError, ValueError
    An argument it cannot take.
Error
    The image cannot be corrected, holds NaN samples with nan_policy='raise', or its
    banding contradicts the phase given; out is then left as it was.

Examples
--------
>>> fixed, outcome = kestrel.correct(fits.getdata("night/frame1.fits"), 8)
>>> ccd, outcome = kestrel.correct(CCDData.read("night/frame1.fits", unit="adu"), 8)
)doc";

constexpr const char* correctFileDoc = R"doc(Corrects one FITS file exactly as kestrel-cli correct does.

The corrected file appears whole or not at all, a link is written through, and an
original is never replaced without overwrite=True; a write-protected original never. A
file of its name already in the output folder is replaced only when it is an earlier
correction of the same file (the same header and size); any other is kept and the
file skipped, unless replace_outputs=True.

Parameters
----------
path : str, bytes or os.PathLike
    The file.
output_dir : str, bytes, os.PathLike or None
    Where the corrected file goes (made if missing); None: the folder kestrel inside
    the file's folder.
overwrite : bool
    Replace the file itself.
phase_1x1, phase_2x2 : int, 'auto' or None
    0 to 32 and 0 to 16; None takes 1x1phase or 2x2phase from the settings file
    kestx.ini that kestrel-cli reads (settings_file()); 'auto' takes each frame's
    own phase.
amplitude, estimator
    As for measure.
replace_outputs : bool
    Replace a file in the output folder that is no earlier correction of this one.
phase_check : bool
    As for correct: a contradicted phase gives an Outcome skipped as 'phase
    contradicted'.

Returns
-------
Outcome
    Whatever became of the file: a file that is skipped or fails is an outcome, as a
    line of kestrel-cli is (see its result and message). Its input and output are
    str, with surrogate escapes for bytes that are not UTF-8 (os.fsencode gives the
    name back). NaN samples with a measured amplitude fail it, its message saying
    how many there are.

Raises
------
TypeError, ValueError
    An argument it cannot take.
Error
    The settings file cannot be read.

Examples
--------
>>> kestrel.correct_file("night/frame2.fits", phase_1x1=8).result
'corrected'
)doc";

constexpr const char* planDoc = R"doc(Which outputs the files of one run may write, as kestrel-cli settles them.

Parameters
----------
paths : list of str, bytes or os.PathLike
    The files, in order.
output_dir : str, bytes, os.PathLike or None
    Where every file goes; None: the folder kestrel inside the first file's folder.
overwrite : bool
    Each file replaces itself.
replace_outputs : bool
    As for correct_file.

Returns
-------
list of Planned
    One per file, in order: its output, and refused, the skipped Outcome kestrel-cli
    gives it (the same as an earlier one, its output written by an earlier one, or
    replacing a file of the run without overwrite), or None when it may go ahead.
    Give those to correct_file with the same output_dir.

Raises
------
TypeError, ValueError
    An argument it cannot take.

Examples
--------
>>> [p.output for p in kestrel.plan(["a.fits", "b.fits"]) if p.refused is None]
)doc";

constexpr const char* appendResultsDoc = R"doc(Appends the measured outcomes to a results file, as kestrel-cli --csv does.

The outcomes of correct_file whose amplitude was measured become records in the format
of the window's Save Results (a new or empty file gets the header line first), in one
write that either appends them all or leaves the file as it was. The file is checked
by kestrel-cli's rule also when there is nothing to append, so append_results(path,
[]) checks a file before a run.

Parameters
----------
path : str, bytes or os.PathLike
    The results file.
outcomes : iterable of Outcome
    Outcomes of correct_file.

Returns
-------
int
    The number of records appended; with none, nothing is written.

Raises
------
TypeError
    outcomes is no list of Outcome.
ValueError
    The file is one of the outcomes' images, a FITS image or binary data, or an
    outcome is that of an array.
Error
    The file can never be written there (a folder, a missing folder, write-protected),
    or the append failed; the file is as it was.

Examples
--------
>>> kestrel.append_results("night.csv", outcomes)
)doc";

constexpr const char* settingsFileDoc = R"doc(The settings file kestx.ini whose phases correct_file takes when none is given.

Returns
-------
str
    That of the kestrel-cli built beside the module (a build folder, a portable copy),
    or, installed, that of an installed kestrel-cli: ~/.config/kestrel/kestx.ini (or
    $XDG_CONFIG_HOME/kestrel/kestx.ini).

Examples
--------
>>> kestrel.settings_file()
)doc";


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
        nameRemedies(result->outcome, moduleLocations().settingsFile, true);
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
    settings.batch.amplitude = amplitude;
    settings.batch.jobs = jobs;
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

constexpr const char* watchDoc = R"doc(Watches folders and yields an Outcome for each frame as it is corrected.

The rules of kestrel-cli watch: a frame (.fit, .fits, .fts) is taken once its header
and data unit are whole and nothing has written to it for settle seconds, corrected
into output_dir (default: kestrel/ inside its folder), and corrected again when it is
written again. The generator ends when no folder is left; closing it (or leaving the
loop) stops the watch after the frame in progress.

Parameters
----------
folders : str, bytes, os.PathLike or a list of them
    The folders watched.
output_dir, phase_1x1, phase_2x2, amplitude, estimator
    As for correct_file.
settle : float
    Seconds without a write before a frame is taken, 0 to 3600.
existing : {'correct', 'skip'}
    'correct' also takes the frames there without a correction yet, 'skip' only new
    ones.
poll : float or None
    Look at the folders every poll seconds instead of waiting for the system's news
    of them.
jobs : int
    Frames corrected at once; 0: one per core.

Yields
------
Outcome
    Each frame's, as correct_file gives it.

Raises
------
TypeError, ValueError
    An argument it cannot take.
Error
    The settings file cannot be read, or no folder can be watched.

Examples
--------
>>> for outcome in kestrel.watch("/data/tonight", phase_1x1=8):
...     print(outcome.input, outcome.result, outcome.amplitude)
)doc";
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
                                {"data", "The pixels, (rows, columns), as the file stores them: float32 or uint16."},
                                {"binning", "'1x1', '2x2', or None for a width of no binning."},
                                {"pixinsight", "True for a PixInsight file: give it as pixinsight to correct and measure."},
                                {"scale", "'adu' (samples in ADU) or 'normalised' (a PixInsight file's 0..1 samples)."}});
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
         {"result", "'corrected', 'failed' or 'skipped', as kestrel-cli's result line says."},
         {"skip", "Why it was not handed to a correction: 'unreadable', 'no header', 'not float', 'other width', "
                  "'bad phase', 'repeated', 'replaces input', 'keeps existing'; else None."},
         {"message", "Why it was skipped, or the failure's report; '' when corrected."},
         {"binning", "'1x1' or '2x2', once chosen, else None."},
         {"phase", "The phase it was corrected at, once chosen, else None."},
         {"background", "The background level, ADU, or None when it was not (or could not be) measured."},
         {"amplitude", "The amplitude added to the offset bands, ADU, or None when none was."},
         {"measured", "True when the amplitude was measured, False when typed."},
         {"estimator", "'standard', 'balanced', 'typed', or None."},
         {"temperature", "CCD-TEMP in degrees Celsius as the header gives it, or None when it gives none."},
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
    m.def("_settings_file", [] { return systemText(moduleLocations().settingsFile.string()); });
    py::class_<ModuleWatch>(m, "_Watch").def("next", &ModuleWatch::next).def("stop", &ModuleWatch::stop);
    m.def("_watch", &startWatch);
    py::exec(R"py(
import builtins as _builtins
import errno as _errno
import os as _os


class MissingFileError(Error, _builtins.FileNotFoundError):
    """A file that is not there (errno ENOENT or ENOTDIR); also a FileNotFoundError."""


class FilePermissionError(Error, _builtins.PermissionError):
    """A file the system does not let Kestrel read or write; also a PermissionError."""


class FileSystemError(Error, _builtins.OSError):
    """Any other failure of the system with a file, its errno set; also an OSError."""


for _class in (MissingFileError, FilePermissionError, FileSystemError):
    _class.__module__ = "kestrel"


def _system_error(number, message, filename):
    if number in (_errno.ENOENT, _errno.ENOTDIR):
        kind = MissingFileError
    elif number in (_errno.EACCES, _errno.EPERM):
        kind = FilePermissionError
    else:
        kind = FileSystemError
    return kind(number, _os.strerror(number), filename)


def _amplitude(amplitude, data_unit=None):
    # An astropy Quantity: in ADU (astropy.units.adu), as Kestrel measures it, or in the
    # unit of the CCDData it corrects.
    unit = getattr(amplitude, "unit", None)
    if unit is None or not hasattr(amplitude, "to_value"):
        return amplitude
    from astropy import units
    wanted = units.adu if data_unit is None else data_unit
    try:
        return float(amplitude.to_value(wanted))
    except units.UnitConversionError:
        target = "ADU (astropy.units.adu)" if data_unit is None else f"{data_unit}, the unit of the data"
        raise TypeError(f"amplitude: {amplitude!r} is in {unit}, not in {target}") from None


def _ccd_data(data):
    # Known by its class, so that the module needs no astropy until it is given one.
    return any(kind.__name__ == "CCDData" and kind.__module__.startswith("astropy.") for kind in type(data).__mro__)


def _counts(ccd, amplitude):
    from astropy import units
    if ccd.unit not in (units.adu, units.electron):
        raise TypeError(f"data: a CCDData in {ccd.unit}; Kestrel corrects counts, in ADU or electrons "
                        "(astropy.units.adu, astropy.units.electron)")
    return ccd.data, _amplitude(amplitude, ccd.unit)


def _corrected_ccd(ccd, samples):
    # The header, WCS, unit, mask and uncertainty as they were: adding a constant to the
    # offset bands moves no star and changes no sample's noise.
    import copy
    return type(ccd)(samples, unit=ccd.unit, meta=copy.deepcopy(ccd.meta), wcs=copy.deepcopy(ccd.wcs),
                     mask=None if ccd.mask is None else ccd.mask.copy(), uncertainty=copy.deepcopy(ccd.uncertainty),
                     flags=copy.deepcopy(ccd.flags), psf=copy.deepcopy(getattr(ccd, "psf", None)))


def read(path):
    return _read(path)

def find_phase(data, binning=None):
    return _find_phase(data, binning)

def measure(data, phase, binning=None, amplitude=None, *, estimator="standard", pixinsight=False,
            nan_policy="raise"):
    if _ccd_data(data):
        data, amplitude = _counts(data, amplitude)
    return _measure(data, phase, binning, _amplitude(amplitude), estimator, pixinsight, nan_policy)

def correct(data, phase, amplitude=None, binning=None, out=None, *, estimator="standard", pixinsight=False,
            nan_policy="raise", phase_check=True):
    if _ccd_data(data):
        samples, typed = _counts(data, amplitude)
        fixed, outcome = _correct(samples, phase, typed, binning, out, estimator, pixinsight, nan_policy, phase_check)
        return _corrected_ccd(data, fixed), outcome
    return _correct(data, phase, _amplitude(amplitude), binning, out, estimator, pixinsight, nan_policy, phase_check)

def correct_file(path, output_dir=None, overwrite=False, phase_1x1=None, phase_2x2=None, amplitude=None, *,
                 estimator="standard", replace_outputs=False, phase_check=True):
    return _correct_file(path, output_dir, overwrite, phase_1x1, phase_2x2, _amplitude(amplitude), estimator,
                         replace_outputs, phase_check)

def plan(paths, output_dir=None, overwrite=False, *, replace_outputs=False):
    return _plan(paths, output_dir, overwrite, replace_outputs)

def append_results(path, outcomes):
    return _append_results(path, outcomes)

def settings_file():
    return _settings_file()

def watch(folders, output_dir=None, phase_1x1=None, phase_2x2=None, amplitude=None, *, estimator="standard",
          settle=2.0, existing="correct", poll=None, jobs=0, phase_check=True):
    w = _watch(folders, output_dir, phase_1x1, phase_2x2, _amplitude(amplitude), estimator, settle, existing, poll,
               jobs, phase_check)
    try:
        while (outcome := w.next()) is not None:
            yield outcome
    finally:
        w.stop()
)py",
             m.attr("__dict__"));
    for (const auto& [name, doc] : {std::pair{"read", readDoc}, {"find_phase", findPhaseDoc}, {"measure", measureDoc},
                                    {"correct", correctDoc}, {"correct_file", correctFileDoc}, {"plan", planDoc},
                                    {"append_results", appendResultsDoc}, {"settings_file", settingsFileDoc},
                                    {"watch", watchDoc}})
        m.attr(name).attr("__doc__") = doc;
    systemErrorMaker = py::object(m.attr("_system_error")).release();
}
