#include "AlsaSeqMidiOut.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "AlsaSeqClient.h"
#include "AlsaSeqOut.h"
#include "platform/DeviceNaming.h"

namespace platform {

namespace {
using Flags = decltype(MidiHeader::dwFlags);
constexpr std::uint32_t NO_DEVICE = 0xFFFFFFFFu;
}  // namespace

std::vector<alsa::SeqPortEntry> ListAlsaSeqDevices(bool destinations) {
    std::vector<alsa::SeqPortEntry> devices = alsa::ListPorts(destinations);
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [](const alsa::SeqPortEntry& e) { return IsOwnPort(alsa::Describe(e)); }),
                  devices.end());
    return devices;
}

bool SameDevice(const alsa::SeqPortEntry& listed, const std::optional<alsa::SeqPortEntry>& now) {
    return now && now->address == listed.address && now->fullName == listed.fullName;
}

struct AlsaSeqMidiOutApi::Port {
    alsa::SeqOutput output;
};

// A watch: notes on the client's reader thread that the device's port has left.
struct AlsaSeqMidiOutApi::DeviceWatch final : alsa::SeqClient::Watcher {
    void OnSeqPortGone() noexcept override { gone.store(true); }
    std::atomic<bool> gone{false};
};

AlsaSeqMidiOutApi::~AlsaSeqMidiOutApi() {
    std::lock_guard lock(m_lock);
    for (Port* port : m_ports) delete port;
    m_ports.clear();
    for (DeviceWatch* watch : m_watches) {
        alsa::SeqClient::Instance().Unwatch(watch);
        delete watch;
    }
    m_watches.clear();
}

void AlsaSeqMidiOutApi::Refresh() {
    m_devices = ListAlsaSeqDevices(true);
    m_listTime = std::chrono::steady_clock::now();
}

std::uint32_t AlsaSeqMidiOutApi::GetNumDevs() {
    std::lock_guard lock(m_lock);
    Refresh();
    return static_cast<std::uint32_t>(m_devices.size());
}

MidiResult AlsaSeqMidiOutApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    std::lock_guard lock(m_lock);
    // A scan asks for the count and then for each name; the count's listing serves it.
    if (std::chrono::steady_clock::now() - m_listTime > std::chrono::seconds(2) || index >= m_devices.size()) Refresh();
    if (index >= m_devices.size()) return MIDI_ERR_BADDEVICEID;
    m_shown[index] = m_devices[index];
    SetProductName(caps, m_devices[index].listedName);
    return MIDI_OK;
}

MidiResult AlsaSeqMidiOutApi::GetDevUnit(std::uint32_t index, MidiDevUnit& unit) {
    try {
        std::lock_guard lock(m_lock);
        return alsa::UnitAt(m_shown, m_devices, index, unit);
    } catch (...) {  // the lock could not be taken
        unit = {};
        return MIDI_ERR_NOMEM;
    }
}

MidiResult AlsaSeqMidiOutApi::Resolve(std::uint32_t index, alsa::SeqPortEntry& chosen) {
    if (index == NO_DEVICE) return MIDI_ERR_BADDEVICEID;  // there is no device mapper
    // The index means a device of the caller's last listing; the device is opened by the address
    // it had there, never by position in a newer list (a device that went away meanwhile would
    // shift every later one onto its neighbour's port).
    {
        std::lock_guard lock(m_lock);
        if (const auto shown = m_shown.find(index); shown != m_shown.end()) {
            chosen = shown->second;
        } else {
            if (index >= m_devices.size()) Refresh();
            if (index >= m_devices.size()) return MIDI_ERR_BADDEVICEID;
            chosen = m_devices[index];
        }
    }
    return SameDevice(chosen, alsa::QueryPort(chosen.address, true)) ? MIDI_OK : MIDI_ERR_BADDEVICEID;
}

MidiResult AlsaSeqMidiOutApi::Open(MidiOutHandle* handle, std::uint32_t index) {
    if (handle == nullptr) return MIDI_ERR_GENERIC;
    *handle = nullptr;
    std::unique_ptr<Port> port;
    try {
        alsa::SeqPortEntry chosen;
        if (const MidiResult r = Resolve(index, chosen); r != MIDI_OK) return r;
        port = std::make_unique<Port>();
        if (const MidiResult r = port->output.Open(chosen.address); r != MIDI_OK) return r;
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
    std::lock_guard lock(m_lock);
    Port* raw = port.release();
    m_ports.insert(raw);
    *handle = reinterpret_cast<MidiOutHandle>(raw);
    return MIDI_OK;
}

AlsaSeqMidiOutApi::Port* AlsaSeqMidiOutApi::Find(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    auto* port = reinterpret_cast<Port*>(handle);
    return m_ports.count(port) != 0 ? port : nullptr;
}

MidiResult AlsaSeqMidiOutApi::PrepareHeader(MidiOutHandle handle, MidiHeader* header) {
    if (Find(handle) == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags |= MIDI_HDR_PREPARED;
    return MIDI_OK;
}

MidiResult AlsaSeqMidiOutApi::LongMsg(MidiOutHandle handle, MidiHeader* header) {
    Port* port = Find(handle);
    if (port == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) return MIDI_ERR_GENERIC;
    if ((header->dwFlags & MIDI_HDR_PREPARED) == 0) return MIDI_ERR_UNPREPARED;
    header->dwFlags &= ~static_cast<Flags>(MIDI_HDR_DONE);
    const MidiResult result =
        port->output.Send(reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBufferLength);
    // Every byte has been written out: the buffer is the caller's again.
    header->dwFlags |= MIDI_HDR_DONE;
    return result;
}

bool AlsaSeqMidiOutApi::HandedOverAt(MidiOutHandle handle, std::chrono::steady_clock::time_point* at) {
    Port* port = Find(handle);
    if (port == nullptr || at == nullptr) return false;
    *at = port->output.LastHandOver();
    return true;
}

MidiResult AlsaSeqMidiOutApi::Reset(MidiOutHandle handle) {
    // Sending is synchronous: no buffer is ever pending.
    return Find(handle) != nullptr ? MIDI_OK : MIDI_ERR_INVALHANDLE;
}

MidiResult AlsaSeqMidiOutApi::UnprepareHeader(MidiOutHandle handle, MidiHeader* header) {
    if (Find(handle) == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags &= ~static_cast<Flags>(MIDI_HDR_PREPARED);
    return MIDI_OK;
}

MidiResult AlsaSeqMidiOutApi::Close(MidiOutHandle handle) {
    Port* port = nullptr;
    {
        std::lock_guard lock(m_lock);
        port = reinterpret_cast<Port*>(handle);
        if (m_ports.erase(port) == 0) return MIDI_ERR_INVALHANDLE;
    }
    delete port;  // deletes our port on the program's client
    return MIDI_OK;
}

MidiResult AlsaSeqMidiOutApi::Abandon(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    auto* port = reinterpret_cast<Port*>(handle);
    if (m_ports.count(port) == 0) return MIDI_ERR_INVALHANDLE;
    port->output.Abandon();
    return MIDI_OK;
}

bool AlsaSeqMidiOutApi::DeviceGone(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    auto* port = reinterpret_cast<Port*>(handle);
    return m_ports.count(port) != 0 && port->output.DestinationGone();
}

MidiResult AlsaSeqMidiOutApi::Watch(MidiOutWatch* watch, std::uint32_t index) {
    if (watch == nullptr) return MIDI_ERR_GENERIC;
    *watch = nullptr;
    try {
        alsa::SeqPortEntry chosen;
        if (const MidiResult r = Resolve(index, chosen); r != MIDI_OK) return r;
        auto record = std::make_unique<DeviceWatch>();
        if (!alsa::SeqClient::Instance().Watch(chosen.address, record.get())) return MIDI_ERR_NOTSUPPORTED;
        std::lock_guard lock(m_lock);
        m_watches.insert(record.get());
        *watch = reinterpret_cast<MidiOutWatch>(record.release());
        return MIDI_OK;
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
}

bool AlsaSeqMidiOutApi::WatchedDeviceGone(MidiOutWatch watch) {
    std::lock_guard lock(m_lock);
    auto* record = reinterpret_cast<DeviceWatch*>(watch);
    return m_watches.count(record) != 0 && record->gone.load();
}

void AlsaSeqMidiOutApi::Unwatch(MidiOutWatch watch) {
    auto* record = reinterpret_cast<DeviceWatch*>(watch);
    {
        std::lock_guard lock(m_lock);
        if (m_watches.erase(record) == 0) return;
    }
    alsa::SeqClient::Instance().Unwatch(record);  // not told any more once it returns
    delete record;
}

}  // namespace platform
