// The application object: claims an instance number at start-up and runs the main window.
//
// One object exists per process, constructed before the program's entry point runs. InitInstance
// loads the firmware image where the program carries it apart from its code (a program without a
// usable image says why and ends), claims the lowest free number from 1 to MAX_INSTANCES with a
// system-wide marker that stays held until the main window has closed, refuses to start a further
// copy, and runs the main window. What needs a toolkit or the system (the message boxes, the main
// window, the image's loading) comes from the program as steps.
#pragma once

#include <cstdint>
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
    // Loads the firmware image: IMAGE_SIZE bytes that stay valid until the process ends, or null
    // with the reason in `error`, as the start-up error box shows it.
    using ImageStep = std::function<const std::uint8_t*(std::string& error)>;
    // Shows why the program cannot start (caption "Error", stop icon, one OK).
    using StartErrorStep = std::function<void(const std::string& text)>;

    explicit CVelmoUpdatorApp(RefusalStep showRefusal = {}, MainWindowStep runMainWindow = {});
    CVelmoUpdatorApp(const CVelmoUpdatorApp&) = delete;
    CVelmoUpdatorApp& operator=(const CVelmoUpdatorApp&) = delete;

    static constexpr int MAX_INSTANCES = ::MAX_INSTANCES;

    // Loads the image (when the program has an image step), claims a number and runs the main
    // window until it closes. Without a usable image it shows why and neither claims a number nor
    // creates a window; with every number taken, it shows the refusal and creates no window; when
    // a number can't be claimed for another reason (no descriptor left, a full disk), it shows
    // that reason as a start error and creates no window.
    // Always returns false: the process ends afterwards.
    bool InitInstance();
    // The claimed number, 1..MAX_INSTANCES; 0 before a claim succeeded.
    int GetInstanceNumber() const { return m_instanceNumber; }
    // The image that the image step loaded; null before InitInstance, when it failed, or for a
    // program without an image step (its engine takes the image linked into it).
    const std::uint8_t* Image() const { return m_pImage; }

    // "It is forbidden to launch more than 20 instance of this application."
    static std::string RefusalMessage();

    // The steps of InitInstance; helpers and tests replace them.
    RefusalStep m_showRefusal;
    MainWindowStep m_runMainWindow;
    ImageStep m_loadImage;
    StartErrorStep m_showStartError;

    // Appended to every marker name; empty in the product. The instance tests give their helper
    // processes a scope of their own, so that they neither see nor disturb other copies.
    std::string m_markerScope;

    // Held marker of the claimed number (kept until the window has closed) or NO_INSTANCE_MARKER.
    InstanceMarkerHandle m_hInstanceMutex = NO_INSTANCE_MARKER;
    int m_instanceNumber = 0;

private:
    // Written once by InitInstance on the UI thread before the window (and with it any other
    // thread of the program) starts; read-only afterwards.
    const std::uint8_t* m_pImage = nullptr;

    // Tries numbers 1, 2, ... MAX_INSTANCES; sets m_instanceNumber when one was free.
    InstanceClaim ClaimInstanceNumber();
};
