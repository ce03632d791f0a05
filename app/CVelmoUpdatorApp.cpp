#include "CVelmoUpdatorApp.h"

#include <cstdio>

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
    char text[128];
    std::snprintf(text, sizeof text,
                  "It is forbidden to launch more than %d instance of this application.",
                  MAX_INSTANCES);
    return text;
}

bool CVelmoUpdatorApp::ClaimInstanceNumber() {
    const std::string scope = m_markerScope.empty() ? std::string() : " [" + m_markerScope + "]";
    for (int n = 1; n <= MAX_INSTANCES; ++n) {
        const InstanceMarkerResult result = CreateInstanceMarker(InstanceMarkerName(n) + scope);
        m_hInstanceMutex = result.handle;
        if (result.handle != NO_INSTANCE_MARKER && !result.alreadyExists) {
            m_instanceNumber = n;
            return true;
        }
        // Taken, or the marker could not be created: try the next number.
        if (result.handle != NO_INSTANCE_MARKER) CloseInstanceMarker(result.handle);
        m_hInstanceMutex = NO_INSTANCE_MARKER;
    }
    return false;
}

bool CVelmoUpdatorApp::InitInstance() {
    if (!ClaimInstanceNumber()) {
        if (m_showRefusal) m_showRefusal(RefusalMessage());
        return false;
    }
    if (m_runMainWindow) m_runMainWindow();
    return false;
}
