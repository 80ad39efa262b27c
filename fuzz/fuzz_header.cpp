// Any bytes as a FITS file: the header reader, the keyword queries, the type tests and
// the float loader must neither crash nor hang, and never leave the file open after a
// header that did not end.
#include "fits/workspace.h"
#include "fuzz/null_host.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

// One input file per fuzzing process, in memory where the system offers it.
struct InputFile {
    std::filesystem::path path;
    InputFile()
    {
        const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : P_tmpdir;
        path = std::filesystem::path(folder) / ("kestrel-fuzz-header-" + std::to_string(::getpid()) + ".fits");
    }
    ~InputFile() { std::remove(path.c_str()); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    using namespace kestrel;
    static const InputFile input;
    const std::filesystem::path& path = input.path;
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        std::abort();
    }

    fuzzing::NullHost host;
    Workspace ws(host);
    const bool ended = loadFitsHeader(ws, path);
    if (ws.image.rawHeader.size() % 36 != 0 || ws.image.headerCards.size() > ws.image.rawHeader.size())
        std::abort();
    if (!ended && ws.fitsFile.isOpen())
        std::abort();

    for (const char* keyword : {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "BZERO", "BSCALE", "naxis1", "END", ""}) {
        fitsKeywordPresent(ws, keyword);
        getFitsInteger(ws, keyword);
        getFitsDouble(ws, keyword);
    }
    const std::int32_t type = getTypeofFile(ws);
    if (type != 0 && type != typeUnsigned16 && type != typeFloat32 && type != typeSigned16)
        std::abort();
    ws.image.pixInsightImage = pixInsightFile(ws);
    getTemp(ws);
    getExposure(ws);

    if (ended) {
        ws.image.imageWidth = getFitsInteger(ws, "NAXIS1");
        const bool loaded = type == typeUnsigned16 || type == typeSigned16 ? loadAllImageDataInt16(ws)
                                                                            : loadAllImageDataFloat32(ws);
        (void)loaded;
        if (ws.fitsFile.isOpen())
            std::abort();
        // Views of the header's size over whatever was loaded: refused as a range
        // failure when the samples are fewer, never read past them.
        try {
            (void)ws.image.floatImage();
            (void)ws.image.int16Image();
        } catch (const kestrel::Failure&) {
        }
    }
    return 0;
}
