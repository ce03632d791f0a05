// MIDI output on the ALSA sequencer, on the program's one client (AlsaSeqClient.h).
//
// Devices are the ports that can be written to, listed by address in the sequencer's order
// without the ports of any copy of this program, and named by the rule in DeviceNaming.h (the
// client's name). An index names the device that GetDevCaps last showed at that index (or, for
// an index never shown, the device at that place of the last listing), and Open opens that
// device by its address, if it is still there under the same name: a caller that asks for the
// count before every name (each time a new listing) while devices come and go still opens the
// device whose name it picked. Every Open makes a port of the program's client connected to the device
// (alsa::SeqOutput, which also sets the pace by the device's kind) and Close deletes it.
// LongMsg returns once the whole message has gone out, so nothing is lost when the port closes
// right after it; Abandon ends it early from another thread. A watch registers the device's
// address with the program's client, which reads the sequencer's announcements of ports and
// clients that leave. Index -1 names no device. No exception leaves this backend, and it prints
// nothing.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "AlsaSeqPortInfo.h"
#include "platform/MidiApi.h"

namespace platform {

class AlsaSeqMidiOutApi : public IMidiOutApi {
public:
    AlsaSeqMidiOutApi() = default;
    ~AlsaSeqMidiOutApi() override;
    AlsaSeqMidiOutApi(const AlsaSeqMidiOutApi&) = delete;
    AlsaSeqMidiOutApi& operator=(const AlsaSeqMidiOutApi&) = delete;

    std::uint32_t GetNumDevs() override;
    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override;
    // The unit of the card behind the device that GetDevCaps last showed at `index`.
    MidiResult GetDevUnit(std::uint32_t index, MidiDevUnit& unit) override;
    MidiResult Open(MidiOutHandle* handle, std::uint32_t index) override;
    MidiResult PrepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult LongMsg(MidiOutHandle handle, MidiHeader* header) override;
    bool HandedOverAt(MidiOutHandle handle, std::chrono::steady_clock::time_point* at) override;
    MidiResult Reset(MidiOutHandle handle) override;
    MidiResult UnprepareHeader(MidiOutHandle handle, MidiHeader* header) override;
    MidiResult Close(MidiOutHandle handle) override;
    MidiResult Abandon(MidiOutHandle handle) override;
    bool DeviceGone(MidiOutHandle handle) override;
    MidiResult Watch(MidiOutWatch* watch, std::uint32_t index) override;
    bool WatchedDeviceGone(MidiOutWatch watch) override;
    void Unwatch(MidiOutWatch watch) override;

private:
    struct Port;
    struct DeviceWatch;
    Port* Find(MidiOutHandle handle);
    // The device that `index` names (see above), if it is still there under the same name.
    MidiResult Resolve(std::uint32_t index, alsa::SeqPortEntry& chosen);
    // Refreshes m_devices from the sequencer; must be called with m_lock held.
    void Refresh();

    std::mutex m_lock;
    std::unordered_set<Port*> m_ports;           // every open handle; guarded by m_lock
    std::unordered_set<DeviceWatch*> m_watches;  // every watch; guarded by m_lock
    std::vector<alsa::SeqPortEntry> m_devices;   // the last listing; guarded by m_lock
    std::map<std::uint32_t, alsa::SeqPortEntry> m_shown;  // by index, as GetDevCaps showed it; guarded by m_lock
    std::chrono::steady_clock::time_point m_listTime{};  // guarded by m_lock
};

// The devices among the sequencer's ports (destinations = where we can send to, else where we
// can receive from), in the sequencer's order, without this program's own ports.
std::vector<alsa::SeqPortEntry> ListAlsaSeqDevices(bool destinations);

// True when the port found now at a listed device's address is that device: listed under the
// same name (a client that ended may have left its number to another).
bool SameDevice(const alsa::SeqPortEntry& listed, const std::optional<alsa::SeqPortEntry>& now);

}  // namespace platform
