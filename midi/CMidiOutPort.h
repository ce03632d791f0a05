// One MIDI output device of the system. The send path opens it, sends one SysEx message and
// closes it again for every message; the send path serialises Open, SendLong and Close.
//
// Two things reach the port from other threads: Abandon (the window closes during a send) and the
// watch of the device that an update run sends to (DeviceGone, asked by the poll timer's thread).
// They share m_lock with Open and Close, which is never held while a message goes out.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/MidiApi.h"

class CMidiOutPort {
public:
    explicit CMidiOutPort(platform::IMidiOutApi& api = platform::DefaultMidiOutApi());
    ~CMidiOutPort();  // Close
    CMidiOutPort(const CMidiOutPort&) = delete;
    CMidiOutPort& operator=(const CMidiOutPort&) = delete;

    // Opens output device `index`; keeps the open device when it is the one asked for, otherwise
    // closes it first. The index goes to the platform unchanged (-1 = "no selection"). False
    // without asking the platform once the port is abandoned.
    bool Open(std::uint32_t index);
    // Closes the open device; nothing happens when none is open.
    void Close();
    // Sends one complete SysEx message described by the caller's header and returns when the
    // output is done with it. False when the port is closed or abandoned, the platform refused the
    // message, the device left during it, or the device did not finish within the done-wait limit
    // (what it still held was taken back): true only when the whole message has gone out.
    bool SendLong(platform::MidiHeader* header);

    // The moment from which the device can have had the whole message that the last successful
    // SendLong sent: the backend's HandedOverAt (which may wait for it: a JACK output until the
    // cycle that writes the last event), else the moment SendLong handed it to the backend. An
    // answer that came earlier can't answer it. Asked only by a sender that needs it, on the
    // sending thread after SendLong and before Close.
    std::chrono::steady_clock::time_point LastSendLeftAt();

    // Gives up the send under way, from any thread: what the device has not sent yet is dropped
    // and SendLong returns at once. Every later Open fails, so no message starts after it; for a
    // window that closes.
    void Abandon();
    bool IsAbandoned() const { return m_abandoned.load(); }

    // Watches output device `index` (as Open names it) until Unwatch or the next Watch: the port
    // notes when the MIDI system announces that the device has left. False when nothing is watched
    // (no such device, or the platform announces nothing); the sends still tell then. Both start
    // afresh what DeviceGone says. Any thread.
    bool Watch(std::uint32_t index);
    void Unwatch();
    // True once the watched device has left, or once a send since Watch failed because the device
    // or the MIDI system has gone. Any thread.
    bool DeviceGone();

    std::uint32_t GetDeviceCount();
    // Copies the product name of output device `index` into `buffer` (at least
    // platform::MAX_PNAME_LEN bytes); a device whose record can't be read gets an empty name.
    void GetDeviceName(std::uint32_t index, char* buffer);
    // The unit of output device `index` as its name was last shown; empty where the system does not
    // say.
    platform::MidiDevUnit GetDeviceUnit(std::uint32_t index);

    bool IsOpen() const { return m_hMidiOut != nullptr; }
    std::uint32_t DeviceIndex() const { return m_deviceIndex; }

    // Longest wait of SendLong for the device to finish with a message of n bytes: base + n *
    // perByte. The defaults allow three times the wire time of a 31250-baud cable plus two
    // seconds; tests shorten them.
    static constexpr std::chrono::milliseconds DONE_WAIT_BASE{2000};
    static constexpr std::chrono::microseconds DONE_WAIT_PER_BYTE{960};
    void SetDoneWaitLimit(std::chrono::milliseconds base, std::chrono::microseconds perByte) {
        m_doneWaitBase = base;
        m_doneWaitPerByte = perByte;
    }

private:
    bool WaitUntilDone(platform::MidiHeader* header);

    platform::IMidiOutApi& m_api;
    // Written by the sending thread with m_lock held (Open, Close) and read by it without the lock;
    // read by Abandon with m_lock held, so the handle it abandons is not closed under it.
    platform::MidiOutHandle m_hMidiOut = nullptr;
    std::uint32_t m_deviceIndex = 0;
    std::mutex m_lock;
    // Set once by Abandon (any thread) before it takes m_lock; read by the sending thread, which
    // looks again under m_lock before it keeps a handle that it has just opened.
    std::atomic<bool> m_abandoned{false};
    // Set by the sending thread when a send fails because the device or the system has gone,
    // cleared by Watch and Unwatch; read by DeviceGone on any thread.
    std::atomic<bool> m_sendSawGone{false};
    platform::MidiOutWatch m_watch = nullptr;  // guarded by m_lock
    // When SendLong handed the last message to the backend. Written and read by the sending thread
    // only (SendLong, LastSendLeftAt), which the send path serialises.
    std::chrono::steady_clock::time_point m_lastHandedOn{};
    std::chrono::milliseconds m_doneWaitBase = DONE_WAIT_BASE;
    std::chrono::microseconds m_doneWaitPerByte = DONE_WAIT_PER_BYTE;
};
