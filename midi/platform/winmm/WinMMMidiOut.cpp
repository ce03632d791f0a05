// MIDI output through the Windows multimedia API: every call maps onto its midiOut* function.
// The device index goes to the system unchanged, so -1 is MIDI_MAPPER, the system's default
// output. midiOutLongMsg returns at once; the driver sets MHDR_DONE when it has sent the buffer,
// and CMidiOutPort polls for that. The device is opened with a callback function only to hear
// the driver's close notice (MOM_CLOSE) of a device that leaves during a send; the system
// announces nothing between sends, so there is no watch: the sends' error codes
// (MIDIERR_NODEVICE) and the input's close notice tell instead. Abandon is midiOutReset.
#if defined(_WIN32)

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <map>
#include <mutex>
#include <new>

#include "platform/MidiApi.h"
#include "WinMMSupport.h"

namespace platform {
namespace {

HMIDIOUT Native(MidiOutHandle handle) { return reinterpret_cast<HMIDIOUT>(handle); }
// MidiHeader has MIDIHDR's layout (checked in WinMMSupport.cpp).
MIDIHDR* Native(MidiHeader* header) { return reinterpret_cast<MIDIHDR*>(header); }

// What the driver's notices tell of one open output.
struct Output {
    // Set by Close (the sending thread) before midiOutClose, whose MOM_CLOSE is then its own;
    // read by the callback.
    std::atomic<bool> closing{false};
    // Set by the callback on a MOM_CLOSE that the program did not ask for; read by any thread.
    std::atomic<bool> gone{false};
};

// Runs on a thread of the driver: only flags, as the system allows there.
void CALLBACK WinMMOutProc(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    auto* output = reinterpret_cast<Output*>(instance);
    if (output != nullptr && msg == MOM_CLOSE && !output->closing.load()) output->gone.store(true);
}

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
        *handle = nullptr;
        auto* output = new (std::nothrow) Output;
        if (output == nullptr) return MIDI_ERR_NOMEM;
        HMIDIOUT native = nullptr;
        const MMRESULT result = midiOutOpen(&native, static_cast<UINT>(index),
                                            reinterpret_cast<DWORD_PTR>(&WinMMOutProc),
                                            reinterpret_cast<DWORD_PTR>(output), CALLBACK_FUNCTION);
        if (result != MMSYSERR_NOERROR) {
            delete output;
            return result;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_outputs[native] = output;
        }
        *handle = reinterpret_cast<MidiOutHandle>(native);
        return MIDI_OK;
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

    MidiResult Close(MidiOutHandle handle) override {
        Output* output = Find(handle);
        if (output != nullptr) output->closing.store(true);
        const MMRESULT result = midiOutClose(Native(handle));
        if (result != MMSYSERR_NOERROR) {
            if (output != nullptr) output->closing.store(false);
            return result;
        }
        // The driver calls back no more for this handle.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outputs.erase(Native(handle));
        delete output;
        return MIDI_OK;
    }

    bool DeviceGone(MidiOutHandle handle) override {
        const Output* output = Find(handle);
        return output != nullptr && output->gone.load();
    }

private:
    // The record of an open handle; it lives until Close, on the sending thread, frees it.
    Output* Find(MidiOutHandle handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_outputs.find(Native(handle));
        return it != m_outputs.end() ? it->second : nullptr;
    }

    std::mutex m_mutex;
    std::map<HMIDIOUT, Output*> m_outputs;  // guarded by m_mutex
};

}  // namespace

IMidiOutApi& DefaultMidiOutApi() {
    static WinMMMidiOutApi api;
    return api;
}

}  // namespace platform

#endif  // _WIN32
