// MIDI output on macOS, through RtMidi on CoreMIDI. Built for the other POSIX systems too, where it
// finds no MIDI system (they have backends of their own).
//
// Devices are the MIDI input ports of the MIDI system (where we can send to), listed in RtMidi's
// order without the ports of any copy of this program, and named by the rule in DeviceNaming.h.
// An index names the port that GetDevCaps last showed at that index (or, for an index never
// shown, the port at that place of the last listing): Open finds that port by its full name and
// fails with MIDI_ERR_BADDEVICEID when it has gone, never opening the port that now stands at
// that place. Every Open creates its own client with one output port connected to the device and
// Close removes it. LongMsg returns once the whole message has gone out, so nothing is lost when the
// port closes right after it.
// Index -1 names no device. No exception leaves this backend, and it prints nothing.
//
// Long SysEx messages are written in spans (see RtMidiOut.cpp for the exact split); a receiver
// joins the spans of one message until the span that ends with 0xF7.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <rtmidi/RtMidi.h>

#include "platform/MidiApi.h"

namespace platform {

class RtMidiOutApi : public IMidiOutApi {
public:
    // Longest span of a long message; spans are paced at the wire rate of a MIDI cable so that a
    // hardware port's buffer does not overflow.
    static constexpr std::size_t SPAN = 256;
    static constexpr std::chrono::microseconds CABLE_BYTE_TIME{320};

    // On the program's MIDI system (rtmidi::ProgramApi).
    RtMidiOutApi();
    // On `api`: tests run the backend on a system that the program does not use it for.
    explicit RtMidiOutApi(RtMidi::Api api);
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

    const RtMidi::Api m_api;
    std::mutex m_lock;
    std::unordered_set<Port*> m_ports;        // every open handle
    std::vector<std::string> m_fullNames;     // RtMidi's port names of the last enumeration
    std::vector<std::string> m_names;         // their listed names
    std::map<std::uint32_t, std::string> m_shown;  // RtMidi's port names, by index, as GetDevCaps showed them
    std::chrono::steady_clock::time_point m_namesTime{};
};

}  // namespace platform
