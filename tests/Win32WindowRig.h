// The native Windows main window wired to in-process MIDI devices and a simulated device, for the
// window tests under Wine.
//
// The engine runs on the loopback MIDI input and output and a real timer thread with a short poll
// period; a DeviceSimulator answers on the loopback devices named "USB Audio Device", which the
// window selects by default. The window is created modeless and served by the test's own message
// loop (PumpUntil), so the test thread is the UI thread. Message boxes are recorded, not shown.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CVelmoUpdatorDlg.h"
#include "SimulatedMidiSystem.h"
#include "UpdateEngine.h"
#include "WideText.h"

namespace win32test {

using namespace std::chrono_literals;

using windowtest::DEVICE;
using windowtest::RigOptions;

// Serves the thread's messages (dialog keys through IsDialogMessage) until `condition` holds or
// `timeout` has passed; returns whether it held.
inline bool PumpUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            HWND top = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
            if (top == nullptr || !IsDialogMessageW(top, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

inline void PumpFor(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    PumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, duration + 1000ms);
}

inline std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    return WideToUtf8(text);
}

// Fails the process when a release or a close does not finish in time: those waits run on the
// UI thread and cannot be given a deadline of their own.
class Watchdog {
public:
    Watchdog(std::chrono::milliseconds limit, const char* what)
        : m_thread([this, limit, what] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (!m_done.wait_for(lock, limit, [this] { return m_disarmed; })) {
                  std::fprintf(stderr, "FAILED: %s did not finish within %lld ms\n", what,
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  TerminateProcess(GetCurrentProcess(), 99);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_disarmed = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_disarmed = false;
    std::thread m_thread;
};

struct RecordedBox {
    HWND owner;
    std::string caption;
    std::string text;
};

class WindowRig {
public:
    explicit WindowRig(RigOptions options = {}) : m_options(std::move(options)), m_system(m_options) {
        UpdatorDialogServices services;
        const int instance = m_options.instanceNumber;
        services.instanceNumber = [instance] { return instance; };
        services.messageBox = [this](HWND owner, const std::wstring& caption, const std::wstring& text) {
            std::lock_guard<std::mutex> lock(m_boxLock);
            m_boxes.push_back({owner, WideToUtf8(caption), WideToUtf8(text)});
        };
        services.createEngine = m_system.EngineFactory(m_options.timings);
        // The records of the tests' runs stay out of the history of whoever runs them.
        services.recordRun = [](const UpdateRecord&) {};
        m_dialog = std::make_unique<CVelmoUpdatorDlg>(services);
        m_hwnd = m_dialog->Create();
        EXPECT_NE(m_hwnd, nullptr);
        PumpFor(20ms);
    }

    ~WindowRig() {
        Release();
        // A run whose window went away ends at its next wait; it must be gone before the devices.
        EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
        m_system.RemoveDevice();
    }

    // Closes (if still open) and releases the window object, as the end of the modal run does.
    void Release() {
        Watchdog watchdog(20s, "releasing the window");
        m_dialog.reset();
    }

    CVelmoUpdatorDlg& Dialog() { return *m_dialog; }
    HWND Window() const { return m_hwnd; }
    bool WindowExists() const { return IsWindow(m_hwnd) != FALSE; }
    devsim::DeviceSimulator& Device() { return m_system.Device(); }

    std::vector<RecordedBox> Boxes() {
        std::lock_guard<std::mutex> lock(m_boxLock);
        return m_boxes;
    }

    // The four controls that an update run locks: lists, "Execute", "Rescan".
    std::vector<bool> Enabled() {
        auto& d = *m_dialog;
        return {IsWindowEnabled(d.m_midiInCombo) != FALSE, IsWindowEnabled(d.m_midiOutCombo) != FALSE,
                IsWindowEnabled(d.m_executeButton) != FALSE, IsWindowEnabled(d.m_rescanButton) != FALSE};
    }
    bool ExitEnabled() { return IsWindowEnabled(GetDlgItem(m_hwnd, IDCANCEL)) != FALSE; }
    int Running() { return m_dialog->Engine()->IsUpdateRunning() ? 1 : 0; }
    std::string Status() { return WindowText(m_dialog->m_statusEdit); }
    int Progress() { return static_cast<int>(SendMessageW(m_dialog->m_progress, PBM_GETPOS, 0, 0)); }

    // Entries and selection of a device list.
    std::vector<std::string> Entries(HWND combo) {
        std::vector<std::string> result;
        const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            const int length = static_cast<int>(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0));
            std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
            text.resize(static_cast<std::size_t>(length));
            result.push_back(WideToUtf8(text));
        }
        return result;
    }
    int Selection(HWND combo) { return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0)); }

    // A click on a push button of the window.
    void Click(int id) { SendMessageW(GetDlgItem(m_hwnd, id), BM_CLICK, 0, 0); }
    // A key pressed on the control that has the focus (the window itself when none has),
    // through the dialog manager.
    void PressKey(UINT key) {
        HWND focus = GetFocus();
        HWND target = focus != nullptr && IsChild(m_hwnd, focus) ? focus : m_hwnd;
        PostMessageW(target, WM_KEYDOWN, key, 1);
        PostMessageW(target, WM_KEYUP, key, 0xC0000001);
        PumpFor(30ms);
    }

    // Waits (serving the window) until a run has completed: the controls are back and "Execute"
    // has been disabled again.
    bool WaitForCompletion(std::chrono::milliseconds timeout = 60s) {
        return PumpUntil([&] {
            return Running() == 0 && IsWindowEnabled(m_dialog->m_rescanButton) &&
                   !IsWindowEnabled(m_dialog->m_executeButton);
        }, timeout);
    }
    // Waits until the window is Ready again after a run that ended with an error.
    bool WaitForReady(std::chrono::milliseconds timeout = 60s) {
        return PumpUntil([&] { return Running() == 0 && Enabled() == std::vector<bool>(4, true); }, timeout);
    }

private:
    RigOptions m_options;
    windowtest::SimulatedMidiSystem m_system;
    std::mutex m_boxLock;
    std::vector<RecordedBox> m_boxes;
    std::unique_ptr<CVelmoUpdatorDlg> m_dialog;
    HWND m_hwnd = nullptr;
};

// A window of the UI thread `thread` with the caption `caption`, or null.
inline HWND FindThreadWindow(DWORD thread, const std::wstring& caption) {
    struct Search {
        const std::wstring* caption;
        HWND found;
    } search{&caption, nullptr};
    EnumThreadWindows(
        thread,
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            wchar_t text[128] = {};
            InternalGetWindowText(window, text, 128);  // sends no message to the UI thread
            if (IsWindowVisible(window) && *s->caption == text) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace win32test
