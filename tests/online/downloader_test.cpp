// Downloads: a file appears only for a whole 2xx answer, nothing outlasts its deadline,
// and a cancelled download ends at once.
#include "online/online.h"

#include "tests/online/loopback_server.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <future>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Reply;
using Clock = Downloader::Clock;

long entriesIn(const fs::path& folder) { return std::distance(fs::directory_iterator(folder), {}); }

TEST(CurlDownloader, FetchesOnlyWholeAnswersAndNeverPastTheDeadline)
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
    CurlDownloader downloader(500ms, 2000);
    const auto soon = [] { return Clock::now() + 400ms; };

    ASSERT_TRUE(downloader.download(server.address() + "/ok", dir / "f.txt", soon()));
    EXPECT_EQ(testing::readFile(dir / "f.txt"), body);
    fs::remove(dir / "f.txt");

    for (const char* path : {"/missing", "/error", "/short", "/huge", "/silent"}) {
        const auto start = Clock::now();
        EXPECT_FALSE(downloader.download(server.address() + path, dir / "f.txt", soon())) << path;
        EXPECT_LT(Clock::now() - start, 1500ms) << path;
    }
    EXPECT_FALSE(downloader.download(server.address() + "/ok", dir / "f.txt", Clock::now())) << "past its deadline";
    EXPECT_FALSE(downloader.download("file:///etc/hostname", dir / "f.txt", soon()));
    EXPECT_EQ(entriesIn(dir.path()), 0) << "a failed download left a file";
}

TEST(CurlDownloader, CancelEndsTheDownloadInProgressAndEveryLaterOne)
{
    testing::LoopbackServer server;
    server.set("/silent", Reply{200, "", std::string::npos, true});
    server.serve("/ok", "1.36\n");
    testing::TempDir dir;
    CurlDownloader downloader;
    auto hanging = std::async(std::launch::async, [&] {
        return downloader.download(server.address() + "/silent", dir / "f.txt", Clock::now() + 60s);
    });
    EXPECT_EQ(hanging.wait_for(300ms), std::future_status::timeout) << "the silent server answered";
    const auto cancelled = Clock::now();
    downloader.cancel();
    ASSERT_EQ(hanging.wait_for(5s), std::future_status::ready);
    EXPECT_LT(Clock::now() - cancelled, 500ms) << "the cancel waited for curl's next look";
    EXPECT_FALSE(hanging.get());
    EXPECT_FALSE(downloader.download(server.address() + "/ok", dir / "f.txt", Clock::now() + 5s));
    EXPECT_EQ(entriesIn(dir.path()), 0);
}

TEST(FetchThread, ReportsOnItsOwnThreadAndEndsAtOnceWhenDestroyed)
{
    testing::LoopbackServer server;
    server.serve("/ok", "No Message\n");
    server.set("/silent", Reply{200, "", std::string::npos, true});
    testing::TempDir dir;
    CurlDownloader downloader;
    std::promise<std::pair<bool, std::thread::id>> first;
    std::promise<bool> second;
    Clock::time_point leaving;
    {
        FetchThread fetches(downloader);
        fetches.start(server.address() + "/ok", dir / "a.txt", Clock::now() + 5s,
                      [&](bool ok) { first.set_value({ok, std::this_thread::get_id()}); });
        const auto [ok, thread] = first.get_future().get();
        EXPECT_TRUE(ok);
        EXPECT_NE(thread, std::this_thread::get_id());
        fetches.start(server.address() + "/silent", dir / "b.txt", Clock::now() + 60s,
                      [&](bool ok) { second.set_value(ok); });
        std::this_thread::sleep_for(200ms);
        leaving = Clock::now();
    }
    // Leaving the scope cancelled the silent download and waited for the thread.
    EXPECT_LT(Clock::now() - leaving, 500ms);
    auto outcome = second.get_future();
    ASSERT_EQ(outcome.wait_for(0s), std::future_status::ready);
    EXPECT_FALSE(outcome.get());
    EXPECT_TRUE(fs::exists(dir / "a.txt"));
    EXPECT_FALSE(fs::exists(dir / "b.txt"));
}

} // namespace
} // namespace kestrel
