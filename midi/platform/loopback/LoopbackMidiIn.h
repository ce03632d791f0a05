// In-process MIDI input for tests and the device simulator: a list of named devices whose bytes
// are handed in with Deliver, with the buffer semantics of SysExReceiveQueue.
//
// Deliver may be called from any thread; that thread then acts as the MIDI system's callback
// thread. Every step of the interface can be made to fail (once per FailNext) and can run a hook
// before it acts, so that a test can deliver bytes while a port is being stopped. Counters show
// what is open, prepared and queued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MidiApi.h"

namespace platform {

enum class MidiInStep { Open, Reset, PrepareHeader, AddBuffer, Start, Stop, UnprepareHeader, Close };

class LoopbackMidiIn : public IMidiInApi {
public:
    explicit LoopbackMidiIn(std::vector<std::string> deviceNames = {});
    ~LoopbackMidiIn() override;
    LoopbackMidiIn(const LoopbackMidiIn&) = delete;
    LoopbackMidiIn& operator=(const LoopbackMidiIn&) = delete;

    // Devices. A removed device vanishes from the list (later indices move up); an input open on
    // it hears MIDI_IN_CLOSE (on the caller's thread), can still be stopped, reset and closed, but
    // not started, and receives nothing more.
    std::uint32_t AddDevice(const std::string& name);
    bool RemoveDevice(const std::string& name);

    // Bytes from device `index` (or the device called `name`), handed to the input open on it.
    // False when there is no such device or no input is open on it.
    bool Deliver(std::uint32_t index, const std::vector<std::uint8_t>& bytes);
    bool Deliver(const std::string& name, const std::vector<std::uint8_t>& bytes);

    // The next call of `step` fails with `result` and has no effect.
    void FailNext(MidiInStep step, MidiResult result = MIDI_ERR_GENERIC);
    // Runs `hook` on the caller's thread at the start of every call of `step`, before it acts
    // (an empty function removes it). The hook may call Deliver.
    void SetHook(MidiInStep step, std::function<void()> hook);

    std::size_t OpenHandleCount() const;
    std::size_t PreparedHeaderCount() const;  // includes headers left prepared at a close
    std::size_t QueuedBufferCount() const;
    std::size_t OpenCalls() const;            // successful opens so far

    std::uint32_t GetNumDevs() override;
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    MidiResult Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                    std::uintptr_t instance) override;
    MidiResult Reset(MidiInHandle handle) override;
    MidiResult PrepareHeader(MidiInHandle handle, MidiHeader* header) override;
    MidiResult AddBuffer(MidiInHandle handle, MidiHeader* header) override;
    MidiResult Start(MidiInHandle handle) override;
    MidiResult Stop(MidiInHandle handle) override;
    MidiResult UnprepareHeader(MidiInHandle handle, MidiHeader* header) override;
    MidiResult Close(MidiInHandle handle) override;

private:
    struct Device;
    struct Input;

    // Runs the hook of `step` and consumes an injected failure; MIDI_OK when the step may act.
    MidiResult Enter(MidiInStep step);
    std::shared_ptr<Input> Find(MidiInHandle handle) const;
    bool DeliverTo(const std::shared_ptr<Device>& device, const std::vector<std::uint8_t>& bytes);

    mutable std::mutex m_mutex;  // guards everything below
    std::vector<std::shared_ptr<Device>> m_devices;
    std::map<MidiInHandle, std::shared_ptr<Input>> m_inputs;
    std::map<MidiInStep, MidiResult> m_failures;
    std::map<MidiInStep, std::shared_ptr<std::function<void()>>> m_hooks;
    std::size_t m_preparedAtClose = 0;
    std::size_t m_openCalls = 0;
};

}  // namespace platform
