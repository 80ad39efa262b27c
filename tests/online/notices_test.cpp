// The start-up notices over a loopback server, and the Download Update button.
#include "online/online.h"

#include "tests/online/loopback_server.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include "core/numbers.h"

#include <chrono>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Box;
using testing::LoopbackServer;
using testing::Reply;
using testing::TempDir;
using testing::TestHost;
using testing::writeFile;
using Lines = std::vector<std::string>;

class Notices : public ::testing::Test {
protected:
    Notices() : ws(host, window) { ws.programFolder = dir.path(); }

    void update(const std::string& notice)
    {
        server.serve("/kestrel/update.txt", notice);
        checkForUpdate(ws, downloader, server.address(), "1.35");
    }
    void message(const std::string& text)
    {
        server.serve("/kestrel/kestrelMsg.txt", text);
        getDeveloperMessage(ws, downloader, server.address());
    }

    LoopbackServer server;
    CurlDownloader downloader{2s, 1s};
    TempDir dir;
    TestHost host;
    WindowModel window;
    Workspace ws;
};

TEST_F(Notices, NewerVersionsShowTheUpdatePanel)
{
    for (const char* version : {"1.36", "1.4", "2", "1.35a", " \t1.36  "}) {
        window = WindowModel();
        update(std::string(version) + "\r\nhttps://example.org/kestrel-1.36.zip\r\nFaster.\r\nFewer bugs.\r\n");
        EXPECT_TRUE(window.updatePanel.visible) << version;
        EXPECT_EQ(window.label9, "The latest version is " + std::string(trimBlanks(version))) << version;
        EXPECT_EQ(ws.updateLink, "https://example.org/kestrel-1.36.zip");
        EXPECT_EQ(window.updatePanel.memoLines, (Lines{"Faster.", "Fewer bugs."}));
    }
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(Notices, OtherNoticesShowNothing)
{
    for (const char* notice : {"1.35\nhttp://x/\n", "1.3\n", "1.100\n", "0.9\n", "", "\n\n",
                               "<!DOCTYPE html>\n<html><body>Sign in to the network</body></html>\n"}) {
        update(notice);
        EXPECT_FALSE(window.updatePanel.visible) << notice;
        EXPECT_EQ(window.label9, "The latest version is 1.0") << notice;
    }
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(ws.updateLink, "");
}

TEST_F(Notices, NoticeOfTwoLinesAddsOneEmptyNote)
{
    update("1.36\nhttp://example.org/new");
    EXPECT_TRUE(window.updatePanel.visible);
    EXPECT_EQ(ws.updateLink, "http://example.org/new");
    EXPECT_EQ(window.updatePanel.memoLines, (Lines{""}));
}

TEST_F(Notices, FailedUpdateDownloadIsReportedAndLeavesNoCopy)
{
    const std::string url = server.address() + "/kestrel/update.txt";
    writeFile(dir / "update.txt", "1.99\nhttp://old/\n");
    checkForUpdate(ws, downloader, server.address(), "1.35"); // 404
    EXPECT_EQ(host.texts(Box::plain), (Lines{"Error downloading " + url}));
    EXPECT_FALSE(fs::exists(dir / "update.txt"));
    EXPECT_FALSE(window.updatePanel.visible);
    EXPECT_EQ(host.pumps, 1);

    server.set("/kestrel/update.txt", Reply{200, "", std::string::npos, true});
    CurlDownloader quick(300ms, 300ms);
    checkForUpdate(ws, quick, server.address(), "1.35");
    EXPECT_EQ(host.texts(Box::plain), (Lines{"Error downloading " + url, "Error downloading " + url}));
    EXPECT_FALSE(window.updatePanel.visible);
    EXPECT_FALSE(fs::exists(dir / "update.txt"));
}

TEST_F(Notices, DeveloperMessage)
{
    message("No Message\r\nignored\r\n");
    EXPECT_FALSE(window.messagePanel.visible);
    message("");
    EXPECT_FALSE(window.messagePanel.visible);
    EXPECT_TRUE(window.messagePanel.memoLines.empty());

    for (const char* first : {"no message", "No Message ", " No Message"}) {
        window = WindowModel();
        message(std::string(first) + "\r\nClear skies,\nfrom the Kestrel developers.");
        EXPECT_TRUE(window.messagePanel.visible) << first;
        EXPECT_EQ(window.messagePanel.memoLines, (Lines{"Clear skies,", "from the Kestrel developers."})) << first;
    }

    window = WindowModel();
    message("Hello\n");
    EXPECT_TRUE(window.messagePanel.visible);
    EXPECT_TRUE(window.messagePanel.memoLines.empty());
    EXPECT_EQ(ws.messageLines, (Lines{"Hello"}));
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(Notices, FailedMessageDownloadIsSilentAndRemovesTheOldCopy)
{
    writeFile(dir / "kestrelMsg.txt", "old\nold message\n");
    getDeveloperMessage(ws, downloader, server.address()); // 404
    EXPECT_FALSE(fs::exists(dir / "kestrelMsg.txt"));
    EXPECT_FALSE(window.messagePanel.visible);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(host.pumps, 1);
    EXPECT_EQ(server.requests(), (Lines{"/kestrel/kestrelMsg.txt"}));
}

TEST(DownloadUpdate, OpensOnlyWebAddresses)
{
    TestHost host;
    WindowModel window;
    Workspace ws(host, window);
    for (const char* link : {"https://example.org/k.zip", "HTTP://example.org/k.zip"}) {
        window.updatePanel.visible = true;
        ws.updateLink = link;
        downloadUpdateClick(ws);
        EXPECT_FALSE(window.updatePanel.visible) << link;
    }
    EXPECT_EQ(host.opened, (Lines{"https://example.org/k.zip", "HTTP://example.org/k.zip"}));

    for (const char* link : {"/usr/bin/xterm", "file:///tmp/x", "", "javascript:alert(1)", "http://"}) {
        window.updatePanel.visible = true;
        ws.updateLink = link;
        downloadUpdateClick(ws);
        EXPECT_TRUE(window.updatePanel.visible) << link;
    }
    EXPECT_EQ(host.opened.size(), 2u);
    const auto boxes = host.texts(Box::plain);
    ASSERT_EQ(boxes.size(), 5u);
    EXPECT_EQ(boxes[0], "The update link is not a web address... Update download failed.");
}

} // namespace
} // namespace kestrel
