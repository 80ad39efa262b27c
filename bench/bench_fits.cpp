// Loading and writing a full-size float frame, against the floor of copying the same
// bytes with plain block reads and writes.
#include "fits/workspace.h"
#include "fits/writer.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

using namespace kestrel;
using namespace kestrel::testing;

constexpr int width = 4008;
constexpr int height = 2672;

// A sky background with noise and the faint 32-column banding the program removes.
std::filesystem::path makeFrame(const TempDir& dir)
{
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 12.0f);
    std::vector<float> samples(static_cast<std::size_t>(width) * height);
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col)
            samples[static_cast<std::size_t>(row) * width + col] =
                1200.0f + ((col / 16) % 2 ? 1.5f : -1.5f) + noise(random);
    const auto path = dir / "frame.fits";
    writeFile(path, headerRecords(floatImageCards(width, height, {card("EXPTIME", "300.0")})) + floatData(samples));
    return path;
}

void BM_LoadWriteFloat(benchmark::State& state)
{
    TempDir dir;
    const auto input = makeFrame(dir);
    const auto output = dir / "corrected.fits";
    TestHost host;
    Workspace ws(host);
    for (auto _ : state) {
        if (!loadFitsHeader(ws, input) || getTypeofFile(ws) != typeFloat32)
            state.SkipWithError("header not read");
        ws.image.pixInsightImage = pixInsightFile(ws);
        if (!loadAllImageDataFloat32(ws))
            state.SkipWithError("pixels not read");
        saveFloat32Fits(ws, output);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(input)) * 2);
}
BENCHMARK(BM_LoadWriteFloat)->Name("BM_LoadWriteFloat/4008x2672")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CopyFloor(benchmark::State& state)
{
    TempDir dir;
    const auto input = makeFrame(dir);
    const auto output = dir / "copy.fits";
    std::vector<char> block(500000);
    for (auto _ : state) {
        const int in = ::open(input.c_str(), O_RDONLY);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0)
            state.SkipWithError("cannot open");
        ssize_t n;
        while ((n = ::read(in, block.data(), block.size())) > 0)
            if (::write(out, block.data(), static_cast<std::size_t>(n)) != n)
                state.SkipWithError("write failed");
        // The writer flushes its file to disk before it renames it; so does the floor.
        ::fsync(out);
        ::close(out);
        ::close(in);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(input)) * 2);
}
BENCHMARK(BM_CopyFloor)->Name("BM_CopyFloor/4008x2672")->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
