#include "CVelmoUpdatorDlg.h"

#include <commctrl.h>

#include <string>
#include <vector>

#include "CAboutDlg.h"
#include "CVelmoUpdatorApp.h"
#include "DeviceNames.h"
#include "EngineTexts.h"
#include "FirmwareImage.h"
#include "IconPlacement.h"
#include "InstanceMarker.h"
#include "StringTable.h"
#include "UiRequestQueue.h"
#include "UpdateEngine.h"
#include "WideText.h"
#include "resource.h"

namespace {

// The image is the one that the application object loaded from the program's resources (null
// without one: the engine then refuses every block instead of reading anything).
std::shared_ptr<CUpdateEngine> CreateProductEngine(std::shared_ptr<IUpdateHost> host) {
    const CVelmoUpdatorApp* app = CVelmoUpdatorApp::Current();
    return std::make_shared<CUpdateEngine>(std::move(host), EnginePlatform::Default(), EngineTimings{},
                                           app != nullptr ? app->Image() : nullptr);
}

int ApplicationInstanceNumber() {
    const CVelmoUpdatorApp* app = CVelmoUpdatorApp::Current();
    return app != nullptr && app->GetInstanceNumber() > 0 ? app->GetInstanceNumber() : 1;
}

}  // namespace

void ShowStopMessageBox(HWND owner, const std::wstring& caption, const std::wstring& text) {
    MessageBoxW(owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONHAND);
}

// The engine's view of the window. Every request goes through the window's request queue, so it
// runs on the UI thread, in order, and fails at once after OnDestroy. The dialog pointer is used
// only inside requests, which run only while the window exists.
class CVelmoUpdatorDlg::WindowHost final : public IUpdateHost {
public:
    WindowHost(std::shared_ptr<UiRequestQueue> requests, CVelmoUpdatorDlg* dialog)
        : m_requests(std::move(requests)), m_dialog(dialog) {}

    bool ShowStatus(const RunStatus& status) override {
        return Do([&] {
            const std::string text = StatusText(status, m_dialog->m_services.loadString);
            SetWindowTextW(m_dialog->m_statusEdit, Utf8ToWide(text).c_str());
        });
    }
    bool SetProgressPos(int position) override {
        return Do([&] { SendMessageW(m_dialog->m_progress, PBM_SETPOS, static_cast<WPARAM>(position), 0); });
    }
    bool EnableControl(HostControl control, bool enable) override {
        return Do([&] { m_dialog->SetControlEnabled(m_dialog->HostControlWindow(control), enable); });
    }
    bool ShowError(EngineError error) override {
        return Do([&] { m_dialog->ShowErrorBox(ErrorText(error, m_dialog->m_services.loadString)); });
    }

private:
    bool Do(const std::function<void()>& request) {
        return m_requests->Run(request) == UiRequestQueue::Outcome::Ran;
    }

    std::shared_ptr<UiRequestQueue> m_requests;
    CVelmoUpdatorDlg* m_dialog;
};

CVelmoUpdatorDlg::CVelmoUpdatorDlg(UpdatorDialogServices services) : m_services(std::move(services)) {
    if (!m_services.instanceNumber) m_services.instanceNumber = ApplicationInstanceNumber;
    if (!m_services.loadString) m_services.loadString = LoadStringById;
    if (!m_services.messageBox) m_services.messageBox = ShowStopMessageBox;
    if (!m_services.createEngine) m_services.createEngine = CreateProductEngine;
    if (m_services.resources == nullptr) m_services.resources = GetModuleHandleW(nullptr);

    m_hIcon = static_cast<HICON>(LoadImageW(m_services.resources, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                            IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                            GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    const DWORD uiThread = GetCurrentThreadId();
    m_requests = std::make_shared<UiRequestQueue>(
        [uiThread] { return GetCurrentThreadId() == uiThread; },
        [this] {
            // Only while the queue is open, which ends in OnDestroy, before the window goes. Before
            // the window exists nothing is posted; OnInitDialog wakes the UI thread for such requests.
            if (HWND window = m_requestWindow.load()) PostMessageW(window, WM_SERVE_REQUEST, 0, 0);
        });
    m_host = std::make_shared<WindowHost>(m_requests, this);
    m_engine = m_services.createEngine(m_host);
}

CVelmoUpdatorDlg::~CVelmoUpdatorDlg() {
    if (m_hWnd != nullptr && !m_destroyed) DestroyWindow(m_hWnd);
    OnDestroy();
    // The timer goes first, so that no dispatcher run starts after this and a running one has
    // finished; requests of a tick fail at once now, so this wait cannot block on the UI thread.
    if (m_engine) m_engine->ReleaseTimer();
    m_engine.reset();
    m_host.reset();
    m_requests.reset();
    // Icons loaded from a resource at a given size are the process's until it ends; nothing to free.
}

INT_PTR CVelmoUpdatorDlg::DoModal() {
    m_modal = true;
    return DialogBoxParamW(m_services.resources, MAKEINTRESOURCEW(IDD_VELMOUPDATOR_DIALOG), nullptr,
                           &CVelmoUpdatorDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

HWND CVelmoUpdatorDlg::Create() {
    m_modal = false;
    return CreateDialogParamW(m_services.resources, MAKEINTRESOURCEW(IDD_VELMOUPDATOR_DIALOG),
                              nullptr, &CVelmoUpdatorDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CVelmoUpdatorDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CVelmoUpdatorDlg* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CVelmoUpdatorDlg*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->m_hWnd = hwnd;
    } else {
        self = reinterpret_cast<CVelmoUpdatorDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    if (self == nullptr) return FALSE;
    const INT_PTR result = self->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
    }
    return result;
}

// The message map. FALSE hands a message to the dialog manager's own handling.
INT_PTR CVelmoUpdatorDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_SYSCOMMAND:
            OnSysCommand(static_cast<UINT>(wParam), lParam);
            return TRUE;
        case WM_PAINT:
            if (!IsIconic(m_hWnd)) return FALSE;
            OnPaint();
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            const int code = HIWORD(wParam);
            if (id == IDOK) {
                // Control 1 starts an update and never closes the window. Enter reaches it through
                // the dialog manager even while the button is disabled; a disabled "Execute" does
                // nothing, as a click on it would.
                if (m_executeButton != nullptr && IsWindowEnabled(m_executeButton)) OnExecute();
                return TRUE;
            }
            if (id == IDCANCEL) {
                OnCancel();
                return TRUE;
            }
            if (id == IDC_RESCAN && code == BN_CLICKED) {
                OnRescanDevice();
                return TRUE;
            }
            if (id == IDC_MIDI_OUT && code == CBN_SELCHANGE) {
                // Every message goes to the device selected when it is sent.
                m_engine->SelectMidiOut(static_cast<int>(SendMessageW(m_midiOutCombo, CB_GETCURSEL, 0, 0)));
                return TRUE;
            }
            return FALSE;
        }
        case WM_SERVE_REQUEST:
            m_requests->ServeNext();
            return TRUE;
        case WM_DESTROY:
            OnDestroy();
            return FALSE;
        default:
            return FALSE;
    }
}

void CVelmoUpdatorDlg::DoDataExchange() {
    m_midiInCombo = GetDlgItem(m_hWnd, IDC_MIDI_IN);
    m_midiOutCombo = GetDlgItem(m_hWnd, IDC_MIDI_OUT);
    m_progress = GetDlgItem(m_hWnd, IDC_PROGRESS);
    m_executeButton = GetDlgItem(m_hWnd, IDOK);
    m_statusEdit = GetDlgItem(m_hWnd, IDC_STATUS);
    m_rescanButton = GetDlgItem(m_hWnd, IDC_RESCAN);
    m_picture = GetDlgItem(m_hWnd, IDC_PICTURE);
}

std::shared_ptr<IUpdateHost> CVelmoUpdatorDlg::Host() const {
    return m_host;
}

HWND CVelmoUpdatorDlg::HostControlWindow(HostControl control) const {
    switch (control) {
        case HostControl::MidiInList: return m_midiInCombo;
        case HostControl::MidiOutList: return m_midiOutCombo;
        case HostControl::Execute: return m_executeButton;
        case HostControl::Rescan: return m_rescanButton;
    }
    return nullptr;
}

std::wstring CVelmoUpdatorDlg::LoadText(int id) const {
    const char* text = m_services.loadString(id);
    return text != nullptr ? Utf8ToWide(text) : std::wstring();
}

BOOL CVelmoUpdatorDlg::OnInitDialog() {
    DoDataExchange();
    m_requestWindow.store(m_hWnd);
    // Requests made before the window existed (none in the product) are served now.
    for (std::size_t i = m_requests->WaitingCount(); i > 0; --i) {
        PostMessageW(m_hWnd, WM_SERVE_REQUEST, 0, 0);
    }
    AddAboutEntry();
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    // The firmware image: the engine took it from the application object when it was constructed.
    ScanDevices();
    m_engine->StartPollTimer();
    SendMessageW(m_progress, PBM_SETRANGE32, 0, IMAGE_SIZE);
    SendMessageW(m_progress, PBM_SETPOS, 0, 0);
    SetWindowTextW(m_hWnd, Utf8ToWide(InstanceMarkerName(m_services.instanceNumber())).c_str());
    // TRUE: the dialog manager puts the focus on the first tab stop, "Execute".
    return TRUE;
}

void CVelmoUpdatorDlg::AddAboutEntry() {
    HMENU menu = GetSystemMenu(m_hWnd, FALSE);
    if (menu == nullptr) return;
    const std::wstring text = LoadText(IDS_ABOUTBOX);
    if (text.empty()) return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, CMD_ABOUT, text.c_str());
}

void CVelmoUpdatorDlg::OnSysCommand(UINT id, LPARAM extra) {
    if ((id & SYSCMD_MASK) == CMD_ABOUT) {
        CAboutDlg about(m_services.resources);
        about.DoModal(m_hWnd);
        return;
    }
    // The system's own handling: close (which comes back as IDCANCEL), move, minimise, ...
    DefWindowProcW(m_hWnd, WM_SYSCOMMAND, id, extra);
}

void CVelmoUpdatorDlg::OnCancel() {
    if (m_hWnd == nullptr || m_destroyed) return;
    if (m_modal) {
        EndDialog(m_hWnd, IDCANCEL);
    } else {
        DestroyWindow(m_hWnd);
    }
}

void CVelmoUpdatorDlg::SetControlEnabled(HWND control, bool enable) {
    if (control == nullptr) return;
    if (!enable && GetFocus() == control && m_statusEdit != nullptr) {
        // The focus would stay on a disabled control, which takes no keys. It goes to the status
        // line (read-only, never disabled): Enter then reaches the default button, "Execute"
        // (disabled while a run locks the controls), and never "Exit"; Escape still closes.
        SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_statusEdit), TRUE);
    }
    EnableWindow(control, enable ? TRUE : FALSE);
}

void CVelmoUpdatorDlg::OnExecute() {
    if (m_destroyed) return;
    m_engine->OnExecute(static_cast<int>(SendMessageW(m_midiInCombo, CB_GETCURSEL, 0, 0)));
}

void CVelmoUpdatorDlg::OnRescanDevice() {
    ScanDevices();
    m_engine->EnableExecute(true);
}

void CVelmoUpdatorDlg::ScanDevices() {
    const int instance = m_services.instanceNumber();
    const auto fill = [instance](HWND combo, const std::vector<std::string>& names) {
        SendMessageW(combo, CB_RESETCONTENT, 0, 0);
        // Unsorted list: each name is appended, so its position is its device index.
        for (const std::string& name : names) {
            SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf8ToWide(name).c_str()));
        }
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(SelectDefaultDevice(names, instance)), 0);
    };
    fill(m_midiOutCombo, m_engine->MidiOutDeviceNames());
    fill(m_midiInCombo, m_engine->MidiInDeviceNames());
    // CB_SETCURSEL sends no CBN_SELCHANGE: the engine hears of the new selection here.
    m_engine->SelectMidiOut(static_cast<int>(SendMessageW(m_midiOutCombo, CB_GETCURSEL, 0, 0)));
}

void CVelmoUpdatorDlg::OnDestroy() {
    if (m_destroyed) return;
    m_destroyed = true;
    // First no request of the worker or the timer waits any more, then the run is told to end.
    m_requests->Close();
    if (m_engine) m_engine->OnWindowClosing();
}

void CVelmoUpdatorDlg::ShowErrorBox(const std::string& text) {
    m_services.messageBox(m_hWnd, LoadText(IDS_ERROR_CAPTION), Utf8ToWide(text));
}

void CVelmoUpdatorDlg::OnPaint() {
    // Minimised: erase the background and draw the icon centred in the client area.
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(m_hWnd, &client);
    const IconOrigin origin =
        CenteredIconOrigin(client.right - client.left, client.bottom - client.top,
                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    DrawIcon(dc, origin.x, origin.y, m_hIcon);
    EndPaint(m_hWnd, &paint);
}
