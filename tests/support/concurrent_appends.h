// Four runs appending to one results file at once: every line must arrive whole, and
// the header once. Shared by the writer's tests on every system.
#pragma once

#include "core/whole_file.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::testing {

inline void expectWholeConcurrentAppends(const std::filesystem::path& csv)
{
    std::vector<std::thread> runs;
    for (int run = 0; run < 4; ++run)
        runs.emplace_back([&csv, run] {
            for (int i = 0; i < 20; ++i)
                appendWhole(csv, std::to_string(run) + "," + std::string(200, 'a' + run) + "\r\n", "Header\r\n");
        });
    for (auto& t : runs)
        t.join();
    const std::string text = readFile(csv);
    EXPECT_EQ(text.rfind("Header\r\n", 0), 0u);
    std::map<char, int> lines;
    for (std::size_t at = 8; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(at, end - at);
        ASSERT_EQ(line.size(), 202u) << "lines interleaved";
        EXPECT_EQ(line.substr(2), std::string(200, 'a' + (line[0] - '0')));
        ++lines[line[0]];
        at = end + 2;
    }
    EXPECT_EQ(lines, (std::map<char, int>{{'0', 20}, {'1', 20}, {'2', 20}, {'3', 20}}));
}

} // namespace kestrel::testing
