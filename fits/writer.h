// The corrected image's writer: floatPixels and the header as a FITS file that appears
// whole or not at all, through core/whole_file. Apart from fits/workspace.h, so that the
// layers that measure and correct an image know nothing of files being written.
#pragma once

#include "core/whole_file.h"
#include "fits/image.h"
#include "fits/workspace.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <span>

namespace kestrel {

/// How a written file reaches its place. Empty: saveFloat32Fits flushes it to the disk
/// and renames it into place before it returns. Otherwise the writer hands the pending
/// step to the strategy, which runs it later on any thread: it throws a Failure as the
/// writer would, and leaves nothing behind when it is dropped unrun. A run that treats
/// several images at once goes on with the next image meanwhile.
using CommitStrategy = std::function<void(std::function<void()> commit)>;

/// Writes rawHeader and floatPixels (scaled or clamped in place) as a FITS file that
/// appears whole or not at all (core/whole_file), keeping an existing file's owner and
/// permissions and writing through a link. Throws a Failure on any problem, with no file
/// left behind.
void saveFloat32Fits(Workspace& ws, const std::filesystem::path& fileName, const CommitStrategy& commit = {});
/// The same into a writer opened before (whose checks of the destination have passed).
void saveFloat32Fits(Image& image, std::shared_ptr<WholeFileWriter> out, const CommitStrategy& commit = {});

/// The samples as saveFloat32Fits leaves them in the image and writes them, without a
/// file: a PixInsight image's divided by 65535, any other's negative samples and NaN set
/// to 0 (negative zero and infinities kept).
void samplesAsWritten(std::span<float> samples, bool pixInsight);

} // namespace kestrel
