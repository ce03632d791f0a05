// MIDI input on JACK, through the program's one JACK client (JackClient.h), with the multimedia
// buffer model provided by SysExReceiveQueue.
//
// The backend has one MIDI input port on that client for the life of the process. Devices are the
// MIDI output ports of the server (where we can receive from), in the server's order, without the
// ports of any copy of this program, named by their short name (the rule of DeviceNaming.h); none
// while the server runs no process cycles (JackClient::Running). An index names the port that
// GetDevCaps last showed at that index (or, for an index never shown, the port at that place of
// the last listing): Open connects that port, if it is still there, and fails with
// MIDI_ERR_BADDEVICEID when it has gone, never taking the port that now stands at that place.
// Opening a device connects its port to ours (nothing changes when it is connected already) and
// returns once the server's cycles run the connection; closing keeps the connection, so an input
// that is started again on the same device costs no graph change. One input is open at a time.
//
// Threads. The process callback (JACK's process thread) only copies every event of our port into
// the open input's ring (EventRing.h, made when the input opens, with room for the fullest cycle
// the server can carry, RING_CYCLES times over) and wakes the client's service thread; it never
// allocates, locks, throws or calls out. The service thread drains the ring into the input's
// queue, which joins the events of a long SysEx message (a continuation event starts without a
// status byte) and calls the input callback: the callback runs on the service thread. When the
// ring is full, an event is dropped, never waited for: the drops are counted (LostEvents), and the
// queue learns of them before the next event that got through, which ends a SysEx in progress and
// reaches the callback as MIDI_IN_ERROR (param2: the events lost).
//
// What the process thread and the service thread reach (the backend's hook, with our port and the
// open input) is unpublished before it goes; when a cycle holds on inside the hooks longer than
// the client waits for it (JackClient::PROCESS_LIMIT), the client keeps it until that cycle has
// left, instead of it being freed under the cycle (JackClient::Release): a closed input, and the
// hook of a backend that goes.
//
// The open input watches its source: when the source's port leaves the server (the client's port
// registration callback wakes the service thread) or the server goes away, the input callback
// hears MIDI_IN_CLOSE on the service thread. When the server goes away, Open fails as without a
// server (MIDI_ERR_NODRIVER) until one answers again, and Close ends the input without calling
// into the dead client. No exception leaves this
// backend, and it prints nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "JackClient.h"
#include "platform/MidiApi.h"

namespace platform {

class JackMidiInApi final : public IMidiInApi {
public:
    // Longest wait for a new connection to reach the graph that the server's cycles run.
    static constexpr std::chrono::milliseconds CONNECT_LIMIT{5000};
    // Cycles of the fullest kind that the ring of an open input holds: the service thread may
    // fall behind by that many before an event is lost.
    static constexpr std::size_t RING_CYCLES = 4;

    explicit JackMidiInApi(JackClient& jack = JackClient::Instance());
    ~JackMidiInApi() override;
    JackMidiInApi(const JackMidiInApi&) = delete;
    JackMidiInApi& operator=(const JackMidiInApi&) = delete;

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

    // Full JACK name of the port connected to our input; empty when none. For tests.
    std::string ConnectedSource();
    // Events dropped so far because an input's ring was full. Any thread.
    std::uint64_t LostEvents() const;
    // Events of the device that an open input took from our port so far. Any thread.
    std::uint64_t EventsRead() const;

private:
    struct Input;
    class Live;

    // Must be called with m_lock held.
    MidiResult MakePort(jack_client_t* client, std::uint64_t epoch);
    MidiResult Connect(jack_client_t* client, const std::string& source);
    void RefreshNames(jack_client_t* client);
    Input* Find(MidiInHandle handle);
    MidiResult Unanswered() const;

    JackClient& m_jack;
    std::string m_portName;  // short name of our port

    std::mutex m_lock;  // serialises every operation of the caller's side
    // Guarded by m_lock.
    jack_port_t* m_port = nullptr;
    std::uint64_t m_portEpoch = 0;  // epoch of the client that owns m_port
    std::string m_source;           // full name of the connected device port, or empty
    std::unique_ptr<Input> m_input;  // the open input
    std::vector<std::string> m_ports;  // full names of the last listing
    std::vector<std::string> m_names;  // their listed names
    std::map<std::uint32_t, std::string> m_shown;  // full names, by index, as GetDevCaps showed them
    bool m_listed = false;

    // The backend's hook in the client: what the process thread and the service thread share with
    // the caller's side. Made by the constructor; the destructor hands it to the client.
    std::unique_ptr<Live> m_live;
};

}  // namespace platform
