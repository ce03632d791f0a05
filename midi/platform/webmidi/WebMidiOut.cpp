#include "platform/webmidi/WebMidiOut.h"

namespace platform {

WebMidiOutApi::Use* WebMidiOutApi::UseOf(std::map<std::uintptr_t, Use>& table, const void* key) {
    const auto it = table.find(reinterpret_cast<std::uintptr_t>(key));
    return it == table.end() ? nullptr : &it->second;
}

void WebMidiOutApi::SetPorts(std::vector<WebMidiPort> ports) {
    m_ports.SetConnected(std::move(ports));
    for (auto* table : {&m_handles, &m_watches}) {
        for (auto& [key, use] : *table) {
            if (!m_ports.IsConnected(use.portId)) use.gone = true;
        }
    }
}

MidiResult WebMidiOutApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    const WebMidiPort* port = m_ports.Listed(index);
    if (port == nullptr) return MIDI_ERR_BADDEVICEID;
    SetProductName(caps, port->name);
    return MIDI_OK;
}

MidiResult WebMidiOutApi::Open(MidiOutHandle* handle, std::uint32_t index) {
    if (handle == nullptr) return MIDI_ERR_GENERIC;
    *handle = nullptr;
    const WebMidiPort* port = m_ports.Listed(index);
    if (port == nullptr) return MIDI_ERR_BADDEVICEID;
    // A listed device that has left since: its index may not be given to another one.
    if (!m_ports.IsConnected(port->id)) return MIDI_ERR_NODEVICE;
    const std::uintptr_t value = m_next++;
    m_handles[value] = Use{port->id};
    *handle = reinterpret_cast<MidiOutHandle>(value);
    return MIDI_OK;
}

MidiResult WebMidiOutApi::PrepareHeader(MidiOutHandle handle, MidiHeader* header) {
    if (UseOf(m_handles, handle) == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags = (header->dwFlags | MIDI_HDR_PREPARED) & ~MIDI_HDR_DONE;
    return MIDI_OK;
}

MidiResult WebMidiOutApi::LongMsg(MidiOutHandle handle, MidiHeader* header) {
    const Use* use = UseOf(m_handles, handle);
    if (use == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr) return MIDI_ERR_GENERIC;
    if ((header->dwFlags & MIDI_HDR_PREPARED) == 0) return MIDI_ERR_UNPREPARED;
    if (use->gone || !m_ports.IsConnected(use->portId)) return MIDI_ERR_NODEVICE;
    if (!m_sender ||
        !m_sender(use->portId, reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBufferLength)) {
        return MIDI_ERR_NODRIVER;
    }
    // Handed over whole: the page and the browser keep their own copy from here on.
    header->dwFlags |= MIDI_HDR_DONE;
    return MIDI_OK;
}

MidiResult WebMidiOutApi::Reset(MidiOutHandle handle) {
    // Nothing is ever held back here: a message is handed over whole or not at all.
    return UseOf(m_handles, handle) != nullptr ? MIDI_OK : MIDI_ERR_INVALHANDLE;
}

MidiResult WebMidiOutApi::UnprepareHeader(MidiOutHandle handle, MidiHeader* header) {
    if (UseOf(m_handles, handle) == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags &= ~MIDI_HDR_PREPARED;
    return MIDI_OK;
}

MidiResult WebMidiOutApi::Close(MidiOutHandle handle) {
    return m_handles.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0 ? MIDI_OK : MIDI_ERR_INVALHANDLE;
}

bool WebMidiOutApi::DeviceGone(MidiOutHandle handle) {
    const Use* use = UseOf(m_handles, handle);
    return use != nullptr && use->gone;
}

MidiResult WebMidiOutApi::Watch(MidiOutWatch* watch, std::uint32_t index) {
    if (watch == nullptr) return MIDI_ERR_GENERIC;
    *watch = nullptr;
    const WebMidiPort* port = m_ports.Listed(index);
    if (port == nullptr) return MIDI_ERR_BADDEVICEID;
    const std::uintptr_t value = m_next++;
    // A device that has already left is watched all the same: the watch says so at once.
    m_watches[value] = Use{port->id, !m_ports.IsConnected(port->id)};
    *watch = reinterpret_cast<MidiOutWatch>(value);
    return MIDI_OK;
}

bool WebMidiOutApi::WatchedDeviceGone(MidiOutWatch watch) {
    const Use* use = UseOf(m_watches, watch);
    return use != nullptr && use->gone;
}

void WebMidiOutApi::Unwatch(MidiOutWatch watch) {
    m_watches.erase(reinterpret_cast<std::uintptr_t>(watch));
}

}  // namespace platform
