// The About box of the Windows program (dialog template 100): the icon, the program's name and
// version in a read-only field, a notice line and "OK". Modal; "OK" and Enter end it as IDOK,
// Escape and the close box as IDCANCEL. Its message handling is the dialog manager's own, so the
// owner's posted messages (the update's requests) keep being served while it is open.
#pragma once

#include <windows.h>

class CAboutDlg {
public:
    // `resources`: the module that holds template 100 and icon 128.
    explicit CAboutDlg(HINSTANCE resources = GetModuleHandleW(nullptr)) : m_resources(resources) {}

    // Runs the box modally, owned by `owner` (the main window); the result is IDOK, IDCANCEL, or -1
    // when the box could not be created.
    INT_PTR DoModal(HWND owner);
    // WM_INITDIALOG: puts the program's plain name into m_versionEdit.
    BOOL OnInitDialog();

    HWND m_hWnd = nullptr;
    HWND m_versionEdit = nullptr;  // control 1003

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE m_resources;
};
