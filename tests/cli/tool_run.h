// Runs the built kestrel-cli from a test, as a shell would.
#pragma once

#include "tests/support/fits_builder.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace kestrel::testing {

struct ToolRun {
    int status = -1;
    std::string out;
};

inline std::string quoted(const std::filesystem::path& p)
{
    std::string q = "'";
    return q.append(p.string()).append("'");
}

// Runs a shell command line; a run that hangs is ended after a minute by the
// `timeout` the callers put in front. Standard error goes to `errFile` when given, else
// it is dropped.
inline ToolRun runShell(std::string command, const std::filesystem::path& errFile = {})
{
    command += errFile.empty() ? " 2>/dev/null" : " 2>" + quoted(errFile);
    ToolRun r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return r;
    std::array<char, 4096> buffer{};
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        r.out.append(buffer.data(), n);
    const int raw = ::pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

// Runs `tool` (the built kestrel-cli, or a copy of it elsewhere) with the arguments, as a
// shell would.
inline ToolRun runTool(const std::filesystem::path& tool, const std::string& arguments,
                       const std::filesystem::path& errFile = {})
{
    return runShell("timeout 60 " + quoted(tool) + " " + arguments, errFile);
}

inline ToolRun runCli(const std::string& arguments, const std::filesystem::path& errFile = {})
{
    return runTool(KESTREL_CLI, arguments, errFile);
}

// The same from inside `folder`, for paths spelt relative to it.
inline ToolRun runCliIn(const std::filesystem::path& folder, const std::string& arguments,
                        const std::filesystem::path& errFile = {})
{
    return runShell("cd " + quoted(folder) + " && timeout 60 " + quoted(KESTREL_CLI) + " " + arguments, errFile);
}

/// A portable copy of kestrel-cli in a folder of its own, whose settings file the test
/// may spoil without touching the build's.
inline std::filesystem::path portableCopy(const TempDir& dir)
{
    std::filesystem::create_directories(dir / "program");
    std::filesystem::copy_file(KESTREL_CLI, dir / "program" / "kestrel-cli");
    return dir / "program" / "kestrel-cli";
}

// A banded float frame: sky level, noise and a band of `amplitude` at `phase`.
inline std::string bandedFrame(int width, int height, int phase, float amplitude, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 5.0f);
    const int period = width >= 4008 ? 32 : 16;
    std::vector<float> pixels(static_cast<std::size_t>(width) * height);
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            const int position = ((col - phase) % period + period) % period;
            const float band = position < period / 2 ? amplitude : 0.0f;
            pixels[static_cast<std::size_t>(row) * width + col] = 1000.0f + band + noise(rng);
        }
    return headerRecords(floatImageCards(width, height, {card("EXPTIME", "300"), card("CCD-TEMP", "-20.0")})) +
           floatData(pixels);
}

} // namespace kestrel::testing
