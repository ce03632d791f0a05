// MIDI input on the Windows multimedia API: a thin mapping of each operation onto its midiIn*
// call. One addition: a buffer that the driver returns with MIM_LONGERROR (an interrupted or
// malformed SysEx) is queued again here, so that reception goes on instead of stopping for want
// of a buffer.
#if defined(_WIN32)

#include <windows.h>
#include <mmsystem.h>

#include <map>
#include <mutex>
#include <new>

#include "platform/MidiApi.h"
#include "WinMMSupport.h"

namespace platform {
namespace {

struct Input {
    MidiInProc callback;
    std::uintptr_t instance;
};

void CALLBACK WinMMInProc(HMIDIIN h, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                          DWORD_PTR param2) {
    auto* input = reinterpret_cast<Input*>(instance);
    if (input == nullptr) return;
    if (msg == MIM_LONGERROR && param1 != 0) {
        midiInAddBuffer(h, reinterpret_cast<MIDIHDR*>(param1), sizeof(MIDIHDR));
        return;
    }
    input->callback(reinterpret_cast<MidiInHandle>(h), msg, input->instance, param1, param2);
}

class WinMMMidiInApi : public IMidiInApi {
public:
    std::uint32_t GetNumDevs() override { return midiInGetNumDevs(); }

    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override {
        MIDIINCAPSW c{};
        const MMRESULT r = midiInGetDevCapsW(static_cast<UINT_PTR>(static_cast<UINT>(index)), &c,
                                             sizeof c);
        if (r != MMSYSERR_NOERROR) return r;
        ProductNameToUtf8(c.szPname, MAXPNAMELEN, caps.szPname);
        return MIDI_OK;
    }

    MidiResult Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                    std::uintptr_t instance) override {
        if (handle == nullptr || callback == nullptr) return MIDI_ERR_GENERIC;
        auto* input = new (std::nothrow) Input{callback, instance};
        if (input == nullptr) return MIDI_ERR_NOMEM;
        HMIDIIN h = nullptr;
        const MMRESULT r = midiInOpen(&h, index, reinterpret_cast<DWORD_PTR>(&WinMMInProc),
                                      reinterpret_cast<DWORD_PTR>(input), CALLBACK_FUNCTION);
        if (r != MMSYSERR_NOERROR) {
            delete input;
            return r;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_inputs[h] = input;
        }
        *handle = reinterpret_cast<MidiInHandle>(h);
        return MIDI_OK;
    }

    MidiResult Reset(MidiInHandle handle) override { return midiInReset(H(handle)); }
    MidiResult PrepareHeader(MidiInHandle handle, MidiHeader* header) override {
        return midiInPrepareHeader(H(handle), Native(header), sizeof(MIDIHDR));
    }
    MidiResult AddBuffer(MidiInHandle handle, MidiHeader* header) override {
        return midiInAddBuffer(H(handle), Native(header), sizeof(MIDIHDR));
    }
    MidiResult Start(MidiInHandle handle) override { return midiInStart(H(handle)); }
    MidiResult Stop(MidiInHandle handle) override { return midiInStop(H(handle)); }
    MidiResult UnprepareHeader(MidiInHandle handle, MidiHeader* header) override {
        return midiInUnprepareHeader(H(handle), Native(header), sizeof(MIDIHDR));
    }
    MidiResult Close(MidiInHandle handle) override {
        const MMRESULT r = midiInClose(H(handle));
        if (r != MMSYSERR_NOERROR) return r;
        // The driver calls back no more for this handle.
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_inputs.find(H(handle));
        if (it != m_inputs.end()) {
            delete it->second;
            m_inputs.erase(it);
        }
        return MIDI_OK;
    }

private:
    static HMIDIIN H(MidiInHandle handle) { return reinterpret_cast<HMIDIIN>(handle); }
    // MidiHeader has MIDIHDR's layout (checked in WinMMSupport.cpp).
    static MIDIHDR* Native(MidiHeader* header) { return reinterpret_cast<MIDIHDR*>(header); }

    std::mutex m_mutex;
    std::map<HMIDIIN, Input*> m_inputs;
};

}  // namespace

IMidiInApi& DefaultMidiInApi() {
    static WinMMMidiInApi api;
    return api;
}

MidiSystemCounts DefaultMidiSystemCounts() { return {}; }

}  // namespace platform

#endif  // _WIN32
