#include "JackDevicePorts.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>

#include "platform/jack/JackClient.h"

namespace devsim {

namespace {

constexpr std::size_t MIN_CYCLE_BYTES = 32768;  // when the server does not tell its MIDI buffer size

using platform::WaitUntil;

}  // namespace

JackDevicePorts::~JackDevicePorts() { Close(); }

bool JackDevicePorts::Open(const std::string& name) {
    jack_status_t status{};
    m_inClient = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (m_inClient == nullptr) return false;
    m_outClient = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (m_outClient == nullptr) {
        Close();
        return false;
    }
    m_inPort = jack_port_register(m_inClient, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    m_outPort = jack_port_register(m_outClient, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    const std::size_t cycle = std::max(jack_port_type_get_buffer_size(m_inClient, JACK_DEFAULT_MIDI_TYPE), MIN_CYCLE_BYTES);
    if (m_inPort == nullptr || m_outPort == nullptr || !m_in.Allocate(RING_CYCLES * cycle) ||
        !m_out.Allocate(OUT_QUEUE_SIZE) || sem_init(&m_wake, 0, 0) != 0) {
        Close();
        return false;
    }
    m_wakeMade = true;
    m_event.reserve(cycle);
    m_drain = std::thread([this] { Drain(); });
    m_inputOpen.store(true);
    jack_set_process_callback(m_inClient, &JackDevicePorts::OnInProcess, this);
    jack_set_process_callback(m_outClient, &JackDevicePorts::OnOutProcess, this);
    jack_on_shutdown(m_inClient, &JackDevicePorts::OnShutdown, this);
    jack_on_shutdown(m_outClient, &JackDevicePorts::OnShutdown, this);
    if (jack_activate(m_inClient) != 0 || jack_activate(m_outClient) != 0) {
        Close();
        return false;
    }
    return true;
}

bool JackDevicePorts::Send(const std::uint8_t* bytes, std::size_t length) {
    if (m_outClient == nullptr) return false;
    for (std::size_t offset = 0; offset < length;) {
        const auto n = static_cast<std::uint32_t>(std::min(SPAN, length - offset));
        const std::size_t room = platform::EventRing::RecordSize(n);
        if (!WaitUntil([&] { return m_out.WriteSpace() >= room || !Usable(); }, STALL_LIMIT) || !Usable()) {
            return false;  // a message cut short ends without its 0xF7: the host drops it
        }
        m_out.Push(bytes + offset, n);
        offset += n;
    }
    return true;
}

void JackDevicePorts::CloseInput() {
    m_inputOpen.store(false);
    if (!m_drain.joinable()) return;
    m_stopDrain.store(true);
    sem_post(&m_wake);
    m_drain.join();
}

void JackDevicePorts::Close() {
    CloseInput();
    if (m_outClient != nullptr && Usable()) {
        // What was queued goes out: the cycle that writes the last of it, and the one after it
        // (in which a late reader still reads it), have begun.
        if (WaitUntil([&] { return m_out.ReadSpace() == 0 || !Usable(); }, STALL_LIMIT)) {
            const std::uint64_t last = m_lastWriteCycle.load(std::memory_order_acquire);
            WaitUntil([&] { return m_outCycles.load(std::memory_order_acquire) > last + 1 || !Usable(); },
                      std::chrono::milliseconds(1000));
        }
    }
    // A client whose server went away is never called again (and so never closed).
    for (jack_client_t** client : {&m_inClient, &m_outClient}) {
        if (*client != nullptr && Usable()) {
            jack_deactivate(*client);
            jack_client_close(*client);
        }
        *client = nullptr;
    }
    if (m_wakeMade) {
        sem_destroy(&m_wake);
        m_wakeMade = false;
    }
}

// Runs on JACK's process thread of the input's client.
int JackDevicePorts::OnInProcess(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackDevicePorts*>(arg);
    if (!self->m_inputOpen.load(std::memory_order_acquire)) return 0;
    const bool wrote = platform::CopyEventsIn(jack_port_get_buffer(self->m_inPort, frames), self->m_in,
                                              self->m_dropped, self->m_lostEvents);
    if (wrote && !self->m_wakePending.exchange(true)) sem_post(&self->m_wake);
    return 0;
}

// Runs on JACK's process thread of the output's client.
int JackDevicePorts::OnOutProcess(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackDevicePorts*>(arg);
    const std::uint64_t cycle = self->m_outCycles.fetch_add(1, std::memory_order_acq_rel) + 1;
    void* buffer = jack_port_get_buffer(self->m_outPort, frames);
    jack_midi_clear_buffer(buffer);
    if (platform::WriteEventsOut(buffer, self->m_out) > 0) self->m_lastWriteCycle.store(cycle, std::memory_order_release);
    return 0;
}

// Runs when the server has gone away (JACK's notification thread, or a process thread); as simple
// as a signal handler.
void JackDevicePorts::OnShutdown(void* arg) { static_cast<JackDevicePorts*>(arg)->m_gone.store(true, std::memory_order_release); }

// The drain thread: hands the input's events to the receiver, each one whole.
void JackDevicePorts::Drain() {
    for (;;) {
        while (sem_wait(&m_wake) != 0 && errno == EINTR) {
        }
        if (m_stopDrain.load()) return;
        // Read-modify-write: a cycle that found the flag set (and so did not post) is ordered
        // before this, and what it wrote is seen below.
        m_wakePending.exchange(false);
        platform::EventRing::Record record;
        while (m_in.Front(record)) {
            try {
                if (record.tag > 0) m_receiver.OnLost(record.tag);
                m_event.resize(record.length);
                record.CopyTo(m_event.data());
                m_receiver.OnEvent(m_event.data(), m_event.size());
            } catch (...) {
                // The event is lost; the drain goes on.
            }
            m_in.Pop(record);
        }
    }
}

}  // namespace devsim
