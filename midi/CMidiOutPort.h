// One MIDI output device of the system. The send path opens it, sends one SysEx message and
// closes it again for every message; the port itself has no lock (the send path serialises).
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/MidiApi.h"

class CMidiOutPort {
public:
    explicit CMidiOutPort(platform::IMidiOutApi& api = platform::DefaultMidiOutApi());
    ~CMidiOutPort();  // Close
    CMidiOutPort(const CMidiOutPort&) = delete;
    CMidiOutPort& operator=(const CMidiOutPort&) = delete;

    // Opens output device `index`; keeps the open device when it is the one asked for, otherwise
    // closes it first. The index goes to the platform unchanged (-1 = "no selection").
    bool Open(std::uint32_t index);
    // Closes the open device; nothing happens when none is open.
    void Close();
    // Sends one complete SysEx message described by the caller's header and returns when the
    // output is done with it. False when the port is closed or the platform refused the message.
    bool SendLong(platform::MidiHeader* header);

    std::uint32_t GetDeviceCount();
    // Copies the product name of output device `index` into `buffer` (at least
    // platform::MAX_PNAME_LEN bytes); a device whose record can't be read gets an empty name.
    void GetDeviceName(std::uint32_t index, char* buffer);

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
    platform::MidiOutHandle m_hMidiOut = nullptr;
    std::uint32_t m_deviceIndex = 0;
    std::chrono::milliseconds m_doneWaitBase = DONE_WAIT_BASE;
    std::chrono::microseconds m_doneWaitPerByte = DONE_WAIT_PER_BYTE;
};
