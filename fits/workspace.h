// The image workspace: the one image and the one run that every routine shares, and
// the FITS routines that fill and query it. This is the chief header of fits/.
//
// Routines report their own failures through the workspace's host and return plain
// results, as each one's comment says; expected outcomes (a header without END, a
// missing keyword) are results, not failures.
#pragma once

#include "core/failure.h"
#include "core/host.h"
#include "core/window_model.h"
#include "fits/fits_file.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

/// One header card as stored: exactly 80 bytes.
using Card = std::array<char, 80>;

/// One results entry per selected file.
struct tImageData {
    std::string image;    // file name without folder
    std::string binning;  // "1x1" or "2x2"
    std::int32_t ccdTemp = 0;
    std::int32_t exposure = 0;
    float amplitude = 0;
    bool measured = false; // the correction measured `amplitude` (it goes into the CSV)
};

enum class Binning { unbinned, binned2x2 };
enum class SampleType { int16, float32 };

/// Image type codes of getTypeofFile.
inline constexpr std::int32_t typeUnsigned16 = 1;
inline constexpr std::int32_t typeFloat32 = 2;
inline constexpr std::int32_t typeSigned16 = 4;

/// Amplitude that marks an image as not corrected ("Failed" in the grid).
inline constexpr double failedAmplitude = 9999;

/// A header that has not ended after this many records is taken as one without END,
/// so a large file that is not FITS is never read whole into memory.
inline constexpr int maxHeaderRecords = 10000;

class Workspace {
public:
    Workspace(Host& host, WindowModel& window) : host(host), window(window) {}
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    Host& host;
    WindowModel& window;
    /// Folder of the executable: settings file, results file, manual, notices.
    std::filesystem::path programFolder;

    // File and header.
    FitsFile fitsFile;
    std::vector<std::string> headerCards; // cards before END, 80 characters each
    std::vector<Card> rawHeader;          // every card of every header record read
    std::int32_t imageWidth = 0;
    std::int32_t imageHeight = 0;
    std::int32_t bzeroOffset = 0;
    bool pixInsightImage = false;

    // Pixel data, host byte order, row-major.
    std::vector<std::uint16_t> int16Pixels;
    std::vector<float> floatPixels;
    /// False when the last pixel load reported a failure.
    bool pixelLoadSucceeded = false;

    // Run state.
    std::vector<tImageData> imageResults;
    std::vector<double> amplitudes;
    std::int32_t fileCount = 0;
    std::string binning;
    std::int32_t phase = 0;
    double amplitudeSetting = 0;
    std::int32_t conversionCode = 0;
    bool cancelRequested = false;
    std::filesystem::path outputFolder;
    std::filesystem::path outputFileName;
    /// Where the writer hands a written file for its flush to disk and rename. Empty
    /// (the window): the writer does both before it returns. A run that treats several
    /// images at once sets it, so that a worker goes on with its next image while the
    /// disk catches up. The action throws a Failure as the writer would, and removes
    /// the temporary file unless it succeeds (also when it is dropped unrun).
    std::function<void(std::function<void()>)> deferCommit;

    // Per-image analysis values.
    double backgroundFlux = 0;
    std::int32_t ccdTemperature = 0;
    double amplitude = 0;
    std::vector<long double> columnMeans;
    std::vector<std::uint16_t> backgroundSamples16;
    std::vector<double> backgroundSamplesFloat;
    double sampleSum = 0;
    double sampleMean = 0;
    std::int32_t sampleCount = 0;
    std::int32_t sampleIndex = 0;
    std::int32_t bandCount = 0;

    // Online notices.
    std::vector<std::string> messageLines;
    std::string updateLink;
};

// ---- Header reader and keyword queries -------------------------------------------

/// Opens the file and reads its header into headerCards and rawHeader. True when an
/// END card was found; the file is then left open at the first byte of the data. False
/// for a header that ends early or has no END within maxHeaderRecords records (no box;
/// the file is closed). A file that cannot be opened throws, for the caller to report.
bool loadFitsHeader(Workspace& ws, const std::filesystem::path& fileName);

/// True when at least one card's keyword matches (case-insensitive, exact length).
bool fitsKeywordPresent(Workspace& ws, std::string_view keyword);
/// Last matching card's integer value; 0 when none matches or a value does not convert
/// (the scan stops at the first value that does not convert).
std::int32_t getFitsInteger(Workspace& ws, std::string_view keyword);
/// As getFitsInteger for reals; the default is 20000.0.
double getFitsDouble(Workspace& ws, std::string_view keyword);

// ---- Image type and acquisition metadata -----------------------------------------

bool float32File(Workspace& ws);
/// BITPIX 16 with BZERO 32767 or 32768 and BSCALE 1; sets bzeroOffset from BZERO.
bool unsigned16Bit(Workspace& ws);
bool signed16Bit(Workspace& ws);
/// 1 unsigned 16-bit, 2 float, 4 signed 16-bit, 0 anything else.
std::int32_t getTypeofFile(Workspace& ws);
/// True when the first PROGRAM card names PixInsight (float data normalised to 0..1).
bool pixInsightFile(Workspace& ws);
/// Last CCD-TEMP value; 20000.0 when missing or not a number.
double getTemp(Workspace& ws);
/// Last EXPOSURE or EXPTIME value rounded to whole seconds; 0 when missing.
std::int32_t getExposure(Workspace& ws);

// ---- Pixel data ------------------------------------------------------------------

/// Reads the rest of fitsFile into int16Pixels, shifted by bzeroOffset, and closes the
/// file on every path. False after a failure, which it reports in a plain box.
bool loadAllImageDataInt16(Workspace& ws);
/// Reads the rest of fitsFile into floatPixels (times 65535 for PixInsight images) and
/// closes the file on every path. False after a failure, reported in an error box.
bool loadAllImageDataFloat32(Workspace& ws);

/// Sample at `col + row * imageWidth`; an index outside the buffer shows the range
/// error box and gives 0.
std::uint16_t getPixelValueInt16(Workspace& ws, std::int32_t col, std::int32_t row);
double getPixelValueFloat(Workspace& ws, std::int32_t col, std::int32_t row);
void setPixelValueFloat(Workspace& ws, std::int32_t col, std::int32_t row, float value);

// ---- Corrected image writer ------------------------------------------------------

/// Writes rawHeader and floatPixels (scaled or clamped in place) as a FITS file. The
/// file appears whole or not at all: it is written to a temporary file beside the
/// destination, flushed to disk and renamed over it, keeping an existing file's
/// permissions. Throws a Failure on any problem, with no file left behind. With
/// deferCommit set, the flush and rename are handed to it instead.
void saveFloat32Fits(Workspace& ws, const std::filesystem::path& fileName);

} // namespace kestrel
