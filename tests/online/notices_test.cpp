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

class Notices : public ::testing::Test {
protected:
    Notices() : ws(host, window) { ws.programFolder = dir.path(); }

    void update(const std::string& notice)
    {
        window = WindowModel();
        server.serve("/kestrel/update.txt", notice);
        checkForUpdate(ws, downloader, server.address(), "1.35");
    }
    void message(const std::string& text)
    {
        window = WindowModel();
        server.serve("/kestrel/kestrelMsg.txt", text);
        getDeveloperMessage(ws, downloader, server.address());
    }

    testing::LoopbackServer server;
    CurlDownloader downloader{2s, 1s};
    testing::TempDir dir;
    testing::TestHost host;
    WindowModel window;
    Workspace ws;
};

TEST_F(Notices, UpdatePanelOnlyForANewerVersion)
{
    for (const std::string version : {"1.36", "1.4", "2", "1.35a", " \t1.36  "}) {
        update(version + "\r\nhttps://example.org/k.zip\r\nFaster.\r\nFewer bugs.\r\n");
        EXPECT_TRUE(window.updatePanel.visible) << version;
        EXPECT_EQ(window.label9, "The latest version is " + std::string(trimBlanks(version)));
        EXPECT_EQ(ws.updateLink, "https://example.org/k.zip");
        EXPECT_EQ(window.updatePanel.memoLines, (Lines{"Faster.", "Fewer bugs."}));
    }
    update("1.36\nhttp://example.org/new");
    EXPECT_EQ(window.updatePanel.memoLines, (Lines{""})) << "two lines give one empty note";

    // A captive portal's page compares greater than "1.35" but names no version.
    for (const std::string notice : {"1.35\nhttp://x/\n", "1.3\n", "1.100\n", "0.9\n", "", "\n\n",
                                     "<!DOCTYPE html>\n<html><body>Sign in</body></html>\n"}) {
        update(notice);
        EXPECT_FALSE(window.updatePanel.visible) << notice;
        EXPECT_EQ(window.label9, "The latest version is 1.0") << notice;
    }
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(Notices, FailedUpdateDownloadIsReportedAndLeavesNoCopy)
{
    const std::string error = "Error downloading " + server.address() + "/kestrel/update.txt";
    testing::writeFile(dir / "update.txt", "1.99\nhttp://old/\n");
    checkForUpdate(ws, downloader, server.address(), "1.35"); // 404
    EXPECT_EQ(host.pumps, 1) << "the old copy's removal pumps once";

    server.set("/kestrel/update.txt", testing::Reply{200, "", std::string::npos, true});
    CurlDownloader quick(300ms, 300ms);
    checkForUpdate(ws, quick, server.address(), "1.35");
    EXPECT_EQ(host.texts(Box::plain), (Lines{error, error}));
    EXPECT_FALSE(window.updatePanel.visible);
    EXPECT_FALSE(fs::exists(dir / "update.txt"));
}

TEST_F(Notices, DeveloperMessage)
{
    for (const char* nothing : {"No Message\r\nignored\r\n", ""}) {
        message(nothing);
        EXPECT_FALSE(window.messagePanel.visible) << nothing;
    }
    for (const std::string first : {"no message", "No Message ", " No Message"}) {
        message(first + "\r\nClear skies,\nfrom the Kestrel developers.");
        EXPECT_TRUE(window.messagePanel.visible) << first;
        EXPECT_EQ(window.messagePanel.memoLines, (Lines{"Clear skies,", "from the Kestrel developers."}));
    }
    message("Hello\n");
    EXPECT_TRUE(window.messagePanel.visible);
    EXPECT_TRUE(window.messagePanel.memoLines.empty());

    // A failed download is silent and leaves no old copy.
    server.set("/kestrel/kestrelMsg.txt", testing::Reply{404, ""});
    window = WindowModel();
    getDeveloperMessage(ws, downloader, server.address());
    EXPECT_FALSE(fs::exists(dir / "kestrelMsg.txt"));
    EXPECT_FALSE(window.messagePanel.visible);
    EXPECT_TRUE(host.boxes.empty());
}

TEST(DownloadUpdate, OpensOnlyWebAddresses)
{
    testing::TestHost host;
    WindowModel window;
    Workspace ws(host, window);
    for (const char* link : {"https://example.org/k.zip", "HTTP://example.org/k.zip", "/usr/bin/xterm",
                             "file:///tmp/x", "", "javascript:alert(1)", "http://"}) {
        window.updatePanel.visible = true;
        ws.updateLink = link;
        downloadUpdateClick(ws);
        EXPECT_EQ(window.updatePanel.visible, host.opened.empty() || host.opened.back() != link) << link;
    }
    EXPECT_EQ(host.opened, (Lines{"https://example.org/k.zip", "HTTP://example.org/k.zip"}));
    EXPECT_EQ(host.texts(Box::plain),
              Lines(5, "The update link is not a web address... Update download failed."));
}

} // namespace
} // namespace kestrel
