#include "CVelmoUpdatorApp.h"

#include <QApplication>
#include <QMessageBox>

#include "CVelmoUpdatorDlg.h"

namespace {

CVelmoUpdatorApp* g_currentApp = nullptr;

void ShowRefusalBox(const std::string& text) {
    // Caption: the program's name (the executable's name without extension), as the framework's
    // default message box has it.
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

void RunMainWindowModally() {
    auto* dialog = new CVelmoUpdatorDlg();
    dialog->exec();
    delete dialog;
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

std::string CVelmoUpdatorApp::RefusalMessage() {
    return InstanceRefusalMessage();
}

bool CVelmoUpdatorApp::ClaimInstanceNumber() {
    const InstanceClaim claim = ::ClaimInstanceNumber(m_markerScope);
    m_hInstanceMutex = claim.handle;
    m_instanceNumber = claim.number;
    return claim.number != 0;
}

bool CVelmoUpdatorApp::InitInstance() {
    if (!ClaimInstanceNumber()) {
        if (m_showRefusal) m_showRefusal(RefusalMessage());
        return false;
    }
    if (m_runMainWindow) m_runMainWindow();
    // The window has closed: its number is free for a new copy at once, though the process may
    // take a moment longer to end.
    CloseInstanceMarker(m_hInstanceMutex);
    m_hInstanceMutex = NO_INSTANCE_MARKER;
    return false;
}
