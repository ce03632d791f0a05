// What the update engine needs of the window that shows it, and the vocabulary in which it
// reports: how a run ended, which error the user is told about, what the status line says. The
// engine knows no text; every window maps these values to its own texts (the Qt window, the native
// Windows dialog, the terminal runner).
//
// Every request is carried out synchronously on the window's own thread, in the order in which the
// requests are made, whichever thread makes them (the update worker, the timer thread). Once the
// window is gone a request fails at once and returns false.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

enum class HostControl { MidiInList, MidiOutList, Execute, Rescan };

// How an update run ended. Every ending but Completed and WindowClosed has shown its error first.
enum class UpdateOutcome {
    Completed,           // FINISH answered: "Version update completed."
    IdentityTimeout,     // no Identity Reply in time
    IllegalDevice,       // the device refused identification, or reported a model not accepted
    NotInVersionUpMode,  // ERASE answered with status 11
    TransferError,       // ERASE refused, a block refused 7 times, or FINISH unanswered
    BlockTimeout,        // no answer to a data block in time
    WindowClosed,        // the window closed during the run; nothing was shown
    DeviceGone,          // the MIDI IN or MIDI OUT device left the system during the run
    SendFailed,          // ERASE, a block or FINISH did not go out whole
    // The device answered more often than it was asked (not merely repeating an answer at once),
    // so an answer may have been taken for the wrong message: the run does not vouch for the image
    // ("Transfer error occurred."), even where FINISH was answered.
    AnswersOutOfStep,
};

// How far a run has come: the phase whose message it sent last. A run that has started is past
// NotStarted: its Identity Request is on the way.
enum class RunPhase {
    NotStarted,
    Identification,
    Erase,
    Transfer,
    Finish,
};

// The errors that the engine asks the window to show in its modal error box.
enum class EngineError {
    InProgress,          // "Execute" while a run is under way
    CantOpenMidiIn,
    CantOpenMidiOut,
    IdentityTimeout,
    BlockTimeout,
    IllegalDevice,
    NotInVersionUpMode,
    TransferError,
};

// What the one-line status text says.
struct RunStatus {
    enum class Kind { Empty, Erasing, DataTransmit, Completed };
    Kind kind = Kind::Empty;
    // DataTransmit only: the image offset of the block being sent, and the image's size.
    std::int32_t offset = 0;
    std::int32_t total = 0;

    friend bool operator==(const RunStatus&, const RunStatus&) = default;
};

// The software revision that a device's Identity Reply carries behind its family and member codes:
// four bytes, as the device sent them. Nothing is read into them.
using SoftwareRevision = std::array<std::uint8_t, 4>;

// What a device said of itself in the Identity Reply that answered a run's Identity Request.
struct DeviceIdentity {
    std::uint8_t model = 0;
    // None when the reply ended before these bytes.
    std::optional<SoftwareRevision> softwareRevision;

    friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

class IUpdateHost {
public:
    virtual ~IUpdateHost() = default;

    // The one-line status text.
    virtual bool ShowStatus(const RunStatus& status) = 0;
    // The progress bar's position, 0..IMAGE_SIZE.
    virtual bool SetProgressPos(int position) = 0;
    // Enables or disables one of the four controls.
    virtual bool EnableControl(HostControl control, bool enable) = 0;
    // A modal message box owned by the window, caption "Error", stop icon, one OK button. Returns
    // when the user has dismissed it.
    virtual bool ShowError(EngineError error) = 0;
    // The run has reached `outcome` and is about to announce it (its error box, or the completed
    // status), before it gives the controls back. Called on the run's worker thread, not through
    // the window's request path; never for a run that the closing window ended. A window keeps
    // its record of the run with it; nothing else needs it.
    virtual void RunEnding(UpdateOutcome /*outcome*/) {}
    // The device has answered the run's Identity Request with `identity`, before the run checks
    // its model. Called on the run's worker thread, not through the window's request path; the
    // run does nothing else with what it hands over here. A window keeps it for its record.
    virtual void DeviceIdentified(const DeviceIdentity& /*identity*/) {}
};

// A host without a window, for programs that drive the engine on their own (benchmarks,
// fuzzing): it shows nothing.
class HeadlessHost final : public IUpdateHost {
public:
    bool ShowStatus(const RunStatus&) override { return true; }
    bool SetProgressPos(int) override { return true; }
    bool EnableControl(HostControl, bool) override { return true; }
    bool ShowError(EngineError) override { return true; }
};
