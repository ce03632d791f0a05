// The application object: claims an instance number at start-up and runs the main window.
//
// One object exists per process, constructed before the program's entry point runs. InitInstance
// claims the lowest free number from 1 to MAX_INSTANCES with a system-wide marker that stays held
// until the main window has closed, refuses to start a further copy, and runs the main window. What needs a
// toolkit (the refusal's message box, the main window) comes from the program as two steps.
#pragma once

#include <functional>
#include <string>

#include "InstanceMarker.h"

class CVelmoUpdatorApp {
public:
    // Shows the refusal of a further copy (exclamation icon, the program's name as caption, one
    // OK) and returns when it has been dismissed.
    using RefusalStep = std::function<void(const std::string& text)>;
    // Runs the main window modally; returns when it has closed.
    using MainWindowStep = std::function<void()>;

    explicit CVelmoUpdatorApp(RefusalStep showRefusal = {}, MainWindowStep runMainWindow = {});
    CVelmoUpdatorApp(const CVelmoUpdatorApp&) = delete;
    CVelmoUpdatorApp& operator=(const CVelmoUpdatorApp&) = delete;

    static constexpr int MAX_INSTANCES = ::MAX_INSTANCES;

    // Claims a number and runs the main window until it closes; with every number taken, shows the
    // refusal and creates no window. Always returns false: the process ends afterwards.
    bool InitInstance();
    // The claimed number, 1..MAX_INSTANCES; 0 before a claim succeeded.
    int GetInstanceNumber() const { return m_instanceNumber; }

    // "It is forbidden to launch more than 20 instance of this application."
    static std::string RefusalMessage();

    // The steps of InitInstance; helpers and tests replace them.
    RefusalStep m_showRefusal;
    MainWindowStep m_runMainWindow;

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
