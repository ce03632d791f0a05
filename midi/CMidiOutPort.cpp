#include "CMidiOutPort.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/AtomicRef.h"

using namespace platform;

CMidiOutPort::CMidiOutPort(IMidiOutApi& api) : m_api(api) {}

CMidiOutPort::~CMidiOutPort() {
    Close();
    Unwatch();
}

bool CMidiOutPort::Open(std::uint32_t index) {
    if (m_hMidiOut != nullptr) {
        if (m_deviceIndex == index && !m_abandoned.load()) return true;
        Close();
    }
    m_deviceIndex = index;
    if (m_abandoned.load()) return false;
    MidiOutHandle handle = nullptr;
    const MidiResult result = m_api.Open(&handle, index);
    if (result != MIDI_OK || handle == nullptr) return false;  // the port stays closed
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_abandoned.load()) {
        // Abandoned while it opened: Abandon did not see this handle, so nothing may go out on it.
        m_api.Close(handle);
        return false;
    }
    m_hMidiOut = handle;
    return true;
}

void CMidiOutPort::Close() {
    if (m_hMidiOut == nullptr) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_api.Close(m_hMidiOut);  // the port counts as closed whatever the device answers
    m_hMidiOut = nullptr;
}

void CMidiOutPort::Abandon() {
    m_abandoned.store(true);
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_hMidiOut != nullptr) m_api.Abandon(m_hMidiOut);
}

bool CMidiOutPort::Watch(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_watch != nullptr) m_api.Unwatch(m_watch);
    m_watch = nullptr;
    m_sendSawGone.store(false);
    MidiOutWatch watch = nullptr;
    if (m_api.Watch(&watch, index) != MIDI_OK) return false;
    m_watch = watch;
    return watch != nullptr;
}

void CMidiOutPort::Unwatch() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_watch != nullptr) m_api.Unwatch(m_watch);
    m_watch = nullptr;
    m_sendSawGone.store(false);
}

bool CMidiOutPort::DeviceGone() {
    if (m_sendSawGone.load()) return true;
    std::lock_guard<std::mutex> lock(m_lock);
    return m_watch != nullptr && m_api.WatchedDeviceGone(m_watch);
}

bool CMidiOutPort::SendLong(MidiHeader* header) {
    if (m_hMidiOut == nullptr || header == nullptr || m_abandoned.load()) return false;
    m_api.PrepareHeader(m_hMidiOut, header);  // a failure shows up as a refused LongMsg
    m_lastHandedOn = std::chrono::steady_clock::now();
    const MidiResult result = m_api.LongMsg(m_hMidiOut, header);
    if (MeansDeviceGone(result)) m_sendSawGone.store(true);
    bool done = result == MIDI_OK && WaitUntilDone(header);
    if (result == MIDI_OK && !done) {
        // Abandoned, the device left, or it did not finish in time: take the buffer back so the
        // caller can reuse it as soon as we return.
        m_api.Reset(m_hMidiOut);
    }
    // A send that a window's closing abandoned counts as failed, even if its last byte got out.
    if (m_abandoned.load()) done = false;
    m_api.UnprepareHeader(m_hMidiOut, header);
    return done;
}

std::chrono::steady_clock::time_point CMidiOutPort::LastSendLeftAt() {
    // The backend's moment is the later and more exact one; without it the call's moment serves,
    // since no byte can have left before it.
    std::chrono::steady_clock::time_point at{};
    if (m_hMidiOut != nullptr && m_api.HandedOverAt(m_hMidiOut, &at) && at >= m_lastHandedOn) return at;
    return m_lastHandedOn;
}

// Waits until the device has set MIDI_HDR_DONE, at most the limit for this message's length;
// false when the limit passed, the port was abandoned or the device left meanwhile.
//
// The flag is read through an atomic_ref. Our own backends set MIDI_HDR_DONE synchronously inside
// LongMsg on this thread, so the first read already sees it and there is no concurrent write at
// all; a backend that completes on another thread must write the flag atomically as well (the
// loopback's delayed completion does). WinMM's driver writes it behind the program's back, which is
// the documented way of polling a MIDIHDR.
bool CMidiOutPort::WaitUntilDone(MidiHeader* header) {
    using Flags = decltype(header->dwFlags);
    const AtomicRef<Flags> flags(header->dwFlags);
    if ((flags.load(std::memory_order_acquire) & MIDI_HDR_DONE) != 0) return true;

    const auto limit = m_doneWaitBase + m_doneWaitPerByte * header->dwBufferLength;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while ((flags.load(std::memory_order_acquire) & MIDI_HDR_DONE) == 0) {
        if (m_abandoned.load()) return false;
        if (m_api.DeviceGone(m_hMidiOut)) {
            m_sendSawGone.store(true);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return (flags.load(std::memory_order_acquire) & MIDI_HDR_DONE) != 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::uint32_t CMidiOutPort::GetDeviceCount() { return m_api.GetNumDevs(); }

platform::MidiDevUnit CMidiOutPort::GetDeviceUnit(std::uint32_t index) {
    platform::MidiDevUnit unit;
    if (m_api.GetDevUnit(index, unit) != platform::MIDI_OK) return {};
    return unit;
}

void CMidiOutPort::GetDeviceName(std::uint32_t index, char* buffer) {
    if (buffer == nullptr) return;
    MidiDevCaps caps{};
    if (m_api.GetDevCaps(index, caps) != MIDI_OK) {
        buffer[0] = '\0';
        return;
    }
    // The record's name need not be terminated when a backend fills all of it.
    const std::size_t length = static_cast<std::size_t>(
        std::find(caps.szPname, caps.szPname + MAX_PNAME_LEN - 1, '\0') - caps.szPname);
    std::memcpy(buffer, caps.szPname, length);
    buffer[length] = '\0';
}
