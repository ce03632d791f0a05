#include "LoopbackMidiOut.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "platform/AtomicRef.h"

namespace platform {
namespace {

using Flags = decltype(MidiHeader::dwFlags);

// Header flags are written atomically: a held header is completed from another thread while the
// sender polls its done flag.
void SetFlags(MidiHeader* header, Flags set, Flags clear) {
    AtomicRef<Flags> flags(header->dwFlags);
    flags.fetch_and(static_cast<Flags>(~clear), std::memory_order_relaxed);
    flags.fetch_or(set, std::memory_order_release);
}

Flags GetFlags(MidiHeader* header) {
    return AtomicRef<Flags>(header->dwFlags).load(std::memory_order_acquire);
}

}  // namespace

LoopbackMidiOut::DeviceId LoopbackMidiOut::AddDevice(const std::string& name) {
    std::lock_guard lock(m_lock);
    const DeviceId id = m_nextDevice++;
    m_devices[id].name = name;
    return id;
}

bool LoopbackMidiOut::RemoveDevice(DeviceId device) {
    std::lock_guard lock(m_lock);
    Device* d = FindDevice(device);
    if (d == nullptr || !d->present) return false;
    d->present = false;
    d->listener = nullptr;
    return true;
}

void LoopbackMidiOut::RemoveAll() {
    std::lock_guard lock(m_lock);
    for (auto& [id, d] : m_devices) {
        d.present = false;
        d.listener = nullptr;
    }
}

LoopbackMidiOut::DeviceId LoopbackMidiOut::DeviceAt(std::uint32_t index) {
    std::lock_guard lock(m_lock);
    DeviceId id = 0;
    PresentDeviceAt(index, &id);
    return id;
}

std::int64_t LoopbackMidiOut::IndexOf(DeviceId device) const {
    std::lock_guard lock(m_lock);
    std::int64_t index = 0;
    for (const auto& [id, d] : m_devices) {
        if (!d.present) continue;
        if (id == device) return index;
        ++index;
    }
    return -1;
}

template <typename Field, typename Value>
void LoopbackMidiOut::SetField(DeviceId device, Field Device::*field, Value value) {
    std::lock_guard lock(m_lock);
    if (Device* d = FindDevice(device)) d->*field = std::move(value);
}

void LoopbackMidiOut::SetRefuseOpen(DeviceId device, bool refuse) { SetField(device, &Device::refuseOpen, refuse); }
void LoopbackMidiOut::SetBusy(DeviceId device, bool busy) { SetField(device, &Device::busy, busy); }
void LoopbackMidiOut::RefuseNextSends(DeviceId device, std::uint32_t count) { SetField(device, &Device::refuseNext, count); }
void LoopbackMidiOut::SetRefuseAllSends(DeviceId device, bool always) { SetField(device, &Device::refuseAll, always); }
void LoopbackMidiOut::SetHoldSends(DeviceId device, bool hold) { SetField(device, &Device::hold, hold); }

void LoopbackMidiOut::CompleteHeldSends(DeviceId device) {
    std::lock_guard lock(m_lock);
    for (auto& [value, record] : m_handles) {
        if (record.device == device) ReturnHeld(record);
    }
}

void LoopbackMidiOut::SetListener(DeviceId device, Listener listener) {
    SetField(device, &Device::listener, std::move(listener));
}

void LoopbackMidiOut::SetUnit(DeviceId device, MidiDevUnit unit) { SetField(device, &Device::unit, std::move(unit)); }

std::vector<std::vector<std::uint8_t>> LoopbackMidiOut::Messages(DeviceId device) const {
    std::lock_guard lock(m_lock);
    const Device* d = FindDevice(device);
    return d != nullptr ? d->messages : std::vector<std::vector<std::uint8_t>>{};
}

std::size_t LoopbackMidiOut::MessageCount(DeviceId device) const {
    std::lock_guard lock(m_lock);
    const Device* d = FindDevice(device);
    return d != nullptr ? d->messages.size() : 0;
}

void LoopbackMidiOut::ClearMessages(DeviceId device) {
    std::lock_guard lock(m_lock);
    if (Device* d = FindDevice(device)) d->messages.clear();
}

LoopbackMidiOut::Counters LoopbackMidiOut::GetCounters() const {
    std::lock_guard lock(m_lock);
    return m_counters;
}

std::vector<std::string> LoopbackMidiOut::Events() const {
    std::lock_guard lock(m_lock);
    return m_events;
}

void LoopbackMidiOut::ClearEvents() {
    std::lock_guard lock(m_lock);
    m_events.clear();
}

std::uint32_t LoopbackMidiOut::GetNumDevs() {
    std::lock_guard lock(m_lock);
    return static_cast<std::uint32_t>(
        std::count_if(m_devices.begin(), m_devices.end(), [](const auto& e) { return e.second.present; }));
}

MidiResult LoopbackMidiOut::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    std::lock_guard lock(m_lock);
    const Device* d = PresentDeviceAt(index);
    if (d == nullptr) return MIDI_ERR_BADDEVICEID;
    SetProductName(caps, d->name);
    return MIDI_OK;
}

MidiResult LoopbackMidiOut::GetDevUnit(std::uint32_t index, MidiDevUnit& unit) {
    std::lock_guard lock(m_lock);
    unit = {};
    const Device* d = PresentDeviceAt(index);
    if (d == nullptr) return MIDI_ERR_BADDEVICEID;
    unit = d->unit;
    return MIDI_OK;
}

MidiResult LoopbackMidiOut::Open(MidiOutHandle* handle, std::uint32_t index) {
    if (handle == nullptr) return MIDI_ERR_GENERIC;
    *handle = nullptr;
    std::lock_guard lock(m_lock);
    DeviceId id = 0;
    Device* d = PresentDeviceAt(index, &id);
    if (d == nullptr) return MIDI_ERR_BADDEVICEID;
    if (d->busy) return MIDI_ERR_ALLOCATED;
    if (d->refuseOpen) return MIDI_ERR_GENERIC;
    const std::uintptr_t value = m_nextHandle++;
    m_handles[value] = Handle{id, {}};
    ++m_counters.opens;
    ++m_counters.openHandles;
    m_events.push_back("open " + d->name);
    *handle = reinterpret_cast<MidiOutHandle>(value);
    return MIDI_OK;
}

MidiResult LoopbackMidiOut::PrepareHeader(MidiOutHandle handle, MidiHeader* header) {
    std::lock_guard lock(m_lock);
    Handle* record = nullptr;
    Device* d = nullptr;
    if (const MidiResult r = Lookup(handle, record, d); r != MIDI_OK) return r;
    if (header == nullptr || header->lpData == nullptr) return MIDI_ERR_GENERIC;
    if ((GetFlags(header) & MIDI_HDR_PREPARED) != 0) return MIDI_OK;
    SetFlags(header, MIDI_HDR_PREPARED, 0);
    ++m_counters.prepares;
    return MIDI_OK;
}

MidiResult LoopbackMidiOut::LongMsg(MidiOutHandle handle, MidiHeader* header) {
    Listener listener;
    bool held = false;
    {
        std::lock_guard lock(m_lock);
        Handle* record = nullptr;
        Device* d = nullptr;
        if (const MidiResult r = Lookup(handle, record, d); r != MIDI_OK) return r;
        if (header == nullptr) return MIDI_ERR_GENERIC;
        const Flags flags = GetFlags(header);
        if ((flags & MIDI_HDR_PREPARED) == 0) return MIDI_ERR_UNPREPARED;
        if ((flags & MIDI_HDR_INQUEUE) != 0) return MIDI_ERR_STILLPLAYING;
        if (d->refuseAll) return MIDI_ERR_GENERIC;
        if (d->refuseNext > 0) {
            --d->refuseNext;
            return MIDI_ERR_GENERIC;
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(header->lpData);
        d->messages.emplace_back(bytes, bytes + header->dwBufferLength);
        ++m_counters.sends;
        m_events.push_back("send " + d->name);
        held = d->hold;
        if (held) {
            SetFlags(header, MIDI_HDR_INQUEUE, MIDI_HDR_DONE);
            record->held.push_back(header);
        } else {
            SetFlags(header, 0, MIDI_HDR_DONE);
            listener = d->listener;
        }
    }
    if (held) return MIDI_OK;  // the device has not taken the message yet
    if (listener) listener(reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBufferLength);
    // The message has been delivered: the device no longer reads the bytes.
    std::lock_guard lock(m_lock);
    SetFlags(header, MIDI_HDR_DONE, 0);
    return MIDI_OK;
}

MidiResult LoopbackMidiOut::Reset(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    Handle* record = nullptr;
    Device* d = nullptr;
    const MidiResult r = Lookup(handle, record, d);
    if (record != nullptr) ReturnHeld(*record);  // even a vanished device gives its buffers back
    if (r != MIDI_OK) return r;
    ++m_counters.resets;
    return MIDI_OK;
}

MidiResult LoopbackMidiOut::UnprepareHeader(MidiOutHandle handle, MidiHeader* header) {
    std::lock_guard lock(m_lock);
    Handle* record = nullptr;
    Device* d = nullptr;
    if (const MidiResult r = Lookup(handle, record, d); r != MIDI_OK) return r;
    if (header == nullptr) return MIDI_ERR_GENERIC;
    const Flags flags = GetFlags(header);
    if ((flags & MIDI_HDR_INQUEUE) != 0) return MIDI_ERR_STILLPLAYING;
    if ((flags & MIDI_HDR_PREPARED) == 0) return MIDI_OK;
    SetFlags(header, 0, MIDI_HDR_PREPARED);
    ++m_counters.unprepares;
    return MIDI_OK;
}

MidiResult LoopbackMidiOut::Close(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    Handle* record = nullptr;
    Device* d = nullptr;
    const MidiResult r = Lookup(handle, record, d);
    if (record == nullptr) return r;
    ReturnHeld(*record);
    const auto it = m_devices.find(record->device);
    m_events.push_back("close " + it->second.name);
    m_handles.erase(reinterpret_cast<std::uintptr_t>(handle));
    ++m_counters.closes;
    --m_counters.openHandles;
    return r;  // MIDI_ERR_NODRIVER for a vanished device, though the handle is released
}

MidiResult LoopbackMidiOut::Abandon(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    const auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == m_handles.end()) return MIDI_ERR_INVALHANDLE;
    ReturnHeld(it->second);
    ++m_counters.abandons;
    return MIDI_OK;
}

bool LoopbackMidiOut::DeviceGone(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    Handle* record = nullptr;
    Device* d = nullptr;
    return Lookup(handle, record, d) == MIDI_ERR_NODRIVER;
}

MidiResult LoopbackMidiOut::Watch(MidiOutWatch* watch, std::uint32_t index) {
    if (watch == nullptr) return MIDI_ERR_GENERIC;
    *watch = nullptr;
    std::lock_guard lock(m_lock);
    DeviceId id = 0;
    if (PresentDeviceAt(index, &id) == nullptr) return MIDI_ERR_BADDEVICEID;
    const std::uintptr_t value = m_nextHandle++;
    m_watches[value] = id;
    ++m_counters.watches;
    *watch = reinterpret_cast<MidiOutWatch>(value);
    return MIDI_OK;
}

bool LoopbackMidiOut::WatchedDeviceGone(MidiOutWatch watch) {
    std::lock_guard lock(m_lock);
    const auto it = m_watches.find(reinterpret_cast<std::uintptr_t>(watch));
    if (it == m_watches.end()) return false;
    const Device* d = FindDevice(it->second);
    return d == nullptr || !d->present;
}

void LoopbackMidiOut::Unwatch(MidiOutWatch watch) {
    std::lock_guard lock(m_lock);
    if (m_watches.erase(reinterpret_cast<std::uintptr_t>(watch)) != 0) --m_counters.watches;
}

LoopbackMidiOut::Device* LoopbackMidiOut::FindDevice(DeviceId device) {
    const auto it = m_devices.find(device);
    return it != m_devices.end() ? &it->second : nullptr;
}

const LoopbackMidiOut::Device* LoopbackMidiOut::FindDevice(DeviceId device) const {
    const auto it = m_devices.find(device);
    return it != m_devices.end() ? &it->second : nullptr;
}

LoopbackMidiOut::Device* LoopbackMidiOut::PresentDeviceAt(std::uint32_t index, DeviceId* idOut) {
    std::uint32_t i = 0;
    for (auto& [id, d] : m_devices) {
        if (!d.present) continue;
        if (i == index) {
            if (idOut != nullptr) *idOut = id;
            return &d;
        }
        ++i;
    }
    return nullptr;
}

MidiResult LoopbackMidiOut::Lookup(MidiOutHandle handle, Handle*& record, Device*& device) {
    record = nullptr;
    device = nullptr;
    const auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == m_handles.end()) return MIDI_ERR_INVALHANDLE;
    record = &it->second;
    Device* d = FindDevice(record->device);
    if (d == nullptr || !d->present) return MIDI_ERR_NODRIVER;
    device = d;
    return MIDI_OK;
}

void LoopbackMidiOut::ReturnHeld(Handle& record) {
    for (MidiHeader* header : record.held) SetFlags(header, MIDI_HDR_DONE, MIDI_HDR_INQUEUE);
    record.held.clear();
}

}  // namespace platform
