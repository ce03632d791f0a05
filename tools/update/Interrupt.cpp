#include "Interrupt.h"

#include <atomic>
#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace {

// Written by the signal handler (or Windows' console control thread), read by the main thread;
// lock-free, so a handler may touch it. Nothing else is ordered by it.
std::atomic<int> g_interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);
// Written once before the handlers are installed, read by them.
std::atomic<bool> g_secondEndsAtOnce{false};

#if defined(_WIN32)
// Runs on a thread that Windows starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            // Declining the event leaves it to the system's handler, which ends the process.
            return g_interrupts.fetch_add(1) >= 1 && g_secondEndsAtOnce.load() ? FALSE : TRUE;
        default:
            return FALSE;
    }
}
#else
// Runs in signal context: only the lock-free atomics, signal() and raise().
extern "C" void OnSignal(int signal) {
    if (g_interrupts.fetch_add(1) >= 1 && g_secondEndsAtOnce.load()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}
#endif

}  // namespace

void InstallInterruptHandlers(bool secondEndsAtOnce) {
    g_secondEndsAtOnce.store(secondEndsAtOnce);
#if defined(_WIN32)
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&handled, signal);
    }
    // A parent may have started this program with them blocked (ChildProcess); one that arrived
    // meanwhile is delivered now, to the handler.
    pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
#endif
}

int InterruptCount() { return g_interrupts.load(); }
