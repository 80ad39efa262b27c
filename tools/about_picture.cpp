// Renders the picture of the About dialog: a twilight sky over a dark horizon, a few
// stars, faint vertical bands fading out to the right (what Kestrel removes) and a
// kestrel hovering. Writes a 245 x 215 colour JPEG.
//   about-picture OUTPUT.jpg
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <random>
#include <vector>

namespace {

constexpr int width = 245;
constexpr int height = 215;

struct Rgb {
    float r, g, b;
};

Rgb mix(Rgb a, Rgb b, float t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

struct Point {
    float x, y;
};

bool insidePolygon(const std::vector<Point>& polygon, float x, float y)
{
    bool inside = false;
    for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
        const Point a = polygon[i], b = polygon[j];
        if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x)
            inside = !inside;
    }
    return inside;
}

// The hovering bird: body, head, two raised wings and a fanned tail.
bool insideBird(float x, float y)
{
    const float cx = 170, cy = 92;
    const float dx = x - cx, dy = y - cy;
    if ((dx * dx) / (7.0f * 7.0f) + (dy * dy) / (20.0f * 20.0f) < 1.0f)
        return true;
    if (std::hypot(x - cx, y - (cy - 22)) < 6.5f)
        return true;
    static const std::vector<Point> leftWing = {{cx - 4, cy - 10}, {cx - 30, cy - 34}, {cx - 62, cy - 40},
                                                {cx - 44, cy - 26}, {cx - 58, cy - 22}, {cx - 30, cy - 12},
                                                {cx - 4, cy + 2}};
    static const std::vector<Point> rightWing = {{cx + 4, cy - 10}, {cx + 30, cy - 34}, {cx + 62, cy - 40},
                                                 {cx + 44, cy - 26}, {cx + 58, cy - 22}, {cx + 30, cy - 12},
                                                 {cx + 4, cy + 2}};
    static const std::vector<Point> tail = {{cx - 5, cy + 14}, {cx + 5, cy + 14}, {cx + 13, cy + 44},
                                            {cx - 13, cy + 44}};
    return insidePolygon(leftWing, x, y) || insidePolygon(rightWing, x, y) || insidePolygon(tail, x, y);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: about-picture OUTPUT.jpg\n");
        return 2;
    }
    std::mt19937 rng(2017);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    std::vector<Rgb> image(width * height);

    const Rgb zenith{8, 14, 48}, horizon{180, 90, 60}, ground{12, 10, 16};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const float t = std::pow(static_cast<float>(y) / (height - 40), 1.6f);
            Rgb c = y < height - 40 ? mix(zenith, horizon, std::min(t, 1.0f)) : ground;
            // Faint bands every 16 columns, fading out to the right.
            const float fade = std::max(0.0f, 1.0f - static_cast<float>(x) / 120.0f);
            if ((x / 8) % 2 == 0 && y < height - 40) {
                c.r += 10 * fade;
                c.g += 10 * fade;
                c.b += 14 * fade;
            }
            image[y * width + x] = c;
        }
    for (int s = 0; s < 140; ++s) {
        const int x = static_cast<int>(uniform(rng) * width);
        const int y = static_cast<int>(uniform(rng) * (height - 70));
        const float b = 120 + 135 * uniform(rng);
        image[y * width + x] = {b, b, std::min(255.0f, b + 20)};
    }
    // Horizon ridge.
    for (int x = 0; x < width; ++x) {
        const int ridge = height - 40 - static_cast<int>(8 + 6 * std::sin(x * 0.05f) + 4 * std::sin(x * 0.13f));
        for (int y = ridge; y < height - 40; ++y)
            image[y * width + x] = ground;
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (insideBird(static_cast<float>(x), static_cast<float>(y)))
                image[y * width + x] = {20, 14, 10};

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, out);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(width * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < width; ++x) {
            const Rgb c = image[y * width + x];
            row[3 * x] = static_cast<JSAMPLE>(std::clamp(c.r, 0.0f, 255.0f));
            row[3 * x + 1] = static_cast<JSAMPLE>(std::clamp(c.g, 0.0f, 255.0f));
            row[3 * x + 2] = static_cast<JSAMPLE>(std::clamp(c.b, 0.0f, 255.0f));
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return std::fclose(out) == 0 ? 0 : 1;
}
