// MIDI output through the page (WebMidiPorts.h): a message sent to a device is handed to the page,
// which gives it to the browser's output port. The page sends in the order it is handed messages,
// and the browser keeps the bytes, so a message counts as gone out once it is handed over.
//
// A device that is not among the page's connected ports can't be opened, and a send to it fails
// with MIDI_ERR_NODEVICE. A watch, and an open handle, report the device gone from the first list
// without it on, even if it is back in a later one: it has left in the meantime, and whatever it
// was doing then is lost. One thread: see WebMidiPorts.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/MidiApi.h"
#include "platform/webmidi/WebMidiPorts.h"

namespace platform {

class WebMidiOutApi final : public IMidiOutApi {
public:
    // Hands one whole message for output port `portId` to the page; false when there is no page to
    // take it.
    using Sender = std::function<bool(const std::string& portId, const std::uint8_t* bytes, std::size_t length)>;

    explicit WebMidiOutApi(Sender sender = {}) : m_sender(std::move(sender)) {}
    void SetSender(Sender sender) { m_sender = std::move(sender); }

    // The outputs connected now (the page's list after every change).
    void SetPorts(std::vector<WebMidiPort> ports);
    const WebMidiPortList& Ports() const { return m_ports; }

    std::uint32_t GetNumDevs() override { return m_ports.TakeListing(); }
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    MidiResult Open(MidiOutHandle* handle, std::uint32_t index) override;
    MidiResult PrepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult LongMsg(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult Reset(MidiOutHandle handle) override;
    MidiResult UnprepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult Close(MidiOutHandle handle) override;
    bool DeviceGone(MidiOutHandle handle) override;
    MidiResult Watch(MidiOutWatch* watch, std::uint32_t index) override;
    bool WatchedDeviceGone(MidiOutWatch watch) override;
    void Unwatch(MidiOutWatch watch) override;

    // Handles and watches not yet closed (for tests of their release).
    std::size_t OpenHandles() const { return m_handles.size(); }
    std::size_t Watches() const { return m_watches.size(); }

private:
    struct Use {
        std::string portId;
        bool gone = false;  // the port has left since the handle was opened or the watch began
    };
    // The use behind an open handle or a watch; null for one that names none.
    static Use* UseOf(std::map<std::uintptr_t, Use>& table, const void* key);

    Sender m_sender;
    WebMidiPortList m_ports;
    std::map<std::uintptr_t, Use> m_handles;  // open handles
    std::map<std::uintptr_t, Use> m_watches;
    std::uintptr_t m_next = 1;  // handle and watch values are never reused
};

}  // namespace platform
