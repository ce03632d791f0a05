// The main window of the Windows program: a Win32 dialog built from template 103 with the device
// lists, "Execute", "Rescan Device", "Exit", the status line and the progress bar. It owns the
// update engine (ports, timer, reply hand-over, the run) and serves the engine's requests to its
// controls through IUpdateHost, as the Qt window does on other systems.
//
// Threads: every member function runs on the UI thread (the thread that created the window). The
// engine's worker and timer threads reach the controls only through Host(), whose requests are
// queued, carried out on the UI thread when it serves WM_SERVE_REQUEST (also inside modal loops:
// message boxes, the About box, moving the window), in the order made, and fail at once once the
// window is being destroyed (OnDestroy). The UI thread never waits for those threads while the
// window exists; the timer is stopped only after OnDestroy, when requests no longer wait.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "EngineTexts.h"
#include "UpdateHost.h"

class CUpdateEngine;
class UiRequestQueue;

// System-menu command of the About entry. Its low four bits are zero: the window system uses those
// bits, so commands are compared with them cleared.
inline constexpr UINT CMD_ABOUT = 0x10;
inline constexpr UINT SYSCMD_MASK = 0xFFF0;
// Private message: serve one waiting request of another thread (wParam and lParam unused).
inline constexpr UINT WM_SERVE_REQUEST = WM_APP + 0x10;

// Shows a modal message box owned by `owner` and returns when it has been dismissed.
using MessageBoxFunction =
    std::function<void(HWND owner, const std::wstring& caption, const std::wstring& text)>;
// The product's error box: stop icon, one OK button.
void ShowStopMessageBox(HWND owner, const std::wstring& caption, const std::wstring& text);

// What the window takes from its surroundings. An empty entry takes the product's default.
struct UpdatorDialogServices {
    // Default: the application object's instance number (1 without one).
    std::function<int()> instanceNumber;
    // Default: LoadStringById.
    StringLoader loadString;
    // Default: ShowStopMessageBox.
    MessageBoxFunction messageBox;
    // Default: an engine on WinMM and the multimedia timer, with the product's timings.
    std::function<std::shared_ptr<CUpdateEngine>(std::shared_ptr<IUpdateHost>)> createEngine;
    // The module that holds the templates and the icon. Default: the program's own.
    HINSTANCE resources = nullptr;
};

class CVelmoUpdatorDlg {
public:
    explicit CVelmoUpdatorDlg(UpdatorDialogServices services = {});
    // Destroys the window if it still exists, then releases in this order: the timer (a running
    // tick finishes), then the engine's share of the rest. A run's worker keeps its own share.
    ~CVelmoUpdatorDlg();
    CVelmoUpdatorDlg(const CVelmoUpdatorDlg&) = delete;
    CVelmoUpdatorDlg& operator=(const CVelmoUpdatorDlg&) = delete;

    // Runs the window modally with no parent; returns when it has been closed and destroyed
    // (IDCANCEL), or -1 when it could not be created.
    INT_PTR DoModal();
    // Creates the window modeless (the caller's message loop serves it, passing its messages
    // through IsDialogMessage); closing it destroys it. Null when it could not be created.
    HWND Create();

    // WM_INITDIALOG: About entry, icons, device scan, timer, progress range, title.
    BOOL OnInitDialog();
    // System-menu commands: CMD_ABOUT (any of 0x10..0x1F) opens the About box; any other goes to
    // the system's handling (close, move, minimise).
    void OnSysCommand(UINT id, LPARAM extra);
    void OnExecute();
    void OnRescanDevice();
    // Refills both lists in device order and selects the default devices of this instance.
    void ScanDevices();
    // WM_DESTROY: no more requests are served, the engine is told (MIDI input stopped, the run
    // woken with "closing"). Runs once.
    void OnDestroy();
    void OnPaint();
    HICON OnQueryDragIcon() const { return m_hIcon; }
    // "Exit", Escape and the close box: ends the modal run (or destroys the modeless window).
    void OnCancel();

    HWND GetSafeHwnd() const { return m_hWnd; }
    CUpdateEngine* Engine() const { return m_engine.get(); }
    // The engine's view of this window.
    std::shared_ptr<IUpdateHost> Host() const;
    bool IsDestroyed() const { return m_destroyed; }

    // Control windows, bound to the template's controls by OnInitDialog.
    HWND m_midiInCombo = nullptr;     // 1000
    HWND m_midiOutCombo = nullptr;    // 1001
    HWND m_progress = nullptr;        // 1002
    HWND m_executeButton = nullptr;   // 1 (IDOK)
    HWND m_statusEdit = nullptr;      // 1003
    HWND m_rescanButton = nullptr;    // 1004
    HWND m_picture = nullptr;         // 1005

private:
    class WindowHost;

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void DoDataExchange();
    void AddAboutEntry();
    void ShowErrorBox(const std::string& text);
    HWND HostControlWindow(HostControl control) const;
    void SetControlEnabled(HWND control, bool enable);
    std::wstring LoadText(int id) const;

    UpdatorDialogServices m_services;
    HICON m_hIcon = nullptr;
    // Written once on the UI thread when the window is created, read by requesting threads when
    // they wake the UI thread; atomic because those threads exist already (the timer may tick).
    std::atomic<HWND> m_requestWindow{nullptr};
    HWND m_hWnd = nullptr;
    bool m_modal = false;
    bool m_destroyed = false;
    std::shared_ptr<UiRequestQueue> m_requests;
    std::shared_ptr<WindowHost> m_host;
    std::shared_ptr<CUpdateEngine> m_engine;
};
