// How tarnet-update hears a request to end: Ctrl+C and the signals or console events behind it,
// in the program started by hand, the runner of --all and its copies; on Windows the console's
// close, and (under Wine) a Ctrl+C on a console that the runner and its copies share.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <string>

#include "Interrupt.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

#if !defined(_WIN32)
TEST(Interrupts, ACopyCountsEveryRequestOfItsRunnerAndIsNeverEndedByOne) {
    InstallInterruptHandlers(InterruptMode::Copy);
    const int before = InterruptCount();
    std::raise(SIGINT);
    std::raise(SIGINT);
    std::raise(SIGTERM);
    EXPECT_EQ(InterruptCount(), before + 3);
}

TEST(Interrupts, AProgramStartedByHandEndsAtOnceAtTheSecondRequest) {
    EXPECT_EXIT(
        {
            InstallInterruptHandlers(InterruptMode::Alone);
            std::raise(SIGINT);
            if (InterruptCount() != 1) std::_Exit(3);
            std::raise(SIGINT);
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "");
}
#else
TEST(ConsoleControl, ACopyLeavesTheConsolesCtrlCAndCtrlBreakToItsRunnerAndEndsAtItsRequest) {
    InstallInterruptHandlers(InterruptMode::Copy);
    const int before = InterruptCount();
    // The keyboard's Ctrl+Break reaches the copy beside the runner that passes it on: ignored, so
    // that the copy hears it once, and is never ended by it.
    EXPECT_TRUE(OnConsoleControl(CTRL_BREAK_EVENT));
    EXPECT_TRUE(OnConsoleControl(CTRL_BREAK_EVENT));
    EXPECT_TRUE(OnConsoleControl(CTRL_C_EVENT));
    EXPECT_EQ(InterruptCount(), before);
    // The runner's request.
    HANDLE request = CreateEventW(nullptr, TRUE, FALSE, EndRequestName(GetCurrentProcessId()).c_str());
    ASSERT_NE(request, nullptr);
    SetEvent(request);
    EXPECT_EQ(InterruptCount(), before + 1);
    ResetEvent(request);
    CloseHandle(request);
}

TEST(ConsoleControl, TheRunnerCountsEveryCtrlBreakAndAProgramStartedByHandLeavesTheSecondToWindows) {
    InstallInterruptHandlers(InterruptMode::Runner);
    const int before = InterruptCount();
    EXPECT_TRUE(OnConsoleControl(CTRL_BREAK_EVENT));
    EXPECT_TRUE(OnConsoleControl(CTRL_C_EVENT));
    EXPECT_EQ(InterruptCount(), before + 2);
    InstallInterruptHandlers(InterruptMode::Alone);
    EXPECT_FALSE(OnConsoleControl(CTRL_BREAK_EVENT));  // Windows' own handler ends the process
}

// Windows ends the process as soon as the handler of a close returns: it must hold it until the
// main thread has ended its run in order.
TEST(ConsoleControl, ACloseOfTheConsoleHoldsTheProcessUntilItHasEndedInOrder) {
    InstallInterruptHandlers(InterruptMode::Alone);
    const int before = InterruptCount();
    auto handler = std::async(std::launch::async, [] { return OnConsoleControl(CTRL_CLOSE_EVENT); });
    EXPECT_EQ(handler.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout)
        << "the handler let the process go before its orderly end";
    EXPECT_EQ(InterruptCount(), before + 1);
    EndedInOrder();
    ASSERT_EQ(handler.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(handler.get());
}

// tarnet-update.exe, built beside this test's folder.
std::string UpdateProgram() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, length);
    self = self.substr(0, self.find_last_of("\\/"));
    return self.substr(0, self.find_last_of("\\/") + 1) + "tools\\tarnet-update.exe";
}

// The test program takes the console's Ctrl+C itself, so that sending one to the whole console
// does not end it.
BOOL WINAPI IgnoreCtrlC(DWORD event) { return event == CTRL_C_EVENT ? TRUE : FALSE; }

// A process on this console with its standard output and error in a pipe that the test reads.
class Runner {
public:
    explicit Runner(const std::string& arguments) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&m_output, &writeEnd, &inherit, 0)) return;
        SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        std::string command = '"' + UpdateProgram();
        command += "\" " + arguments;
        PROCESS_INFORMATION info{};
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            m_process = info.hProcess;
        }
        CloseHandle(writeEnd);
    }
    ~Runner() {
        if (m_process != nullptr) {
            TerminateProcess(m_process, 1);
            CloseHandle(m_process);
        }
        if (m_output != nullptr) CloseHandle(m_output);
    }
    bool Started() const { return m_process != nullptr; }

    // Reads until `text` has come, the output ended or `limit` passed; whether it came.
    bool ReadUntil(const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_text.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline || !ReadSome()) return false;
        }
        return true;
    }
    // Reads up to the end of the output and waits for the process; false when either did not
    // come within `limit`.
    bool ReadToEnd(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (ReadSome()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
        }
        return WaitForSingleObject(m_process, 10000) == WAIT_OBJECT_0;
    }
    int ExitCode() {
        DWORD code = 0;
        GetExitCodeProcess(m_process, &code);
        return static_cast<int>(code);
    }
    const std::string& Text() const { return m_text; }

private:
    // What has arrived (after a look every 20 ms); false once the output has ended.
    bool ReadSome() {
        DWORD available = 0;
        if (!PeekNamedPipe(m_output, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) {
            Sleep(20);
            return true;
        }
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(m_output, chunk, available < sizeof chunk ? available : sizeof chunk, &got, nullptr)) return false;
        m_text.append(chunk, got);
        return true;
    }

    HANDLE m_process = nullptr;
    HANDLE m_output = nullptr;
    std::string m_text;
};

// The keyboard's Ctrl+C reaches every process of the console but the copies (their process
// groups have it off); the runner passes it on to each copy, which ends its update in order.
// (Wine refuses to make a Ctrl+Break, so the keyboard's Ctrl+Break can't be played here.)
TEST(ConsoleControl, ACtrlCOnTheConsoleEndsEveryCopysUpdateInOrderThroughItsRunner) {
    // Started without a console (CTest's pipes), the test makes one that the programs share.
    if (GetConsoleWindow() == nullptr) {
        FreeConsole();
        ASSERT_TRUE(AllocConsole());
    }
    ASSERT_TRUE(SetConsoleCtrlHandler(IgnoreCtrlC, TRUE));
    Runner runner("--all --loopback --device A --device B --linger 0 --timeout 60 --no-history");
    ASSERT_TRUE(runner.Started());
    // Both copies have started their update, which takes at least 1.9 s (a 50 ms tick per
    // exchange): the request comes in the middle of it.
    ASSERT_TRUE(runner.ReadUntil("A: MIDI IN", std::chrono::seconds(60))) << runner.Text();
    ASSERT_TRUE(runner.ReadUntil("B: MIDI IN", std::chrono::seconds(60))) << runner.Text();
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    EXPECT_TRUE(runner.ReadToEnd(std::chrono::seconds(60))) << runner.Text();
    EXPECT_EQ(runner.ExitCode(), 1);
    // The closing table: each copy ended its update itself ("Interrupted"), before it could
    // complete and without being killed ("Aborted"); the model is there once it identified.
    const std::string& text = runner.Text();
    const auto ending = [&text](const std::string& device) {
        const std::size_t row = text.find("\n" + device + "       ");
        if (row == std::string::npos) return std::string("no row");
        const std::string line = text.substr(row + 1, text.find('\n', row + 1) - row - 1);
        return line.size() > 15 ? line.substr(15, line.find(' ', 15) - 15) : line;
    };
    EXPECT_EQ(ending("A"), "Interrupted") << text;
    EXPECT_EQ(ending("B"), "Interrupted") << text;
    SetConsoleCtrlHandler(IgnoreCtrlC, FALSE);
}
#endif

}  // namespace
