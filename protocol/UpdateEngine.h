// The update protocol engine: the state that the window, the dispatcher and the update run share
// (image, MIDI ports, poll timer, reply hand-over), the send path, the device message dispatcher
// and the update run. Qt-free; the window is reached through IUpdateHost.
//
// Threads: the window's thread constructs the engine and calls StartPollTimer, OnExecute,
// OnWindowClosing and ReleaseTimer; the poll timer's thread runs ProcessDeviceMessages; one worker
// thread per update run runs UpdateRunThread and holds a share of the engine (std::shared_ptr)
// until it ends, so nothing it uses is destroyed under it.
//
// Sends are made from two threads (the update worker and the timer thread that answers the
// device) and are serialised process-wide by g_sendLock. Every send function returns SEND_OK when
// the whole message went out, SEND_NOT_OPENED when nothing was sent (the output device could not
// be opened or has gone, or the message was refused before assembly) and SEND_FAILED when the
// output opened but the message did not go out whole. No send allocates memory.
//
// A run watches its devices: the MIDI IN device through the input port, the MIDI OUT device
// through a watch of the output port that lasts the run. The dispatcher's tick looks at both and
// wakes the run once either has left the system.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CDxMTimer.h"
#include "CMidiInPort.h"
#include "CMidiOutPort.h"
#include "FirmwareImage.h"
#include "Messages.h"
#include "ReplyChannel.h"
#include "RunScheduler.h"
#include "UpdateHost.h"
#include "platform/MidiApi.h"
#include "platform/TimerApi.h"

// The platform services the engine runs on. A null entry stands for a system that has no such
// service (an output that can't be opened, for instance).
struct EnginePlatform {
    platform::IMidiOutApi* midiOut = nullptr;
    platform::IMidiInApi* midiIn = nullptr;
    platform::ITimerService* timer = nullptr;
    // Null: each run's worker is a thread of its own and its waits block (the desktop programs).
    IRunScheduler* scheduler = nullptr;

    // The services of the running platform (DefaultMidiOutApi, DefaultMidiInApi and the
    // platform's timer).
    static EnginePlatform Default();
};

// Constants of the update run.
inline constexpr std::int32_t BLOCK_SIZE = 9216;
inline constexpr std::uint32_t REPLY_TIMEOUT_MS = 30000;
inline constexpr std::uint32_t BLOCK_PAUSE_MS = 10;
inline constexpr std::int32_t MAX_BLOCK_SENDS = 7;
inline constexpr std::uint32_t POLL_PERIOD_MS = 50;

// Results of the send functions.
inline constexpr int SEND_OK = 0;
inline constexpr int SEND_NOT_OPENED = -1;
inline constexpr int SEND_FAILED = -2;

// The longest look for an answer left over behind the last block's (twice the slowest answer of
// the transfer and the run's slowest turn, at most this).
inline constexpr std::uint32_t LEFTOVER_WAIT_MAX_MS = 5000;

// The product uses the defaults; tests inject shorter ones through the engine's constructor.
struct EngineTimings {
    std::uint32_t replyTimeoutMs = REPLY_TIMEOUT_MS;
    std::uint32_t blockPauseMs = BLOCK_PAUSE_MS;
    std::uint32_t pollPeriodMs = POLL_PERIOD_MS;
    std::uint32_t repeatWindowMs = REPEAT_WINDOW_MS;
    std::uint32_t leftoverWaitMaxMs = LEFTOVER_WAIT_MAX_MS;
};

class CUpdateEngine : public std::enable_shared_from_this<CUpdateEngine> {
public:
    // `image`: IMAGE_SIZE bytes that stay valid and unchanged for the engine's life (the linked
    // image by default). An engine that runs updates must be owned by a std::shared_ptr: the
    // worker of a run holds a share. `host` must then be shared too, or outlive every run.
    CUpdateEngine(std::shared_ptr<IUpdateHost> host, const EnginePlatform& platform,
                  EngineTimings timings = {}, const std::uint8_t* image = LoadFirmwareImage());
    // Non-owning: the caller keeps `host` alive for the engine's whole life.
    CUpdateEngine(IUpdateHost& host, const EnginePlatform& platform,
                  const std::uint8_t* image = LoadFirmwareImage());
    // Stops the timer first (a running tick finishes), then the input port.
    ~CUpdateEngine();
    CUpdateEngine(const CUpdateEngine&) = delete;
    CUpdateEngine& operator=(const CUpdateEngine&) = delete;

    const std::uint8_t* Image() const { return m_pImage; }

    // ----- Devices (window's thread) -----
    // Names of the system's MIDI input / output devices in device order, so that a list position
    // is a device index. One count, then the names of the listing that count took: a device that
    // comes or goes during the scan shifts no name against its index. A device whose record can't
    // be read has an empty name.
    std::vector<std::string> MidiInDeviceNames() { return MidiInDevices().names; }
    std::vector<std::string> MidiOutDeviceNames() { return MidiOutDevices().names; }
    // The same listing with the unit of each device beside its name (units[i] belongs to
    // names[i]; empty where the system does not say).
    struct DeviceListing {
        std::vector<std::string> names;
        std::vector<platform::MidiDevUnit> units;
    };
    DeviceListing MidiInDevices();
    DeviceListing MidiOutDevices();
    // The window's MIDI OUT selection (device index, -1 = none), pushed whenever it changes; every
    // message goes to the device selected when it is sent. Any thread.
    void SelectMidiOut(int deviceIndex);
    int MidiOutSelection() const { return m_midiOutSelection.load(); }

    // ----- Sending (update worker and poll timer threads) -----
    // Every send that the run makes may give `leftAt`: when it returns SEND_OK, the moment from
    // which the device can have had the whole message (CMidiOutPort::LastSendLeftAt).
    using SentAt = ReplyClock::time_point;
    // Sends one complete message (0xF0 .. 0xF7) through the selected MIDI OUT device: open, send
    // and wait until it has gone out, close. 0 when handed over, -1 when the output device failed
    // to open or `msg`/`length` describe no message (nothing sent).
    int SendSysEx(const std::uint8_t* msg, int length, SentAt* leftAt = nullptr);
    // Data block of the image range at device address `address`, `length` bytes, with `model` at
    // index 3. -1 without sending when the range is not inside the image, `length` is not in
    // 0..MAX_BLOCK_LENGTH or `model` is not a 7-bit value.
    int SendDataBlock(std::uint8_t model, std::int32_t address, std::int32_t length,
                      SentAt* leftAt = nullptr);
    // STATUS reply with g_modelId and `code` (0 = acknowledged, 1 = not recognised). -1 without
    // sending for a code or model with bit 7 set.
    int SendStatus(std::uint8_t code);
    // A command from a 6-byte template (g_eraseTemplate, g_finishTemplate) with `model` at
    // index 3. -1 without sending for a model with bit 7 set.
    int SendCommand(const std::uint8_t (&tmpl)[COMMAND_LENGTH], std::uint8_t model,
                    SentAt* leftAt = nullptr);
    int SendErase(std::uint8_t model, SentAt* leftAt = nullptr) { return SendCommand(g_eraseTemplate, model, leftAt); }
    int SendFinish(std::uint8_t model, SentAt* leftAt = nullptr) { return SendCommand(g_finishTemplate, model, leftAt); }
    // The Identity Request and the host Identity Reply, sent straight from their templates.
    int SendIdentityRequest(SentAt* leftAt = nullptr);
    int SendIdentityReply();

    // ----- Window life cycle (window's thread) -----
    // Starts the periodic timer that runs the dispatcher. Result of the timer start (0: none).
    std::uint32_t StartPollTimer();
    // The window is being destroyed: marks the reply as closing and wakes a waiting run, which
    // then ends without touching the window; abandons the send under way (its queued bytes are
    // dropped) and every later one; stops the MIDI input.
    void OnWindowClosing();
    // The window object is being released: stops the timer; a running tick finishes first. The
    // host must already refuse requests (a tick may be waiting on one).
    void ReleaseTimer();

    // ----- Update run -----
    // "Execute" (window's thread), with the MIDI IN list's selection (device index, -1 = none):
    // restarts the MIDI input on that device, locks the controls and starts the worker. Reports
    // "in progress" or an input that can't open itself; false when no run was started.
    bool OnExecute(int midiInSelection);
    // Stops the MIDI input and starts it again on `deviceIndex` (-1 names no device, so the start
    // fails). True when the input is receiving.
    bool RestartInput(int deviceIndex);
    // Enables the lists and both buttons, then clears the running flag (worker thread). After a
    // completed run, "Execute" is disabled again before the flag clears.
    void RestoreControls(bool completed = false);
    void EnableExecute(bool enable);
    bool IsUpdateRunning() const { return m_updateRunning.load(); }
    // Waits until the run started last has ended, at most `limit`, and gives its outcome; nullopt
    // when no run has ended since that start within the limit. A run has ended once its watch is
    // gone and its outcome is known; it gives the controls back right after. Any thread but the
    // window's while a run may still ask the window for something.
    std::optional<UpdateOutcome> WaitForRunEnd(std::chrono::milliseconds limit);
    // Waits until every update worker of the process has ended and released its share of its
    // engine, or `limit` has passed; true when none runs any more. For an orderly exit after the
    // window has closed: a closed window wakes every wait of a run, so what remains is at most
    // one send, which WORKER_END_LIMIT covers.
    static bool WaitForWorkers(std::chrono::milliseconds limit);
    // Worker threads that have not been joined yet: running ones, and ended ones until the next
    // start or WaitForWorkers joins them. 0 after WaitForWorkers returned true.
    static std::size_t WorkerThreadsHeld();
    // A closed window has abandoned the send under way, so a worker ends within milliseconds; the
    // limit only bounds a MIDI system that holds a send in a call of its own.
    static constexpr std::chrono::milliseconds WORKER_END_LIMIT{1500};
    // How far the run started last has come (NotStarted before any). Any thread.
    RunPhase PhaseReached() const { return m_phase.load(); }

    // ----- Device message dispatcher (poll timer's thread) -----
    static void OnPollTimer(std::uint32_t timerId, std::uint32_t msg, std::uintptr_t user,
                            std::uintptr_t dw1, std::uintptr_t dw2);
    // Handles every message in the received list, oldest first, and frees each.
    void ProcessDeviceMessages();

    // ----- Observations (any thread) -----
    // The last answer handed to the run (status, model, how many so far).
    Reply LastReply() const { return m_reply.Current(); }
    // The answer too many that made the last run stop vouching for its answers; none while they
    // paired one to one (repeats at once aside).
    std::optional<OutOfStepAnswer> AnswerOutOfStep() const { return m_reply.OutOfStep(); }
    // Answers of the last run that were the device repeating itself at once.
    std::uint32_t RepeatsAtOnce() const { return m_reply.RepeatsAtOnce(); }
    // The run's own wait for the next answer (or the closing); consumes the signal as the run
    // does. For tools and tests that play the run's part.
    bool WaitForReply(std::uint32_t timeoutMs) { return m_reply.Wait(timeoutMs); }
    bool IsInputStarted() const { return m_midiIn.IsStarted(); }
    // Whether the MIDI IN device of the input port, or the MIDI OUT device that the run started
    // last watches (or sends to), has left the system.
    bool DevicesGone() { return m_midiIn.DeviceGone() || m_midiOut.DeviceGone(); }
    // Whether received messages wait for the dispatcher. Not while a tick runs.
    bool HasPendingDeviceMessages();
    // The output's wait for a sent message, shortened by tests.
    void SetOutputDoneWaitLimit(std::chrono::milliseconds base, std::chrono::microseconds perByte);

private:
    // Acts on one received message, received at `receivedAt`; never reads past `length`.
    void HandleDeviceMessage(const std::uint8_t* m, std::uint32_t length, ReplyClock::time_point receivedAt);
    // Hands an answer of `kind` received at `receivedAt` (and the model and software revision of
    // an Identity Reply) to the run, unless the window is closing: then the closing marker stays.
    void RecordReply(std::int32_t status, std::uint8_t kind, ReplyClock::time_point receivedAt,
                     std::optional<std::uint8_t> model = std::nullopt,
                     std::optional<SoftwareRevision> softwareRevision = std::nullopt) {
        m_reply.Post(status, kind, receivedAt, model, softwareRevision);
    }
    // The update run itself, on its worker thread; returns how it ended. It has shown its error or
    // its completion, but has not given the controls back.
    static UpdateOutcome UpdateRunThread(CUpdateEngine& engine);
    // The run has reached `outcome`: ends its device watch and publishes the outcome to
    // WaitForRunEnd, and only then gives the controls back (unless the window is closing), so
    // that an "Execute" that they allow starts a run that nothing of this one touches.
    void EndRun(UpdateOutcome outcome);
    // One message of the run that answers of `kinds` answer: sent by `send` (a call of one of the
    // Send functions with the SentAt it is given), after the device's repeats at once of the
    // answer before (`lastAnswer`) have had their time. The send's result.
    template <typename SendFn>
    int SendForAnswer(std::uint8_t kinds, const std::optional<Reply>& lastAnswer, SendFn send);
    // Looks for an answer too many until every message received before `until` has been handed
    // on (ReplyChannel::AwaitLeftovers).
    AwaitedReply::End AwaitLeftovers(ReplyClock::time_point until);
    // The run's pause of `ms` on its worker: a sleep, or the scheduler's event loop for that long.
    void Pause(std::uint32_t ms);
    // Open, SendLong, Close on output device `selection`. Must be called with g_sendLock held;
    // `msg` stays untouched until it returns.
    int SendLocked(const std::uint8_t* msg, int length, int selection, SentAt* leftAt = nullptr);

    // Declared so that destruction runs timer, reply channel, output port, input port.
    CMidiInPort m_midiIn;    // window's thread (start/stop), MIDI and timer threads (list)
    // Used only with g_sendLock held, but for its thread-safe watch (Watch, Unwatch, DeviceGone)
    // and Abandon.
    CMidiOutPort m_midiOut;
    ReplyChannel m_reply;    // dispatcher -> run; see ReplyChannel.h for the hand-over
    CDxMTimer m_timer;       // window's thread

    // Written by the window's thread (SelectMidiOut), read by whichever thread sends; a plain
    // atomic: each send uses the selection current when it starts.
    std::atomic<int> m_midiOutSelection{-1};
    // Set by the window's thread in OnExecute before the worker starts, cleared by the worker in
    // RestoreControls; read by the window's thread. The thread start orders the set; a clear seen
    // late only means one more "In Progress." box.
    std::atomic<bool> m_updateRunning{false};
    // Written by the window's thread in OnExecute before the worker starts and by the worker as it
    // moves on; read by any thread. A plain atomic: a reader wants the latest phase only.
    std::atomic<RunPhase> m_phase{RunPhase::NotStarted};
    // Every message that the input port stamped before this moment has been handed on (steady
    // clock, nanoseconds since its epoch): written by the timer's thread at the end of each tick
    // with the moment the tick began, read by the run (AwaitLeftovers). Sequentially consistent,
    // so a run that sees it also sees in the reply channel what that tick posted.
    std::atomic<std::int64_t> m_handedOnUntil{0};

    // The outcome of the last run: written by its worker in EndRun, read by WaitForRunEnd; both
    // with m_runEndLock held. m_runsStarted is written by the window's thread under the same lock.
    std::mutex m_runEndLock;
    std::condition_variable m_runEnded;
    std::uint64_t m_runsStarted = 0;
    std::uint64_t m_runsEnded = 0;
    UpdateOutcome m_lastOutcome = UpdateOutcome::WindowClosed;

    std::shared_ptr<IUpdateHost> m_hostOwner;  // null when the host is not shared
    IUpdateHost& m_host;
    EnginePlatform m_platform;
    const EngineTimings m_timings;
    const std::uint8_t* const m_pImage;

    static std::atomic<int> s_liveWorkers;
};
