// MIDI input on the ALSA sequencer, on the program's one client (AlsaSeqClient.h), with the
// multimedia buffer model provided by SysExReceiveQueue.
//
// Device index i is the i-th port that can be read from, listed by address in the sequencer's
// order without the ports of any copy of this program; its name follows the naming rule of
// DeviceNaming.h. GetNumDevs takes a fresh listing that GetDevCaps then reads. Open opens the
// source that GetDevCaps last showed at that index (or the one at that place of the last listing)
// by its address, if it is still there under the same name (a source that went away meanwhile
// would otherwise shift later ones onto their neighbours), makes a port of the program's client
// and connects the source to it; the client's reader thread hands each
// event's bytes to the input's queue (SysEx events of a long message one after another; the queue
// joins them). The source's address is watched: when the sequencer announces that it has left,
// the input callback hears MIDI_IN_CLOSE on the reader thread. Close deletes the port; after it
// no callback comes. No exception leaves this backend, and it prints nothing.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AlsaSeqPortInfo.h"
#include "platform/SysExReceiveQueue.h"

namespace platform {

class AlsaSeqMidiInApi : public QueuedMidiInApi {
public:
    AlsaSeqMidiInApi() = default;
    ~AlsaSeqMidiInApi() override;
    AlsaSeqMidiInApi(const AlsaSeqMidiInApi&) = delete;
    AlsaSeqMidiInApi& operator=(const AlsaSeqMidiInApi&) = delete;

    std::uint32_t GetNumDevs() override;
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    // The unit of the card behind the device that GetDevCaps last showed at `index`.
    MidiResult GetDevUnit(std::uint32_t index, MidiDevUnit& unit) override;
    MidiResult Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                    std::uintptr_t instance) override;
    MidiResult Close(MidiInHandle handle) override;

private:
    struct Input;
    std::shared_ptr<Input> Find(MidiInHandle handle);
    std::shared_ptr<SysExReceiveQueue> QueueOf(MidiInHandle handle) override;

    std::mutex m_mutex;  // guards the members below
    std::vector<alsa::SeqPortEntry> m_sources;  // the last listing
    std::map<std::uint32_t, alsa::SeqPortEntry> m_shown;  // by index, as GetDevCaps showed it
    bool m_listed = false;
    std::map<MidiInHandle, std::shared_ptr<Input>> m_inputs;
};

}  // namespace platform
