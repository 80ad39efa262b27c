// Downloads: a file appears only for a whole 2xx answer, and nothing hangs for long.
#include "online/online.h"

#include "tests/online/loopback_server.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <chrono>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::LoopbackServer;
using testing::readFile;
using testing::Reply;
using testing::TempDir;

std::size_t entriesIn(const fs::path& folder) { return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {})); }

TEST(CurlDownloader, FetchesAWholeAnswer)
{
    LoopbackServer server;
    const std::string body = std::string("1.36\r\nhttp://x/\r\n\0binary\xff", 24);
    server.serve("/kestrel/update.txt", body);
    TempDir dir;
    CurlDownloader downloader;
    ASSERT_TRUE(downloader.download(server.address() + "/kestrel/update.txt", dir / "update.txt"));
    EXPECT_EQ(readFile(dir / "update.txt"), body);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(CurlDownloader, FailuresLeaveNoFile)
{
    LoopbackServer server;
    server.set("/missing", Reply{404, "gone"});
    server.set("/error", Reply{500, "oops"});
    server.set("/short", Reply{200, std::string(1000, 'x'), 10});
    server.serve("/huge", std::string(3000, 'y'));
    TempDir dir;
    CurlDownloader downloader(15s, 3s, 2000);
    for (const char* path : {"/missing", "/error", "/short", "/huge"}) {
        EXPECT_FALSE(downloader.download(server.address() + path, dir / "f.txt")) << path;
        EXPECT_EQ(entriesIn(dir.path()), 0u) << path;
    }
    EXPECT_FALSE(downloader.download("file:///etc/hostname", dir / "f.txt"));
    EXPECT_FALSE(downloader.download(server.address() + "/x", dir / "no folder" / "f.txt"));
    EXPECT_EQ(entriesIn(dir.path()), 0u);
}

TEST(CurlDownloader, GivesUpOnAServerThatNeverAnswers)
{
    LoopbackServer server;
    server.set("/slow", Reply{200, "", std::string::npos, true});
    TempDir dir;
    CurlDownloader downloader(400ms, 400ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(downloader.download(server.address() + "/slow", dir / "f.txt"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(entriesIn(dir.path()), 0u);
}

} // namespace
} // namespace kestrel
