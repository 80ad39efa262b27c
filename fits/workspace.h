// The image workspace: the one image that the FITS routines, the band analysis and the
// correction share, and the FITS routines that fill and query it. This is the chief
// header of fits/.
//
// Routines report their own failures through the workspace's host and return plain
// results, as each one's comment says; expected outcomes (a header without END, a
// missing keyword) are results, not failures.
#pragma once

#include "core/failure.h"
#include "core/host.h"
#include "core/image_view.h"
#include "fits/fits_file.h"
#include "fits/image.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

enum class SampleType { int16, float32 };

/// Image type codes of getTypeofFile.
inline constexpr std::int32_t typeUnsigned16 = 1;
inline constexpr std::int32_t typeFloat32 = 2;
inline constexpr std::int32_t typeSigned16 = 4;

/// A header that has not ended after this many records is taken as one without END,
/// so a large file that is not FITS is never read whole into memory.
inline constexpr int maxHeaderRecords = 10000;

/// The image being read: the file it comes from, the image itself, and the host that
/// shows what the routines report. One workspace holds one image at a time; reading the
/// next file overwrites it. Files treated at the same time each have their own.
class Workspace {
public:
    explicit Workspace(Host& host) : host(host) {}
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    Host& host;
    FitsFile fitsFile; // open from the header read until the pixels are loaded
    Image image;
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

/// Why the primary HDU is not one image Kestrel can read, naming the keyword: a
/// structural keyword (BITPIX, NAXIS, NAXISn) given twice, an NAXISn missing, not an
/// integer or not a size, more than one image plane, or no image at all (with the image
/// in an extension, which it looks for at the file's position). Empty when it is one.
std::string primaryImageReason(Workspace& ws);
/// Why a float image's samples are not its values (BSCALE not 1, BZERO not 0); empty
/// when they are.
std::string scaledFloatReason(Workspace& ws);
/// Why a file has no FITS header, from the first bytes read: gzip-compressed, or none.
std::string noHeaderReason(const Image& image);

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

/// A PixInsight image's 0..1 samples in the units of other images: each times 65535,
/// rounded to single, as the load does. A finite sample that overflows is a failure.
void scaleFromPixInsight(std::span<float> samples);

} // namespace kestrel
