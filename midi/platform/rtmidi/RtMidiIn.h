// MIDI input on macOS, through RtMidi on CoreMIDI, with the multimedia buffer model provided by
// SysExReceiveQueue. Built for the other POSIX systems too, where it finds no MIDI system (they
// have backends of their own).
//
// Device index i is the i-th source that RtMidi lists, leaving out the ports of any copy of this
// program; its name follows the naming rule of DeviceNaming.h. GetNumDevs takes a fresh listing
// that GetDevCaps then reads. An index names the source that GetDevCaps last showed at that index
// (or, for an index never shown, the source at that place of the last listing): Open finds it by
// its full name and fails with MIDI_ERR_BADDEVICEID when it has gone, never opening the source
// that now stands at that place. Open makes one RtMidi client per open input and connects it to
// the source; the RtMidi callback (the
// MIDI system's own thread) only copies the bytes into the queued buffer under a short lock and
// calls the input callback when a buffer is done. No exception leaves this backend.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rtmidi/RtMidi.h>

#include "platform/SysExReceiveQueue.h"

namespace platform {

class RtMidiInApi : public QueuedMidiInApi {
public:
    // On the program's MIDI system (rtmidi::ProgramApi).
    RtMidiInApi();
    // On `api`: tests run the backend on a system that the program does not use it for.
    explicit RtMidiInApi(RtMidi::Api api);
    ~RtMidiInApi() override;
    RtMidiInApi(const RtMidiInApi&) = delete;
    RtMidiInApi& operator=(const RtMidiInApi&) = delete;

    std::uint32_t GetNumDevs() override;
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    MidiResult Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                    std::uintptr_t instance) override;
    MidiResult Close(MidiInHandle handle) override;

private:
    struct Input;
    std::shared_ptr<Input> Find(MidiInHandle handle);
    std::shared_ptr<SysExReceiveQueue> QueueOf(MidiInHandle handle) override;
    // RtMidi's port names of the sources and their listed names.
    struct Names {
        std::vector<std::string> full;
        std::vector<std::string> listed;
    };
    Names Listing();

    const RtMidi::Api m_api;
    std::mutex m_mutex;  // guards the members below
    Names m_names;
    std::map<std::uint32_t, std::string> m_shown;  // RtMidi's port names, by index, as GetDevCaps showed them
    bool m_listed = false;
    std::map<MidiInHandle, std::shared_ptr<Input>> m_inputs;
};

}  // namespace platform
