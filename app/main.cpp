// tarnet-updater: installs the system software into a device connected over MIDI.
#include <chrono>

#include <QApplication>

#include "CVelmoUpdatorApp.h"
#include "UpdateEngine.h"

// The one application object, constructed before main() runs.
CVelmoUpdatorApp theApp;

int main(int argc, char** argv) {
    QGuiApplication::setDesktopFileName(QStringLiteral(TARNET_APP_ID));
    QApplication application(argc, argv);
    theApp.InitInstance();
    // A run whose window has closed ends at its next wait without touching anything; give it that
    // moment so the process does not end under it.
    CUpdateEngine::WaitForWorkers(std::chrono::seconds(5));
    return 0;
}
