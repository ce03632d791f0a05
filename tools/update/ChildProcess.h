// A program run as a child process, its standard output and standard error coming back through one
// pipe, read line by line. POSIX (posix_spawn) and Windows (CreateProcessW).
//
// Threads: one thread reads the lines (ReadLine); another (the owner) starts, signals and waits.
// Signals go out only before Wait or TryWait has collected the child, so they never reach a
// process that took over its id.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ChildProcess {
public:
    ChildProcess() = default;
    // Kills a child that still runs and collects it if it has ended; one that the system can't
    // end is left to it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `args` (the program's name is not among them). False, with `error`
    // saying why, when it did not start. With `interruptsHeld` (POSIX) the child starts with
    // SIGINT, SIGTERM and SIGHUP blocked, so that one sent while it starts waits until the child
    // unblocks them, as InstallInterruptHandlers does, instead of killing it before it can end in
    // order; only for programs that do.
    bool Start(const std::string& program, const std::vector<std::string>& args, std::string& error,
               bool interruptsHeld = false);
    // The next line of the child's output without its line end; false when the output has ended
    // (the child ended, or closed it) and nothing is left, or once StopReading was called. Reader
    // thread.
    bool ReadLine(std::string& line);
    // Makes ReadLine return false within about 0.1 s, whether or not the output ends: for output
    // that a process left behind by the child holds open. Any thread.
    void StopReading() { m_stopReading.store(true); }
    // Asks the child to end in order, as Ctrl+C does: SIGINT; on Windows the event named
    // EndRequestName (Interrupt.h) that a copy of tarnet-update watches. The child runs in a
    // process group of its own, so a Ctrl+C at the terminal reaches the owner only and this is
    // how the child hears of it. Owner's thread.
    void Interrupt();
    // Ends the child at once. Owner's thread.
    void Kill();
    // Waits for the child to end; its exit status, or -1 when a signal ended it (or it never
    // started). Owner's thread; once.
    int Wait();
    // The same without waiting: the exit status once the child has ended (then collected), nullopt
    // while it runs. Owner's thread.
    std::optional<int> TryWait();

    // The running program's own file, for starting copies of it; `argv0` when the system won't
    // say.
    static std::string OwnProgram(const char* argv0);

private:
    bool FillBuffer();

    bool m_running = false;  // started and not yet waited for; owner's thread
    std::string m_buffer;    // reader's thread
    bool m_outputEnded = false;  // reader's thread
    // Set by StopReading on any thread, read by the reader between its waits for output; nothing
    // else is ordered by it.
    std::atomic<bool> m_stopReading{false};
#if defined(_WIN32)
    void* m_process = nullptr;  // HANDLE
    void* m_output = nullptr;   // HANDLE, the pipe's read end
    void* m_endRequest = nullptr;  // HANDLE, the event that Interrupt sets
    std::uint32_t m_pid = 0;
#else
    int m_pid = -1;
    int m_output = -1;  // the pipe's read end
#endif
};
