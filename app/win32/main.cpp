// tarnet-updater.exe: installs the system software into a device connected over MIDI (Windows).
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "CVelmoUpdatorApp.h"
#include "CVelmoUpdatorDlg.h"
#include "FirmwareResource.h"
#include "UpdateEngine.h"
#include "WideText.h"

namespace {

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

void ShowStartErrorBox(const std::string& text) {
    ShowStopMessageBox(nullptr, L"Error", Utf8ToWide(text));
}

void RunMainWindowModally(const CVelmoUpdatorApp& app) {
    CVelmoUpdatorDlg dialog(ProgramDialogServices(app));
    dialog.DoModal();
}

}  // namespace

// The one application object, constructed before WinMain runs.
CVelmoUpdatorApp theApp(ShowRefusalBox, [] { RunMainWindowModally(theApp); });

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The progress bar is a common control: its class is registered before anything else.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    // The image is resource "BIN" 129 of the program itself.
    theApp.m_loadImage = FirmwareResourceStep(nullptr);
    theApp.m_showStartError = ShowStartErrorBox;
    theApp.InitInstance();
    // A run whose window has closed ends at its next wait without touching anything, and the
    // send under way was abandoned with the window; the process ends once the run has released
    // the engine.
    CUpdateEngine::WaitForWorkers(CUpdateEngine::WORKER_END_LIMIT);
    return 0;
}
