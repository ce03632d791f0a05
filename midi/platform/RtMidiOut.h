// MIDI output through RtMidi: the ALSA sequencer or JACK on Linux, CoreMIDI on macOS.
//
// Devices are the MIDI input ports of the MIDI system (where we can send to), listed in RtMidi's
// order without the ports of any copy of this program, and named by the rule in RtMidiSupport.h.
// Every Open creates its own RtMidi client and connects one output port to the device; Close
// disconnects it, which on JACK waits for one process cycle so that everything written goes out.
// Index -1 names no device. No exception leaves this backend, and it prints nothing.
//
// Long SysEx messages are written in spans (see RtMidiOut.cpp for the exact split); a receiver
// joins the spans of one message until the span that ends with 0xF7.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "MidiApi.h"

namespace platform {

class RtMidiOutApi : public IMidiOutApi {
public:
    // Longest span of one SysEx message that is written to JACK at once. RtMidi's JACK ring buffer
    // holds 16383 bytes, 4 of them per event for its length, so one span always fits and a second
    // one only fits after the first has gone out: each span waits for the previous one.
    static constexpr std::size_t JACK_SPAN = 8192;
    // Span for the ALSA sequencer, whose pools and hardware queues are small; spans are paced at
    // the wire rate of a MIDI cable so that a hardware port's buffer does not overflow.
    static constexpr std::size_t ALSA_SPAN = 256;
    static constexpr std::chrono::microseconds ALSA_BYTE_TIME{320};
    // Longest wait for room in the output buffer before a send counts as failed (the MIDI system
    // stalled or went away).
    static constexpr std::chrono::milliseconds STALL_LIMIT{2000};

    RtMidiOutApi() = default;
    ~RtMidiOutApi() override;
    RtMidiOutApi(const RtMidiOutApi&) = delete;
    RtMidiOutApi& operator=(const RtMidiOutApi&) = delete;

    std::uint32_t GetNumDevs() override;
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    MidiResult Open(MidiOutHandle* handle, std::uint32_t index) override;
    MidiResult PrepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult LongMsg(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult Reset(MidiOutHandle handle) override;
    MidiResult UnprepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult Close(MidiOutHandle handle) override;

private:
    struct Port;
    Port* Find(MidiOutHandle handle);
    // Refreshes m_names from the MIDI system; must be called with m_lock held.
    void RefreshNames();

    std::mutex m_lock;
    std::unordered_set<Port*> m_ports;        // every open handle
    std::vector<std::string> m_names;         // listed names from the last enumeration
    std::chrono::steady_clock::time_point m_namesTime{};
};

}  // namespace platform
