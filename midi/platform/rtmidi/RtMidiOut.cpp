// Wire format of a long SysEx message on CoreMIDI.
//
// A hardware port's driver buffer overruns when it is fed faster than its cable. So a message
// longer than SPAN (256) bytes is written as consecutive messages to RtMidi, one per SPAN x
// CABLE_BYTE_TIME: span k carries bytes [k * SPAN, min((k + 1) * SPAN, n)) of the message
// unchanged. The first span starts with 0xF0 and has no 0xF7; the following ones start with a
// data byte; only the last one ends with 0xF7. Nothing is added or removed, so a receiver that
// appends spans until one ends with 0xF7 has the message back.
#include "RtMidiOut.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "RtMidiSupport.h"

namespace platform {

namespace {

using Flags = decltype(MidiHeader::dwFlags);

constexpr std::uint32_t NO_DEVICE = 0xFFFFFFFFu;
constexpr const char* OUR_PORT_NAME = "MIDI Out";

// RtMidi's port numbers of the listed devices, and their listed names, in RtMidi's order.
struct DeviceList {
    std::vector<unsigned int> portNumbers;
    std::vector<std::string> fullNames;
    std::vector<std::string> names;
};

DeviceList ListDevices(RtMidiOut& midi) {
    DeviceList list;
    try {
        const unsigned int count = midi.getPortCount();
        for (unsigned int i = 0; i < count; ++i) {
            const std::string full = midi.getPortName(i);
            if (full.empty() || IsOwnPort(rtmidi::Describe(midi.getCurrentApi(), full))) continue;
            list.portNumbers.push_back(i);
            list.fullNames.push_back(full);
            list.names.push_back(DeviceName(rtmidi::Describe(midi.getCurrentApi(), full)));
        }
    } catch (...) {
        // Whatever was listed before the failure stands.
    }
    return list;
}

}  // namespace

struct RtMidiOutApi::Port {
    std::unique_ptr<RtMidiOut> midi;
    // Set by OnError, which RtMidi calls inside the RtMidi call that fails, on the thread making
    // it; a handle is used by one thread at a time.
    bool failed = false;

    static void OnError(RtMidiError::Type, const std::string&, void* user) {
        static_cast<Port*>(user)->failed = true;
    }

    // Writes one event; false when RtMidi refused it.
    bool Write(const std::uint8_t* bytes, std::size_t length) {
        failed = false;
        try {
            midi->sendMessage(bytes, length);
        } catch (...) {
            failed = true;
        }
        return !failed;
    }

    MidiResult SendPaced(const std::uint8_t* bytes, std::size_t length) {
        if (length <= SPAN) return Write(bytes, length) ? MIDI_OK : MIDI_ERR_GENERIC;
        auto next = std::chrono::steady_clock::now();
        for (std::size_t offset = 0; offset < length;) {
            const std::size_t span = std::min(SPAN, length - offset);
            std::this_thread::sleep_until(next);
            if (!Write(bytes + offset, span)) return MIDI_ERR_GENERIC;
            next += CABLE_BYTE_TIME * span;
            offset += span;
        }
        return MIDI_OK;
    }
};

RtMidiOutApi::RtMidiOutApi() : RtMidiOutApi(rtmidi::ProgramApi()) {}

RtMidiOutApi::RtMidiOutApi(RtMidi::Api api) : m_api(api) {}

RtMidiOutApi::~RtMidiOutApi() {
    std::lock_guard lock(m_lock);
    for (Port* port : m_ports) {
        try {
            if (port->midi) port->midi->closePort();
        } catch (...) {
        }
        delete port;
    }
    m_ports.clear();
}

void RtMidiOutApi::RefreshNames() {
    m_fullNames.clear();
    m_names.clear();
    if (auto midi = rtmidi::CreateOut(m_api)) {
        DeviceList list = ListDevices(*midi);
        m_fullNames = std::move(list.fullNames);
        m_names = std::move(list.names);
    }
    m_namesTime = std::chrono::steady_clock::now();
}

std::uint32_t RtMidiOutApi::GetNumDevs() {
    std::lock_guard lock(m_lock);
    try {
        RefreshNames();
    } catch (...) {
        m_fullNames.clear();
        m_names.clear();
    }
    return static_cast<std::uint32_t>(m_names.size());
}

MidiResult RtMidiOutApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    std::lock_guard lock(m_lock);
    try {
        // A scan asks for the count and then for each name; the names of that count's enumeration
        // serve it instead of a new MIDI client per name.
        if (std::chrono::steady_clock::now() - m_namesTime > std::chrono::seconds(2) || index >= m_names.size()) {
            RefreshNames();
        }
        if (index >= m_names.size()) return MIDI_ERR_BADDEVICEID;
        m_shown[index] = m_fullNames[index];
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
    SetProductName(caps, m_names[index]);
    return MIDI_OK;
}

MidiResult RtMidiOutApi::Open(MidiOutHandle* handle, std::uint32_t index) {
    if (handle == nullptr) return MIDI_ERR_GENERIC;
    *handle = nullptr;
    if (index == NO_DEVICE) return MIDI_ERR_BADDEVICEID;  // there is no device mapper

    std::unique_ptr<Port> port;
    try {
        // The index means a port of the caller's listing, found again by its full name; never the
        // port that stands at that place of a newer list.
        std::string chosen;
        {
            std::lock_guard lock(m_lock);
            if (const auto shown = m_shown.find(index); shown != m_shown.end()) {
                chosen = shown->second;
            } else {
                if (index >= m_fullNames.size()) RefreshNames();
                if (index >= m_fullNames.size()) return MIDI_ERR_BADDEVICEID;
                chosen = m_fullNames[index];
            }
        }
        port = std::make_unique<Port>();
        port->midi = rtmidi::CreateOut(m_api);
        if (port->midi == nullptr) return MIDI_ERR_NODRIVER;
        port->midi->setErrorCallback(&Port::OnError, port.get());
        const DeviceList list = ListDevices(*port->midi);
        const auto at = std::find(list.fullNames.begin(), list.fullNames.end(), chosen);
        if (at == list.fullNames.end()) return MIDI_ERR_BADDEVICEID;  // gone since it was listed
        const unsigned int number = list.portNumbers[static_cast<std::size_t>(at - list.fullNames.begin())];
        // The system's list may have changed since ours was taken.
        if (port->midi->getPortName(number) != chosen) return MIDI_ERR_BADDEVICEID;
        port->failed = false;
        port->midi->openPort(number, OUR_PORT_NAME);
        if (port->failed || !port->midi->isPortOpen()) return MIDI_ERR_ALLOCATED;
    } catch (...) {
        return MIDI_ERR_GENERIC;
    }

    std::lock_guard lock(m_lock);
    Port* raw = port.release();
    m_ports.insert(raw);
    *handle = reinterpret_cast<MidiOutHandle>(raw);
    return MIDI_OK;
}

RtMidiOutApi::Port* RtMidiOutApi::Find(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    auto* port = reinterpret_cast<Port*>(handle);
    return m_ports.count(port) != 0 ? port : nullptr;
}

MidiResult RtMidiOutApi::PrepareHeader(MidiOutHandle handle, MidiHeader* header) {
    if (Find(handle) == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags |= MIDI_HDR_PREPARED;
    return MIDI_OK;
}

MidiResult RtMidiOutApi::LongMsg(MidiOutHandle handle, MidiHeader* header) {
    Port* port = Find(handle);
    if (port == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) return MIDI_ERR_GENERIC;
    if ((header->dwFlags & MIDI_HDR_PREPARED) == 0) return MIDI_ERR_UNPREPARED;
    header->dwFlags &= ~static_cast<Flags>(MIDI_HDR_DONE);

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header->lpData);
    const std::size_t length = header->dwBufferLength;
    const MidiResult result = port->SendPaced(bytes, length);
    // RtMidi has copied or written out every byte it took: the buffer is the caller's again.
    header->dwFlags |= MIDI_HDR_DONE;
    return result;
}

MidiResult RtMidiOutApi::Reset(MidiOutHandle handle) {
    // Sending is synchronous: no buffer is ever pending.
    return Find(handle) != nullptr ? MIDI_OK : MIDI_ERR_INVALHANDLE;
}

MidiResult RtMidiOutApi::UnprepareHeader(MidiOutHandle handle, MidiHeader* header) {
    if (Find(handle) == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags &= ~static_cast<Flags>(MIDI_HDR_PREPARED);
    return MIDI_OK;
}

MidiResult RtMidiOutApi::Close(MidiOutHandle handle) {
    Port* port = nullptr;
    {
        std::lock_guard lock(m_lock);
        port = reinterpret_cast<Port*>(handle);
        if (m_ports.erase(port) == 0) return MIDI_ERR_INVALHANDLE;
    }
    std::unique_ptr<Port> owned(port);
    try {
        if (owned->midi) {
            owned->midi->closePort();
            owned->midi.reset();
        }
    } catch (...) {
        return MIDI_ERR_GENERIC;
    }
    return MIDI_OK;
}

}  // namespace platform
