// The start-up notices over a loopback server, and the Download Update button.
#include "online/online.h"

#include "core/numbers.h"
#include "tests/online/loopback_server.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Box;
using Lines = std::vector<std::string>;

class NoticesTest : public ::testing::Test {
protected:
    std::optional<UpdateNotice> update(const std::string& notice)
    {
        server.serve("/kestrel/update.txt", notice);
        return checkForUpdate(notices, host, downloader, server.address(), dir.path(), "1.35");
    }
    std::optional<Lines> message(const std::string& text)
    {
        server.serve("/kestrel/kestrelMsg.txt", text);
        return getDeveloperMessage(notices, host, downloader, server.address(), dir.path());
    }

    testing::LoopbackServer server;
    CurlDownloader downloader{2s, 1s};
    testing::TempDir dir;
    testing::TestHost host;
    Notices notices;
};

TEST_F(NoticesTest, UpdatePanelOnlyForANewerVersion)
{
    for (const std::string version : {"1.36", "1.4", "2", "1.35a", " \t1.36  "}) {
        const auto shown = update(version + "\r\nhttps://example.org/k.zip\r\nFaster.\r\nFewer bugs.\r\n");
        ASSERT_TRUE(shown) << version;
        EXPECT_EQ(shown->latest, std::string(trimBlanks(version)));
        EXPECT_EQ(notices.updateLink, "https://example.org/k.zip");
        EXPECT_EQ(shown->notes, (Lines{"Faster.", "Fewer bugs."}));
    }
    const auto twoLines = update("1.36\nhttp://example.org/new");
    ASSERT_TRUE(twoLines);
    EXPECT_EQ(twoLines->notes, (Lines{""})) << "two lines give one empty note";

    // A captive portal's page compares greater than "1.35" but names no version.
    for (const std::string notice : {"1.35\nhttp://x/\n", "1.3\n", "1.100\n", "0.9\n", "", "\n\n",
                                     "<!DOCTYPE html>\n<html><body>Sign in</body></html>\n"})
        EXPECT_FALSE(update(notice)) << notice;
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(NoticesTest, FailedUpdateDownloadIsReportedAndLeavesNoCopy)
{
    const std::string error = "Error downloading " + server.address() + "/kestrel/update.txt";
    testing::writeFile(dir / "update.txt", "1.99\nhttp://old/\n");
    EXPECT_FALSE(checkForUpdate(notices, host, downloader, server.address(), dir.path(), "1.35")); // 404
    EXPECT_EQ(host.pumps, 1) << "the old copy's removal pumps once";

    server.set("/kestrel/update.txt", testing::Reply{200, "", std::string::npos, true});
    CurlDownloader quick(300ms, 300ms);
    EXPECT_FALSE(checkForUpdate(notices, host, quick, server.address(), dir.path(), "1.35"));
    EXPECT_EQ(host.texts(Box::plain), (Lines{error, error}));
    EXPECT_FALSE(fs::exists(dir / "update.txt"));
}

TEST_F(NoticesTest, DeveloperMessage)
{
    for (const char* nothing : {"No Message\r\nignored\r\n", ""})
        EXPECT_FALSE(message(nothing)) << nothing;
    for (const std::string first : {"no message", "No Message ", " No Message"}) {
        const auto shown = message(first + "\r\nClear skies,\nfrom the Kestrel developers.");
        ASSERT_TRUE(shown) << first;
        EXPECT_EQ(*shown, (Lines{"Clear skies,", "from the Kestrel developers."}));
    }
    const auto empty = message("Hello\n");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(notices.messageLines, Lines{"Hello"});

    // A failed download is silent and leaves no old copy.
    server.set("/kestrel/kestrelMsg.txt", testing::Reply{404, ""});
    EXPECT_FALSE(getDeveloperMessage(notices, host, downloader, server.address(), dir.path()));
    EXPECT_FALSE(fs::exists(dir / "kestrelMsg.txt"));
    EXPECT_TRUE(host.boxes.empty());
}

TEST(DownloadUpdate, OpensOnlyWebAddresses)
{
    testing::TestHost host;
    Notices notices;
    for (const char* link : {"https://example.org/k.zip", "HTTP://example.org/k.zip", "/usr/bin/xterm",
                             "file:///tmp/x", "", "javascript:alert(1)", "http://"}) {
        notices.updateLink = link;
        const bool hide = downloadUpdateClick(notices, host);
        EXPECT_EQ(hide, !host.opened.empty() && host.opened.back() == link) << link;
    }
    EXPECT_EQ(host.opened, (Lines{"https://example.org/k.zip", "HTTP://example.org/k.zip"}));
    EXPECT_EQ(host.texts(Box::plain),
              Lines(5, "The update link is not a web address... Update download failed."));
}

} // namespace
} // namespace kestrel
