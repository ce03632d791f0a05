// The raw MIDI device behind a hardware port of the ALSA sequencer, written directly.
//
// The kernel's sequencer client of a card (snd-seq-midi) gives the output substream S of the
// card's raw MIDI device D the port D * 32 + S, typed MIDI generic, hardware and port, and named
// after the substream. Written through the sequencer, such a port takes bytes as fast as they come
// and its driver's buffer overruns silently, so the sequencer path must hold every device to a
// cable's speed. Written directly, the raw device's own buffer sets the pace: a write waits while
// the buffer is full, so a fast USB device is not held to 31250 baud and a slow one never overruns.
//
// Send writes the message's bytes as they are and returns once the driver's buffer has emptied
// (the bytes have gone to the device). It fails when the buffer takes nothing for STALL_LIMIT,
// with MIDI_ERR_NODEVICE when the device has gone, and soon after Abandon (another thread), which
// drops what the driver still holds. Used by one thread at a time, but for Abandon; prints
// nothing; throws nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "AlsaSeqPortInfo.h"
#include "platform/MidiApi.h"

typedef struct _snd_rawmidi snd_rawmidi_t;

namespace platform::alsa {

// A raw MIDI output substream: card, device, subdevice ("hw:C,D,S").
struct RawMidiAddress {
    int card = -1;
    int device = -1;
    int subdevice = -1;
    bool operator==(const RawMidiAddress&) const = default;
};

// The substream that the sequencer port at `port` of a card's client stands for, by the kernel's
// numbering; none for a port that is no hardware MIDI port of a card (an application's port,
// snd-virmidi's software ports, a synthesizer).
std::optional<RawMidiAddress> RawMidiBehind(const SeqPortKind& kind, int port);

class RawMidiOutput {
public:
    static constexpr std::chrono::milliseconds STALL_LIMIT{2000};

    RawMidiOutput() = default;
    ~RawMidiOutput();
    RawMidiOutput(const RawMidiOutput&) = delete;
    RawMidiOutput& operator=(const RawMidiOutput&) = delete;

    // Opens the substream for output when it is free and its name is `portName` (the sequencer
    // names the port after it, so a port that is not the substream's is never written).
    // MIDI_ERR_ALLOCATED when another program has it open, MIDI_ERR_BADDEVICEID when there is no
    // such substream or it has another name.
    MidiResult Open(RawMidiAddress address, const std::string& portName);
    MidiResult Send(const std::uint8_t* bytes, std::size_t length);
    // Makes a Send under way end within a few milliseconds and every later one fail. Any thread.
    void Abandon() { m_abandoned.store(true); }
    bool IsOpen() const { return m_raw != nullptr; }

private:
    // Waits until the driver's buffer has emptied; false after STALL_LIMIT without progress.
    bool WaitUntilSent();

    snd_rawmidi_t* m_raw = nullptr;
    std::size_t m_bufferSize = 0;  // of the driver's output buffer, in bytes
    // Set by Abandon (any thread); read by the sending thread, which drops the driver's bytes.
    std::atomic<bool> m_abandoned{false};
};

}  // namespace platform::alsa
