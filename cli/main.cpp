// kestrel-cli: the window's batch correction and phase finding for scripts and
// headless machines, file for file and bit for bit what the window writes.
#include "cli/options.h"
#include "cli/profile.h"
#include "cli/run.h"

#include "core/program_folder.h"
#include "online/online.h"
#include "settings/settings.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace kestrel::cli {
namespace {

// Status on standard error, only when it is a terminal.
class Progress {
public:
    Progress(std::size_t total) : total_(total), enabled_(::isatty(2) == 1) {}
    void show(std::size_t done)
    {
        if (!enabled_)
            return;
        constexpr int width = 30;
        const int filled = total_ ? static_cast<int>(done * width / total_) : width;
        std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "##############################", width - filled, "",
                     done, total_);
        if (done == total_)
            std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    void clearLine()
    {
        if (enabled_)
            std::fputs("\r\033[K", stderr);
    }

private:
    std::size_t total_;
    bool enabled_;
};

std::optional<std::string> settingsPhase(const kestrel::FileLocations& where, const char* key)
{
    const std::string value = readProfileString(where.settingsFile, settingsSection, key, "ERROR");
    if (value == "ERROR")
        return std::nullopt;
    return value;
}

std::filesystem::path outputFolderFor(const Options& o)
{
    if (o.overwrite)
        return std::filesystem::absolute(o.files.front()).parent_path();
    if (o.outputDir)
        return *o.outputDir;
    return std::filesystem::absolute(o.files.front()).parent_path() / "kestrel";
}

int runCorrect(const Options& o, const kestrel::FileLocations& where)
{
    PhaseFields phases;
    try {
        phases.phase1x1 = o.phase1x1 ? *o.phase1x1 : settingsPhase(where, "1x1phase").value_or("");
        phases.phase2x2 = o.phase2x2 ? *o.phase2x2 : settingsPhase(where, "2x2phase").value_or("");
    } catch (const std::exception& e) {
        std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
        return 1;
    }

    const std::filesystem::path outputFolder = outputFolderFor(o);
    if (!o.overwrite) {
        std::error_code ec;
        std::filesystem::create_directories(outputFolder, ec);
        if (ec) {
            std::cerr << "kestrel-cli: cannot create the output folder " << outputFolder.string() << ": "
                      << ec.message() << "\n";
            return 1;
        }
    }

    const std::size_t n = o.files.size();
    std::vector<std::optional<FileResult>> outcomes(n);
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<std::size_t> next{0};
    const unsigned jobs =
        std::max(1u, std::min<unsigned>(o.jobs ? o.jobs : std::thread::hardware_concurrency(), static_cast<unsigned>(n)));

    // Written files wait here for their flush to disk and rename, which one thread does
    // in turn while the workers go on with their next images: a worker that waited for
    // the disk itself would leave its core idle. The queue is short, so that only a few
    // temporary files are open at a time.
    std::deque<std::pair<std::size_t, FileResult>> unwritten;
    std::condition_variable queued, room;
    const std::size_t maxUnwritten = 2 * static_cast<std::size_t>(jobs);
    unsigned workersLeft = jobs;

    auto worker = [&] {
        WorkerMemory memory;
        for (std::size_t i; (i = next.fetch_add(1)) < n;) {
            FileResult outcome =
                correctOne(o.files[i], outputFolder / o.files[i].filename(), phases, o.amplitude, memory, o.verify);
            std::unique_lock lock(mutex);
            if (outcome.commit) {
                room.wait(lock, [&] { return unwritten.size() < maxUnwritten; });
                unwritten.emplace_back(i, std::move(outcome));
                queued.notify_one();
            } else {
                outcomes[i] = std::move(outcome);
                ready.notify_all();
            }
        }
        std::lock_guard lock(mutex);
        if (--workersLeft == 0)
            queued.notify_one();
    };
    auto writer = [&] {
        for (;;) {
            std::unique_lock lock(mutex);
            queued.wait(lock, [&] { return !unwritten.empty() || workersLeft == 0; });
            if (unwritten.empty())
                return;
            auto [i, outcome] = std::move(unwritten.front());
            unwritten.pop_front();
            room.notify_all();
            lock.unlock();
            outcome.finishWriting();
            lock.lock();
            outcomes[i] = std::move(outcome);
            ready.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < jobs; ++t)
        threads.emplace_back(worker);
    threads.emplace_back(writer);

    // Results are printed in input order as soon as each one and all before it are done.
    Progress progress(n);
    bool allCorrected = true;
    std::vector<tImageData> entries;
    for (std::size_t i = 0; i < n; ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return outcomes[i].has_value(); });
        const FileResult& out = *outcomes[i];
        lock.unlock();
        progress.clearLine();
        for (const auto& m : out.messages)
            std::cerr << o.files[i].filename().string() << ": " << m << "\n";
        std::cout << out.line() << "\n" << std::flush;
        allCorrected = allCorrected && out.succeeded();
        if (const auto entry = out.entry())
            entries.push_back(*entry);
        progress.show(i + 1);
    }
    for (auto& t : threads)
        t.join();

    if (o.csv) {
        try {
            appendResultsCsv(*o.csv, entries);
        } catch (const std::exception& e) {
            std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
            return 1;
        }
    }
    return allCorrected ? 0 : 1;
}

int runPhase(const Options& o, const kestrel::FileLocations& where)
{
    const PhaseResult out = findPhaseOf(o.files.front());
    for (const auto& m : out.messages)
        std::cerr << o.files.front().filename().string() << ": " << m << "\n";
    std::cout << out.line << "\n" << std::flush;
    if (out.status != FileResult::Status::corrected)
        return 1;
    const int shown = showPhaseScores(o, out);
    if (o.save) {
        // A phase that was not stored must not let a script go on to correct a night
        // with the old one.
        try {
            storePhase(where.settingsFile, out.outcome->bands, out.outcome->search.phase);
        } catch (const std::exception& e) {
            std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
            return 1;
        }
    }
    return shown;
}

} // namespace
} // namespace kestrel::cli

int main(int argc, char** argv)
{
    using namespace kestrel::cli;
    const ParseResult parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "kestrel-cli: " << parsed.error << "\n" << usageText();
        return 2;
    }
    const Options& o = parsed.options;
    switch (o.command) {
    case Options::Command::help:
        std::cout << helpText();
        return 0;
    case Options::Command::version:
        std::cout << "kestrel-cli " << kestrel::programVersion << "\n";
        return 0;
    case Options::Command::correct:
        return runCorrect(o, kestrel::FileLocations::besideProgram(kestrel::executableFolder()));
    case Options::Command::phase:
        return runPhase(o, kestrel::FileLocations::besideProgram(kestrel::executableFolder()));
    case Options::Command::profile:
        return runProfile(o, kestrel::FileLocations::besideProgram(kestrel::executableFolder()).settingsFile);
    case Options::Command::none:
        break;
    }
    std::cerr << usageText();
    return 2;
}
