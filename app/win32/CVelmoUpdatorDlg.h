// The main window of the Windows program: a Win32 dialog built from template 103 with the device
// lists, "Execute", "Rescan Device", "Exit", the status line and the progress bar. What it does is
// CUpdatorController's (the shared controller of every window); this class adds the dialog's
// message map over the controls, the system menu with the About entry, the icon and the painting of
// the minimised window.
//
// Threads: every member function runs on the UI thread (the thread that created the window). The
// engine's worker and timer threads reach the controls only through the controller's host, whose
// requests are queued and carried out on the UI thread when it serves WM_SERVE_REQUEST (also inside
// modal loops: message boxes, the About box, moving the window).
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "CUpdatorController.h"

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

// What the window takes from its surroundings: the controller's services, the error box and the
// module of its resources. An empty entry takes the product's default.
struct UpdatorDialogServices : UpdatorServices {
    // Default: ShowStopMessageBox.
    MessageBoxFunction messageBox;
    // The module that holds the templates and the icon. Default: the program's own.
    HINSTANCE resources = nullptr;
};

class CVelmoUpdatorDlg : public CUpdatorController {
public:
    explicit CVelmoUpdatorDlg(UpdatorDialogServices services = {});
    // Destroys the window if it still exists; the controller then releases the timer (a running
    // tick finishes) and its share of the engine. A run's worker keeps its own share.
    ~CVelmoUpdatorDlg() override;
    CVelmoUpdatorDlg(const CVelmoUpdatorDlg&) = delete;
    CVelmoUpdatorDlg& operator=(const CVelmoUpdatorDlg&) = delete;

    // Runs the window modally with no parent; returns when it has been closed and destroyed
    // (IDCANCEL), or -1 when it could not be created.
    INT_PTR DoModal();
    // Creates the window modeless (the caller's message loop serves it, passing its messages
    // through IsDialogMessage); closing it destroys it. Null when it could not be created.
    HWND Create();

    // WM_INITDIALOG: About entry, icons, then the controller's part (device scan, timer, progress
    // range, title).
    BOOL OnInitDialog();
    // System-menu commands: CMD_ABOUT (any of 0x10..0x1F) opens the About box; any other goes to
    // the system's handling (close, move, minimise).
    void OnSysCommand(UINT id, LPARAM extra);
    void OnPaint();
    HICON OnQueryDragIcon() const { return m_hIcon; }
    // "Exit", Escape and the close box: ends the modal run (or destroys the modeless window).
    void OnCancel();

    HWND GetSafeHwnd() const { return m_hWnd; }

    // Control windows, bound to the template's controls by OnInitDialog.
    HWND m_midiInCombo = nullptr;     // 1000
    HWND m_midiOutCombo = nullptr;    // 1001
    HWND m_progress = nullptr;        // 1002
    HWND m_executeButton = nullptr;   // 1 (IDOK)
    HWND m_statusEdit = nullptr;      // 1003
    HWND m_rescanButton = nullptr;    // 1004
    HWND m_picture = nullptr;         // 1005

private:
    // IUpdatorWindow over the controls.
    void FillDeviceList(DeviceList list, const std::vector<std::string>& names, int selection) override;
    int DeviceListSelection(DeviceList list) const override;
    void SetTitle(const std::string& title) override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int maximum) override;
    void SetProgressPos(int position) override;
    void EnableControl(HostControl control, bool enable) override;
    void ShowErrorBox(const std::string& caption, const std::string& text) override;

    // The queue of the engine's requests, served on the calling thread, which WM_SERVE_REQUEST to
    // `dialog`'s window wakes. Made before `dialog` is constructed: only its address is kept.
    static std::shared_ptr<UiRequestQueue> OpenRequestQueue(CVelmoUpdatorDlg* dialog);
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void DoDataExchange();
    void AddAboutEntry();
    HWND DeviceCombo(DeviceList list) const;
    std::wstring LoadText(int id) const;

    MessageBoxFunction m_messageBox;
    HINSTANCE m_resources = nullptr;
    HICON m_hIcon = nullptr;
    // Written once on the UI thread when the window is created, read by requesting threads when
    // they wake the UI thread; atomic because those threads exist already (the timer may tick).
    std::atomic<HWND> m_requestWindow{nullptr};
    HWND m_hWnd = nullptr;
    bool m_modal = false;
};
