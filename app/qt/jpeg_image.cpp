#include "app/qt/jpeg_image.h"

#include "core/failure.h"

// jpeglib.h uses FILE and size_t without including their headers.
#include <cstddef>
#include <cstdio>
#include <csetjmp>
#include <string>

#include <jpeglib.h>

namespace kestrel {
namespace {

/// libjpeg reports errors through a handler that must not return; its default one
/// ends the whole program. Ours jumps back to the decode with the message noted.
struct ErrorTrap {
    jpeg_error_mgr manager;
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
};

extern "C" void jumpBack(j_common_ptr info)
{
    auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
    info->err->format_message(info, trap->message);
    std::longjmp(trap->back, 1);
}

/// Warnings (a cut file, corrupt data) are noted for the decode to fail on afterwards,
/// and the first one's text kept: libjpeg would otherwise pad the picture silently.
extern "C" void noteWarning(j_common_ptr info, int level)
{
    if (level >= 0)
        return;
    auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
    if (info->err->num_warnings++ == 0)
        info->err->format_message(info, trap->message);
}

enum class Outcome { decoded, failed, tooLarge };

/// The decode proper. libjpeg jumps back here past no C++ object: the output buffer
/// belongs to the caller and is sized only between libjpeg calls.
Outcome decode(std::span<const std::uint8_t> bytes, std::size_t maxPixels, RgbImage& out, ErrorTrap& trap)
{
    jpeg_decompress_struct info;
    info.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = jumpBack;
    trap.manager.emit_message = noteWarning;
    trap.message[0] = '\0';
    if (setjmp(trap.back)) {
        jpeg_destroy_decompress(&info);
        return Outcome::failed;
    }

    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);

    const std::size_t width = info.output_width, height = info.output_height;
    if (info.output_components != 3 || width == 0 || height == 0 || width * height > maxPixels) {
        jpeg_destroy_decompress(&info);
        return Outcome::tooLarge;
    }
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    try {
        out.rgb.assign(width * height * 3, 0);
    } catch (...) {
        jpeg_destroy_decompress(&info);
        throw;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.rgb.data() + std::size_t{info.output_scanline} * width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return trap.manager.num_warnings == 0 ? Outcome::decoded : Outcome::failed;
}

} // namespace

RgbImage decodeJpeg(std::span<const std::uint8_t> bytes, std::size_t maxPixels)
{
    if (bytes.empty())
        throw Failure("The picture is empty: no JPEG data");
    RgbImage image;
    ErrorTrap trap;
    switch (decode(bytes, maxPixels, image, trap)) {
    case Outcome::decoded:
        return image;
    case Outcome::tooLarge:
        throw Failure("The picture is too large to show");
    case Outcome::failed:
        break;
    }
    throw Failure(std::string("The picture is not a readable JPEG image (") + trap.message + ")");
}

} // namespace kestrel
