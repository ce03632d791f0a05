// The application object: claims an instance number at start-up and runs the main window.
//
// One object exists per process (constructed before the framework runs, reached through
// Current()). InitInstance claims the lowest free number from 1 to MAX_INSTANCES with a
// system-wide marker that stays held until the main window has closed, refuses to start a further
// copy, and runs the main window modally. The header is free of Qt so that helpers can use the claim alone.
#pragma once

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

    // Claims a number and runs the main window until it closes; with every number taken, shows the
    // refusal and creates no window. Always returns false: the process ends afterwards.
    bool InitInstance();
    // The claimed number, 1..MAX_INSTANCES; 0 before a claim succeeded.
    int GetInstanceNumber() const { return m_instanceNumber; }

    // "It is forbidden to launch more than 20 instance of this application."
    static std::string RefusalMessage();

    // Steps of InitInstance, replaceable for helpers and tests. The defaults show the refusal in a
    // message box (exclamation icon, the program's name as caption, one OK) and run
    // CVelmoUpdatorDlg modally; both need a QApplication.
    std::function<void(const std::string& text)> m_showRefusal;
    std::function<void()> m_runMainWindow;

    // Appended to every marker name; empty in the product. The instance tests give their helper
    // processes a scope of their own, so that they neither see nor disturb other copies.
    std::string m_markerScope;

    // Held marker of the claimed number (kept until the window has closed) or NO_INSTANCE_MARKER.
    InstanceMarkerHandle m_hInstanceMutex = NO_INSTANCE_MARKER;
    int m_instanceNumber = 0;

private:
    // Tries numbers 1, 2, ... MAX_INSTANCES; true with m_instanceNumber set when one was free.
    bool ClaimInstanceNumber();
};
