#include "cli/correct_run.h"

#include "cli/profile.h"
#include "cli/run.h"
#include "core/whole_file.h"
#include "settings/settings.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <deque>
#include <iostream>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace kestrel::cli {
namespace {

// Status on standard error, only when it is a terminal.
class Progress {
public:
    explicit Progress(std::size_t total) : total_(total), enabled_(::isatty(2) == 1) {}
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

/// The signals that stop a run are blocked in every thread and taken by one thread of
/// their own, which hands them to `stop`; a signal handler could do almost nothing
/// safely. A closed output is seen as a failed write instead, so SIGPIPE is ignored.
class StopSignals {
public:
    explicit StopSignals(std::function<void(int)> stop) : stop_(std::move(stop))
    {
        std::signal(SIGPIPE, SIG_IGN);
        sigemptyset(&set_);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR2})
            sigaddset(&set_, s);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
        waiter_ = std::thread([this] {
            for (int s = 0; sigwait(&set_, &s) == 0;) {
                if (s == SIGUSR2)
                    return;
                stop_(s);
            }
        });
    }
    ~StopSignals()
    {
        // SIGUSR2, sent to the waiting thread alone, tells it the run is over.
        pthread_kill(waiter_.native_handle(), SIGUSR2);
        waiter_.join();
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::function<void(int)> stop_;
    sigset_t set_{};
    sigset_t old_{};
    std::thread waiter_;
};

std::filesystem::path outputFolderFor(const Options& o)
{
    if (o.outputDir)
        return *o.outputDir;
    return std::filesystem::absolute(o.files.front()).parent_path() / "kestrel";
}

/// Refuses a results file that can never be written, before any image is: a name that
/// is a folder or something other than a file, or one in a folder that does not exist.
std::optional<std::string> resultsFileProblem(const std::filesystem::path& csv)
{
    std::error_code ec;
    const auto status = std::filesystem::status(csv, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        return cannotWrite(csv, std::filesystem::is_directory(status) ? "it is a folder" : "not a regular file");
    const std::filesystem::path folder = std::filesystem::absolute(csv).parent_path();
    if (!std::filesystem::is_directory(folder, ec))
        return cannotWrite(csv, "the folder " + folder.string() + " does not exist");
    return std::nullopt;
}

/// One correct run: the files handed to workers in input order, the written files put
/// in place by one writer thread, and the result lines printed in input order.
class CorrectRun {
public:
    CorrectRun(const Options& o, PhaseFields phases, std::filesystem::path outputFolder)
        : o_(o), phases_(std::move(phases)), plan_(o.overwrite, std::move(outputFolder)), n_(o.files.size()),
          outcomes_(n_), repeated_(n_)
    {
        // Which inputs may be written is settled here, in input order, so the answer
        // does not depend on which worker comes first.
        for (std::size_t i = 0; i < n_; ++i)
            repeated_[i] = plan_.claim(o.files[i]);
        jobs_ = std::max(1u, std::min<unsigned>(o.jobs ? o.jobs : std::thread::hardware_concurrency(),
                                                static_cast<unsigned>(n_)));
    }

    int run()
    {
        StopSignals signals([this](int s) { stop(s); });
        std::vector<std::thread> threads;
        workersLeft_ = jobs_;
        for (unsigned t = 0; t < jobs_; ++t)
            threads.emplace_back([this] { work(); });
        threads.emplace_back([this] { write(); });

        std::size_t printed = printInOrder();
        for (auto& t : threads)
            t.join();
        // After a stop, every file that was finished is reported, replaced ones first
        // among them: they are all that the run did.
        for (; printed < n_; ++printed)
            if (outcomes_[printed])
                report(printed);

        bool allCorrected = true;
        std::vector<tImageData> entries;
        for (std::size_t i = 0; i < n_; ++i) {
            allCorrected = allCorrected && outcomes_[i] && outcomes_[i]->succeeded();
            if (outcomes_[i])
                if (const auto entry = outcomes_[i]->entry())
                    entries.push_back(*entry);
        }
        int status = allCorrected ? 0 : 1;
        if (o_.csv) {
            try {
                appendResultsCsv(*o_.csv, entries);
            } catch (const std::exception& e) {
                std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
                status = 1;
            }
        }
        removeTemporaryFiles();
        if (const int s = stopSignal()) {
            std::cerr << "kestrel-cli: stopped by signal " << s << " (" << strsignal(s)
                      << "); no further file was written\n";
            return 128 + s;
        }
        return status;
    }

private:
    void stop(int signal)
    {
        std::lock_guard lock(mutex_);
        if (stopSignal_ == 0)
            stopSignal_ = signal;
        ready_.notify_all();
        queued_.notify_all();
        room_.notify_all();
    }
    int stopSignal()
    {
        std::lock_guard lock(mutex_);
        return stopSignal_;
    }

    FileResult treat(std::size_t i, WorkerMemory& memory)
    {
        const std::filesystem::path& input = o_.files[i];
        if (repeated_[i]) {
            FileResult out;
            out.name = input.filename().string();
            out.outcome = repeatedInput(*repeated_[i]);
            out.messages.push_back(*repeated_[i] + "; it is skipped.");
            return out;
        }
        return correctOne(input, plan_.outputFor(input), phases_, o_.amplitude, memory, o_.verify,
                          o_.balancedEstimator);
    }

    void work()
    {
        WorkerMemory memory;
        for (std::size_t i; (i = next_.fetch_add(1)) < n_;) {
            if (stopSignal())
                break;
            FileResult outcome = treat(i, memory);
            std::unique_lock lock(mutex_);
            // A correction finished after the stop is dropped unwritten.
            if (stopSignal_)
                break;
            if (outcome.commit) {
                room_.wait(lock, [&] { return unwritten_.size() < maxUnwritten() || stopSignal_; });
                if (stopSignal_)
                    break;
                unwritten_.emplace_back(i, std::move(outcome));
                queued_.notify_one();
            } else {
                outcomes_[i] = std::move(outcome);
                ready_.notify_all();
            }
        }
        std::lock_guard lock(mutex_);
        if (--workersLeft_ == 0)
            queued_.notify_one();
    }

    // Written files wait here for their flush to disk and rename, which this one thread
    // does in turn while the workers go on with their next images: a worker that waited
    // for the disk itself would leave its core idle. The queue is short, so that only a
    // few temporary files are open at a time.
    void write()
    {
        for (;;) {
            std::unique_lock lock(mutex_);
            queued_.wait(lock, [&] { return !unwritten_.empty() || workersLeft_ == 0 || stopSignal_; });
            if (stopSignal_) {
                // Files not yet in place never will be; their temporary files go with them.
                unwritten_.clear();
                room_.notify_all();
                queued_.wait(lock, [&] { return workersLeft_ == 0; });
                return;
            }
            if (unwritten_.empty())
                return;
            auto [i, outcome] = std::move(unwritten_.front());
            unwritten_.pop_front();
            room_.notify_all();
            lock.unlock();
            outcome.finishWriting();
            lock.lock();
            outcomes_[i] = std::move(outcome);
            ready_.notify_all();
        }
    }

    /// Prints each result as soon as it and all before it are done; returns how many
    /// were printed when the run ended or was stopped.
    std::size_t printInOrder()
    {
        for (std::size_t i = 0; i < n_; ++i) {
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return outcomes_[i].has_value() || stopSignal_; });
                if (!outcomes_[i])
                    return i;
            }
            report(i);
            progress_.show(i + 1);
        }
        return n_;
    }

    void report(std::size_t i)
    {
        const FileResult& out = *outcomes_[i];
        progress_.clearLine();
        for (const auto& m : out.messages)
            std::cerr << o_.files[i].filename().string() << ": " << m << "\n";
        // A closed output (a reader that went away) stops the run like a signal; the
        // lines that can no longer be printed there go to standard error.
        if (outputClosed_) {
            std::cerr << out.line() << "\n";
            return;
        }
        std::cout << out.line() << "\n" << std::flush;
        if (!std::cout) {
            outputClosed_ = true;
            std::cerr << "kestrel-cli: the output was closed; " << out.line() << "\n";
            stop(SIGPIPE);
        }
    }

    std::size_t maxUnwritten() const { return 2 * static_cast<std::size_t>(jobs_); }

    const Options& o_;
    PhaseFields phases_;
    OutputPlan plan_;
    std::size_t n_;
    unsigned jobs_ = 1;
    std::vector<std::optional<FileResult>> outcomes_;
    std::vector<std::optional<std::string>> repeated_;
    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable ready_, queued_, room_;
    std::deque<std::pair<std::size_t, FileResult>> unwritten_;
    unsigned workersLeft_ = 0;
    int stopSignal_ = 0;
    bool outputClosed_ = false;
    Progress progress_{n_};
};

} // namespace

int runCorrect(const Options& o, const FileLocations& where)
{
    PhaseFields phases;
    try {
        phases = phaseFieldsFor(o, where.settingsFile);
    } catch (const std::exception& e) {
        std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
        return 1;
    }
    if (o.csv)
        if (const auto problem = resultsFileProblem(*o.csv)) {
            std::cerr << "kestrel-cli: " << *problem << "\n";
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
    noteEstimators(o);
    return CorrectRun(o, std::move(phases), outputFolder).run();
}

} // namespace kestrel::cli
