// tarnet-updater: installs the system software into a device connected over MIDI.
#include <string>

#include <QApplication>
#include <QMessageBox>

#include "CVelmoUpdatorApp.h"
#include "CVelmoUpdatorDlg.h"
#include "FirmwareImage.h"
#include "ProgramNameOnly.h"
#include "UpdateEngine.h"

namespace {

void ShowRefusalBox(const std::string& text) {
    // Caption: the program's name (the executable's name without extension), as the framework's
    // default message box has it.
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

void ShowStartErrorBox(const std::string& text) {
    ShowStopMessageBox(nullptr, QStringLiteral("Error"), QString::fromStdString(text));
}

void RunMainWindowModally(int instanceNumber) {
    UpdatorDialogServices services;
    services.instanceNumber = [instanceNumber] { return instanceNumber; };
    services.image = LoadFirmwareImage();
    auto* dialog = new CVelmoUpdatorDlg(services);
    dialog->exec();
    delete dialog;
}

}  // namespace

// The one application object, constructed before main() runs.
CVelmoUpdatorApp theApp(ShowRefusalBox, [] { RunMainWindowModally(theApp.GetInstanceNumber()); });

int main(int argc, char** argv) {
    QGuiApplication::setDesktopFileName(QStringLiteral(TARNET_APP_ID));
    ProgramNameOnly arguments(argc, argv);
    QApplication application(arguments.Count(), arguments.Values());
    theApp.m_showStartError = ShowStartErrorBox;
    theApp.InitInstance();
    // A run whose window has closed ends at its next wait without touching anything, and the
    // send under way was abandoned with the window; the process ends once the run has released
    // the engine.
    CUpdateEngine::WaitForWorkers(CUpdateEngine::WORKER_END_LIMIT);
    return 0;
}
