// The downloaded notices as the window reads them, their text, and the Download Update
// button.
#include "online/online.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <iconv.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::Box;
using Lines = std::vector<std::string>;

class NoticesTest : public ::testing::Test {
protected:
    std::optional<UpdateNotice> update(const std::string& notice)
    {
        testing::writeFile(dir / "update.txt", notice);
        return checkForUpdate(notices, dir / "update.txt", "1.35");
    }
    std::optional<Lines> message(const std::string& text)
    {
        testing::writeFile(dir / "kestrelMsg.txt", text);
        return getDeveloperMessage(notices, dir / "kestrelMsg.txt");
    }

    testing::TempDir dir;
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
    const auto latin1 = update("1.36\nhttp://example.org/new\nCorrige les images \xE9tir\xE9" "es.\n");
    ASSERT_TRUE(latin1);
    EXPECT_EQ(latin1->notes, (Lines{"Corrige les images \xC3\xA9tir\xC3\xA9" "es."}));

    // A captive portal's page compares greater than "1.35" but names no version.
    for (const std::string notice : {"1.35\nhttp://x/\n", "1.3\n", "1.100\n", "0.9\n", "", "\n\n",
                                     "<!DOCTYPE html>\n<html><body>Sign in</body></html>\n"})
        EXPECT_FALSE(update(notice)) << notice;
}

TEST_F(NoticesTest, DeveloperMessage)
{
    for (const char* nothing : {"No Message\r\nignored\r\n", "", "\xEF\xBB\xBFNo Message\r\n"})
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

    // A sign-in page that a captive portal or proxy served instead is no message.
    for (const char* page : {"<!DOCTYPE html>\n<html><body>Sign in</body></html>\n", "\r\n  \t<html>\nNews\n",
                             "\xEF\xBB\xBF<html>\n"})
        EXPECT_FALSE(message(page)) << page;
    const auto angled = message("News\n<b>not a page</b>\n");
    ASSERT_TRUE(angled);
    EXPECT_EQ(*angled, Lines{"<b>not a page</b>"});

    fs::remove(dir / "kestrelMsg.txt");
    EXPECT_THROW(getDeveloperMessage(notices, dir / "kestrelMsg.txt"), Failure);
}

/// What iconv, which knows Windows-1252 independently of us, makes of `bytes`.
std::string iconvFrom1252(const std::string& bytes)
{
    iconv_t cd = iconv_open("UTF-8", "CP1252");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = bytes, out(bytes.size() * 4, '\0');
    char *inp = in.data(), *outp = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    EXPECT_NE(iconv(cd, &inp, &inLeft, &outp, &outLeft), static_cast<std::size_t>(-1)) << bytes;
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

TEST(NoticeText, ValidUtf8StaysAndAnyOtherLineIsWindows1252)
{
    const struct {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"caf\xE9\r\n", {"caf\xC3\xA9"}},                                  // Latin-1
        {"caf\xC3\xA9\n\xE2\x82\xAC 5\n", {"caf\xC3\xA9", "\xE2\x82\xAC 5"}}, // UTF-8
        {"\x80 5 \x93quoted\x94", {"\xE2\x82\xAC 5 \xE2\x80\x9Cquoted\xE2\x80\x9D"}},
        {"\xF0\x9F\x94\xAD stars", {"\xF0\x9F\x94\xAD stars"}},
        // One byte that is no UTF-8 makes the whole line 8-bit text, the line after it stays.
        {"\xC3\xA9t\xE9\n\xC3\xA9t\xC3\xA9", {"\xC3\x83\xC2\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"}},
        // Overlong forms, surrogates and sequences cut short are no UTF-8.
        {"\xC0\xAF", {"\xC3\x80\xC2\xAF"}},
        {"\xED\xA0\x80", {"\xC3\xAD\xC2\xA0\xE2\x82\xAC"}},
        {"\xE2\x82", {"\xC3\xA2\xE2\x80\x9A"}},
        {"\x81\x8D\x8F\x90\x9D", {"\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"}}, // unassigned: the same codes
        {"\xEF\xBB\xBFNo Message", {"No Message"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(noticeLines(c.bytes), c.lines) << c.bytes;

    for (int b = 0x80; b <= 0xFF; ++b) {
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D)
            continue;
        const std::string line = "a" + std::string(1, static_cast<char>(b));
        EXPECT_EQ(noticeLines(line), Lines{iconvFrom1252(line)}) << "byte " << b;
    }
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
