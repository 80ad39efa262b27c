#include "app/batch.h"

#include "core/numbers.h"
#include "correction/correction.h"

namespace kestrel {

bool readImageHeader(Workspace& ws, const std::filesystem::path& input)
{
    if (!loadFitsHeader(ws, input))
        return false;
    ws.pixInsightImage = pixInsightFile(ws);
    ws.imageWidth = getFitsInteger(ws, "NAXIS1");
    ws.imageHeight = getFitsInteger(ws, "NAXIS2");
    return true;
}

FileOutcome correctLoadedImage(Workspace& ws, const std::string& phase1x1, const std::string& phase2x2,
                               std::string* entryBinning)
{
    if (getTypeofFile(ws) != typeFloat32) {
        ws.fitsFile.close();
        ws.host.errorBox("Kestrel only uses 32-bit floating point FITS images.");
        return FileOutcome::notFloat;
    }
    const bool unbinned = unbinnedWidth(ws.imageWidth);
    if (!unbinned && !binnedWidth(ws.imageWidth)) {
        ws.fitsFile.close();
        return FileOutcome::otherWidth;
    }
    ws.binning = unbinned ? "1x1" : "2x2";
    if (entryBinning)
        *entryBinning = ws.binning;
    const auto phase = parseInteger(unbinned ? phase1x1 : phase2x2);
    ws.conversionCode = phase.status;
    if (!phase.ok()) {
        ws.fitsFile.close();
        ws.host.errorBox(ws.binning + " Phase is not an integer.");
        return FileOutcome::badPhase;
    }
    ws.phase = phase.value != 0 ? phase.value : (unbinned ? 32 : 16);
    if (unbinned)
        fixFloat32Columns(ws, ws.outputFileName);
    else
        fixFloat32Columns2x2(ws, ws.outputFileName);
    return FileOutcome::handed;
}

FileOutcome correctFile(Workspace& ws, const std::filesystem::path& input, const std::string& phase1x1,
                        const std::string& phase2x2, std::string* entryBinning)
{
    if (!readImageHeader(ws, input))
        return FileOutcome::noHeader;
    return correctLoadedImage(ws, phase1x1, phase2x2, entryBinning);
}

} // namespace kestrel
