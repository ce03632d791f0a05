#include "RtMidiIn.h"

#include <algorithm>
#include <cstring>

#include "RtMidiSupport.h"
#include "platform/SysExReceiveQueue.h"

namespace platform {

namespace {

// An RtMidi client, ended without letting an exception out.
struct MidiClient {
    std::unique_ptr<RtMidiIn> midi;

    void Make() { midi = rtmidi::CreateIn(); }

    void End() {
        try {
            midi.reset();
        } catch (...) {
        }
    }
};

// The sources that are listed, in RtMidi's order, without the ports of any copy of this program
// (its outputs are sources too while they send): RtMidi's port number and full name of each.
struct SourceList {
    std::vector<unsigned> numbers;
    std::vector<std::string> fullNames;
};

SourceList ListSources(RtMidiIn& midi) {
    SourceList list;
    try {
        const unsigned count = midi.getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            const std::string full = midi.getPortName(i);
            if (full.empty() || IsOwnPort(rtmidi::Describe(full))) continue;
            list.numbers.push_back(i);
            list.fullNames.push_back(full);
        }
    } catch (...) {
        // Whatever was listed before the failure stands.
    }
    return list;
}

}  // namespace

// One open input: its own RtMidi client connected to the source. Its address is the handle.
struct RtMidiInApi::Input {
    Input(MidiInProc callback, std::uintptr_t instance)
        : queue(callback, reinterpret_cast<MidiInHandle>(this), instance) {}
    SysExReceiveQueue queue;
    MidiClient client;  // ended only after queue.Close() has succeeded
};

namespace {

// Runs on RtMidi's CoreMIDI thread. RtMidi 5
// hands over a SysEx message once it has its 0xF7, gluing the events of a message that the sender
// split; the queue also takes continuation chunks that start without a status byte.
void OnRtMidiMessage(double, std::vector<unsigned char>* message, void* userData) noexcept {
    if (message == nullptr || message->empty() || userData == nullptr) return;
    try {
        static_cast<SysExReceiveQueue*>(userData)->Receive(message->data(), message->size());
    } catch (...) {
        // Nothing may leave the MIDI system's thread; the message is lost.
    }
}

}  // namespace

RtMidiInApi::RtMidiInApi() = default;

RtMidiInApi::~RtMidiInApi() {
    // Inputs left open: stop their clients before the queues go.
    std::map<MidiInHandle, std::shared_ptr<Input>> inputs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        inputs.swap(m_inputs);
    }
    for (auto& [handle, input] : inputs) input->client.End();
}

std::vector<std::string> RtMidiInApi::Listing() {
    std::vector<std::string> names;
    MidiClient client;
    try {
        client.Make();
        if (client.midi) {
            for (const std::string& full : ListSources(*client.midi).fullNames) {
                names.push_back(DeviceName(rtmidi::Describe(full)));
            }
        }
    } catch (...) {
        names.clear();
    }
    client.End();
    return names;
}

std::uint32_t RtMidiInApi::GetNumDevs() {
    auto names = Listing();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_names = std::move(names);
    m_listed = true;
    return static_cast<std::uint32_t>(m_names.size());
}

MidiResult RtMidiInApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listed = m_listed;
    }
    if (!listed) GetNumDevs();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_names.size()) return MIDI_ERR_BADDEVICEID;
    SetProductName(caps, m_names[index]);
    return MIDI_OK;
}

MidiResult RtMidiInApi::Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                             std::uintptr_t instance) {
    if (handle == nullptr || callback == nullptr) return MIDI_ERR_GENERIC;
    auto input = std::make_shared<Input>(callback, instance);
    MidiClient& client = input->client;
    MidiResult result = MIDI_OK;
    try {
        client.Make();
        if (!client.midi) return MIDI_ERR_NODRIVER;
        const SourceList list = ListSources(*client.midi);
        if (index >= list.numbers.size() || client.midi->getPortName(list.numbers[index]) != list.fullNames[index]) {
            result = MIDI_ERR_BADDEVICEID;  // no such source, or the system's list changed meanwhile
        } else {
            client.midi->ignoreTypes(false, true, true);  // SysEx wanted; clock and sensing not
            client.midi->setCallback(&OnRtMidiMessage, &input->queue);
            client.midi->openPort(list.numbers[index], "MIDI In");
            if (!client.midi->isPortOpen()) result = MIDI_ERR_ALLOCATED;
        }
    } catch (...) {
        result = MIDI_ERR_GENERIC;
    }
    if (result != MIDI_OK) {
        client.End();
        return result;
    }
    const auto h = reinterpret_cast<MidiInHandle>(input.get());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputs.emplace(h, std::move(input));
    *handle = h;
    return MIDI_OK;
}

std::shared_ptr<RtMidiInApi::Input> RtMidiInApi::Find(MidiInHandle handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_inputs.find(handle);
    return it == m_inputs.end() ? nullptr : it->second;
}

std::shared_ptr<SysExReceiveQueue> RtMidiInApi::QueueOf(MidiInHandle handle) {
    auto input = Find(handle);
    return input ? std::shared_ptr<SysExReceiveQueue>(input, &input->queue) : nullptr;
}

MidiResult RtMidiInApi::Close(MidiInHandle handle) {
    auto input = Find(handle);
    if (!input) return MIDI_ERR_INVALHANDLE;
    if (MidiResult r = input->queue.Close(); r != MIDI_OK) return r;
    // The queue drops everything from now on; ending the client ends RtMidi's thread for it.
    input->client.End();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputs.erase(handle);
    return MIDI_OK;
}

}  // namespace platform
