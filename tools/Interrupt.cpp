#include "Interrupt.h"

#include <atomic>
#include <csignal>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// Written by the signal handler (or Windows' console control thread), read by the main thread;
// lock-free, so a handler may touch it. Nothing else is ordered by it.
std::atomic<int> g_interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

#if defined(_WIN32)
// Runs on a thread that Windows starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            g_interrupts.fetch_add(1);
            return TRUE;
        default:
            return FALSE;
    }
}
#else
// Runs in signal context: only the lock-free counter.
extern "C" void OnSignal(int) { g_interrupts.fetch_add(1); }
#endif

}  // namespace

void InstallInterruptHandlers() {
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
