// Instance numbering of the Windows program with real processes (under Wine in the test command):
// each probe process claims a number with the named mutexes as the program does.
#include <windows.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CVelmoUpdatorApp.h"
#include "InstanceMarker.h"

using namespace std::chrono_literals;

namespace {

// The probe program, built beside this one.
std::string ProbePath() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, length < MAX_PATH ? length : 0);
    return self.substr(0, self.find_last_of("\\/") + 1) + "tarnet-instance-probe.exe";
}

// One probe process with pipes to its standard input and output.
class Probe {
public:
    explicit Probe(const std::string& scope) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE childIn = nullptr;
        HANDLE childOut = nullptr;
        if (!CreatePipe(&childIn, &m_stdin, &inherit, 0)) return;
        if (!CreatePipe(&m_stdout, &childOut, &inherit, 0)) return;
        // Only the child's ends are inherited.
        SetHandleInformation(m_stdin, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(m_stdout, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn;
        startup.hStdOutput = childOut;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about a chain of operator+.
        std::string command = "\"";
        command.append(ProbePath()).append("\" ").append(scope);
        PROCESS_INFORMATION info{};
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &startup, &info)) {
            m_process = info.hProcess;
            CloseHandle(info.hThread);
        }
        CloseHandle(childIn);
        CloseHandle(childOut);
    }

    ~Probe() {
        if (m_process != nullptr) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, 10000);
            CloseHandle(m_process);
        }
        if (m_stdin != nullptr) CloseHandle(m_stdin);
        if (m_stdout != nullptr) CloseHandle(m_stdout);
    }

    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    bool Started() const { return m_process != nullptr; }

    // Next line of output, or "" when none came within `timeout`.
    std::string ReadLine(std::chrono::milliseconds timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            if (std::chrono::steady_clock::now() >= deadline) return "";
            DWORD available = 0;
            if (!PeekNamedPipe(m_stdout, nullptr, 0, nullptr, &available, nullptr)) return "";
            if (available == 0) {
                Sleep(5);
                continue;
            }
            char chunk[256];
            DWORD got = 0;
            if (!ReadFile(m_stdout, chunk, sizeof chunk, &got, nullptr) || got == 0) return "";
            m_buffer.append(chunk, got);
        }
    }

    // The number this probe claimed, 0 when it printed anything else (kept as LastLine()).
    int Claimed(std::chrono::milliseconds timeout = 30s) {
        m_lastLine = ReadLine(timeout);
        if (m_lastLine.rfind("claimed ", 0) != 0) return 0;
        return std::stoi(m_lastLine.substr(8));
    }

    // Ends the probe normally (end of its input); its exit code, -1 when it did not end in time.
    int Finish(std::chrono::milliseconds timeout = 30s) {
        if (m_stdin != nullptr) {
            CloseHandle(m_stdin);
            m_stdin = nullptr;
        }
        return Wait(timeout);
    }

    // Ends the probe abnormally, as a crash or the task manager would.
    void Terminate() {
        if (m_process != nullptr) TerminateProcess(m_process, 9);
        Wait(30s);
    }

    int Wait(std::chrono::milliseconds timeout) {
        if (m_process == nullptr) return -1;
        if (WaitForSingleObject(m_process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(m_process, &code);
        CloseHandle(m_process);
        m_process = nullptr;
        return static_cast<int>(code);
    }

    const std::string& LastLine() const { return m_lastLine; }

private:
    HANDLE m_process = nullptr;
    HANDLE m_stdin = nullptr;
    HANDLE m_stdout = nullptr;
    std::string m_buffer;
    std::string m_lastLine;
};

// A scope of mutex names of this test alone.
std::string Scope(const char* test) {
    return std::string(test) + "-" + std::to_string(GetCurrentProcessId());
}

}  // namespace

TEST(WindowsInstanceMarkers, AreNamedMutexesThatExistOnceAndVanishWhenClosed) {
    const std::string name = "tarnet-marker-test-" + std::to_string(GetCurrentProcessId());
    const InstanceMarkerResult first = CreateInstanceMarker(name);
    ASSERT_NE(first.handle, NO_INSTANCE_MARKER);
    EXPECT_FALSE(first.alreadyExists);
    // The same name is a named mutex of the system: opening it by name succeeds while it is held.
    HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    EXPECT_NE(opened, nullptr);
    if (opened != nullptr) CloseHandle(opened);
    const InstanceMarkerResult second = CreateInstanceMarker(name);
    EXPECT_TRUE(second.alreadyExists);
    CloseInstanceMarker(second.handle);
    CloseInstanceMarker(first.handle);
    const InstanceMarkerResult again = CreateInstanceMarker(name);
    EXPECT_FALSE(again.alreadyExists);
    CloseInstanceMarker(again.handle);
}

TEST(WindowsInstanceNumbering, TwentyCopiesAtOnceHoldOneToTwentyAndTheTwentyFirstIsRefused) {
    const std::string scope = Scope("full-house");
    std::vector<std::unique_ptr<Probe>> probes;
    // All started before any is read: they claim at the same moment.
    for (int i = 0; i < MAX_INSTANCES; ++i) probes.push_back(std::make_unique<Probe>(scope));
    std::set<int> numbers;
    for (auto& probe : probes) {
        ASSERT_TRUE(probe->Started());
        const int n = probe->Claimed();
        EXPECT_NE(n, 0) << probe->LastLine();
        numbers.insert(n);
    }
    std::set<int> expected;
    for (int n = 1; n <= MAX_INSTANCES; ++n) expected.insert(n);
    EXPECT_EQ(numbers, expected);

    Probe extra(scope);
    ASSERT_TRUE(extra.Started());
    EXPECT_EQ(extra.Claimed(), 0);
    EXPECT_EQ(extra.LastLine(),
              "refused: It is forbidden to launch more than 20 instance of this application.");
    EXPECT_EQ(extra.Wait(30s), 3);
    // The refused copy took nothing away: every holder still runs and ends normally.
    for (auto& probe : probes) EXPECT_EQ(probe->Finish(), 0);
}

TEST(WindowsInstanceNumbering, AFreedNumberIsTakenAgainAlsoAfterAnAbnormalEnd) {
    const std::string scope = Scope("freed");
    Probe first(scope);
    ASSERT_EQ(first.Claimed(), 1);
    Probe second(scope);
    ASSERT_EQ(second.Claimed(), 2);
    Probe third(scope);
    ASSERT_EQ(third.Claimed(), 3);

    // With copies 1 and 3 running, a new copy takes 2.
    EXPECT_EQ(second.Finish(), 0);
    Probe again(scope);
    EXPECT_EQ(again.Claimed(), 2);

    // Copy 1 ends abnormally; the system releases its mutex and the next copy takes 1.
    first.Terminate();
    Probe next(scope);
    EXPECT_EQ(next.Claimed(), 1);
}

TEST(WindowsInstanceNumbering, ANameThatAnotherKindOfObjectHoldsIsTakenAndTheNextNumberClaimed) {
    const std::string scope = Scope("other-object");
    // Another program's event under the name of number 1: the mutex can't be made, and the name
    // is held by another all the same.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, (InstanceMarkerName(1) + " [" + scope + "]").c_str());
    ASSERT_NE(event, nullptr);
    const InstanceClaim claim = ClaimInstanceNumber(scope);
    EXPECT_EQ(claim.number, 2);
    EXPECT_EQ(claim.error, 0);
    CloseInstanceMarker(claim.handle);
    CloseHandle(event);
}

TEST(WindowsInstanceNumbering, AMutexThatCantBeMadeIsReportedWithItsReasonAndNotAsTwentyCopies) {
    // A backslash names an object directory that does not exist: no copy holds the name, the
    // system refuses to make it.
    CVelmoUpdatorApp app;
    app.m_markerScope = Scope("no\\such\\directory");
    std::vector<std::string> errors;
    std::vector<std::string> refusals;
    bool windowRan = false;
    app.m_showStartError = [&](const std::string& text) { errors.push_back(text); };
    app.m_showRefusal = [&](const std::string& text) { refusals.push_back(text); };
    app.m_runMainWindow = [&] { windowRan = true; };
    EXPECT_FALSE(app.InitInstance());
    EXPECT_FALSE(windowRan);
    EXPECT_TRUE(refusals.empty()) << refusals.front();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Can't claim an instance number: ", 0), 0u) << errors[0];
    EXPECT_GT(errors[0].size(), std::string("Can't claim an instance number: .").size()) << errors[0];
    EXPECT_EQ(app.GetInstanceNumber(), 0);
}
