// Writes realistic banded 32-bit float frames for the command-line benchmark: a sky
// level with a gradient, noise, a few stars and a band of known amplitude and phase.
//   kestrel-make-frames FOLDER COUNT [WIDTH HEIGHT]
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

std::string card(const std::string& text)
{
    std::string c = text.substr(0, 80);
    c.resize(80, ' ');
    return c;
}

std::string valueCard(const std::string& keyword, const std::string& value)
{
    std::string k = keyword;
    k.resize(8, ' ');
    std::string v = value;
    if (v.size() < 20)
        v.insert(0, 20 - v.size(), ' ');
    return card(k + "= " + v);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: kestrel-make-frames FOLDER COUNT [WIDTH HEIGHT]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const int count = std::stoi(argv[2]);
    const int width = argc == 5 ? std::stoi(argv[3]) : 4008;
    const int height = argc == 5 ? std::stoi(argv[4]) : 2672;
    const int period = width >= 4008 ? 32 : 16;
    std::filesystem::create_directories(folder);

    for (int f = 0; f < count; ++f) {
        std::mt19937 rng(static_cast<unsigned>(1234 + f));
        std::normal_distribution<float> noise(0.0f, 12.0f);
        std::uniform_int_distribution<int> place(0, width * height - 1);
        std::vector<float> pixels(static_cast<std::size_t>(width) * height);
        for (int row = 0; row < height; ++row)
            for (int col = 0; col < width; ++col) {
                const float sky = 1200.0f + 0.05f * col + 0.03f * row;
                const int position = ((col - 8) % period + period) % period;
                const float band = position < period / 2 ? 6.5f : 0.0f;
                pixels[static_cast<std::size_t>(row) * width + col] = sky + band + noise(rng);
            }
        for (int s = 0; s < 300; ++s)
            pixels[static_cast<std::size_t>(place(rng))] = 30000.0f + static_cast<float>(s * 100);

        std::string header;
        header += valueCard("SIMPLE", "T");
        header += valueCard("BITPIX", "-32");
        header += valueCard("NAXIS", "2");
        header += valueCard("NAXIS1", std::to_string(width));
        header += valueCard("NAXIS2", std::to_string(height));
        header += valueCard("EXPTIME", "300");
        header += valueCard("CCD-TEMP", "-20.0");
        header += card("END");
        header.resize((header.size() + 2879) / 2880 * 2880, ' ');

        std::string data(pixels.size() * 4, '\0');
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const auto u = std::bit_cast<std::uint32_t>(pixels[i]);
            data[4 * i] = static_cast<char>(u >> 24);
            data[4 * i + 1] = static_cast<char>(u >> 16);
            data[4 * i + 2] = static_cast<char>(u >> 8);
            data[4 * i + 3] = static_cast<char>(u);
        }
        data.resize((data.size() + 2879) / 2880 * 2880, '\0');
        std::ofstream out(folder / ("frame" + std::to_string(f + 1) + ".fits"), std::ios::binary);
        out << header << data;
        if (!out) {
            std::fprintf(stderr, "kestrel-make-frames: cannot write into %s\n", folder.c_str());
            return 1;
        }
    }
    return 0;
}
