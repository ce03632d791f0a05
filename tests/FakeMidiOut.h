// A MIDI output for protocol tests: keeps a copy of every message with the device it went to,
// can refuse to open, and notices when two sends overlap.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UpdateHost.h"
#include "platform/MidiApi.h"

namespace testsupport {

struct SentMessage {
    std::uint32_t device;
    std::vector<std::uint8_t> bytes;
};

class FakeMidiOut final : public platform::IMidiOutApi {
public:
    std::atomic<bool> refuseOpen{false};
    // Copy each message in two halves with a pause between, so that a message changed by another
    // thread while it is being sent shows up as a corrupted copy.
    std::atomic<bool> slowCopy{false};

    std::vector<SentMessage> Sent() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sent;
    }
    int Opens() const { return m_opens.load(); }
    int Closes() const { return m_closes.load(); }
    int OpenNow() const { return m_openNow.load(); }
    // Number of times a device was opened, or a message handed over, while another send was
    // under way.
    int Overlaps() const { return m_overlaps.load(); }

    std::uint32_t GetNumDevs() override { return 4; }
    platform::MidiResult GetDevCaps(std::uint32_t index, platform::MidiDevCaps& caps) override {
        const std::string name = "Fake Out " + std::to_string(index);
        name.copy(caps.szPname, sizeof caps.szPname - 1);
        caps.szPname[name.size()] = '\0';
        return platform::MIDI_OK;
    }
    platform::MidiResult Open(platform::MidiOutHandle* handle, std::uint32_t index) override {
        *handle = nullptr;
        if (refuseOpen) return platform::MIDI_ERR_BADDEVICEID;
        if (m_openNow.fetch_add(1) != 0) ++m_overlaps;
        ++m_opens;
        m_device.store(index);
        *handle = reinterpret_cast<platform::MidiOutHandle>(&m_handleTag);
        return platform::MIDI_OK;
    }
    platform::MidiResult PrepareHeader(platform::MidiOutHandle, platform::MidiHeader* h) override {
        h->dwFlags |= platform::MHDR_PREPARED;
        return platform::MIDI_OK;
    }
    platform::MidiResult LongMsg(platform::MidiOutHandle handle, platform::MidiHeader* h) override {
        if (handle == nullptr || m_openNow.load() == 0) return platform::MIDI_ERR_INVALHANDLE;
        if (m_inLongMsg.fetch_add(1) != 0) ++m_overlaps;
        const auto* p = reinterpret_cast<const std::uint8_t*>(h->lpData);
        const std::size_t n = h->dwBufferLength;
        std::vector<std::uint8_t> copy(p, p + n / 2);
        if (slowCopy) std::this_thread::sleep_for(std::chrono::microseconds(50));
        copy.insert(copy.end(), p + n / 2, p + n);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_sent.push_back({m_device.load(), std::move(copy)});
        }
        --m_inLongMsg;
        h->dwFlags |= platform::MHDR_DONE;
        return platform::MIDI_OK;
    }
    platform::MidiResult Reset(platform::MidiOutHandle) override { return platform::MIDI_OK; }
    platform::MidiResult UnprepareHeader(platform::MidiOutHandle, platform::MidiHeader* h) override {
        h->dwFlags &= ~platform::MHDR_PREPARED;
        return platform::MIDI_OK;
    }
    platform::MidiResult Close(platform::MidiOutHandle) override {
        ++m_closes;
        --m_openNow;
        return platform::MIDI_OK;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<SentMessage> m_sent;
    std::atomic<int> m_opens{0};
    std::atomic<int> m_closes{0};
    std::atomic<int> m_openNow{0};
    std::atomic<int> m_inLongMsg{0};
    std::atomic<int> m_overlaps{0};
    std::atomic<std::uint32_t> m_device{0};
    char m_handleTag = 0;
};

}  // namespace testsupport
