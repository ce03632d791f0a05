// tarnet-updater.exe: installs the system software into a device connected over MIDI (Windows).
#include <windows.h>

#include "CVelmoUpdatorApp.h"
#include "UpdateEngine.h"

// The one application object, constructed before WinMain runs.
CVelmoUpdatorApp theApp;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    theApp.InitInstance();
    // A run whose window has closed ends at its next wait without touching anything; the process
    // ends only after it has released the engine (at most one send still to finish).
    CUpdateEngine::WaitForWorkers(CUpdateEngine::WORKER_END_LIMIT);
    return 0;
}
