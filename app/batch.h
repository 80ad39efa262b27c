// One file of a batch correction: the steps between choosing the file and handing it
// to the band correction. The window's run and the command-line tool both call them,
// so a file corrected either way comes out byte for byte the same.
#pragma once

#include "fits/workspace.h"

#include <filesystem>
#include <string>

namespace kestrel {

enum class FileOutcome {
    handed,     // given to the band correction (which may still have marked it Failed)
    noHeader,   // no readable header: nothing done
    notFloat,   // not 32-bit floating point: reported, skipped
    otherWidth, // not a sensor width we know: skipped without a message
    badPhase    // the phase field for its binning is not a whole number: reported
};

/// Reads the header and the image's PixInsight mark and size. False when the header
/// cannot be read; a file that cannot be opened throws.
bool readImageHeader(Workspace& ws, const std::filesystem::path& input);

/// Checks type and width of the image whose header was just read, picks the binning
/// and the phase from the phase field texts (0 means 32, or 16 when binned), and
/// corrects it into ws.outputFileName. Sets `entryBinning` when it is given.
FileOutcome correctLoadedImage(Workspace& ws, const std::string& phase1x1, const std::string& phase2x2,
                               std::string* entryBinning = nullptr);

/// Both steps for one file.
FileOutcome correctFile(Workspace& ws, const std::filesystem::path& input, const std::string& phase1x1,
                        const std::string& phase2x2, std::string* entryBinning = nullptr);

/// Widths of the sensor, read out unbinned and 2x2-binned.
inline bool unbinnedWidth(std::int32_t width) { return width == 4008 || width == 4032; }
inline bool binnedWidth(std::int32_t width) { return width == 2004 || width == 2016; }

} // namespace kestrel
