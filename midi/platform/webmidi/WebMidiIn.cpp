#include "platform/webmidi/WebMidiIn.h"

#include <algorithm>

namespace platform {

void WebMidiInApi::SetPorts(std::vector<WebMidiPort> ports) {
    m_ports.SetConnected(std::move(ports));
    // Collected first: the notice runs the input's callback, which may close the input.
    std::vector<std::shared_ptr<SysExReceiveQueue>> gone;
    for (auto& [handle, input] : m_inputs) {
        if (input.gone || m_ports.IsConnected(input.portId)) continue;
        input.gone = true;
        gone.push_back(input.queue);
    }
    for (const auto& queue : gone) queue->DeviceGone();
}

std::vector<std::shared_ptr<SysExReceiveQueue>> WebMidiInApi::QueuesOn(const std::string& portId) const {
    std::vector<std::shared_ptr<SysExReceiveQueue>> queues;
    for (const auto& [handle, input] : m_inputs) {
        if (input.portId == portId && !input.gone) queues.push_back(input.queue);
    }
    return queues;
}

bool WebMidiInApi::Deliver(const std::string& portId, const std::uint8_t* bytes, std::size_t count) {
    // Bytes that the page relayed before it saw the port leave may come after the leaving.
    if (!m_ports.IsConnected(portId)) return false;
    const auto queues = QueuesOn(portId);
    for (const auto& queue : queues) queue->Receive(bytes, count);
    return !queues.empty();
}

bool WebMidiInApi::Lost(const std::string& portId, std::uint32_t events) {
    const auto queues = QueuesOn(portId);
    for (const auto& queue : queues) queue->Lost(events);
    return !queues.empty();
}

std::vector<std::string> WebMidiInApi::ListeningPorts() const {
    std::vector<std::string> ids;
    for (const auto& [handle, input] : m_inputs) {
        if (std::find(ids.begin(), ids.end(), input.portId) == ids.end()) ids.push_back(input.portId);
    }
    return ids;
}

void WebMidiInApi::TellListening() {
    if (m_listenChanged) m_listenChanged(ListeningPorts());
}

MidiResult WebMidiInApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    const WebMidiPort* port = m_ports.Listed(index);
    if (port == nullptr) return MIDI_ERR_BADDEVICEID;
    SetProductName(caps, port->name);
    return MIDI_OK;
}

MidiResult WebMidiInApi::Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback, std::uintptr_t instance) {
    if (handle == nullptr) return MIDI_ERR_GENERIC;
    *handle = nullptr;
    const WebMidiPort* port = m_ports.Listed(index);
    if (port == nullptr) return MIDI_ERR_BADDEVICEID;
    if (!m_ports.IsConnected(port->id)) return MIDI_ERR_NODEVICE;
    const std::uintptr_t value = m_next++;
    const auto h = reinterpret_cast<MidiInHandle>(value);
    m_inputs[value] = Input{port->id, std::make_shared<SysExReceiveQueue>(callback, h, instance)};
    *handle = h;
    TellListening();
    return MIDI_OK;
}

MidiResult WebMidiInApi::Close(MidiInHandle handle) {
    const auto it = m_inputs.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == m_inputs.end()) return MIDI_ERR_INVALHANDLE;
    const MidiResult result = it->second.queue->Close();
    if (result != MIDI_OK) return result;
    m_inputs.erase(it);
    TellListening();
    return MIDI_OK;
}

std::shared_ptr<SysExReceiveQueue> WebMidiInApi::QueueOf(MidiInHandle handle) {
    const auto it = m_inputs.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == m_inputs.end() ? nullptr : it->second.queue;
}

}  // namespace platform
