#include "CMidiOutPort.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {
// How long SendLong waits for the device to give a header back before it takes it back itself.
constexpr auto kDoneTimeout = std::chrono::seconds(30);

bool IsDone(platform::MidiHeader* header) {
    return (std::atomic_ref<std::uint32_t>(header->dwFlags).load(std::memory_order_acquire) &
            platform::MHDR_DONE) != 0;
}
}  // namespace

CMidiOutPort::CMidiOutPort(platform::IMidiOutApi& api) : m_api(api) {}

CMidiOutPort::~CMidiOutPort() {
    Close();
}

bool CMidiOutPort::Open(std::uint32_t index) {
    if (m_hMidiOut != nullptr) {
        if (m_deviceIndex == index) return true;
        Close();
    }
    m_deviceIndex = index;
    platform::MidiOutHandle handle = nullptr;
    if (m_api.Open(&handle, index) != platform::MIDI_OK) {
        m_hMidiOut = nullptr;
        return false;
    }
    m_hMidiOut = handle;
    return m_hMidiOut != nullptr;
}

void CMidiOutPort::Close() {
    if (m_hMidiOut == nullptr) return;
    (void)m_api.Close(m_hMidiOut);
    m_hMidiOut = nullptr;
}

bool CMidiOutPort::SendLong(platform::MidiHeader* header) {
    if (m_hMidiOut == nullptr || header == nullptr) return false;
    (void)m_api.PrepareHeader(m_hMidiOut, header);
    const bool sent = m_api.LongMsg(m_hMidiOut, header) == platform::MIDI_OK;
    if (sent) {
        const auto deadline = std::chrono::steady_clock::now() + kDoneTimeout;
        while (!IsDone(header)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                (void)m_api.Reset(m_hMidiOut);  // returns the header as done
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    (void)m_api.UnprepareHeader(m_hMidiOut, header);
    return sent;
}

std::uint32_t CMidiOutPort::GetDeviceCount() {
    return m_api.GetNumDevs();
}

void CMidiOutPort::GetDeviceName(std::uint32_t index, char* buffer) {
    platform::MidiDevCaps caps{};
    if (m_api.GetDevCaps(index, caps) != platform::MIDI_OK) {
        buffer[0] = '\0';
        return;
    }
    caps.szPname[platform::MAX_PNAME_LEN - 1] = '\0';
    std::memcpy(buffer, caps.szPname, std::strlen(caps.szPname) + 1);
}
