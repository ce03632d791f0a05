#include "ChildProcess.h"

#include "Interrupt.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#if defined(_WIN32)
namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// One argument as CommandLineToArgvW and the C runtime read it back: quoted when it holds blanks
// or quotes, backslashes doubled only before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += arg[i];
    }
    line += L'"';
}

}  // namespace

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, std::string& error,
                         bool /*interruptsHeld: the request waits in its event until the child looks*/) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = "no pipe (system error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::wstring line;
    AppendQuoted(line, Wide(program));
    for (const std::string& arg : args) {
        line += L' ';
        AppendQuoted(line, Wide(arg));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info{};
    // A process group of its own, whose Ctrl+C is off: the keyboard's goes to the owner alone.
    const BOOL started = CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info);
    const DWORD code = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        error = "can't start " + program + " (system error " + std::to_string(code) + ")";
        return false;
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_pid = info.dwProcessId;
    m_endRequest = CreateEventW(nullptr, TRUE, FALSE, EndRequestName(m_pid).c_str());
    m_output = readEnd;
    m_running = true;
    return true;
}

// An anonymous pipe has no wait with a time limit: the reader looks at what has arrived every
// 20 ms, and reads only that, so that StopReading is seen between two looks.
bool ChildProcess::FillBuffer() {
    char chunk[4096];
    while (!m_stopReading.load()) {
        DWORD available = 0;
        // Fails once the write end is closed (the child and whatever it left behind are gone).
        if (!PeekNamedPipe(static_cast<HANDLE>(m_output), nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) {
            Sleep(20);
            continue;
        }
        DWORD got = 0;
        const DWORD want = available < sizeof chunk ? available : static_cast<DWORD>(sizeof chunk);
        if (!ReadFile(static_cast<HANDLE>(m_output), chunk, want, &got, nullptr) || got == 0) return false;
        m_buffer.append(chunk, got);
        return true;
    }
    return false;
}

void ChildProcess::Interrupt() {
    if (m_running && m_endRequest != nullptr) SetEvent(static_cast<HANDLE>(m_endRequest));
}

void ChildProcess::Kill() {
    if (m_running) TerminateProcess(static_cast<HANDLE>(m_process), 1);
}

int ChildProcess::Wait() {
    if (!m_running) return -1;
    WaitForSingleObject(static_cast<HANDLE>(m_process), INFINITE);
    return *TryWait();
}

std::optional<int> ChildProcess::TryWait() {
    if (!m_running) return -1;
    if (WaitForSingleObject(static_cast<HANDLE>(m_process), 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD status = 1;
    GetExitCodeProcess(static_cast<HANDLE>(m_process), &status);
    CloseHandle(static_cast<HANDLE>(m_process));
    m_process = nullptr;
    m_running = false;
    return static_cast<int>(status);
}

ChildProcess::~ChildProcess() {
    if (m_running) Kill();
    if (m_process != nullptr) CloseHandle(static_cast<HANDLE>(m_process));
    if (m_output != nullptr) CloseHandle(static_cast<HANDLE>(m_output));
    if (m_endRequest != nullptr) CloseHandle(static_cast<HANDLE>(m_endRequest));
}

std::string ChildProcess::OwnProgram(const char* argv0) {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return argv0;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(length), utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

#else

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, std::string& error,
                         bool interruptsHeld) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("no pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    // The pipe's write end becomes the child's standard output and error (dup2 clears its
    // close-on-exec there); everything else of the pipe closes on exec.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    // Signals that this program catches are reset by exec anyway; those it ignores are set back.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t held;
    sigemptyset(&held);
    if (interruptsHeld) {
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &held);
    // A process group of its own: a Ctrl+C at the terminal goes to the owner alone, which passes
    // it on (Interrupt), so the child gets each request once.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(fds[1]);
    if (result != 0) {
        ::close(fds[0]);
        error = "can't start " + program + ": " + std::strerror(result);
        return false;
    }
    m_pid = pid;
    m_output = fds[0];
    m_running = true;
    return true;
}

// Waits for output in slices of 100 ms, so that StopReading is seen between two.
bool ChildProcess::FillBuffer() {
    char chunk[4096];
    while (!m_stopReading.load()) {
        pollfd ready{m_output, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 100);
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        if (polled < 0) return false;
        const ssize_t n = ::read(m_output, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        m_buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    return false;
}

void ChildProcess::Interrupt() {
    if (m_running) ::kill(m_pid, SIGINT);
}

void ChildProcess::Kill() {
    if (m_running) ::kill(m_pid, SIGKILL);
}

namespace {

// waitpid for `pid` with `flags`: the exit status once collected (-1 when a signal ended it or it
// can't be collected), nullopt while it runs (WNOHANG).
std::optional<int> Collect(int pid, int flags) {
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid, &status, flags);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return std::nullopt;
    if (got != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace

int ChildProcess::Wait() {
    if (!m_running) return -1;
    m_running = false;
    return *Collect(m_pid, 0);
}

std::optional<int> ChildProcess::TryWait() {
    if (!m_running) return -1;
    const std::optional<int> status = Collect(m_pid, WNOHANG);
    if (status) m_running = false;
    return status;
}

ChildProcess::~ChildProcess() {
    if (m_running) {
        Kill();
        // A child that has not ended by the next look is left to the system (its parent when
        // this process has ended).
        for (int look = 0; look < 20 && !TryWait(); ++look) ::usleep(5000);
    }
    if (m_output >= 0) ::close(m_output);
}

std::string ChildProcess::OwnProgram(const char* argv0) {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return argv0;
    return std::string(path, static_cast<std::size_t>(n));
}

#endif

bool ChildProcess::ReadLine(std::string& line) {
    for (;;) {
        const std::size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            line.assign(m_buffer, 0, end);
            m_buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        if (m_outputEnded || !FillBuffer()) {
            m_outputEnded = true;
            if (m_buffer.empty()) return false;
            line.swap(m_buffer);
            m_buffer.clear();
            return true;
        }
    }
}
