// What stops a run on Windows: the console's control events, taken by a handler that
// the system calls on a thread of its own. Ctrl-C and Ctrl-Break stop the run, which
// then ends as it does after SIGINT on Linux. Closing the console, logging off and
// shutting down end the program once the handler returns: the handler waits instead,
// while the run stops, reports every replaced file and removes its temporary files,
// until the program ends by itself (or the system ends it after its few seconds, when
// the temporary files, marked to be deleted, vanish with it).
#include "cli/stop_signals.h"

#include <csignal>
#include <mutex>
#include <windows.h>

namespace kestrel::cli {
namespace {

// The system calls the handler on threads of its own, also while a StopSignals ends.
std::mutex handlerMutex;
std::function<void(int)>* handlerStop = nullptr;

int signalOf(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_BREAK_EVENT:
        return SIGBREAK;
    case CTRL_CLOSE_EVENT:
        return 1; // SIGHUP's number: the terminal went away
    default:
        return SIGTERM; // the session ends
    }
}

// Once the run is over, the handler stays: a stop that comes while the results file is
// appended to is ignored, as the signals stay blocked on Linux, so that the lines are
// written whole.
BOOL WINAPI onControlEvent(DWORD event)
{
    {
        std::lock_guard lock(handlerMutex);
        if (handlerStop)
            (*handlerStop)(signalOf(event));
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    // The program ends as soon as this returns: it ends by itself first.
    Sleep(INFINITE);
    return TRUE;
}

} // namespace

struct StopSignals::State {
    std::function<void(int)> stop;
};

StopSignals::StopSignals(std::function<void(int)> stop) : state_(std::make_unique<State>())
{
    state_->stop = std::move(stop);
    {
        std::lock_guard lock(handlerMutex);
        handlerStop = &state_->stop;
    }
    static std::once_flag installed;
    std::call_once(installed, [] { SetConsoleCtrlHandler(onControlEvent, TRUE); });
}

StopSignals::~StopSignals()
{
    std::lock_guard lock(handlerMutex);
    handlerStop = nullptr;
}

std::string stopCause(int signal)
{
    switch (signal) {
    case SIGINT:
        return "Ctrl-C";
    case SIGBREAK:
        return "Ctrl-Break";
    case 1:
        return "closing the console";
    case closedOutputSignal:
        return "a closed output";
    default:
        return "the end of the session";
    }
}

} // namespace kestrel::cli
