// Runs the built kestrel-cli from a test, as a shell would.
#pragma once

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>

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

// Standard error goes to `errFile` when given, else it is dropped.
inline ToolRun runCli(const std::string& arguments, const std::filesystem::path& errFile = {})
{
    std::string command = std::string(KESTREL_CLI) + " " + arguments;
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

} // namespace kestrel::testing
