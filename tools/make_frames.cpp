// Writes realistic banded frames: a sky level with a gradient, noise, a few stars and
// a band of known amplitude (6.5 ADU unless --band says otherwise, 0 for a frame
// without banding) and phase (8, or --phase), as 32-bit float images or, with
// --uint16, as 16-bit unsigned images for the phase finder. For the command-line
// benchmark, the manual's figures and the tests of the plots.
//   kestrel-make-frames [--uint16] [--band A] [--phase P] FOLDER COUNT [WIDTH HEIGHT]
//   (--help says more)
#include "core/standard_descriptors.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
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

constexpr const char* usage =
    "usage: kestrel-make-frames [--uint16] [--band A] [--phase P] FOLDER COUNT [WIDTH HEIGHT]\n";

// What the frames hold, so that a test or a reader of the manual knows the answers.
constexpr const char* help =
    "\n"
    "Writes COUNT synthetic banded frames, frame1.fits to frameCOUNT.fits, into\n"
    "FOLDER (made if missing), for the benchmarks, the manual and the tests. Each\n"
    "frame, WIDTH x HEIGHT samples (default 4008 x 2672), holds:\n"
    "  sky    1200 ADU, rising by 0.05 ADU a column and 0.03 ADU a row\n"
    "  noise  Gaussian, standard deviation 12 ADU, the same for every run\n"
    "  stars  300 samples of 30000 ADU and more, at random places\n"
    "  band   A ADU (default 6.5) added to the brighter half of every period,\n"
    "         which begins at column P (default 8): period 32 columns when WIDTH\n"
    "         is 4008 or more (unbinned), else 16 columns (2x2-binned)\n"
    "The header gives EXPTIME 300 and CCD-TEMP -20.0. The samples are 32-bit floats\n"
    "(BITPIX -32), as calibrated light frames are.\n"
    "\n"
    "  --uint16    write raw 16-bit unsigned frames instead (BITPIX 16, BZERO\n"
    "              32768), rounded and held within 0 to 65535, for the phase finder\n"
    "  --band A    the band's amplitude in ADU; 0 for a frame without banding\n"
    "  --phase P   the first column of the brighter band\n"
    "  -h, --help  print this help and exit\n";

int number(const std::string& text)
{
    std::size_t used = 0;
    const int n = std::stoi(text, &used);
    if (used != text.size() || n < 1)
        throw std::invalid_argument(text);
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    kestrel::ensureStandardDescriptors();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args.front() == "--help" || args.front() == "-h")) {
        std::printf("%s%s", usage, help);
        return 0;
    }
    bool uint16 = false;
    float bandAmplitude = 6.5f;
    int bandPhase = 8;
    while (!args.empty() && args.front().rfind("--", 0) == 0) {
        if (args.front() == "--uint16") {
            uint16 = true;
            args.erase(args.begin());
        } else if ((args.front() == "--band" || args.front() == "--phase") && args.size() > 1) {
            try {
                if (args.front() == "--band")
                    bandAmplitude = std::stof(args[1]);
                else
                    bandPhase = std::stoi(args[1]);
            } catch (const std::exception&) {
                std::fprintf(stderr, "%s", usage);
                return 2;
            }
            args.erase(args.begin(), args.begin() + 2);
        } else {
            break;
        }
    }
    int count = 0, width = 4008, height = 2672;
    try {
        if (args.size() != 2 && args.size() != 4)
            throw std::invalid_argument("arguments");
        count = number(args[1]);
        if (args.size() == 4) {
            width = number(args[2]);
            height = number(args[3]);
        }
    } catch (const std::exception&) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    const std::filesystem::path folder = args[0];
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
                const int position = ((col - bandPhase) % period + period) % period;
                const float band = position < period / 2 ? bandAmplitude : 0.0f;
                pixels[static_cast<std::size_t>(row) * width + col] = sky + band + noise(rng);
            }
        for (int s = 0; s < 300; ++s)
            pixels[static_cast<std::size_t>(place(rng))] = 30000.0f + static_cast<float>(s * 100);

        std::string header;
        header += valueCard("SIMPLE", "T");
        header += valueCard("BITPIX", uint16 ? "16" : "-32");
        header += valueCard("NAXIS", "2");
        header += valueCard("NAXIS1", std::to_string(width));
        header += valueCard("NAXIS2", std::to_string(height));
        if (uint16) {
            header += valueCard("BZERO", "32768");
            header += valueCard("BSCALE", "1");
        }
        header += valueCard("EXPTIME", "300");
        header += valueCard("CCD-TEMP", "-20.0");
        header += card("END");
        header.resize((header.size() + 2879) / 2880 * 2880, ' ');

        // Big-endian samples; 16-bit ones are stored less 32768, as BZERO says.
        const std::size_t bytes = uint16 ? 2 : 4;
        std::string data(pixels.size() * bytes, '\0');
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const std::uint32_t u =
                uint16 ? static_cast<std::uint32_t>(std::lround(std::clamp(pixels[i], 0.0f, 65535.0f))) - 32768u
                       : std::bit_cast<std::uint32_t>(pixels[i]);
            for (std::size_t b = 0; b < bytes; ++b)
                data[bytes * i + b] = static_cast<char>(u >> (8 * (bytes - 1 - b)));
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
