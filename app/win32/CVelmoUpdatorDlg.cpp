#include "CVelmoUpdatorDlg.h"

#include <commctrl.h>

#include <string>
#include <vector>

#include "CAboutDlg.h"
#include "IconPlacement.h"
#include "StringTable.h"
#include "UiRequestQueue.h"
#include "WideText.h"
#include "resource.h"

void ShowStopMessageBox(HWND owner, const std::wstring& caption, const std::wstring& text) {
    MessageBoxW(owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONHAND);
}

std::shared_ptr<UiRequestQueue> CVelmoUpdatorDlg::OpenRequestQueue(CVelmoUpdatorDlg* dialog) {
    const DWORD uiThread = GetCurrentThreadId();
    return std::make_shared<UiRequestQueue>(
        [uiThread] { return GetCurrentThreadId() == uiThread; },
        [dialog] {
            // Only while the queue is open, which ends in OnDestroy, before the window goes. Before
            // the window exists nothing is posted; OnInitDialog wakes the UI thread for such requests.
            if (HWND window = dialog->m_requestWindow.load()) PostMessageW(window, WM_SERVE_REQUEST, 0, 0);
        });
}

CVelmoUpdatorDlg::CVelmoUpdatorDlg(UpdatorDialogServices services)
    : CUpdatorController(OpenRequestQueue(this), services),
      m_messageBox(services.messageBox ? services.messageBox : ShowStopMessageBox),
      m_resources(services.resources != nullptr ? services.resources : GetModuleHandleW(nullptr)) {
    m_hIcon = static_cast<HICON>(LoadImageW(m_resources, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                            IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                            GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
}

CVelmoUpdatorDlg::~CVelmoUpdatorDlg() {
    if (m_hWnd != nullptr && !IsDestroyed()) DestroyWindow(m_hWnd);
    OnDestroy();
    // Icons loaded from a resource at a given size are the process's until it ends; nothing to free.
}

INT_PTR CVelmoUpdatorDlg::DoModal() {
    m_modal = true;
    return DialogBoxParamW(m_resources, MAKEINTRESOURCEW(IDD_VELMOUPDATOR_DIALOG), nullptr,
                           &CVelmoUpdatorDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

HWND CVelmoUpdatorDlg::Create() {
    m_modal = false;
    return CreateDialogParamW(m_resources, MAKEINTRESOURCEW(IDD_VELMOUPDATOR_DIALOG),
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
                OnMidiOutSelChange();
                return TRUE;
            }
            return FALSE;
        }
        case WM_SERVE_REQUEST:
            Requests().ServeNext();
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

std::wstring CVelmoUpdatorDlg::LoadText(int id) const {
    const char* text = Services().loadString(id);
    return text != nullptr ? Utf8ToWide(text) : std::wstring();
}

BOOL CVelmoUpdatorDlg::OnInitDialog() {
    DoDataExchange();
    m_requestWindow.store(m_hWnd);
    // Requests made before the window existed (none in the product) are served now.
    for (std::size_t i = Requests().WaitingCount(); i > 0; --i) PostMessageW(m_hWnd, WM_SERVE_REQUEST, 0, 0);
    AddAboutEntry();
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    CUpdatorController::OnInitDialog();
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
        CAboutDlg about(m_resources);
        about.DoModal(m_hWnd);
        return;
    }
    // The system's own handling: close (which comes back as IDCANCEL), move, minimise, ...
    DefWindowProcW(m_hWnd, WM_SYSCOMMAND, id, extra);
}

void CVelmoUpdatorDlg::OnCancel() {
    if (m_hWnd == nullptr || IsDestroyed()) return;
    if (m_modal) {
        EndDialog(m_hWnd, IDCANCEL);
    } else {
        DestroyWindow(m_hWnd);
    }
}

HWND CVelmoUpdatorDlg::DeviceCombo(DeviceList list) const {
    return list == DeviceList::MidiIn ? m_midiInCombo : m_midiOutCombo;
}

void CVelmoUpdatorDlg::FillDeviceList(DeviceList list, const std::vector<std::string>& names,
                                      int selection) {
    HWND combo = DeviceCombo(list);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    // Unsorted list: each name is appended, so its position is its device index.
    for (const std::string& name : names) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf8ToWide(name).c_str()));
    }
    // CB_SETCURSEL sends no CBN_SELCHANGE.
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
}

int CVelmoUpdatorDlg::DeviceListSelection(DeviceList list) const {
    return static_cast<int>(SendMessageW(DeviceCombo(list), CB_GETCURSEL, 0, 0));
}

void CVelmoUpdatorDlg::SetTitle(const std::string& title) {
    SetWindowTextW(m_hWnd, Utf8ToWide(title).c_str());
}

void CVelmoUpdatorDlg::SetStatusText(const std::string& text) {
    SetWindowTextW(m_statusEdit, Utf8ToWide(text).c_str());
}

void CVelmoUpdatorDlg::SetProgressRange(int maximum) {
    SendMessageW(m_progress, PBM_SETRANGE32, 0, maximum);
}

void CVelmoUpdatorDlg::SetProgressPos(int position) {
    SendMessageW(m_progress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CVelmoUpdatorDlg::EnableControl(HostControl control, bool enable) {
    HWND window = GetDlgItem(m_hWnd, ControlIdOf(control));
    if (window == nullptr) return;
    if (!enable && GetFocus() == window && m_statusEdit != nullptr) {
        // The focus would stay on a disabled control, which takes no keys. It goes to the status
        // line (read-only, never disabled): Enter then reaches the default button, "Execute"
        // (disabled while a run locks the controls), and never "Exit"; Escape still closes.
        SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_statusEdit), TRUE);
    }
    EnableWindow(window, enable ? TRUE : FALSE);
}

void CVelmoUpdatorDlg::ShowErrorBox(const std::string& caption, const std::string& text) {
    m_messageBox(m_hWnd, Utf8ToWide(caption), Utf8ToWide(text));
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
