// MIDI input through the page (WebMidiPorts.h): the page relays what the browser's input ports
// receive, and Deliver hands it to the inputs open on that port, which join it into SysEx messages
// with the buffer semantics of SysExReceiveQueue (a message longer than a receive buffer comes in
// pieces, an interrupted one is dropped, bytes while no buffer is queued are lost).
//
// An open input whose port leaves the page's list hears MIDI_IN_CLOSE, once; nothing arrives on it
// after that, even when the port comes back (the input would have to be opened again). The page relays only the ports that have an open input here: it is told their ids
// whenever they change. One thread: see WebMidiPorts.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/SysExReceiveQueue.h"
#include "platform/webmidi/WebMidiPorts.h"

namespace platform {

class WebMidiInApi final : public QueuedMidiInApi {
public:
    // Told the ids of the ports that have an open input, whenever they change.
    using ListenChanged = std::function<void(const std::vector<std::string>& portIds)>;

    WebMidiInApi() = default;
    ~WebMidiInApi() override = default;
    WebMidiInApi(const WebMidiInApi&) = delete;
    WebMidiInApi& operator=(const WebMidiInApi&) = delete;

    void SetListenChanged(ListenChanged listener) { m_listenChanged = std::move(listener); }

    // The inputs connected now (the page's list after every change). An open input whose port is
    // no longer among them hears MIDI_IN_CLOSE.
    void SetPorts(std::vector<WebMidiPort> ports);
    const WebMidiPortList& Ports() const { return m_ports; }

    // Bytes that input port `portId` received, in order. False when no input is open on it.
    bool Deliver(const std::string& portId, const std::uint8_t* bytes, std::size_t count);
    // `events` messages of port `portId` were lost before the bytes that come next (the page
    // dropped them): the SysEx in progress ends unfinished. False when no input is open on it.
    bool Lost(const std::string& portId, std::uint32_t events);

    // The ports that have an open input, in the order of opening.
    std::vector<std::string> ListeningPorts() const;

    std::uint32_t GetNumDevs() override { return m_ports.TakeListing(); }
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    MidiResult Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback, std::uintptr_t instance) override;
    MidiResult Close(MidiInHandle handle) override;

protected:
    std::shared_ptr<SysExReceiveQueue> QueueOf(MidiInHandle handle) override;

private:
    struct Input {
        std::string portId;
        std::shared_ptr<SysExReceiveQueue> queue;
        bool gone = false;  // its port has left since it was opened
    };

    // The open inputs on `portId` whose port has not left meanwhile.
    std::vector<std::shared_ptr<SysExReceiveQueue>> QueuesOn(const std::string& portId) const;
    void TellListening();

    WebMidiPortList m_ports;
    std::map<std::uintptr_t, Input> m_inputs;  // by handle value, in the order of opening
    std::uintptr_t m_next = 1;                 // handle values are never reused
    ListenChanged m_listenChanged;
};

}  // namespace platform
