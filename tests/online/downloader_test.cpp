// Downloads: a file appears only for a whole 2xx answer, and nothing hangs for long.
#include "online/online.h"

#include "tests/online/loopback_server.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Reply;

long entriesIn(const fs::path& folder) { return std::distance(fs::directory_iterator(folder), {}); }

TEST(CurlDownloader, FetchesOnlyWholeAnswers)
{
    testing::LoopbackServer server;
    const std::string body("1.36\r\nhttp://x/\r\n\0binary\xff", 24);
    server.serve("/ok", body);
    server.set("/missing", Reply{404, "gone"});
    server.set("/error", Reply{500, "oops"});
    server.set("/short", Reply{200, std::string(1000, 'x'), 10});
    server.serve("/huge", std::string(3000, 'y'));
    server.set("/silent", Reply{200, "", std::string::npos, true});
    testing::TempDir dir;
    CurlDownloader downloader(500ms, 500ms, 2000);

    ASSERT_TRUE(downloader.download(server.address() + "/ok", dir / "f.txt"));
    EXPECT_EQ(testing::readFile(dir / "f.txt"), body);
    fs::remove(dir / "f.txt");

    const auto start = std::chrono::steady_clock::now();
    for (const char* path : {"/missing", "/error", "/short", "/huge", "/silent"})
        EXPECT_FALSE(downloader.download(server.address() + path, dir / "f.txt")) << path;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(downloader.download("file:///etc/hostname", dir / "f.txt"));
    EXPECT_EQ(entriesIn(dir.path()), 0) << "a failed download left a file";
}

} // namespace
} // namespace kestrel
