// The terminal stands in for the window: the engine's requests (status line, progress bar, error
// boxes) become lines on standard output, and the run is recorded as the window records it.
#pragma once

#include <mutex>
#include <string>

#include "ProgressLine.h"
#include "UpdateHost.h"
#include "UpdateRecord.h"
#include "platform/MidiApi.h"

// Every request is served at once on the caller's thread, with one lock so that lines from the
// worker and the timer thread never interleave. Output that can't be written (standard output
// closed, a full disk) is said once on standard error and costs the run nothing.
class ConsoleHost : public IUpdateHost {
public:
    explicit ConsoleHost(bool quiet);

    bool ShowStatus(const RunStatus& status) override;
    bool SetProgressPos(int position) override;
    bool EnableControl(HostControl control, bool enable) override;
    bool ShowError(EngineError error) override;
    // The device's own word on itself, beside what the listing told of the unit: one line,
    // "device: model 0x6A, software revision 31 30 30 30, USB serial A1B2C3, USB path 1-1.2".
    void DeviceIdentified(const DeviceIdentity& identity) override;

    // `unit`: the MIDI OUT device's, as the listing told it.
    void StartRecord(const std::string& midiIn, const std::string& midiOut, const platform::MidiDevUnit& unit = {});
    UpdateRecord FinishRecord(const std::string& ending);
    // Closes the terminal's progress line before the closing lines are written.
    void EndProgress(bool completed);

private:
    // Notes the first write that failed. With m_lock held.
    void Written(bool ok);

    std::mutex m_lock;  // orders the lines of the worker and the timer thread
    const bool m_quiet;
    RunStatus m_status;         // guarded by m_lock
    ProgressOutput m_progress;  // guarded by m_lock
    UpdateRecorder m_recorder;  // guarded by m_lock
    platform::MidiDevUnit m_unit;  // guarded by m_lock
    bool m_outputLost = false;  // guarded by m_lock
};
