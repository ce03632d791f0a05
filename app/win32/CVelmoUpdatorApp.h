// The application object of the Windows program: registers the common controls, claims an instance
// number at start-up and runs the main window modally.
//
// One object exists per process (constructed before WinMain runs, reached through Current()).
// InitInstance loads the firmware image from the program's resources (a program without it ends
// with an error), claims the lowest free number from 1 to MAX_INSTANCES with a named mutex that
// stays held until the process ends (ClaimInstanceNumber, shared with the Qt program), refuses to
// start a further copy, and runs the main window.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "InstanceMarker.h"

class CVelmoUpdatorApp {
public:
    CVelmoUpdatorApp();
    ~CVelmoUpdatorApp();
    CVelmoUpdatorApp(const CVelmoUpdatorApp&) = delete;
    CVelmoUpdatorApp& operator=(const CVelmoUpdatorApp&) = delete;

    static constexpr int MAX_INSTANCES = ::MAX_INSTANCES;

    // The process's application object; null before one is constructed.
    static CVelmoUpdatorApp* Current();

    // Registers the common controls, loads the image, claims a number and runs the main window
    // until it closes. Without a usable image it shows why (m_showStartError) and neither claims a
    // number nor creates a window; with every number taken, it shows the refusal and creates no
    // window. Always returns false: the process ends afterwards.
    bool InitInstance();
    // The claimed number, 1..MAX_INSTANCES; 0 before a claim succeeded.
    int GetInstanceNumber() const { return m_instanceNumber; }
    // The firmware image (IMAGE_SIZE bytes of the module's resource "BIN" 129), loaded by
    // InitInstance before the window runs; null before that or when it failed.
    const std::uint8_t* Image() const { return m_pImage; }

    // Steps of InitInstance, replaceable for helpers and tests. The defaults show the refusal in a
    // message box (exclamation icon, the program's name as caption, one OK) and run
    // CVelmoUpdatorDlg modally.
    std::function<void(const std::string& text)> m_showRefusal;
    std::function<void()> m_runMainWindow;
    // Shows why the program cannot start (its image is missing or damaged). Default: a message box
    // with the caption "Error", the stop icon and one OK.
    std::function<void(const std::string& text)> m_showStartError;

    // The module whose resource "BIN" 129 is the image; null (the default) is the program's own.
    HMODULE m_imageModule = nullptr;

    // Appended to every mutex name; empty in the program. The instance tests give their helper
    // processes a scope of their own, so that they neither see nor disturb other copies.
    std::string m_markerScope;

    // Held mutex of the claimed number (kept until the process ends) or NO_INSTANCE_MARKER.
    InstanceMarkerHandle m_hInstanceMutex = NO_INSTANCE_MARKER;
    int m_instanceNumber = 0;

private:
    // Written once by InitInstance on the UI thread before the window (and with it any other
    // thread of the program) starts; read-only afterwards.
    const std::uint8_t* m_pImage = nullptr;
};
