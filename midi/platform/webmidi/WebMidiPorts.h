// What the web edition's MIDI backends know of the browser's MIDI ports.
//
// The page reaches MIDI through the browser (Web MIDI); the engine runs in a worker that can't. The
// page therefore tells the worker which ports are connected (a whole list each time one comes or
// goes), relays what the inputs receive and sends what the worker hands it. The backends here keep
// the worker's side of that: the ports as the page last listed them, and the listing that the
// window shows, whose positions are the device indexes.
//
// Threads: the web edition has one thread (the worker's event loop); every call of these backends
// is made on it, so they take no locks. Their callbacks (an input's MIDI_IN_* notifications, the
// sender of the output) run on that thread too, inside the call that causes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One connected port as the page lists it: the browser's id, stable while the port exists and
// across its reconnection, and its name.
struct WebMidiPort {
    std::string id;
    std::string name;

    friend bool operator==(const WebMidiPort&, const WebMidiPort&) = default;
};

// The ports of one direction: those connected now, and the listing taken by the last device scan.
class WebMidiPortList {
public:
    // The ports connected now, in the page's order. Ports that are missing have left.
    void SetConnected(std::vector<WebMidiPort> ports) { m_connected = std::move(ports); }
    bool IsConnected(const std::string& id) const;

    // Takes the listing that the device indexes refer to until the next scan: the connected ports
    // in the page's order, ports of one name told apart as "NAME (2)", "NAME (3)" in that order.
    // Returns its length.
    std::uint32_t TakeListing();
    // Entry `index` of the listing; null when there is none.
    const WebMidiPort* Listed(std::uint32_t index) const;
    std::size_t ListedCount() const { return m_listed.size(); }

private:
    std::vector<WebMidiPort> m_connected;
    std::vector<WebMidiPort> m_listed;  // names numbered
};

}  // namespace platform
