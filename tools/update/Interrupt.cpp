#include "Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdint>

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
// Written by InstallInterruptHandlers before the handlers are installed, read by them.
std::atomic<InterruptMode> g_mode{InterruptMode::Alone};
static_assert(std::atomic<InterruptMode>::is_always_lock_free);

#if defined(_WIN32)
// The steady clock's count at the first close, logoff or shutdown event, 0 before it: written
// once by the console control thread, read by any. Written before the event is counted in
// g_interrupts (both sequentially consistent), so whoever sees the count of a close sees it.
std::atomic<std::int64_t> g_closedAt{0};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
// Manual-reset events, made once by InstallInterruptHandlers before the handler is installed and
// never closed: the runner's request to a copy (null unless a copy), and the main thread's orderly
// end (EndedInOrder sets it, the handler of a close waits for it).
HANDLE g_runnerRequest = nullptr;
HANDLE g_endedInOrder = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) { return OnConsoleControl(event) ? TRUE : FALSE; }
#else
// Runs in signal context: only the lock-free atomics, signal() and raise().
extern "C" void OnSignal(int signal) {
    if (g_interrupts.fetch_add(1) >= 1 && g_mode.load() == InterruptMode::Alone) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}
#endif

}  // namespace

#if defined(_WIN32)
std::wstring EndRequestName(unsigned long processId) {
    return L"Local\\tarnet-update-end-request-" + std::to_wstring(processId);
}

bool OnConsoleControl(unsigned long event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // The keyboard's reach every process of the console; a copy hears them from its runner.
            if (g_mode.load() == InterruptMode::Copy) return true;
            // Declining the second leaves it to the system's handler, which ends the process.
            return !(g_interrupts.fetch_add(1) >= 1 && g_mode.load() == InterruptMode::Alone);
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
        {
            // The moment counts from which Windows gives the process its time; never 0.
            std::int64_t none = 0;
            const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
            g_closedAt.compare_exchange_strong(none, now == 0 ? 1 : now);
            g_interrupts.fetch_add(1);
            if (g_endedInOrder != nullptr) {
                WaitForSingleObject(g_endedInOrder, static_cast<DWORD>(CONSOLE_CLOSE_LIMIT.count()));
            }
            return true;
        }
        default:
            return false;
    }
}
#endif

void InstallInterruptHandlers(InterruptMode mode) {
    g_mode.store(mode);
#if defined(_WIN32)
    if (g_endedInOrder == nullptr) g_endedInOrder = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (mode == InterruptMode::Copy && g_runnerRequest == nullptr) {
        g_runnerRequest = CreateEventW(nullptr, TRUE, FALSE, EndRequestName(GetCurrentProcessId()).c_str());
    }
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

int InterruptCount() {
    int count = g_interrupts.load();
#if defined(_WIN32)
    if (g_runnerRequest != nullptr && WaitForSingleObject(g_runnerRequest, 0) == WAIT_OBJECT_0) count++;
#endif
    return count;
}

std::optional<std::chrono::steady_clock::time_point> ConsoleClosedAt() {
#if defined(_WIN32)
    const std::int64_t at = g_closedAt.load();
    if (at != 0) return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(at));
#endif
    return std::nullopt;
}

void EndedInOrder() {
#if defined(_WIN32)
    if (g_endedInOrder != nullptr) SetEvent(g_endedInOrder);
#endif
}
