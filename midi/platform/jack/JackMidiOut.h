// MIDI output on JACK, through the program's one JACK client (JackClient.h).
//
// The backend has one MIDI output port on that client for the life of the process. Devices are the
// MIDI input ports of the server (where we can send to), in the server's order, without the ports
// of any copy of this program, named by their short name (the rule of DeviceNaming.h); none while
// the server runs no process cycles (JackClient::Running). An index names the port that
// GetDevCaps last showed at that index (or, for an index never shown, the port at that place of
// the last listing); a port that has gone since fails to open (MIDI_ERR_BADDEVICEID), whatever
// port now stands at that place. Opening a device connects our port to the device's port; the
// connection stays when the handle is closed, so a device that stays selected costs no graph
// change at all. Opening a different device first lets the queue go out to the old one, then
// moves the connection.
//
// LongMsg copies the message into the backend's own queue (an EventRing made with the backend)
// and returns with the header done: the caller's buffer is free at once. The process callback
// (JACK's process thread) writes the queue into the port buffer cycle by cycle, as much as each
// cycle's buffer takes, in order; it never allocates, locks, throws or calls out. A message longer
// than one span goes as consecutive events: event k carries bytes [k * span, min((k + 1) * span,
// n)) unchanged (span = JACK_SPAN, or half the server's MIDI buffer when that is smaller); only
// the last one ends with 0xF7, and a receiver that joins events until the 0xF7 has the message
// back. Examples: 10551 bytes go as 8192 + 2359, 18742 bytes as 8192 + 8192 + 2358.
//
// The hand-over moment: the process callback reads the clock just before it writes the last event
// of a message into the port buffer, and publishes it with the message's number. HandedOverAt
// waits (at most STALL_LIMIT) until the message of the last LongMsg has got that far and gives its
// moment: no reader can have had the whole message earlier, and it is never later than the write.
//
// Nothing is lost on purpose: switching devices, Flush and the end of the process wait (bounded)
// until the queue has gone out and the cycle that carried the last bytes, and the one after it,
// have ended. The queue is emptied only once no cycle is inside it: when a cycle holds on inside
// the hooks longer than the client waits for it (JackClient::PROCESS_LIMIT), switching devices
// fails as on a stalled server (MIDI_ERR_GENERIC) with the queue and the connection as they were,
// and a backend that goes leaves its hook, queue included, to the client, which frees it once that
// cycle has left (JackClient::ReleaseHook). When the device's port goes away, the queue is dropped
// and every later send fails with MIDI_ERR_NODEVICE until a device is opened again; when the
// server goes away, sends fail with MIDI_ERR_NODRIVER and the next Open fails like an Open without
// a server, until a server answers again. A server that is there but stalled (it runs no cycles,
// or too few) is neither: a send that finds no room within STALL_LIMIT, and a connection that the
// server does not make within CONNECT_LIMIT, fail with MIDI_ERR_GENERIC, and the device still
// counts as present. Abandon (any thread, on the open handle) ends a send that waits for room at
// once, makes the following sends on that handle fail (MIDI_ERR_GENERIC) and has the process
// callback drop what is queued, until the next Open. A watch looks whether its device's port is
// still there whenever the client's port registration callback has counted a port that left, and
// whether the server is.
//
// The send path of a selected device (Open of the same index, LongMsg, HandedOverAt, Close) takes
// no memory from the heap, makes no server request and changes nothing in the graph. Index -1
// names no device. No exception leaves this backend, and it prints nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/EventRing.h"
#include "JackClient.h"
#include "platform/MidiApi.h"

namespace platform {

class JackMidiOutApi final : public IMidiOutApi {
public:
    // Longest span of one SysEx message that goes as one event. Receivers that buffer one event per
    // cycle, like RtMidi's 16 KB ring, take it without loss.
    static constexpr std::size_t JACK_SPAN = 8192;
    // Room of the byte queue: a few of the longest messages (18742 bytes) with their span records.
    static constexpr std::size_t QUEUE_SIZE = 65536;
    // Longest wait for room in the queue, or for the queue to go out, before the send or the flush
    // counts as failed (the server stalled or went away).
    static constexpr std::chrono::milliseconds STALL_LIMIT{2000};
    // Longest wait for a new connection to reach the graph that the server's cycles run.
    static constexpr std::chrono::milliseconds CONNECT_LIMIT{5000};

    explicit JackMidiOutApi(JackClient& jack = JackClient::Instance());
    ~JackMidiOutApi() override;  // flushes, then gives up the port
    JackMidiOutApi(const JackMidiOutApi&) = delete;
    JackMidiOutApi& operator=(const JackMidiOutApi&) = delete;

    std::uint32_t GetNumDevs() override;
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    MidiResult Open(MidiOutHandle* handle, std::uint32_t index) override;
    MidiResult PrepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult LongMsg(MidiOutHandle handle, MidiHeader* header) override;
    // Waits until the message of the last LongMsg on `handle` has gone into a cycle's port buffer
    // whole, at most STALL_LIMIT; false when it did not (the send failed, was abandoned, the
    // device or the server went away, or the server stalled).
    bool HandedOverAt(MidiOutHandle handle, std::chrono::steady_clock::time_point* at) override;
    MidiResult Reset(MidiOutHandle handle) override;
    MidiResult UnprepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult Close(MidiOutHandle handle) override;
    MidiResult Abandon(MidiOutHandle handle) override;
    bool DeviceGone(MidiOutHandle handle) override;
    MidiResult Watch(MidiOutWatch* watch, std::uint32_t index) override;
    bool WatchedDeviceGone(MidiOutWatch watch) override;
    void Unwatch(MidiOutWatch watch) override;

    // Waits until everything queued has gone out and the cycle after the one that carried the last
    // bytes has begun. False when that did not happen within `limit` (or the device or the server
    // went away). Any thread.
    bool Flush(std::chrono::milliseconds limit = STALL_LIMIT) const;

    // Events written into our port's buffer so far (a message longer than a span is several).
    // Any thread.
    std::uint64_t EventsWritten() const;

    // Full JACK name of the port our output is connected to; empty when none. For tests.
    std::string ConnectedTarget();

private:
    // One watched device: its port's full name and the epoch of the client that saw it.
    struct DeviceWatch {
        std::string target;
        jack_port_t* port = nullptr;  // the target as jack_port_by_name gave it
        std::uint64_t epoch = 0;
        std::uint64_t portsGoneSeen = 0;  // JackClient::PortsGone when the port was last there
        bool gone = false;
    };

    class Live;

    // The full name of the port that `index` names (see above), in the listing. Must be called
    // with m_lock held; the name stays valid while it is held.
    MidiResult Resolve(std::uint32_t index, const std::string*& target);

    // Must be called with m_lock held.
    MidiResult MakePort(jack_client_t* client, std::uint64_t epoch);
    MidiResult Connect(jack_client_t* client, const std::string& target);
    void RefreshNames(jack_client_t* client);
    bool Valid(MidiOutHandle handle) const;
    MidiResult Unanswered() const;

    JackClient& m_jack;
    const MidiOutHandle m_handle;  // the one handle this backend gives out
    std::string m_portName;        // short name of our port

    std::mutex m_lock;  // serialises every operation of the sending side
    // Guarded by m_lock.
    jack_port_t* m_port = nullptr;
    std::uint64_t m_portEpoch = 0;      // epoch of the client that owns m_port
    std::string m_target;               // full name of the connected device port, or empty
    std::uint32_t m_openCount = 0;      // handles open
    std::vector<std::string> m_ports;   // full names of the last enumeration
    std::vector<std::string> m_names;   // their listed names
    std::map<std::uint32_t, std::string> m_shown;  // full names, by index, as GetDevCaps showed them
    std::chrono::steady_clock::time_point m_namesTime{};
    std::size_t m_span = JACK_SPAN;     // longest event, for the server's MIDI buffers

    // Messages queued whole so far (the tag of each one's last span; 0 is never used), and the
    // number of the one the last LongMsg queued whole (0: it queued none). Guarded by m_lock.
    std::uint32_t m_messages = 0;
    std::uint32_t m_lastMessage = 0;
    // The backend's hook in the client, with the queue and everything else that the process
    // thread shares with the sending side. Made by the constructor; the destructor hands it to
    // the client.
    std::unique_ptr<Live> m_live;
    std::mutex m_watchLock;  // guards m_watches and the records in it
    std::map<DeviceWatch*, std::unique_ptr<DeviceWatch>> m_watches;
};

}  // namespace platform
