#include "cli/stop_signals.h"

#include <csignal>
#include <cstring>
#include <iostream>
#include <system_error>
#include <pthread.h>
#include <thread>

namespace kestrel::cli {

/// The signals that stop a run are blocked in every thread and taken by one thread of
/// their own, which hands them to `stop`; a signal handler could do almost nothing
/// safely. A closed output is seen as a failed write instead, so SIGPIPE is ignored.
struct StopSignals::State {
    std::function<void(int)> stop;
    sigset_t set{};
    sigset_t old{};
    std::thread waiter;
};

StopSignals::StopSignals(std::function<void(int)> stop) : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.stop = std::move(stop);
    std::signal(SIGPIPE, SIG_IGN);
    sigemptyset(&s.set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR2})
        sigaddset(&s.set, signal);
    pthread_sigmask(SIG_BLOCK, &s.set, &s.old);
    try {
        s.waiter = std::thread([&s] {
            for (int signal = 0; sigwait(&s.set, &signal) == 0;) {
                if (signal == SIGUSR2)
                    return;
                s.stop(signal);
            }
        });
    } catch (const std::system_error& e) {
        // Without a thread to take them the signals keep their usual effect: the run
        // ends at once, and a file not yet in place never appears (the originals stay).
        pthread_sigmask(SIG_SETMASK, &s.old, nullptr);
        std::cerr << "kestrel-cli: no thread could be started for the stop signals (" << e.what()
                  << "); an interrupt ends the run at once\n";
    }
}

StopSignals::~StopSignals()
{
    if (!state_->waiter.joinable())
        return;
    // SIGUSR2, sent to the waiting thread alone, tells it the run is over.
    pthread_kill(state_->waiter.native_handle(), SIGUSR2);
    state_->waiter.join();
}

std::string stopCause(int signal) { return "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")"; }

} // namespace kestrel::cli
