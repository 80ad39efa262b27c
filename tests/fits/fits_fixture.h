// A workspace over a recording host and a temporary folder, for the FITS tests.
#pragma once

#include "fits/workspace.h"
#include "tests/support/fits_builder.h"
#include "tests/support/straightforward.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace kestrel::testing {

class FitsTest : public ::testing::Test {
protected:
    TestHost host;
    Workspace ws{host};
    TempDir dir;

    std::filesystem::path file(const std::string& name, const std::string& bytes)
    {
        const auto path = dir / name;
        writeFile(path, bytes);
        return path;
    }

    /// Writes a header of the given cards (END and padding added) and reads it.
    bool loadHeader(const std::vector<std::string>& cards, const std::string& data = "")
    {
        return loadFitsHeader(ws, file("image.fits", headerRecords(cards) + data));
    }

    /// The names in the folder, so a test can see that nothing was left behind.
    std::vector<std::string> folderContents() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace kestrel::testing
