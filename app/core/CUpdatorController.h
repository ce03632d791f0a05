// What the main window does, whatever toolkit draws it: the device scan with the default
// selection, "Execute", "Rescan Device", the engine's requests to the window (status line,
// progress bar, enabling, error boxes) and the order in which a closing window lets go of the
// engine. A main window derives from CUpdatorController, implements IUpdatorWindow over its own
// controls and sends its handlers here; it keeps only its widgets, its resources and the calls of
// its toolkit.
//
// Threads: every member function runs on the window's UI thread. The engine's worker and timer
// threads reach the window only through Host(), whose requests go through the window's request
// queue: they run on the UI thread, in the order made, and fail at once once OnDestroy has run.
// The UI thread never waits for those threads while the window exists; the timer is stopped only
// after OnDestroy, when requests no longer wait.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "EngineTexts.h"
#include "UpdateHost.h"
#include "UpdateRecord.h"
#include "platform/MidiApi.h"

class CUpdateEngine;
class UiRequestQueue;

// The controls of a main window as the controller drives them. Called on the UI thread only, and
// only while the window exists.
class IUpdatorWindow {
public:
    enum class DeviceList { MidiIn, MidiOut };

    virtual ~IUpdatorWindow() = default;

    // Empties the list, appends `names` in order (entry i is device i: the list is unsorted) and
    // selects entry `selection` (-1: no selection).
    virtual void FillDeviceList(DeviceList list, const std::vector<std::string>& names,
                                int selection) = 0;
    // The list's current selection; -1 for none.
    virtual int DeviceListSelection(DeviceList list) const = 0;
    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    // The progress bar's range, 0..maximum (more than a 16-bit range holds).
    virtual void SetProgressRange(int maximum) = 0;
    virtual void SetProgressPos(int position) = 0;
    virtual void EnableControl(HostControl control, bool enable) = 0;
    // A modal error box owned by the window: stop icon, one OK button. Returns when the user has
    // dismissed it; the window goes on serving requests meanwhile.
    virtual void ShowErrorBox(const std::string& caption, const std::string& text) = 0;
};

// The control of the main window's template (103) that stands for `control`: the MIDI IN list
// 1000, the MIDI OUT list 1001, "Execute" 1 (IDOK), "Rescan Device" 1004.
int ControlIdOf(HostControl control);

// What a main window takes from its surroundings. An empty entry takes the product's default.
struct UpdatorServices {
    // The instance number (1..MAX_INSTANCES) that the title and the default devices follow.
    // Default: 1.
    std::function<int()> instanceNumber;
    // Default: LoadStringById.
    StringLoader loadString;
    // Default: an engine on the platform's MIDI system and timer, with the product's timings, that
    // sends `image`.
    std::function<std::shared_ptr<CUpdateEngine>(std::shared_ptr<IUpdateHost>)> createEngine;
    // The firmware image for the default engine: IMAGE_SIZE bytes valid until the process ends
    // (the Qt program's linked image, the Windows program's resource). A program that leaves the
    // engine to its default gives it; without one, the engine sends no block.
    const std::uint8_t* image = nullptr;
    // Takes the record of every run that "Execute" started, once the run has ended. Called on the
    // run's worker thread, or on the UI thread for a run that the closing window ended; it must
    // not touch the window. Default: appended to the history of updates, silently skipped when
    // the history can't be written.
    std::function<void(const UpdateRecord&)> recordRun;
};

class CUpdatorController : protected IUpdatorWindow {
public:
    // `requests`: the window's path to its UI thread, open until OnDestroy. Creates the engine.
    CUpdatorController(std::shared_ptr<UiRequestQueue> requests, UpdatorServices services);
    // OnDestroy if it has not run, then releases in this order: the timer (a running tick
    // finishes), then the controller's share of the engine; a run's worker keeps its own share
    // until it has ended.
    ~CUpdatorController() override;
    CUpdatorController(const CUpdatorController&) = delete;
    CUpdatorController& operator=(const CUpdatorController&) = delete;

    // The window's part of its initialisation that is not toolkit code: device scan, the poll
    // timer, the progress range, the title. The window has added its About entry and icons first.
    void OnInitDialog();
    // "Execute" (and Enter): starts an update on the MIDI IN list's selection, or reports why not.
    void OnExecute();
    // "Rescan Device": refills the lists and enables "Execute" again, whatever the scan found.
    void OnRescanDevice();
    // Refills both lists in device order and selects the default devices of this instance.
    void ScanDevices();
    // The user picked another MIDI OUT entry: every message goes to the device selected when it
    // is sent.
    void OnMidiOutSelChange();
    // The window is going away: no more requests are served, then the engine is told (MIDI input
    // stopped, a waiting run woken with "closing", after which it touches nothing of the window).
    // Runs once.
    void OnDestroy();

    const UpdatorServices& Services() const { return m_services; }
    CUpdateEngine* Engine() const { return m_engine.get(); }
    // The engine's view of this window.
    std::shared_ptr<IUpdateHost> Host() const;
    bool IsDestroyed() const { return m_destroyed; }

protected:
    // The window's request queue, for the window that serves it.
    UiRequestQueue& Requests() const { return *m_requests; }

private:
    class WindowHost;

    UpdatorServices m_services;
    // The device names of the last scan, in list order: the record of a run names its devices,
    // and the unit of its MIDI OUT device where the system told it.
    std::vector<std::string> m_midiInNames;
    std::vector<std::string> m_midiOutNames;
    std::vector<platform::MidiDevUnit> m_midiOutUnits;
    std::shared_ptr<UiRequestQueue> m_requests;
    std::shared_ptr<WindowHost> m_host;
    std::shared_ptr<CUpdateEngine> m_engine;
    bool m_destroyed = false;
};
