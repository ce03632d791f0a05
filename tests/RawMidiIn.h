// A MIDI input for tests that hands the port's queued buffer back holding exactly the given bytes,
// with none of the SysEx framing that SysExReceiveQueue enforces: an entry may carry bytes behind
// its end byte or status bytes inside, as a driver that returns whatever it recorded would give.
// Single-threaded: Deliver runs the input callback on the caller's thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/MidiApi.h"

namespace testsupport {

class RawMidiIn final : public platform::IMidiInApi {
public:
    // False when no buffer is queued (nothing is handed back). A longer entry is cut at the
    // buffer's length.
    bool Deliver(const std::uint8_t* bytes, std::size_t n) {
        platform::MidiHeader* h = m_queued;
        if (h == nullptr || m_callback == nullptr) return false;
        m_queued = nullptr;
        n = std::min<std::size_t>(n, h->dwBufferLength);
        std::copy(bytes, bytes + n, reinterpret_cast<std::uint8_t*>(h->lpData));
        h->dwBytesRecorded = static_cast<std::uint32_t>(n);
        h->dwFlags |= platform::MIDI_HDR_DONE;
        m_callback(Handle(), platform::MIDI_IN_LONGDATA, m_instance, reinterpret_cast<std::uintptr_t>(h), 0);
        return true;
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
            h->dwFlags |= platform::MIDI_HDR_DONE;
            m_callback(Handle(), platform::MIDI_IN_LONGDATA, m_instance, reinterpret_cast<std::uintptr_t>(h), 0);
        }
        return platform::MIDI_OK;
    }
    platform::MidiResult PrepareHeader(platform::MidiInHandle, platform::MidiHeader* h) override {
        h->dwFlags |= platform::MIDI_HDR_PREPARED;
        return platform::MIDI_OK;
    }
    platform::MidiResult AddBuffer(platform::MidiInHandle, platform::MidiHeader* h) override {
        h->dwFlags &= ~platform::MIDI_HDR_DONE;
        m_queued = h;
        return platform::MIDI_OK;
    }
    platform::MidiResult Start(platform::MidiInHandle) override { return platform::MIDI_OK; }
    platform::MidiResult Stop(platform::MidiInHandle) override { return platform::MIDI_OK; }
    platform::MidiResult UnprepareHeader(platform::MidiInHandle, platform::MidiHeader* h) override {
        h->dwFlags &= ~platform::MIDI_HDR_PREPARED;
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

}  // namespace testsupport
