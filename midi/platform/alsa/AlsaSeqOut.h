// One output to a port of the ALSA sequencer, written with libasound: a port of the program's
// client (AlsaSeqClient.h), connected to the destination for as long as the object lives.
// Or (OpenSource) a port that others connect to and read from, as a device's port; it is written
// like an application's port, to every reader.
//
// Send writes a long SysEx message as consecutive SysEx events of at most SPAN bytes each, the
// message's bytes in order, unchanged (the first starts with 0xF0, only the last ends with 0xF7);
// a receiver joins them. The destination's kind (AlsaSeqPortInfo.h) sets the pace:
//   - an application's port: every event goes out as soon as the receiver's input queue has room
//     for it (the receivers are the destination's client and, for a software through port like
//     "Midi Through", the clients reading from it) (the kernel's own account of that queue is
//     asked whenever the room it showed last is used up; an event that found the queue full
//     would be dropped, and with it everything the receiver had queued).
//   - a hardware port of a card whose raw MIDI substream is free (AlsaRawMidiOut.h): the bytes
//     are written to the raw device directly, at the pace its driver's buffer takes them.
//   - any other port that stands for hardware (the substream is busy, a card's software port such
//     as snd-virmidi's): one span per SPAN x CABLE_BYTE_TIME through the sequencer, and Send
//     returns once the last span has had its time on the wire, so the driver's buffer never holds
//     more than about one span of ours.
// Send fails when the sequencer refuses an event, or the receiver's queue stays full for
// STALL_LIMIT; with MIDI_ERR_NODEVICE as soon as the sequencer announces that the destination has
// left (an output opened by Open watches it), and at once when Abandon is called from another
// thread. Used by one thread at a time, but for Abandon and DestinationGone; prints nothing;
// throws nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "AlsaRawMidiOut.h"
#include "AlsaSeqClient.h"
#include "AlsaSeqPortInfo.h"
#include "platform/MidiApi.h"

namespace platform::alsa {

class SeqOutput {
public:
    static constexpr std::size_t SPAN = 256;
    static constexpr std::chrono::microseconds CABLE_BYTE_TIME{320};
    static constexpr std::chrono::milliseconds STALL_LIMIT{2000};

    SeqOutput() = default;
    ~SeqOutput();
    SeqOutput(const SeqOutput&) = delete;
    SeqOutput& operator=(const SeqOutput&) = delete;

    // Opens our client and port and connects them to `destination`. MIDI_ERR_NODRIVER when the
    // sequencer can't be opened, MIDI_ERR_BADDEVICEID when the destination does not exist or
    // refuses the connection.
    MidiResult Open(SeqAddress destination);
    // Opens a port named `portName` that other clients may connect to and read from.
    // MIDI_ERR_NODRIVER when the sequencer can't be opened, MIDI_ERR_NOMEM without a port.
    MidiResult OpenSource(const char* portName);
    MidiResult Send(const std::uint8_t* bytes, std::size_t length);
    // Ends a Send under way on another thread and makes every later one fail: what has not been
    // written yet is dropped. Any thread.
    void Abandon();
    // True once the sequencer has announced that the destination left. Any thread.
    bool DestinationGone() const { return m_watch.gone.load(); }

    // When the last Send handed its last event (or, written directly, its bytes) to the
    // sequencer: the receiver can have had the whole message from then on. The sending thread.
    std::chrono::steady_clock::time_point LastHandOver() const { return m_lastHandOver; }

    bool CablePaced() const { return m_cablePaced; }
    // True when the destination's raw MIDI device is written directly.
    bool Direct() const { return m_raw != nullptr; }

private:
    // Waits until the receivers' input queues have room for an event of `cells` and takes it
    // from m_credit; false when a queue can never hold it or stays full for STALL_LIMIT.
    bool WaitForRoom(int cells);
    // Why a send stops early: MIDI_OK while it may go on.
    MidiResult Stopped() const;
    // The result of a send that the sequencer or the receivers' room ended: MIDI_ERR_NODEVICE when
    // the destination has left, also before the sequencer's announcement of it has been read (the
    // send may see the receiver go first), else what Stopped says, else MIDI_ERR_GENERIC.
    MidiResult Failed();

    // Notes the destination's leaving; set on the client's reader thread.
    struct GoneFlag final : SeqClient::Watcher {
        void OnSeqPortGone() noexcept override { gone.store(true); }
        std::atomic<bool> gone{false};
    };

    int m_port = -1;  // our port on the program's client; -1 while closed
    std::optional<SeqAddress> m_destination;  // the port Open connected to; none for a source
    bool m_cablePaced = false;
    bool m_source = false;  // opened by OpenSource: the receivers are whoever reads our port now
    std::vector<int> m_receivers;  // clients whose input queues take our events (application ports)
    int m_credit = 0;  // cells we may still write before asking the receivers' room again
    std::unique_ptr<RawMidiOutput> m_raw;  // the destination's raw device, when written directly
    GoneFlag m_watch;               // watches the destination of Open
    bool m_watching = false;
    std::atomic<bool> m_abandoned{false};  // set by Abandon (any thread), read by Send
    std::chrono::steady_clock::time_point m_lastHandOver{};  // the sending thread's only
};

}  // namespace platform::alsa
