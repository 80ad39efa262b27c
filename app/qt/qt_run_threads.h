// The window's runs on a thread of their own: the window's thread stays free for the
// user, and what a run shows (a row, a box and its answer) is done on the window's
// thread while the run waits for it.
#pragma once

#include "app/run_threads.h"

#include <QObject>

#include <functional>
#include <memory>
#include <thread>

namespace kestrel {

class QtRunThreads : public RunThreads {
public:
    /// `shown` runs on the window's thread after anything a run has shown there and
    /// after its end: the window brings its widgets up to date.
    explicit QtRunThreads(std::function<void()> shown);
    /// Waits for a run still in progress, handling what it brings to the window's thread
    /// meanwhile (its owner stops it first).
    ~QtRunThreads() override;
    QtRunThreads(const QtRunThreads&) = delete;
    QtRunThreads& operator=(const QtRunThreads&) = delete;

    void start(std::function<void()> work, std::function<void()> done) override;
    void onWindowThread(const std::function<void()>& show) override;

private:
    std::function<void()> shown_;
    std::unique_ptr<QObject> receiver_; // lives on the window's thread
    std::thread thread_;
};

} // namespace kestrel
