// Feeds arbitrary bytes to the dispatcher as received device messages. The first input byte picks
// how the rest is cut into messages, so runs of several messages in one tick occur as well.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Messages.h"
#include "UpdateEngine.h"
#include "platform/LoopbackMidiOut.h"
#include "platform/ManualTimerService.h"

namespace {

// An input device that hands the port's queued buffer back holding exactly the given bytes, with
// none of the SysEx framing a real MIDI system would enforce: the dispatcher must cope with
// whatever a driver returns.
class RawMidiIn final : public platform::IMidiInApi {
public:
    void Deliver(const std::uint8_t* bytes, std::size_t n) {
        platform::MidiHeader* h = m_queued;
        if (h == nullptr || m_callback == nullptr) return;
        m_queued = nullptr;
        n = std::min<std::size_t>(n, h->dwBufferLength);
        std::copy(bytes, bytes + n, reinterpret_cast<std::uint8_t*>(h->lpData));
        h->dwBytesRecorded = static_cast<std::uint32_t>(n);
        h->dwFlags |= platform::MHDR_DONE;
        m_callback(Handle(), platform::MIM_LONGDATA, m_instance, reinterpret_cast<std::uintptr_t>(h), 0);
    }

    std::uint32_t GetNumDevs() override { return 1; }
    platform::MidiResult GetDevCaps(std::uint32_t, platform::MidiDevCaps& caps) override {
        caps = {"raw"};
        return platform::MIDI_OK;
    }
    platform::MidiResult Open(platform::MidiInHandle* handle, std::uint32_t index, platform::MidiInProc cb,
                              std::uintptr_t instance) override {
        if (index != 0) return platform::MIDI_ERR_BADDEVICEID;
        m_callback = cb;
        m_instance = instance;
        *handle = Handle();
        return platform::MIDI_OK;
    }
    platform::MidiResult Reset(platform::MidiInHandle) override {
        if (platform::MidiHeader* h = m_queued) {
            m_queued = nullptr;
            h->dwBytesRecorded = 0;
            h->dwFlags |= platform::MHDR_DONE;
            m_callback(Handle(), platform::MIM_LONGDATA, m_instance, reinterpret_cast<std::uintptr_t>(h), 0);
        }
        return platform::MIDI_OK;
    }
    platform::MidiResult PrepareHeader(platform::MidiInHandle, platform::MidiHeader* h) override {
        h->dwFlags |= platform::MHDR_PREPARED;
        return platform::MIDI_OK;
    }
    platform::MidiResult AddBuffer(platform::MidiInHandle, platform::MidiHeader* h) override {
        h->dwFlags &= ~platform::MHDR_DONE;
        m_queued = h;
        return platform::MIDI_OK;
    }
    platform::MidiResult Start(platform::MidiInHandle) override { return platform::MIDI_OK; }
    platform::MidiResult Stop(platform::MidiInHandle) override { return platform::MIDI_OK; }
    platform::MidiResult UnprepareHeader(platform::MidiInHandle, platform::MidiHeader* h) override {
        h->dwFlags &= ~platform::MHDR_PREPARED;
        return platform::MIDI_OK;
    }
    platform::MidiResult Close(platform::MidiInHandle) override {
        m_callback = nullptr;
        return platform::MIDI_OK;
    }

private:
    platform::MidiInHandle Handle() { return reinterpret_cast<platform::MidiInHandle>(this); }
    platform::MidiHeader* m_queued = nullptr;
    platform::MidiInProc m_callback = nullptr;
    std::uintptr_t m_instance = 0;
};

struct Rig {
    platform::LoopbackMidiOut out;
    RawMidiIn in;
    platform::ManualTimerService timers;
    HeadlessHost host;
    platform::LoopbackMidiOut::DeviceId device = out.AddDevice("dev");
    std::shared_ptr<CUpdateEngine> engine;

    Rig() {
        engine = std::make_shared<CUpdateEngine>(host, EnginePlatform{&out, &in, &timers});
        engine->SelectMidiOut(0);
        engine->RestartInput(0);
        engine->StartPollTimer();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Rig rig;
    if (size == 0) return 0;
    const std::size_t cut = 1 + data[0] % 64;  // piece length when several messages are made
    const bool several = (data[0] & 0x80) != 0;
    ++data;
    --size;
    if (several) {
        for (std::size_t at = 0; at < size; at += cut) {
            const std::size_t n = std::min(cut, size - at);
            rig.in.Deliver(data + at, n);
        }
    } else {
        rig.in.Deliver(data, size);
    }
    rig.timers.TickAll();
    rig.out.ClearMessages(rig.device);
    g_modelId = g_acceptedModels[0];
    rig.engine->WaitForReply(0);  // no signal carries over into the next input
    return 0;
}
