// Where the window's runs do their work: away from the window's thread, with what they
// have to show brought back to it. The Qt window runs the work on a thread of its own;
// the tests, and a window without threads, run everything in turn on the calling thread.
#pragma once

#include <functional>

namespace kestrel {

class RunThreads {
public:
    virtual ~RunThreads() = default;
    /// Runs `work` away from the window's thread, then `done` on the window's thread.
    virtual void start(std::function<void()> work, std::function<void()> done) = 0;
    /// From `work`: runs `show` on the window's thread and returns once it has ended,
    /// boxes it showed and the user's answers included.
    virtual void onWindowThread(const std::function<void()>& show) = 0;
};

/// Everything in turn on the calling thread.
class InlineRunThreads : public RunThreads {
public:
    void start(std::function<void()> work, std::function<void()> done) override
    {
        work();
        done();
    }
    void onWindowThread(const std::function<void()>& show) override { show(); }
};

} // namespace kestrel
