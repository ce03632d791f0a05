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
    // A run whose window has closed ends at its next wait without touching anything; the process
    // ends only after it has released the engine (at most one send still to finish).
    CUpdateEngine::WaitForWorkers(CUpdateEngine::WORKER_END_LIMIT);
    return 0;
}
