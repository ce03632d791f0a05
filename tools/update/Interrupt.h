// Ctrl+C and requests to end (SIGINT, SIGTERM, SIGHUP; on Windows the console's Ctrl+C, Ctrl+Break
// and close events), turned into a count that the program's main thread polls, so that it can end
// its update in order instead of dying in the middle of a send.
#pragma once

#include <chrono>
#include <optional>
#include <string>

enum class InterruptMode {
    // One update started by hand: a second request ends the program at once, as the system would
    // have ended it at the first (an update that takes a while to end in order).
    Alone,
    // The runner of --all: every request is counted; at the second the runner ends its copies at
    // once itself, and still prints its table.
    Runner,
    // A copy of --all: it ends its update at its runner's request (ChildProcess::Interrupt), and
    // at a console's close. On Windows, where the keyboard's Ctrl+C and Ctrl+Break reach every
    // process of the console, the copy leaves them to its runner, which passes them on once.
    Copy,
};

// Installs the handlers and unblocks their signals; call once, early in main. Until then the
// system's defaults apply.
void InstallInterruptHandlers(InterruptMode mode);
// How many requests to end have arrived so far (any thread).
int InterruptCount();
// Windows ends a process whose console closes (or whose user logs off, or whose system shuts
// down) this long after the event, whatever its handler does.
inline constexpr std::chrono::milliseconds CONSOLE_CLOSE_LIMIT{5000};
// When the first such event came (Windows); nullopt before it, and always on POSIX, where a
// hangup counts as a request to end and leaves the program its time. Set before the event is
// counted (InterruptCount), so it is there once the count holds the event. Any thread.
std::optional<std::chrono::steady_clock::time_point> ConsoleClosedAt();
// The program has ended its run in order and kept its records. A close of the console (Windows)
// holds the process until then, within the time that Windows gives (see OnConsoleControl).
void EndedInOrder();

#if defined(_WIN32)
// The name of the event through which a runner asks its copy with process id `processId` to end
// (a manual-reset event in the session's namespace, made by whichever of the two comes first).
std::wstring EndRequestName(unsigned long processId);
// The console control handler as Windows calls it, on a thread of its own: true when the event
// is handled. Ctrl+C and Ctrl+Break count as a request to end (a copy leaves them to its runner);
// the console's close, the user's logoff and the system's shutdown count too, and the handler
// then holds the process (which Windows ends when the handler returns, at most 5 s after the
// event) until the main thread has ended in order.
bool OnConsoleControl(unsigned long event);
#endif
