#include "CAboutDlg.h"

#include "InstanceMarker.h"
#include "WideText.h"
#include "resource.h"

INT_PTR CAboutDlg::DoModal(HWND owner) {
    return DialogBoxParamW(m_resources, MAKEINTRESOURCEW(IDD_ABOUTBOX), owner,
                           &CAboutDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CAboutDlg::OnInitDialog() {
    m_versionEdit = GetDlgItem(m_hWnd, IDC_VERSION);
    // Always the plain name: the box never shows the instance number of the window's title.
    SetWindowTextW(m_versionEdit, Utf8ToWide(InstanceMarkerName(1)).c_str());
    // TRUE: the focus goes to the first tab stop, "OK".
    return TRUE;
}

INT_PTR CALLBACK CAboutDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            auto* self = reinterpret_cast<CAboutDlg*>(lParam);
            SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            self->m_hWnd = hwnd;
            return self->OnInitDialog();
        }
        case WM_COMMAND:
            // "OK" or Enter (IDOK), Escape or the close box (IDCANCEL).
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_NCDESTROY:
            if (auto* self = reinterpret_cast<CAboutDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER))) {
                self->m_hWnd = nullptr;
                self->m_versionEdit = nullptr;
            }
            return FALSE;
        default:
            return FALSE;
    }
}
