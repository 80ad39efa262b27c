// A thread's thread-local objects are destroyed while its thread-local storage still
// holds them (core/thread_exits_windows.cpp): a destructor that reads another
// thread-local variable finds the value the thread left there, not fresh storage.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

std::atomic<int> seenAtExit{-1};
thread_local int mark = 0;

struct Probe {
    ~Probe() { seenAtExit = mark; }
};

TEST(ThreadExits, ThreadLocalsAreDestroyedBeforeTheirStorageIsFreed)
{
    std::thread worker([] {
        mark = 7;
        thread_local Probe probe;
        (void)&probe;
    });
    worker.join();
    EXPECT_EQ(seenAtExit, 7);
}

} // namespace
