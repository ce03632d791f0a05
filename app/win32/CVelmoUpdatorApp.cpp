#include "CVelmoUpdatorApp.h"

#include <windows.h>
#include <commctrl.h>

#include "CVelmoUpdatorDlg.h"
#include "WideText.h"

namespace {

CVelmoUpdatorApp* g_currentApp = nullptr;

// The program's name as the caption: the executable's file name without its extension.
std::wstring ProgramName() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length < MAX_PATH ? length : 0);
    const std::size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    const std::size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
}

void ShowRefusalBox(const std::string& text) {
    MessageBoxW(nullptr, Utf8ToWide(text).c_str(), ProgramName().c_str(), MB_OK | MB_ICONEXCLAMATION);
}

void RunMainWindowModally() {
    CVelmoUpdatorDlg dialog;
    dialog.DoModal();
}

}  // namespace

CVelmoUpdatorApp::CVelmoUpdatorApp()
    : m_showRefusal(ShowRefusalBox), m_runMainWindow(RunMainWindowModally) {
    g_currentApp = this;
}

CVelmoUpdatorApp::~CVelmoUpdatorApp() {
    if (g_currentApp == this) g_currentApp = nullptr;
}

CVelmoUpdatorApp* CVelmoUpdatorApp::Current() {
    return g_currentApp;
}

bool CVelmoUpdatorApp::InitInstance() {
    // The progress bar is a common control: its class must be registered first.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    const InstanceClaim claim = ClaimInstanceNumber(m_markerScope);
    m_hInstanceMutex = claim.handle;
    m_instanceNumber = claim.number;
    if (claim.number == 0) {
        if (m_showRefusal) m_showRefusal(InstanceRefusalMessage());
        return false;
    }
    if (m_runMainWindow) m_runMainWindow();
    // The window has closed: its number is free for a new copy at once, though the process may
    // take a moment longer to end.
    CloseInstanceMarker(m_hInstanceMutex);
    m_hInstanceMutex = NO_INSTANCE_MARKER;
    return false;
}
