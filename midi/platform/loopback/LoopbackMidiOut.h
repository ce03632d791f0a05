// In-process virtual MIDI output devices, for the tests and the device simulator.
//
// Devices are added and removed by name at run time; their list order is the order of adding, so
// the index of a device drops by one when an earlier device is removed. Every message sent to a
// device is recorded (a copy of its bytes) and, when the device has a listener, handed to it
// synchronously on the sending thread inside LongMsg. Removing a device is "the device disappears":
// its handles stay valid to pass in, but every later call on them fails with MIDI_ERR_NODRIVER
// (Close still releases the handle), DeviceGone says so for a send under way, and a watch on the
// device says so from then on. Faults can be injected per device, and counters show whether
// every open was closed and every prepared header unprepared.
//
// All members are thread-safe (one mutex). Listeners run without the mutex held, so they may call
// back into the loopback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MidiApi.h"

namespace platform {

class LoopbackMidiOut : public IMidiOutApi {
public:
    // Stable identity of a device, unlike its index.
    using DeviceId = std::uint32_t;
    using Listener = std::function<void(const std::uint8_t* bytes, std::size_t length)>;

    struct Counters {
        std::uint32_t opens = 0;       // successful Open calls
        std::uint32_t closes = 0;      // handles released by Close
        std::uint32_t openHandles = 0; // handles not yet closed
        std::uint32_t prepares = 0;    // headers that PrepareHeader marked prepared
        std::uint32_t unprepares = 0;  // headers that UnprepareHeader released
        std::uint32_t sends = 0;       // messages accepted by LongMsg
        std::uint32_t resets = 0;      // Reset calls on a live handle
        std::uint32_t abandons = 0;    // Abandon calls on a handle not yet closed
        std::uint32_t watches = 0;     // watches not yet ended by Unwatch
    };

    LoopbackMidiOut() = default;
    ~LoopbackMidiOut() override = default;
    LoopbackMidiOut(const LoopbackMidiOut&) = delete;
    LoopbackMidiOut& operator=(const LoopbackMidiOut&) = delete;

    // Appends a device to the list. Names need not be unique.
    DeviceId AddDevice(const std::string& name);
    // The device disappears from the list; open handles on it fail from now on. False when the
    // device is unknown or already gone.
    bool RemoveDevice(DeviceId device);
    // Removes every device.
    void RemoveAll();
    // Current index of the device, or -1 when it is gone.
    std::int64_t IndexOf(DeviceId device) const;
    // The device now at `index`; 0 (no device's id) when there is none.
    DeviceId DeviceAt(std::uint32_t index);

    // Faults. Open fails with MIDI_ERR_GENERIC while refused and MIDI_ERR_ALLOCATED while busy.
    void SetRefuseOpen(DeviceId device, bool refuse);
    void SetBusy(DeviceId device, bool busy);
    // LongMsg refuses (MIDI_ERR_GENERIC, nothing recorded) the next `count` messages, or every
    // message while `always` holds.
    void RefuseNextSends(DeviceId device, std::uint32_t count);
    void SetRefuseAllSends(DeviceId device, bool always);
    // While held, LongMsg records the message but keeps the header queued (no MIDI_HDR_DONE) until
    // CompleteHeldSends, Reset or Close returns it.
    void SetHoldSends(DeviceId device, bool hold);
    // Returns every held header of the device as done; safe to call from any thread while the
    // sender is waiting.
    void CompleteHeldSends(DeviceId device);

    void SetListener(DeviceId device, Listener listener);
    // The unit that GetDevUnit tells for the device, as a USB device's would be told; a device
    // of its own is a software device, of no known unit.
    void SetUnit(DeviceId device, MidiDevUnit unit);

    // What the device has received, oldest first.
    std::vector<std::vector<std::uint8_t>> Messages(DeviceId device) const;
    std::size_t MessageCount(DeviceId device) const;
    void ClearMessages(DeviceId device);

    Counters GetCounters() const;
    // Log of opens, closes and sends in their order, as "open NAME", "close NAME", "send NAME".
    std::vector<std::string> Events() const;
    void ClearEvents();

    // IMidiOutApi
    std::uint32_t GetNumDevs() override;
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    MidiResult GetDevUnit(std::uint32_t index, MidiDevUnit& unit) override;
    MidiResult Open(MidiOutHandle* handle, std::uint32_t index) override;
    MidiResult PrepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult LongMsg(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult Reset(MidiOutHandle handle) override;
    MidiResult UnprepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult Close(MidiOutHandle handle) override;
    // Returns the held headers as done, as Reset does; counted apart.
    MidiResult Abandon(MidiOutHandle handle) override;
    bool DeviceGone(MidiOutHandle handle) override;
    MidiResult Watch(MidiOutWatch* watch, std::uint32_t index) override;
    bool WatchedDeviceGone(MidiOutWatch watch) override;
    void Unwatch(MidiOutWatch watch) override;

private:
    struct Device {
        std::string name;
        bool present = true;
        bool refuseOpen = false;
        bool busy = false;
        bool refuseAll = false;
        bool hold = false;
        std::uint32_t refuseNext = 0;
        Listener listener;
        MidiDevUnit unit;
        std::vector<std::vector<std::uint8_t>> messages;
    };
    struct Handle {
        DeviceId device;
        std::vector<MidiHeader*> held;  // headers LongMsg accepted but has not returned yet
    };

    // Sets one field of the device under m_lock; nothing happens for an unknown device.
    template <typename Field, typename Value>
    void SetField(DeviceId device, Field Device::*field, Value value);

    // All other private helpers must be called with m_lock held.
    Device* FindDevice(DeviceId device);
    const Device* FindDevice(DeviceId device) const;
    Device* PresentDeviceAt(std::uint32_t index, DeviceId* id = nullptr);
    // The handle's record and its device; MIDI_ERR_INVALHANDLE / MIDI_ERR_NODRIVER when unusable.
    MidiResult Lookup(MidiOutHandle handle, Handle*& record, Device*& device);
    static void ReturnHeld(Handle& record);

    mutable std::mutex m_lock;
    std::map<DeviceId, Device> m_devices;  // ordered by id = order of adding
    DeviceId m_nextDevice = 1;
    std::map<std::uintptr_t, Handle> m_handles;
    std::uintptr_t m_nextHandle = 1;  // handle values are never reused; watches share them
    std::map<std::uintptr_t, DeviceId> m_watches;  // the device of each watch
    Counters m_counters;
    std::vector<std::string> m_events;
};

}  // namespace platform
