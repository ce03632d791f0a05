// MIDI output through the Windows multimedia API: every call maps onto its midiOut* function.
// The device index goes to the system unchanged, so -1 is MIDI_MAPPER, the system's default
// output. midiOutLongMsg returns at once; the driver sets MHDR_DONE when it has sent the buffer,
// and CMidiOutPort polls for that.
#if defined(_WIN32)

#include <windows.h>
#include <mmsystem.h>

#include "platform/MidiApi.h"
#include "WinMMSupport.h"

namespace platform {
namespace {

HMIDIOUT Native(MidiOutHandle handle) { return reinterpret_cast<HMIDIOUT>(handle); }
// MidiHeader has MIDIHDR's layout (checked in WinMMSupport.cpp).
MIDIHDR* Native(MidiHeader* header) { return reinterpret_cast<MIDIHDR*>(header); }

class WinMMMidiOutApi final : public IMidiOutApi {
public:
    std::uint32_t GetNumDevs() override { return midiOutGetNumDevs(); }

    MidiResult GetDevCaps(std::uint32_t index, MidiDevCaps& caps) override {
        MIDIOUTCAPSW native{};
        const MMRESULT result = midiOutGetDevCapsW(static_cast<UINT_PTR>(static_cast<UINT>(index)),
                                                   &native, sizeof native);
        if (result != MMSYSERR_NOERROR) return result;
        ProductNameToUtf8(native.szPname, MAXPNAMELEN, caps.szPname);
        return MIDI_OK;
    }

    MidiResult Open(MidiOutHandle* handle, std::uint32_t index) override {
        if (handle == nullptr) return MMSYSERR_INVALPARAM;
        HMIDIOUT native = nullptr;
        const MMRESULT result = midiOutOpen(&native, static_cast<UINT>(index), 0, 0, CALLBACK_NULL);
        *handle = result == MMSYSERR_NOERROR ? reinterpret_cast<MidiOutHandle>(native) : nullptr;
        return result;
    }

    MidiResult PrepareHeader(MidiOutHandle handle, MidiHeader* header) override {
        return midiOutPrepareHeader(Native(handle), Native(header), sizeof(MIDIHDR));
    }

    MidiResult LongMsg(MidiOutHandle handle, MidiHeader* header) override {
        return midiOutLongMsg(Native(handle), Native(header), sizeof(MIDIHDR));
    }

    MidiResult Reset(MidiOutHandle handle) override { return midiOutReset(Native(handle)); }

    MidiResult UnprepareHeader(MidiOutHandle handle, MidiHeader* header) override {
        return midiOutUnprepareHeader(Native(handle), Native(header), sizeof(MIDIHDR));
    }

    MidiResult Close(MidiOutHandle handle) override { return midiOutClose(Native(handle)); }
};

}  // namespace

IMidiOutApi& DefaultMidiOutApi() {
    static WinMMMidiOutApi api;
    return api;
}

}  // namespace platform

#endif  // _WIN32
