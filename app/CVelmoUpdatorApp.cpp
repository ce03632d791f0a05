#include "CVelmoUpdatorApp.h"

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

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
    // For unattended runs (screenshots, end-to-end checks): press "Execute" once, this many
    // milliseconds after start. Never set in normal use.
    if (const char* v = std::getenv("TARNET_TEST_AUTO_EXECUTE_MS"); v != nullptr && v[0] != '\0') {
        QPointer<CVelmoUpdatorDlg> target(dialog);
        QTimer::singleShot(std::atoi(v), dialog, [target] {
            if (target && target->m_executeButton != nullptr) target->m_executeButton->click();
        });
    }
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
    // Test runs give their copies a scope of their own, so that they neither see nor disturb other
    // copies on the same machine. Never set in normal use.
    std::string scope;
    if (const char* v = std::getenv("TARNET_TEST_INSTANCE_SCOPE"); v != nullptr && v[0] != '\0') {
        scope = std::string(" [") + v + "]";
    }
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
