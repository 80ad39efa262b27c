// Whole runs of the main window over real files in temporary folders, with a scripted
// host answering the dialogs and boxes.
#include "app/form.h"

#include "app/window_arguments.h"
#include "core/whole_file.h"

#include "correction/correction.h"
#include "settings/settings.h"
#include "tests/support/fits_builder.h"
#include "tests/support/scripted_threads.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

namespace kestrel {
namespace {

using testing::Box;
using testing::TempDir;
using testing::TestHost;
namespace fs = std::filesystem;

/// Serves fixed texts for the two notices, as if from the maker's server, and notes
/// what was asked for.
class FakeDownloads : public Downloader {
public:
    std::map<std::string, std::string> files{{"update.txt", "1.35\n"}, {"kestrelMsg.txt", "No Message\n"}};
    std::vector<std::string> asked;
    bool download(const std::string& url, const fs::path& local, Clock::time_point) override
    {
        asked.push_back(url);
        const auto it = files.find(url.substr(url.rfind('/') + 1));
        if (it == files.end())
            return false;
        testing::writeFile(local, it->second);
        return true;
    }
};

const MakerAddresses maker{"http://127.0.0.1:9", "kestrel@example.org"};

/// A float image whose reference bands (from `phase`, every `period` columns) read
/// 1000 + `amplitude` and the rest 1000.
std::string floatImage(int width, int phase, float amplitude, const std::string& exposure = "60")
{
    const int period = width > 3000 ? 32 : 16, height = 3;
    std::vector<float> px(static_cast<std::size_t>(width) * height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            px[static_cast<std::size_t>(r) * width + c] =
                ((c - phase) % period + period) % period < period / 2 ? 1000 + amplitude : 1000;
    return testing::headerRecords(testing::floatImageCards(
               width, height, {testing::card("CCD-TEMP", "-20"), testing::card("EXPOSURE", exposure)})) +
           testing::floatData(px);
}

std::string uint16Image(int width, int phase)
{
    const int period = width > 3000 ? 32 : 16, height = 3;
    std::vector<std::uint16_t> px(static_cast<std::size_t>(width) * height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            px[static_cast<std::size_t>(r) * width + c] = ((c - phase) % period + period) % period < period / 2 ? 1100 : 1000;
    return testing::headerRecords(testing::uint16ImageCards(width, height)) + testing::uint16Data(px);
}

struct Window {
    TempDir program;
    TempDir images;
    TestHost host;
    FakeDownloads downloads;
    TForm1 form{host, downloads, program.path(), maker};
    /// What the user does while an image is being treated.
    testing::ScriptedThreads threads;

    explicit Window(bool create = true)
    {
        form.setRunThreads(threads);
        if (create)
            form.FormCreate();
    }

    fs::path image(const std::string& name, const std::string& bytes)
    {
        testing::writeFile(images / name, bytes);
        return images / name;
    }
    /// `count` unbinned frames f0.fits, f1.fits, ... with phase 8 and the given amplitude.
    std::vector<fs::path> frames(int count, float amplitude)
    {
        std::vector<fs::path> out;
        for (int i = 0; i < count; ++i)
            out.push_back(image("f" + std::to_string(i) + ".fits", floatImage(4008, 8, amplitude)));
        return out;
    }
    fs::path output(const std::string& name) const { return images.path() / "kestrel" / name; }
    const std::string& cell(int column, int row) const { return form.window.grid.cell(column, row); }
    std::vector<std::string> errors() const { return host.texts(Box::error); }

    /// The window is idle: as start-up and resetButtons leave it.
    void expectIdle() const
    {
        EXPECT_TRUE(form.window.button1.enabled);
        EXPECT_FALSE(form.window.button2.visible);
        EXPECT_FALSE(form.window.progressBar1.visible);
        EXPECT_FALSE(host.busyCursor);
        EXPECT_FALSE(form.run.cancelRequested);
        EXPECT_FALSE(form.running());
    }
};

TEST(StartAndClose, FreshProgramFolderThenSettingsWrittenOnClose)
{
    Window w;
    EXPECT_TRUE(w.host.boxes.empty());
    EXPECT_EQ(w.form.window.edit1, "n/a");
    EXPECT_EQ(w.form.window.edit3, "n/a");
    EXPECT_EQ(w.cell(1, 0), "   Bkdg");
    EXPECT_EQ(w.cell(4, 0), "   Amp");
    EXPECT_FALSE(w.form.window.button6.visible);
    EXPECT_FALSE(w.form.window.updatePanel.visible);

    w.form.window.edit1 = "  12 ";
    fs::current_path(w.images.path());
    EXPECT_TRUE(w.form.requestClose());
    const fs::path ini = w.program / "kestx.ini";
    EXPECT_EQ(readProfileString(ini, "kestx", "1x1phase", "?"), "12");
    EXPECT_EQ(readProfileString(ini, "kestx", "2x2phase", "?"), "n/a");
    EXPECT_EQ(fs::path(readProfileString(ini, "kestx", "lastFolder", "?")), w.images.path());

    // A working folder deleted meanwhile keeps the folder stored before, without a box
    // that would hold the close up.
    {
        TempDir gone;
        fs::current_path(gone.path());
    }
    Window w2;
    fs::copy_file(ini, w2.program / "kestx.ini");
    w2.form.window.edit2 = "4";
    EXPECT_TRUE(w2.form.requestClose());
    EXPECT_TRUE(w2.host.boxes.empty()) << w2.host.boxes.front().text;
    EXPECT_EQ(readProfileString(w2.program / "kestx.ini", "kestx", "2x2phase", "?"), "4");
    EXPECT_EQ(fs::path(readProfileString(w2.program / "kestx.ini", "kestx", "lastFolder", "?")), w.images.path());

    // The next start reads them back.
    TestHost host;
    FakeDownloads downloads;
    downloads.files["update.txt"] = "1.36\nhttp://127.0.0.1/kestrel.zip\nFaster.\n";
    TForm1 again(host, downloads, w.program.path(), maker);
    fs::current_path(w.program.path());
    again.FormCreate();
    EXPECT_EQ(again.window.edit1, "12");
    EXPECT_EQ(fs::current_path(), w.images.path());
    EXPECT_TRUE(again.window.updatePanel.visible);
    EXPECT_EQ(again.window.label9, "The latest version is 1.36");
}

TEST(StartAndClose, TheUsersFoldersAppearWithTheFirstFileWrittenThere)
{
    TempDir home;
    fs::current_path(home.path());
    FileLocations where = FileLocations::besideProgram(home / "bin");
    where.settingsFile = home / "config/kestrel/kestx.ini";
    where.resultsFile = home / "data/kestrel/kestrel.csv";
    where.noticeFolder = home / "cache/kestrel";
    const auto made = [&] {
        std::string out;
        for (const char* folder : {"config", "data", "cache"})
            out += fs::exists(home / folder) ? folder + std::string(" ") : "";
        return out;
    };
    TestHost host;
    FakeDownloads downloads;
    {
        // Without a server nothing is fetched, so nothing is cached.
        TForm1 form(host, downloads, where);
        form.FormCreate();
        EXPECT_EQ(made(), "");
        EXPECT_TRUE(form.requestClose());
        EXPECT_EQ(made(), "config ");
    }
    TForm1 form(host, downloads, where, maker);
    form.FormCreate();
    EXPECT_EQ(made(), "config cache ");
    EXPECT_TRUE(fs::exists(home / "cache/kestrel/update.txt"));
    form.run.imageResults = {tImageData{"a.fits", "1x1", -20, 60, 4.5f, true}};
    form.Button6Click();
    EXPECT_EQ(made(), "config data cache ");
    EXPECT_TRUE(host.boxes.empty()) << host.boxes.front().text;

}

TEST(StartAndClose, AnIgnoredSettingsFileBesideTheProgramIsNamedOnce)
{
    TempDir home;
    FileLocations where = FileLocations::besideProgram(home / "bin");
    where.settingsFile = home / "config/kestrel/kestx.ini";
    fs::create_directories(home / "bin");
    testing::writeFile(home / "bin/kestx.ini", "[kestx]\n1x1phase=8\n");
    FakeDownloads downloads;
    for (int start = 0; start < 2; ++start) {
        TestHost host;
        TForm1 form(host, downloads, where);
        form.FormCreate();
        EXPECT_EQ(host.texts(Box::plain),
                  start == 0 ? std::vector<std::string>{"Kestrel keeps its settings in " + where.settingsFile.string() +
                                                        ": the program's folder " + (home / "bin").string() +
                                                        " is an installation or cannot be written, so the kestx.ini "
                                                        "there is not used."}
                             : std::vector<std::string>{});
        EXPECT_TRUE(form.requestClose());
    }
}

/// The window with its notices fetched elsewhere, as the Qt window fetches them: each
/// request is noted, and the test says when its download ends.
struct NoticeWindow : Window {
    std::vector<NoticeRequest> requests;
    NoticeWindow() : Window(false)
    {
        form.fetchNotice = [this](const NoticeRequest& r) { requests.push_back(r); };
        form.FormCreate();
    }
    /// The download of `which` ended: with `contents`, or failed without.
    void arrives(NoticeFile which, const std::optional<std::string>& contents)
    {
        if (contents)
            testing::writeFile(program / noticeFileName(which), *contents);
        form.noticeFetched(which, contents.has_value());
    }
};

const std::string updateError = "Error downloading http://127.0.0.1:9/kestrel/update.txt";

TEST(Notices, MessageFirstThenTheUpdateEachShownWhenItsDownloadEnds)
{
    const auto started = Downloader::Clock::now();
    NoticeWindow w;
    ASSERT_EQ(w.requests.size(), 1u);
    EXPECT_EQ(w.requests[0].url, "http://127.0.0.1:9/kestrel/kestrelMsg.txt");
    EXPECT_EQ(w.requests[0].local, w.program / "kestrelMsg.txt");
    EXPECT_FALSE(w.form.window.button6.visible);
    EXPECT_TRUE(w.form.noticesPending());

    w.arrives(NoticeFile::message, "Hello\nCaf\xE9 du ciel\n");
    EXPECT_TRUE(w.form.window.messagePanel.visible);
    EXPECT_EQ(w.form.window.messagePanel.memoLines, std::vector<std::string>{"Caf\xC3\xA9 du ciel"});
    ASSERT_EQ(w.requests.size(), 2u);
    EXPECT_EQ(w.requests[1].url, "http://127.0.0.1:9/kestrel/update.txt");
    // Both end within ten seconds of the start; the message may not take it all.
    EXPECT_LT(w.requests[0].deadline, w.requests[1].deadline);
    EXPECT_LE(w.requests[1].deadline, started + std::chrono::seconds(10));

    w.arrives(NoticeFile::update, std::nullopt);
    EXPECT_EQ(w.host.texts(Box::plain), std::vector<std::string>{updateError});
    EXPECT_FALSE(w.form.noticesPending());
}

TEST(Notices, WhatArrivesWhileTheWindowIsBusyShowsWhenItIsIdleAgain)
{
    // During a batch run: after the run's last box.
    NoticeWindow w;
    w.form.window.edit1 = "8";
    w.host.selections.push_back(w.frames(2, 3));
    bool arrived = false;
    w.threads.beforeImage = [&] {
        if (arrived || w.form.run.fileCount != 1)
            return;
        arrived = true;
        w.arrives(NoticeFile::message, "Hello\nClear skies\n");
        w.arrives(NoticeFile::update, std::nullopt);
        EXPECT_FALSE(w.form.window.messagePanel.visible);
        EXPECT_TRUE(w.host.texts(Box::plain).empty());
    };
    w.form.Button1Click();
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(w.form.window.messagePanel.visible);
    EXPECT_EQ(w.host.boxes.front().text, "Overwrite existing files?");
    EXPECT_EQ(w.host.boxes.back().text, updateError);

    // Under a dialog, or while a click's handler waits in a box: once it is over.
    NoticeWindow d;
    d.form.dialogShown();
    d.arrives(NoticeFile::message, "Hello\nNews\n");
    EXPECT_FALSE(d.form.window.messagePanel.visible);
    d.form.dialogHidden();
    EXPECT_TRUE(d.form.window.messagePanel.visible);
    d.form.handlerStarted();
    d.arrives(NoticeFile::update, std::nullopt);
    EXPECT_TRUE(d.host.boxes.empty());
    d.form.handlerEnded();
    EXPECT_EQ(d.host.texts(Box::plain), std::vector<std::string>{updateError});

    // After the window has closed: never.
    NoticeWindow c;
    EXPECT_TRUE(c.form.requestClose());
    c.arrives(NoticeFile::message, std::nullopt);
    EXPECT_EQ(c.requests.size(), 1u);
    EXPECT_TRUE(c.host.boxes.empty());
}

TEST(Notices, OldCopiesGoAndAnUnreadableMessageSkipsTheUpdateCheck)
{
    // Both downloads fail: the old copies are gone and the update check says so once.
    Window w(false);
    testing::writeFile(w.program / "update.txt", "1.99\nhttp://old/\n");
    testing::writeFile(w.program / "kestrelMsg.txt", "Old\nnews\n");
    w.downloads.files.clear();
    w.form.FormCreate();
    EXPECT_EQ(w.downloads.asked.size(), 2u);
    EXPECT_EQ(w.host.texts(Box::plain), std::vector<std::string>{updateError});
    EXPECT_EQ(w.host.boxes.size(), 1u);
    EXPECT_FALSE(fs::exists(w.program / "update.txt"));
    EXPECT_FALSE(fs::exists(w.program / "kestrelMsg.txt"));
    EXPECT_EQ(w.host.pumps, 2) << "each old copy's removal pumps once";
    EXPECT_FALSE(w.form.window.messagePanel.visible);

    // A message file too large to be one: the general error box, and no update check.
    Window u(false);
    u.downloads.files["kestrelMsg.txt"] = std::string(1024 * 1024 + 1, 'x');
    u.form.FormCreate();
    EXPECT_EQ(u.downloads.asked, std::vector<std::string>{"http://127.0.0.1:9/kestrel/kestrelMsg.txt"});
    const auto general = u.host.texts(Box::general);
    ASSERT_EQ(general.size(), 1u);
    EXPECT_EQ(general[0].rfind("Cannot read " + (u.program / "kestrelMsg.txt").string(), 0), 0u) << general[0];
    EXPECT_EQ(u.host.boxes.size(), 1u);
}

TEST(Notices, WithoutAServerNothingIsFetchedAndHelpUsesWhatCameWithTheProgram)
{
    TempDir program;
    TestHost host;
    FakeDownloads downloads;
    TForm1 form{host, downloads, program.path()};
    form.FormCreate();
    EXPECT_TRUE(downloads.asked.empty());
    EXPECT_FALSE(form.noticesPending());
    EXPECT_TRUE(host.boxes.empty());

    const std::string page = (program / "kestrel.htm").string();
    form.G1Click();
    EXPECT_EQ(host.opened, std::vector<std::string>{page});
    EXPECT_EQ(form.homePage(), page);
    form.S1Click();
    EXPECT_EQ(host.texts(Box::plain), std::vector<std::string>{noContactText});
    EXPECT_EQ(host.opened.size(), 1u);
}

TEST(BatchRun, MixedFilesAreEachHandledAndTheRunGoesOn)
{
    Window w;
    w.form.window.edit1 = "8";
    w.form.window.edit2 = "0"; // 0 means 16 for binned images
    const std::string first = floatImage(4008, 8, 10);
    const std::vector<fs::path> files{
        w.image("a.fits", first),
        w.image("b16.fits", uint16Image(4008, 8)),
        w.image("c2x2.fits", floatImage(2004, 16, 4, "120")),
        w.image("d.fits", floatImage(3000, 0, 1)),
        w.image("e.fits", std::string(100, 'x')), // shorter than one header record
        w.image("f.fits", floatImage(4032, 8, -2)),
    };
    w.host.selections.push_back(files);
    w.form.Button1Click();

    EXPECT_EQ(w.errors(), std::vector<std::string>{"Kestrel only uses 32-bit floating point FITS images."});
    ASSERT_EQ(w.form.window.grid.rowCount(), 7);
    EXPECT_EQ(w.cell(0, 1), "a.fits");
    EXPECT_EQ(w.cell(4, 1), " 10.000");
    EXPECT_EQ(w.cell(3, 1), "     -20");
    EXPECT_EQ(w.cell(1, 2), " "); // skipped: its name alone
    EXPECT_EQ(w.cell(4, 3), "  4.000");
    EXPECT_EQ(w.cell(2, 3), "    120");
    EXPECT_EQ(w.cell(0, 5), "e.fits");
    EXPECT_EQ(w.cell(4, 5), " ");
    EXPECT_EQ(w.cell(4, 6), " -2.000"); // the file after the unreadable one is corrected

    // Only the corrected images count: 10, 4 and -2.
    EXPECT_EQ(w.form.window.label7, "4.000");
    EXPECT_EQ(w.form.window.label8, "6.000");
    EXPECT_TRUE(w.form.window.button6.visible);
    w.expectIdle();

    EXPECT_TRUE(fs::exists(w.output("a.fits")));
    EXPECT_TRUE(fs::exists(w.output("c2x2.fits")));
    EXPECT_TRUE(fs::exists(w.output("f.fits")));
    EXPECT_FALSE(fs::exists(w.output("b16.fits")));
    EXPECT_FALSE(fs::exists(w.output("d.fits")));
    EXPECT_EQ(testing::readFile(files[0]), first);
    EXPECT_EQ(w.form.run.imageResults.at(2).binning, "2x2");
    EXPECT_EQ(w.form.run.imageResults.at(1).binning, "");

    // Save Results: measured amplitudes only, the negative one included; twice gives
    // one header and both runs.
    w.form.Button6Click();
    EXPECT_FALSE(w.form.window.button6.visible);
    w.host.selections.push_back({files[0], files[2]});
    w.host.answers = {false, true}; // not over the inputs; into the existing folder
    w.form.Button1Click();
    w.form.Button6Click();
    EXPECT_EQ(testing::readFile(w.program / "kestrel.csv"),
              "Image,Binning,CCDtemp,Exposure,Amplitude\r\n"
              "a.fits,1x1,-20,60,10.00\r\nc2x2.fits,2x2,-20,120,4.00\r\nf.fits,1x1,-20,60,-2.00\r\n"
              "a.fits,1x1,-20,60,10.00\r\nc2x2.fits,2x2,-20,120,4.00\r\n");
    // The earlier run's rows beyond the new count are gone, its statistics replaced.
    EXPECT_EQ(w.form.window.grid.rowCount(), 3);
    EXPECT_EQ(w.form.window.label7, "7.000");
}

TEST(BatchRun, RowsOfAnEarlierLongerRunDoNotShowThrough)
{
    Window w;
    w.form.window.edit1 = "8";
    std::vector<fs::path> files = w.frames(10, 1);
    w.host.selections.push_back(files);
    w.form.Button1Click();
    ASSERT_EQ(w.cell(4, 10), "  1.000");

    // Ten files again, the last one now of an unknown width: its row holds its name only.
    files.back() = w.image("f9.fits", floatImage(3000, 8, 1));
    w.host.selections.push_back(files);
    w.host.answers = {false, true};
    w.form.Button1Click();
    EXPECT_EQ(w.cell(0, 10), "f9.fits");
    EXPECT_EQ(w.cell(4, 10), " ");
    EXPECT_EQ(w.cell(4, 9), "  1.000");
}

TEST(BatchRun, AmplitudeField)
{
    for (const char* bad : {"0", "-1", " -0.5"}) {
        Window w;
        w.form.window.edit3 = bad;
        w.form.Button1Click();
        EXPECT_EQ(w.errors(), std::vector<std::string>{"Amphlitude must be greater than 0.0."}) << bad;
        EXPECT_TRUE(w.host.dialogs.empty());
        w.expectIdle();
    }

    // A fixed amplitude corrects every image with it; nothing is offered for saving.
    Window fixed;
    fixed.form.window.edit1 = "8";
    fixed.form.window.edit3 = "2.5";
    fixed.host.selections.push_back({fixed.image("a.fits", floatImage(4008, 8, 10)),
                                     fixed.image("b.fits", floatImage(4008, 8, 20))});
    fixed.form.Button1Click();
    EXPECT_EQ(fixed.cell(4, 2), "  2.500");
    EXPECT_FALSE(fixed.form.window.button6.visible);
    EXPECT_EQ(fixed.form.window.label7, "2.500");

    // Text that only begins like a number measures each image, as letters do.
    for (const char* measure : {"1.5 ", "n/a", ""}) {
        Window w;
        w.form.window.edit1 = "8";
        w.form.window.edit3 = measure;
        w.host.selections.push_back({w.image("a.fits", floatImage(4008, 8, 10)), w.image("b.fits", floatImage(4008, 8, 20))});
        w.form.Button1Click();
        EXPECT_EQ(w.cell(4, 2), " 20.000") << measure;
        EXPECT_TRUE(w.form.window.button6.visible);
        EXPECT_EQ(w.host.dialogs.at(0).title, "Select FITS Image(s)");
        EXPECT_EQ(w.host.dialogs.at(0).filter, "FITS|*.FIT;*.FITS|All Files|*.*");
        EXPECT_TRUE(w.host.dialogs.at(0).multiple);
    }
}

TEST(BatchRun, PhaseFields)
{
    // A trailing blank is not a number; a leading one is skipped; 0 means 32.
    Window w;
    w.form.window.edit1 = "8 ";
    w.host.selections.push_back({w.image("a.fits", floatImage(4008, 8, 10))});
    w.form.Button1Click();
    EXPECT_EQ(w.errors(), std::vector<std::string>{"1x1 Phase is not an integer."});
    EXPECT_FALSE(fs::exists(w.output("a.fits")));
    w.expectIdle();

    w.host.boxes.clear();
    w.form.window.edit1 = " 0";
    w.host.selections.push_back({w.image("a.fits", floatImage(4008, 0, 10))});
    w.host.answers = {false, true};
    w.form.Button1Click();
    EXPECT_TRUE(w.errors().empty());
    EXPECT_EQ(w.cell(4, 1), " 10.000") << "the image was corrected at phase 32";
    EXPECT_EQ(w.form.window.grid.rowCount(), 7);

    // A bad 2x2 phase is found only at the 2x2 image: the images before it are written.
    Window m;
    m.form.window.edit1 = "8";
    m.form.window.edit2 = "x";
    m.host.selections.push_back({m.image("a.fits", floatImage(4008, 8, 10)), m.image("b.fits", floatImage(2004, 0, 1)),
                                 m.image("c.fits", floatImage(4008, 8, 10))});
    m.form.Button1Click();
    EXPECT_EQ(m.errors(), std::vector<std::string>{"2x2 Phase is not an integer."});
    EXPECT_TRUE(fs::exists(m.output("a.fits")));
    EXPECT_FALSE(fs::exists(m.output("c.fits")));
    EXPECT_EQ(m.form.window.label7, "");
    EXPECT_FALSE(m.form.window.button6.visible);
    m.expectIdle();
}

TEST(BatchRun, OutputFolderQuestions)
{
    // Yes writes over the inputs.
    Window w;
    w.form.window.edit1 = "8";
    const fs::path a = w.image("a.fits", floatImage(4008, 8, 10));
    w.host.selections.push_back({a});
    w.host.answers = {true};
    w.form.Button1Click();
    const std::string original = floatImage(4008, 8, 10), corrected = testing::readFile(a);
    ASSERT_EQ(corrected.size(), original.size());
    EXPECT_EQ(corrected.substr(0, 2880), original.substr(0, 2880));
    EXPECT_NE(corrected, original);
    EXPECT_FALSE(fs::exists(w.images / "kestrel"));
    EXPECT_EQ(w.host.boxes.at(0).text, "Overwrite existing files?");
    EXPECT_FALSE(w.host.boxes.at(0).defaultYes);

    // No, and nothing corrected (a 16-bit image): the folder the run made goes again,
    // and the next run asks no second question.
    w.host.boxes.clear();
    w.host.selections.push_back({w.image("b16.fits", uint16Image(4008, 8))});
    w.host.answers = {false};
    w.form.Button1Click();
    EXPECT_FALSE(fs::exists(w.images / "kestrel"));
    fs::remove(w.images / "b16.fits");

    // No, with the subfolder already there: a second question, and No ends the run.
    fs::create_directory(w.images / "kestrel");
    w.host.boxes.clear();
    w.host.selections.push_back({a});
    w.host.answers = {false, false};
    w.form.Button1Click();
    ASSERT_EQ(w.host.boxes.size(), 2u);
    EXPECT_EQ(w.host.boxes[1].text, (w.images / "kestrel" / "").string() + "\nalready exists.\n\nContinue?");
    EXPECT_FALSE(w.host.boxes[1].defaultYes);
    EXPECT_FALSE(fs::exists(w.output("a.fits")));
    w.expectIdle();

    // A kestrel folder that leads back to the images' own: after No, no original is
    // replaced, whatever the folder holds.
    fs::remove(w.images / "kestrel");
    fs::create_directory_symlink(".", w.images / "kestrel");
    const std::string before = testing::readFile(a);
    w.host.boxes.clear();
    w.host.selections.push_back({a});
    w.host.answers = {false, true};
    w.form.Button1Click();
    EXPECT_EQ(testing::readFile(a), before);
    EXPECT_EQ(w.errors(), std::vector<std::string>{a.string() + ": its corrected file " + w.output("a.fits").string() +
                                                   " would replace the original " + a.string() + "; it is skipped."});
    EXPECT_EQ(w.cell(0, 1), "a.fits");
    EXPECT_EQ(w.cell(4, 1), " ");
    w.expectIdle();
    fs::remove(w.images / "kestrel");

    // Cancelling the dialog leaves the grid cleared and the window idle.
    w.host.boxes.clear();
    w.form.Button1Click();
    EXPECT_TRUE(w.host.boxes.empty());
    EXPECT_EQ(w.cell(0, 1), " ");
    w.expectIdle();
}

TEST(BatchRun, AFailedImageLeavesItsInputUntouched)
{
    Window w;
    w.form.window.edit1 = "8";
    std::string bad = floatImage(4008, 8, 10);
    bad.resize(bad.size() - 2880 * 4); // data cut short
    const fs::path a = w.image("a.fits", bad);
    const fs::path b = w.image("b.fits", floatImage(4008, 8, 10));
    w.host.selections.push_back({a, b});
    w.host.answers = {true}; // over the inputs
    w.form.Button1Click();
    EXPECT_EQ(testing::readFile(a), bad);
    EXPECT_EQ(w.cell(3, 1), "Failed");
    EXPECT_EQ(w.cell(4, 2), " 10.000");
    // The failed image takes no part in the statistics: one value gives a mean only.
    EXPECT_EQ(w.form.window.label7, "10.000");
    EXPECT_EQ(w.form.window.label8, "");

    // Every sample there but the last record cut short: corrected, and written out to
    // whole records. A data area that ends inside a sample is still refused.
    const std::string whole = floatImage(4008, 8, 10); // 3 rows: 12,024 samples
    const std::size_t dataStart = whole.size() - 17 * 2880;
    const std::string cut = whole.substr(0, dataStart + 12024 * 4);
    const fs::path c = w.image("c.fits", cut);
    const fs::path d = w.image("d.fits", cut.substr(0, cut.size() - 2));
    w.host.boxes.clear();
    w.host.selections.push_back({c, d});
    w.host.answers = {false};
    w.form.Button1Click();
    EXPECT_EQ(w.cell(4, 1), " 10.000");
    EXPECT_EQ(testing::readFile(w.output("c.fits")).size(), whole.size());
    EXPECT_EQ(w.cell(3, 2), "Failed");
    EXPECT_FALSE(fs::exists(w.output("d.fits")));
    EXPECT_EQ(w.errors(), std::vector<std::string>{"Range check error... in function loadAllImageDataFloat32."});
}

// Originals survive whatever happens: a protected one is not replaced and the run goes
// on, a write that fails leaves a "Failed" row, and a folder that cannot be made is
// named with its reason before any image is treated.
TEST(BatchRun, ProtectedOriginalsFailedWritesAndAFolderInTheWay)
{
    Window w;
    w.form.window.edit1 = "8";
    const auto files = w.frames(3, 10);
    const std::string original = testing::readFile(files[1]);
    fs::permissions(files[1], fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    w.host.selections.push_back(files);
    w.host.answers = {true}; // over the inputs
    w.form.Button1Click();
    EXPECT_EQ(w.errors(), std::vector<std::string>{"Cannot write " + files[1].string() + ": the file is write-protected"});
    EXPECT_EQ(testing::readFile(files[1]), original);
    EXPECT_EQ(w.cell(3, 2), "Failed");
    EXPECT_EQ(w.cell(3, 3), "     -20") << "the run goes on after a protected original";
    EXPECT_NE(testing::readFile(files[2]), original);

    // The disk refuses the rename: the image is not corrected and its row says so.
    w.host.boxes.clear();
    {
        FileSystemCalls full = realFileSystemCalls();
        full.rename = [](const char*, const char*) {
            errno = ENOSPC;
            return -1;
        };
        ScopedFileSystemCalls scoped(full);
        w.host.selections.push_back({files[0]});
        w.host.answers = {false};
        w.form.Button1Click();
    }
    EXPECT_EQ(w.errors(), std::vector<std::string>{"Cannot write " + w.output("f0.fits").string() +
                                                   ": No space left on device... in function fixFloat32Columns."});
    EXPECT_EQ(w.cell(3, 1), "Failed");
    EXPECT_EQ(w.cell(4, 1), " ");
    EXPECT_FALSE(fs::exists(w.output("f0.fits")));

    // A file named like the output folder: nothing is treated, the folder is named.
    Window blocked;
    blocked.form.window.edit1 = "8";
    const auto more = blocked.frames(2, 10);
    testing::writeFile(blocked.images / "kestrel", "in the way");
    blocked.host.selections.push_back(more);
    blocked.form.Button1Click();
    EXPECT_EQ(blocked.errors(), std::vector<std::string>{"Cannot create the folder " +
                                                         (blocked.images / "kestrel").string() +
                                                         ": a file of that name is in the way"});
    EXPECT_EQ(blocked.cell(0, 1), " ");
    blocked.expectIdle();
}

TEST(BatchRun, CancelAtTheSecondFile)
{
    Window w;
    w.form.window.edit1 = "8";
    std::vector<fs::path> files = w.frames(5, 3);
    w.host.selections.push_back(files);
    bool pressed = false;
    // While the second file is treated.
    w.threads.beforeImage = [&] {
        if (w.form.run.fileCount == 1 && !pressed) {
            pressed = true;
            EXPECT_TRUE(w.form.window.button2.visible);
            EXPECT_TRUE(w.form.window.progressBar1.visible);
            EXPECT_FALSE(w.form.window.button1.enabled);
            EXPECT_TRUE(w.host.busyCursor);
            w.form.Button2Click();
            EXPECT_EQ(w.form.window.button2.caption, "Canceling");
        }
    };
    w.form.Button1Click();
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(fs::exists(w.output("f1.fits")));
    EXPECT_FALSE(fs::exists(w.output("f2.fits")));
    EXPECT_EQ(w.cell(4, 2), "  3.000");
    EXPECT_EQ(w.cell(0, 3), " ");
    EXPECT_EQ(w.form.window.label7, "");
    EXPECT_EQ(w.form.window.label8, "");
    EXPECT_FALSE(w.form.window.button6.visible);
    w.expectIdle();
    EXPECT_EQ(w.form.window.button2.caption, "Cancel");
}

// A write that fails in the middle of a batch ends it there, as a cancel does: the
// images after it are not treated and the statistics and Save Results leave out the
// failed image and those never reached, with one file at a time or several at once.
TEST(BatchRun, AFailedWriteInTheMiddleEndsTheBatch)
{
    for (const unsigned jobs : {1u, 4u}) {
        Window w;
        w.form.jobs = jobs;
        w.form.window.edit1 = "8";
        const std::vector<fs::path> files = w.frames(4, 3);
        w.host.selections.push_back(files);
        int renames = 0;
        FileSystemCalls failing = realFileSystemCalls();
        failing.rename = [&](const char* from, const char* to) {
            if (++renames == 2) {
                errno = EIO;
                return -1;
            }
            return ::rename(from, to);
        };
        ScopedFileSystemCalls scoped(failing);
        w.form.Button1Click();
        EXPECT_EQ(w.cell(4, 1), "  3.000") << jobs;
        EXPECT_EQ(w.cell(3, 2), "Failed") << jobs;
        EXPECT_EQ(w.cell(0, 3), " ") << jobs;
        EXPECT_FALSE(fs::exists(w.output("f2.fits"))) << jobs;
        EXPECT_FALSE(fs::exists(w.output("f3.fits"))) << jobs;
        EXPECT_EQ(w.form.window.label7, "") << jobs;
        EXPECT_FALSE(w.form.window.button6.visible) << jobs;
        w.expectIdle();
    }
}

TEST(BatchRun, NothingElseStartsWhileARunIsInProgress)
{
    Window w;
    w.form.window.edit1 = "8";
    std::vector<fs::path> files;
    for (int i = 0; i < 3; ++i)
        files.push_back(w.image("f" + std::to_string(i) + ".fits", floatImage(4008, 8, 1 + i)));
    w.host.selections.push_back(files);
    bool tried = false, closed = true;
    // While the first file is treated.
    w.threads.beforeImage = [&] {
        if (w.form.run.fileCount != 0 || tried)
            return;
        tried = true;
        w.host.selections.push_back({files[0]});
        w.form.Button1Click();
        w.form.Button7Click();
        w.form.window.grid.currentColumn = 0;
        w.form.StringGrid1DblClick();
        w.form.filesDropped({files[0]});
        EXPECT_EQ(w.host.dialogs.size(), 1u);
        EXPECT_EQ(w.host.texts(Box::confirm).size(), 1u) << "a drop started a second run";
        // Closing asks the run to stop; the window closes when the file is done.
        closed = w.form.requestClose();
    };
    w.form.Button1Click();
    EXPECT_TRUE(tried);
    EXPECT_FALSE(closed);
    EXPECT_TRUE(w.form.closeDue());
    EXPECT_TRUE(fs::exists(w.output("f0.fits")));
    EXPECT_FALSE(fs::exists(w.output("f1.fits")));
    EXPECT_EQ(readProfileString(w.program / "kestx.ini", "kestx", "1x1phase", "?"), "8");
    w.expectIdle();
}

TEST(BatchRun, ACloseBeforeTheFileDialogEndsTheRun)
{
    Window w;
    w.host.selections.push_back({w.image("a.fits", floatImage(4008, 8, 1))});
    bool closed = true;
    w.host.onPump = [&](long pump) {
        if (pump == 1)
            closed = w.form.requestClose();
    };
    w.form.Button1Click();
    EXPECT_FALSE(closed);
    EXPECT_TRUE(w.form.closeDue());
    EXPECT_TRUE(w.host.dialogs.empty());
    EXPECT_TRUE(fs::exists(w.program / "kestx.ini"));
    w.expectIdle();
}

TEST(BatchRun, DroppedFilesRunAsIfChosenInTheDialog)
{
    Window w;
    w.form.window.edit1 = "8";
    const fs::path c = w.image("c.fits", floatImage(4008, 8, 3)), a = w.image("a.fits", floatImage(4008, 8, 1));
    const fs::path b = w.image("b.fits", uint16Image(4008, 8));
    fs::current_path(w.program.path());

    // The amplitude is checked first, as before the dialog: nothing starts.
    w.form.window.edit3 = "0";
    w.form.filesDropped({c, a});
    EXPECT_EQ(w.errors(), std::vector<std::string>{"Amphlitude must be greater than 0.0."});
    EXPECT_TRUE(w.host.texts(Box::confirm).empty());
    EXPECT_EQ(fs::current_path(), w.program.path());

    w.host.boxes.clear();
    w.form.window.edit3 = "n/a";
    w.form.filesDropped({c, b, a});
    EXPECT_TRUE(w.host.dialogs.empty());
    EXPECT_EQ(w.host.texts(Box::confirm), std::vector<std::string>{"Overwrite existing files?"});
    EXPECT_EQ(w.errors(), std::vector<std::string>{"Kestrel only uses 32-bit floating point FITS images."});
    EXPECT_EQ(w.cell(0, 1), "c.fits");
    EXPECT_EQ(w.cell(0, 2), "b.fits");
    EXPECT_EQ(w.cell(0, 3), "a.fits");
    EXPECT_EQ(w.cell(4, 1), "  3.000");
    EXPECT_TRUE(fs::exists(w.output("a.fits")));
    EXPECT_TRUE(w.form.window.button6.visible);
    EXPECT_EQ(fs::current_path(), w.images.path()) << "the files' folder becomes the working folder";
    w.expectIdle();
}

TEST(Help, ABoxOnlyWhenTheDesktopHasNoProgramToOpenWith)
{
    // A handler takes each target; a missing manual is its business, not ours.
    Window w;
    w.form.Help2Click();
    w.form.G1Click();
    w.form.S1Click();
    EXPECT_EQ(w.host.opened, (std::vector<std::string>{(w.program / "Kestrel.pdf").string(),
                                                       "http://127.0.0.1:9/kestrel/kestrel.htm",
                                                       "mailto:kestrel@example.org?subject=Kestrel..."}));
    EXPECT_TRUE(w.host.boxes.empty());

    w.host.handlerFound = false;
    w.form.Help2Click();
    w.form.G1Click();
    w.form.S1Click();
    EXPECT_EQ(w.host.texts(Box::plain),
              (std::vector<std::string>{
                  "No PDF reader was found to open " + (w.program / "Kestrel.pdf").string() +
                      ". Open it with a program of your choice.",
                  "No web browser was found to open http://127.0.0.1:9/kestrel/kestrel.htm. Open the address in a "
                  "browser of your choice.",
                  "No e-mail program was found to write to kestrel@example.org. Write to this address, subject "
                  "\"Kestrel...\", with a program of your choice."}));
    EXPECT_EQ(w.host.boxes.size(), 3u);

    // The opener ran and reported that it found no program: the same boxes, once the
    // window is idle.
    Window later;
    later.form.handlerStarted();
    const std::string web = "http://127.0.0.1:9/kestrel/kestrel.htm";
    for (const std::string& target : {(later.program / "Kestrel.pdf").string(), web,
                                      std::string("mailto:kestrel@example.org?subject=Kestrel...")})
        later.form.openerFailed(target);
    EXPECT_TRUE(later.host.boxes.empty());
    later.form.handlerEnded();
    EXPECT_EQ(later.host.texts(Box::plain),
              (std::vector<std::string>{noPdfReaderText(later.program / "Kestrel.pdf"), noWebBrowserText(web),
                                        noMailProgramText("kestrel@example.org", "Kestrel...")}));
}

TEST(Statistics, SampleDeviationOverCorrectedImagesOnly)
{
    Window w;
    const std::vector<double> v{1, 2, 3, 4, failedAmplitude};
    EXPECT_NEAR(w.form.showAmplitudeStatistics(v, 0, 4), 1.2909944, 1e-6);
    EXPECT_EQ(w.form.window.label7, "2.500");
    EXPECT_EQ(w.form.window.label8, "1.291");
    w.form.showAmplitudeStatistics(v, 4, 4);
    EXPECT_EQ(w.form.window.label7, "");
    EXPECT_EQ(w.form.window.label8, "");
    w.form.showAmplitudeStatistics({-0.5, failedAmplitude}, 0, 1);
    EXPECT_EQ(w.form.window.label7, "-0.500");
    EXPECT_EQ(w.form.window.label8, "");
}

TEST(PhaseRun, FindsStoresAndCutsTheResults)
{
    Window w;
    w.form.window.edit1 = "8";
    std::vector<fs::path> files = w.frames(10, 1);
    w.host.selections.push_back(files);
    w.host.defaultAnswer = true;
    w.form.Button1Click();
    ASSERT_TRUE(w.form.window.button6.visible);

    w.host.boxes.clear();
    w.host.selections.push_back({w.image("p.fits", uint16Image(4032, 5))});
    w.form.Button7Click();
    ASSERT_EQ(w.host.boxes.size(), 1u);
    EXPECT_EQ(w.host.boxes[0].text, "The Phase = 5\nUpdate the congfiguration (.ini) file?");
    EXPECT_TRUE(w.host.boxes[0].defaultYes);
    EXPECT_EQ(w.form.window.edit1, "5");
    EXPECT_EQ(readProfileString(w.program / "kestx.ini", "kestx", "1x1phase", "?"), "5");
    EXPECT_EQ(w.form.window.grid.rowCount(), 7);
    EXPECT_EQ(w.form.run.imageResults.size(), 1u);
    EXPECT_FALSE(w.form.window.button6.visible); // the batch's results are no longer whole
    EXPECT_FALSE(w.host.dialogs.back().multiple);
    w.expectIdle();

    // 2x2 with the binned search; a float image is refused; an unknown width and a
    // short header end quietly.
    w.host.boxes.clear();
    w.host.selections.push_back({w.image("q.fits", uint16Image(2016, 3))});
    w.host.selections.push_back({w.image("r.fits", floatImage(4008, 8, 1))});
    w.host.selections.push_back({w.image("s.fits", uint16Image(3000, 3))});
    w.host.selections.push_back({w.image("t.fits", std::string(2000, ' '))});
    for (int i = 0; i < 4; ++i) {
        w.form.Button7Click();
        w.expectIdle();
    }
    ASSERT_EQ(w.host.boxes.size(), 2u);
    EXPECT_EQ(w.host.boxes[0].text.substr(0, 14), "The Phase = 3\n");
    EXPECT_EQ(w.form.window.edit2, "3");
    EXPECT_EQ(w.host.boxes[1].text, "Kestrel only uses 16-bit unsigned FITS \nimages to calculate the vertical band phase.");
}

TEST(PhaseRun, NoKeepsFieldAndFileAndAFailedSearchAsksNothing)
{
    Window w;
    const fs::path found = w.image("p.fits", uint16Image(4008, 7));
    w.host.selections.push_back({found});
    w.host.answers = {false};
    w.form.Button7Click();
    ASSERT_EQ(w.host.boxes.size(), 1u);
    EXPECT_EQ(w.host.boxes[0].text, "The Phase = 7\nUpdate the congfiguration (.ini) file?");
    EXPECT_EQ(w.form.window.edit1, "n/a");
    EXPECT_FALSE(fs::exists(w.program / "kestx.ini"));
    w.expectIdle();

    // Samples of 0 give a background of 0 and leave no sample in range: one error box,
    // no question.
    std::vector<std::uint16_t> dark(2004 * 3, 0);
    w.host.boxes.clear();
    w.host.selections.push_back(
        {w.image("dark.fits", testing::headerRecords(testing::uint16ImageCards(2004, 3)) + testing::uint16Data(dark))});
    w.form.Button7Click();
    EXPECT_EQ(w.errors(), std::vector<std::string>{"Invalid floating point operation... in function findPhase16."});
    EXPECT_TRUE(w.host.texts(Box::confirm).empty());
    w.expectIdle();
}

TEST(PhaseRun, FailedLoadStopsBeforeTheSearch)
{
    Window w;
    std::string cut = uint16Image(4008, 5);
    cut.resize(cut.size() - 2880 * 3);
    w.host.selections.push_back({w.image("p.fits", cut)});
    w.form.Button7Click();
    for (const Box& b : w.host.boxes)
        EXPECT_NE(b.kind, Box::confirm) << b.text;
    EXPECT_EQ(w.form.window.edit1, "n/a");
    w.expectIdle();
}

TEST(SaveResults, AFailedExportKeepsTheFileAndTheButton)
{
    Window w;
    w.form.window.edit1 = "8";
    w.host.selections.push_back({w.image("a.fits", floatImage(4008, 8, 1)), w.image("b.fits", floatImage(4008, 8, 2))});
    w.form.Button1Click();
    fs::create_directory(w.program / "kestrel.csv"); // cannot be opened as a file
    w.form.Button6Click();
    ASSERT_EQ(w.host.texts(Box::general).size(), 1u);
    EXPECT_TRUE(w.form.window.button6.visible);

    // A results file whose last line lacks its line end gets one before the new records.
    fs::remove(w.program / "kestrel.csv");
    testing::writeFile(w.program / "kestrel.csv", "Image,Binning,CCDtemp,Exposure,Amplitude\r\nold.fits,1x1,-20,60,1.00");
    w.form.Button6Click();
    EXPECT_EQ(testing::readFile(w.program / "kestrel.csv"),
              "Image,Binning,CCDtemp,Exposure,Amplitude\r\nold.fits,1x1,-20,60,1.00\r\n"
              "a.fits,1x1,-20,60,1.00\r\nb.fits,1x1,-20,60,2.00\r\n");
}

TEST(Grid, DoubleClickSortsByTheCurrentColumn)
{
    Window w;
    w.form.window.edit1 = "8";
    w.host.selections.push_back({w.image("a.fits", floatImage(4008, 8, 1, "60")), w.image("b.fits", floatImage(4008, 8, 2, "120"))});
    w.form.Button1Click();
    w.form.window.grid.currentColumn = 2;
    w.form.StringGrid1DblClick();
    // As text, "    120" comes before "    60".
    EXPECT_EQ(w.cell(0, 1), "b.fits");
    EXPECT_EQ(w.cell(0, 2), "a.fits");
    EXPECT_EQ(w.form.window.sortIndicator(), 2);

    // A header's click sorts by its own column, whatever cell is current, in the same
    // order; the header shows the column until the rows change again.
    w.form.StringGrid1HeaderClick(0);
    EXPECT_EQ(w.cell(0, 1), "a.fits");
    EXPECT_EQ(w.form.window.grid.currentColumn, 2);
    EXPECT_EQ(w.form.window.sortIndicator(), 0);
    w.form.StringGrid1HeaderClick(2);
    EXPECT_EQ(w.cell(0, 1), "b.fits");
    EXPECT_EQ(w.form.window.sortIndicator(), 2);
    w.form.clearResultsGrid();
    EXPECT_EQ(w.form.window.sortIndicator(), -1);
}

TEST(CommandLine, HelpAndVersionNeedNoWindowAndFilesComeAbsoluteInTheirOrder)
{
    using Action = WindowArguments::Action;
    struct Case {
        std::vector<std::string> args;
        Action early, parsed;
    };
    const Case cases[] = {
        {{}, Action::window, Action::window},
        {{"--help"}, Action::help, Action::help},
        {{"-h", "a.fits"}, Action::help, Action::help},
        {{"-platform", "offscreen", "--version"}, Action::version, Action::usageError},
        {{"--version", "--help"}, Action::version, Action::version},
        {{"--", "--help"}, Action::window, Action::window},
        {{"--bogus"}, Action::window, Action::usageError},
        {{"-x", "--help"}, Action::help, Action::usageError},
        {{""}, Action::window, Action::usageError},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(helpOrVersion(c.args), c.early) << ::testing::PrintToString(c.args);
        EXPECT_EQ(parseWindowArguments(c.args).action, c.parsed) << ::testing::PrintToString(c.args);
    }
    EXPECT_EQ(parseWindowArguments({"--bogus"}).error, "unknown option '--bogus'");

    TempDir here;
    fs::current_path(here.path());
    const WindowArguments files = parseWindowArguments({"b.fits", "--", "-a.fits", "/x/../c.fits"});
    EXPECT_EQ(files.action, Action::window);
    EXPECT_EQ(files.files, (std::vector<fs::path>{here / "b.fits", here / "-a.fits", "/c.fits"}));

    // Lines a terminal shows whole, and the version's licence.
    for (const std::string& text : {windowHelpText(), windowVersionText()}) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), 80u) << line;
    }
    EXPECT_EQ(windowVersionText().rfind("kestrel 1.35\nCopyright (c) 2026 The Kestrel developers\n", 0), 0u);
    EXPECT_NE(windowVersionText().find("MIT License"), std::string::npos);
}

} // namespace
} // namespace kestrel

namespace kestrel {
namespace {

/// The menu as the user reads it: each item's text, "|" between them.
std::string menuText(const std::vector<MenuItem>& items)
{
    std::string out;
    for (const MenuItem& item : items)
        out += (out.empty() ? "" : "|") + item.text();
    return out;
}

TEST(ContextMenus, ItemsFollowTheRunAndTheRow)
{
    Window w;
    std::vector<ChartView> shown;
    w.form.showCharts = [&](const ChartView& v) { shown.push_back(v); };
    w.form.window.edit1 = "8";
    EXPECT_EQ(menuText(w.form.gridMenu(1)), "");
    EXPECT_EQ(menuText(w.form.phaseFieldMenu()), "Phase Scores... (no phase was searched yet)");

    // One image alone: no run's amplitudes to compare.
    const fs::path single = w.image("one.fits", floatImage(4008, 8, 3));
    w.host.selections.push_back({single});
    w.host.answers = {false};
    w.form.Button1Click();
    EXPECT_EQ(menuText(w.form.gridMenu(1)), "Band Profile...|Open Folder");
    EXPECT_EQ(menuText(w.form.gridMenu(2)), "");

    // A batch with a corrected, a failed (its pixels end early) and a skipped image, the
    // rows sorted by amplitude: each row's menu is that of its own image.
    std::vector<fs::path> files = w.frames(1, 10);
    const std::string whole = floatImage(4008, 8, 10);
    files.push_back(w.image("f1.fits", whole.substr(0, whole.size() - 2880)));
    files.push_back(w.image("u.fits", uint16Image(4008, 8)));
    w.host.selections.push_back(files);
    w.host.answers = {false, true};
    w.form.Button1Click();
    w.form.StringGrid1HeaderClick(4);
    const std::map<std::string, std::string> expected{
        {"f0.fits", "Band Profile...|Open Folder|Amplitudes of This Run..."},
        {"f1.fits", "Band Profile... (the image was not corrected)|Open Folder (no corrected file was written)|"
                    "Amplitudes of This Run..."},
        {"u.fits", "Band Profile... (the image was skipped)|Open Folder (no corrected file was written)|"
                   "Amplitudes of This Run..."}};
    std::set<std::string> rows;
    for (int row = 1; row <= 3; ++row) {
        rows.insert(w.cell(0, row));
        EXPECT_EQ(menuText(w.form.gridMenu(row)), expected.at(w.cell(0, row))) << w.cell(0, row);
    }
    EXPECT_EQ(rows.size(), 3u);
    int f0 = 1;
    while (w.cell(0, f0) != "f0.fits")
        ++f0;

    // An unavailable item does nothing; the others open their dialogs.
    w.host.boxes.clear();
    w.form.menuChosen(MenuChoice::bandProfile, f0 == 1 ? 2 : 1);
    w.form.menuChosen(MenuChoice::bandProfile, f0);
    w.form.menuChosen(MenuChoice::runAmplitudes, f0);
    w.form.menuChosen(MenuChoice::openFolder, f0);
    EXPECT_TRUE(w.host.boxes.empty()) << w.host.boxes.front().text;
    EXPECT_EQ(w.host.opened, std::vector<std::string>{w.output("").parent_path().string()});
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, "Band Profile of f0.fits");
    EXPECT_EQ(shown[0].lines.at(2), "Amplitude applied: 10.000 ADU (standard estimator)");
    EXPECT_EQ(shown[0].lines.at(3).substr(0, 19), "Residual: 0.000 ADU");
    // The test frame's band starts at column 8, noise-free.
    EXPECT_EQ(shown[0].lines.at(4), "The frame's own phase: 8, significance inf");
    EXPECT_EQ(shown[1].lines, (std::vector<std::string>{"1 of 3 images corrected", "Mean amplitude: 10.000 ADU",
                                                        "Standard deviation: none"}));
    EXPECT_EQ(shown[1].charts.size(), 2u);

    // An input changed or gone since the run is not measured again.
    testing::writeFile(files[0], floatImage(4008, 8, 4, "30"));
    w.form.menuChosen(MenuChoice::bandProfile, f0);
    fs::remove(files[0]);
    w.form.menuChosen(MenuChoice::bandProfile, f0);
    EXPECT_EQ(w.errors(), (std::vector<std::string>{
                              files[0].string() + " has changed since the run: its band profile would not show "
                                                  "what the run corrected.",
                              files[0].string() + " is gone since the run: its band profile cannot be measured."}));
    EXPECT_EQ(shown.size(), 2u);

    // A phase run replaces the grid: its rows have no menu, the phase fields offer its
    // scores.
    w.host.selections.push_back({w.image("p.fits", uint16Image(4008, 8))});
    w.host.answers = {false};
    w.form.Button7Click();
    EXPECT_EQ(menuText(w.form.gridMenu(1)), "");
    EXPECT_EQ(menuText(w.form.phaseFieldMenu()), "Phase Scores...");
    w.form.menuChosen(MenuChoice::phaseScores);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[2].caption, "Phase Scores of p.fits");
    EXPECT_EQ(shown[2].lines.at(0), "p.fits, 1x1: phase 8");
}

} // namespace
} // namespace kestrel
