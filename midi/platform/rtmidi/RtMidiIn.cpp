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

    void Make(RtMidi::Api api) { midi = rtmidi::CreateIn(api); }

    void End() {
        try {
            midi.reset();
        } catch (...) {
        }
    }
};

// The sources that are listed, in RtMidi's order, without the ports of any copy of this program
// (its outputs are sources too while they send): RtMidi's full name of each.
std::vector<std::string> ListSources(RtMidiIn& midi) {
    std::vector<std::string> fullNames;
    try {
        const unsigned count = midi.getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            const std::string full = midi.getPortName(i);
            if (!full.empty() && !IsOwnPort(rtmidi::Describe(midi.getCurrentApi(), full))) fullNames.push_back(full);
        }
    } catch (...) {
        // Whatever was listed before the failure stands.
    }
    return fullNames;
}

// RtMidi's number of the port whose full name is `fullName`; past the end of RtMidi's list when
// there is none.
unsigned RtMidiNumberOf(RtMidiIn& midi, const std::string& fullName) {
    const unsigned count = midi.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (midi.getPortName(i) == fullName) return i;
    }
    return count;
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

// Runs on the MIDI system's thread (CoreMIDI's; JACK's process thread where a test runs the
// backend on JACK). RtMidi 5 hands over a SysEx message once it has its 0xF7, gluing the events of
// a message that the sender split; the queue also takes continuation chunks that start without a
// status byte.
void OnRtMidiMessage(double, std::vector<unsigned char>* message, void* userData) noexcept {
    if (message == nullptr || message->empty() || userData == nullptr) return;
    try {
        static_cast<SysExReceiveQueue*>(userData)->Receive(message->data(), message->size());
    } catch (...) {
        // Nothing may leave the MIDI system's thread; the message is lost.
    }
}

}  // namespace

RtMidiInApi::RtMidiInApi() : RtMidiInApi(rtmidi::ProgramApi()) {}

RtMidiInApi::RtMidiInApi(RtMidi::Api api) : m_api(api) {}

RtMidiInApi::~RtMidiInApi() {
    // Inputs left open: stop their clients before the queues go.
    std::map<MidiInHandle, std::shared_ptr<Input>> inputs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        inputs.swap(m_inputs);
    }
    for (auto& [handle, input] : inputs) input->client.End();
}

RtMidiInApi::Names RtMidiInApi::Listing() {
    Names names;
    MidiClient client;
    try {
        client.Make(m_api);
        if (client.midi) {
            names.full = ListSources(*client.midi);
            for (const std::string& full : names.full) {
                names.listed.push_back(DeviceName(rtmidi::Describe(client.midi->getCurrentApi(), full)));
            }
        }
    } catch (...) {
        names = Names{};
    }
    client.End();
    return names;
}

std::uint32_t RtMidiInApi::GetNumDevs() {
    auto names = Listing();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_names = std::move(names);
    m_listed = true;
    return static_cast<std::uint32_t>(m_names.listed.size());
}

MidiResult RtMidiInApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listed = m_listed;
    }
    if (!listed) GetNumDevs();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_names.listed.size()) return MIDI_ERR_BADDEVICEID;
    try {
        m_shown[index] = m_names.full[index];
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
    SetProductName(caps, m_names.listed[index]);
    return MIDI_OK;
}

MidiResult RtMidiInApi::Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                             std::uintptr_t instance) {
    if (handle == nullptr || callback == nullptr) return MIDI_ERR_GENERIC;
    std::shared_ptr<Input> input;
    std::string chosen;
    try {
        // The index means a source of the caller's listing, found again by its full name; never
        // the source that stands at that place of a newer list.
        bool listed = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            listed = m_listed;
        }
        if (!listed) GetNumDevs();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (const auto shown = m_shown.find(index); shown != m_shown.end()) {
            chosen = shown->second;
        } else if (index < m_names.full.size()) {
            chosen = m_names.full[index];
        } else {
            return MIDI_ERR_BADDEVICEID;
        }
        input = std::make_shared<Input>(callback, instance);
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
    MidiClient& client = input->client;
    MidiResult result = MIDI_OK;
    try {
        client.Make(m_api);
        if (!client.midi) return MIDI_ERR_NODRIVER;
        const std::vector<std::string> sources = ListSources(*client.midi);
        // RtMidi's number of the source now.
        const unsigned number = RtMidiNumberOf(*client.midi, chosen);
        const bool listedNow = std::find(sources.begin(), sources.end(), chosen) != sources.end();
        if (!listedNow || client.midi->getPortName(number) != chosen) {
            result = MIDI_ERR_BADDEVICEID;  // gone since it was listed
        } else {
            client.midi->ignoreTypes(false, true, true);  // SysEx wanted; clock and sensing not
            client.midi->setCallback(&OnRtMidiMessage, &input->queue);
            client.midi->openPort(number, "MIDI In");
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
