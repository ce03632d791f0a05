#include "AlsaSeqMidiIn.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstring>

#include "AlsaSeqClient.h"
#include "AlsaSeqMidiOut.h"
#include "platform/DeviceNaming.h"
#include "platform/SysExReceiveQueue.h"

namespace platform {

// One open input: a port of the program's client that the source is connected to. Its address
// is the handle.
struct AlsaSeqMidiInApi::Input final : alsa::SeqClient::Sink, alsa::SeqClient::Watcher {
    Input(MidiInProc callback, std::uintptr_t instance)
        : queue(callback, reinterpret_cast<MidiInHandle>(this), instance) {}

    // Runs on the client's reader thread.
    void OnSeqBytes(const std::uint8_t* bytes, std::size_t count) noexcept override {
        try {
            queue.Receive(bytes, count);
        } catch (...) {
            // Nothing may leave the reader thread; the bytes are lost.
        }
    }

    // Runs on the client's reader thread: the source has left.
    void OnSeqPortGone() noexcept override {
        try {
            queue.DeviceGone();
        } catch (...) {
        }
    }

    SysExReceiveQueue queue;
    int port = -1;  // deleted only after queue.Close() has succeeded
};

AlsaSeqMidiInApi::~AlsaSeqMidiInApi() {
    // Inputs left open: their ports go before the queues do.
    std::map<MidiInHandle, std::shared_ptr<Input>> inputs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        inputs.swap(m_inputs);
    }
    for (auto& [handle, input] : inputs) {
        alsa::SeqClient::Instance().Unwatch(input.get());
        alsa::SeqClient::Instance().DeletePort(input->port);
    }
}

std::uint32_t AlsaSeqMidiInApi::GetNumDevs() {
    std::vector<alsa::SeqPortEntry> sources;
    try {
        sources = ListAlsaSeqDevices(false);
    } catch (...) {
        sources.clear();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sources = std::move(sources);
    m_listed = true;
    return static_cast<std::uint32_t>(m_sources.size());
}

MidiResult AlsaSeqMidiInApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listed = m_listed;
    }
    if (!listed) GetNumDevs();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_sources.size()) return MIDI_ERR_BADDEVICEID;
    m_shown[index] = m_sources[index];
    SetProductName(caps, m_sources[index].listedName);
    return MIDI_OK;
}

MidiResult AlsaSeqMidiInApi::GetDevUnit(std::uint32_t index, MidiDevUnit& unit) {
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        return alsa::UnitAt(m_shown, m_sources, index, unit);
    } catch (...) {  // the lock could not be taken
        unit = {};
        return MIDI_ERR_NOMEM;
    }
}

MidiResult AlsaSeqMidiInApi::Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                                  std::uintptr_t instance) {
    if (handle == nullptr || callback == nullptr) return MIDI_ERR_GENERIC;
    alsa::SeqClient& client = alsa::SeqClient::Instance();
    if (!client.Ready()) return MIDI_ERR_NODRIVER;
    std::shared_ptr<Input> input;
    try {
        alsa::SeqPortEntry chosen;
        bool listed = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            listed = m_listed;
        }
        if (!listed) GetNumDevs();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (const auto shown = m_shown.find(index); shown != m_shown.end()) {
                chosen = shown->second;
            } else {
                if (index >= m_sources.size()) return MIDI_ERR_BADDEVICEID;
                chosen = m_sources[index];
            }
        }
        if (!SameDevice(chosen, alsa::QueryPort(chosen.address, false))) return MIDI_ERR_BADDEVICEID;
        input = std::make_shared<Input>(callback, instance);
        input->port = client.CreatePort("MIDI In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (input->port < 0) return MIDI_ERR_NOMEM;
        if (!client.Listen(input->port, input.get()) || !client.ConnectFrom(input->port, chosen.address)) {
            client.DeletePort(input->port);
            return MIDI_ERR_BADDEVICEID;  // the source went away meanwhile, or refuses readers
        }
        // Without the announcements the input still works; its source's leaving goes unheard.
        client.Watch(chosen.address, input.get());
        const auto h = reinterpret_cast<MidiInHandle>(input.get());
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inputs.emplace(h, input);
        *handle = h;
        return MIDI_OK;
    } catch (...) {
        if (input) {
            client.Unwatch(input.get());
            client.DeletePort(input->port);
        }
        return MIDI_ERR_NOMEM;
    }
}

std::shared_ptr<AlsaSeqMidiInApi::Input> AlsaSeqMidiInApi::Find(MidiInHandle handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_inputs.find(handle);
    return it == m_inputs.end() ? nullptr : it->second;
}

std::shared_ptr<SysExReceiveQueue> AlsaSeqMidiInApi::QueueOf(MidiInHandle handle) {
    auto input = Find(handle);
    return input ? std::shared_ptr<SysExReceiveQueue>(input, &input->queue) : nullptr;
}

MidiResult AlsaSeqMidiInApi::Close(MidiInHandle handle) {
    auto input = Find(handle);
    if (!input) return MIDI_ERR_INVALHANDLE;
    if (MidiResult r = input->queue.Close(); r != MIDI_OK) return r;
    // The queue drops everything from now on; once the port is gone no event reaches it.
    alsa::SeqClient::Instance().Unwatch(input.get());
    alsa::SeqClient::Instance().DeletePort(input->port);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputs.erase(handle);
    return MIDI_OK;
}

}  // namespace platform
