#include "JackMidiIn.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "JackPortName.h"
#include "platform/EventRing.h"
#include "platform/SysExReceiveQueue.h"

namespace platform {

namespace {

constexpr const char* OUR_PORT_NAME = "MIDI In";
// Room of a ring per cycle when the server does not tell the size of its MIDI buffers.
constexpr std::size_t MIN_CYCLE_BYTES = 32768;

}  // namespace

// The open input. Its address is the handle.
struct JackMidiInApi::Input final : JackClient::Reachable {
    Input(MidiInProc callback, std::uintptr_t instance)
        : queue(callback, reinterpret_cast<MidiInHandle>(this), instance) {}
    SysExReceiveQueue queue;  // fed by the service thread only
    EventRing ring;           // the process thread writes, the service thread reads
    // Events dropped since the last one that went into the ring: the tag of the next record.
    // Process only.
    std::uint32_t dropped = 0;
    // The source's full name and the epoch of its connection; set before the input is published.
    std::string source;
    jack_port_t* sourcePort = nullptr;
    std::uint64_t epoch = 0;
    // The service thread's: JackClient::PortsGone when it last found the source there, and
    // whether the callback has heard that the source left.
    std::uint64_t portsGoneSeen = 0;
    bool goneTold = false;
};

// The backend's hook: what a process cycle and a drain pass reach.
class JackMidiInApi::Live final : public JackClient::Hook {
public:
    explicit Live(JackClient& jack) : m_jack(jack) {}

    void Process(jack_nframes_t frames, std::uint64_t epoch) noexcept override;
    void Drain() noexcept override;

    // Written by the caller's side under the backend's lock; read by Process and Drain.
    std::atomic<jack_port_t*> livePort{nullptr};  // our port, published with liveEpoch
    std::atomic<std::uint64_t> liveEpoch{0};      // Process runs only in cycles of this epoch
    // The open input, or null; published once its ring and queue are made. Cleared before the
    // input goes; the input is freed only once no cycle that still saw it is inside the hooks
    // and a drain pass that still saw it has ended. Process reads it sequentially consistent
    // after the client's pass count, see JackClient::m_hooks.
    std::atomic<Input*> liveInput{nullptr};
    // Written by Process (the one writer); read by any thread. Counts only.
    std::atomic<std::uint64_t> lostEvents{0};
    std::atomic<std::uint64_t> eventsRead{0};
    // The input that was open when the backend went, freed with the hook.
    std::unique_ptr<Input> last;

private:
    JackClient& m_jack;
};

JackMidiInApi::JackMidiInApi(JackClient& jack) : m_jack(jack), m_live(std::make_unique<Live>(jack)) {
    // The program has one of these; another one in the same process (a test) needs a port name of
    // its own on the shared client.
    static std::atomic<unsigned> made{0};
    const unsigned n = made.fetch_add(1);
    m_portName = n == 0 ? std::string(OUR_PORT_NAME) : std::string(OUR_PORT_NAME) + " " + std::to_string(n + 1);
    m_jack.AddHook(m_live.get());
}

JackMidiInApi::~JackMidiInApi() {
    std::unique_ptr<Input> input;
    {
        std::lock_guard lock(m_lock);
        m_live->liveInput.store(nullptr);
        input = std::move(m_input);
    }
    // A drain pass that still saw the input has ended once this returns: the queue is fed no more.
    m_jack.WaitForDrain();
    if (input) {
        input->queue.Reset();
        input->queue.Close();
    }
    // A cycle may still be inside the hook with the input: both go to the client, which frees
    // them once no cycle is (at once, unless the wait for that cycle runs out).
    m_live->last = std::move(input);
    m_jack.ReleaseHook(std::move(m_live));
    std::lock_guard lock(m_lock);
    if (m_port != nullptr && m_jack.Alive(m_portEpoch)) {
        if (jack_client_t* client = m_jack.Acquire()) jack_port_unregister(client, m_port);
    }
}

std::uint64_t JackMidiInApi::LostEvents() const { return m_live->lostEvents.load(std::memory_order_relaxed); }

std::uint64_t JackMidiInApi::EventsRead() const { return m_live->eventsRead.load(std::memory_order_relaxed); }

void JackMidiInApi::RefreshNames(jack_client_t* client) {
    m_ports.clear();
    m_names.clear();
    // A server that runs no cycles lists nothing: the ports of one that died unnoticed are stale.
    if (client != nullptr && m_jack.Running()) {
        m_ports = ListDevicePorts(client, JackPortIsOutput);
        m_names = ListedJackNames(m_ports);
    }
    m_listed = true;
}

std::uint32_t JackMidiInApi::GetNumDevs() {
    std::lock_guard lock(m_lock);
    std::uint64_t epoch = 0;
    jack_client_t* client = m_jack.Acquire(&epoch);
    // The port is made while the devices are listed, so that starting the input later costs
    // only the connection.
    if (client != nullptr) MakePort(client, epoch);
    RefreshNames(client);
    return static_cast<std::uint32_t>(m_names.size());
}

MidiResult JackMidiInApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    std::lock_guard lock(m_lock);
    try {
        if (!m_listed) RefreshNames(m_jack.Acquire());
        if (index >= m_names.size()) return MIDI_ERR_BADDEVICEID;
        m_shown[index] = m_ports[index];
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
    SetProductName(caps, m_names[index]);
    return MIDI_OK;
}

// The port is made once per client; a client that replaced one whose server went away gets a new
// one.
MidiResult JackMidiInApi::MakePort(jack_client_t* client, std::uint64_t epoch) {
    if (m_port != nullptr && m_portEpoch == epoch) return MIDI_OK;
    m_port = nullptr;
    m_live->livePort.store(nullptr);
    m_source.clear();
    jack_port_t* port = jack_port_register(client, m_portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (port == nullptr) return MIDI_ERR_NOMEM;
    m_port = port;
    m_portEpoch = epoch;
    m_live->livePort.store(port);
    m_live->liveEpoch.store(epoch, std::memory_order_release);
    return MIDI_OK;
}

// A graph change that the server did not carry out within CONNECT_LIMIT: it went away, or it is
// there but stalled (the change failed; nothing says the device or the server has gone).
MidiResult JackMidiInApi::Unanswered() const {
    return m_jack.Alive(m_portEpoch) ? MIDI_ERR_GENERIC : MIDI_ERR_NODRIVER;
}

// Connects `source` to our port, alone: another source connected before is disconnected first.
// Returns once the server's cycles run the connection.
MidiResult JackMidiInApi::Connect(jack_client_t* client, const std::string& source) {
    m_source.clear();
    const bool alone = jack_port_connected(m_port) == 1 && jack_port_connected_to(m_port, source.c_str()) != 0;
    if (alone) {
        m_source = source;
        return MIDI_OK;
    }
    if (jack_port_connected(m_port) > 0) {
        jack_port_disconnect(client, m_port);
        if (!WaitUntil([&] { return jack_port_connected(m_port) == 0 || !m_jack.Alive(m_portEpoch); }, CONNECT_LIMIT)) {
            return Unanswered();
        }
    }
    const int connected = jack_connect(client, source.c_str(), jack_port_name(m_port));
    if (connected != 0 && connected != EEXIST) return MIDI_ERR_BADDEVICEID;
    const bool linked = WaitUntil(
        [&] { return !m_jack.Alive(m_portEpoch) || jack_port_connected_to(m_port, source.c_str()) != 0; },
        CONNECT_LIMIT);
    // Once the graph that the clients read shows it, the cycles run with it.
    if (!linked || !m_jack.Alive(m_portEpoch)) return Unanswered();
    m_source = source;
    return MIDI_OK;
}

MidiResult JackMidiInApi::Open(MidiInHandle* handle, std::uint32_t index, MidiInProc callback,
                               std::uintptr_t instance) {
    if (handle == nullptr || callback == nullptr) return MIDI_ERR_GENERIC;
    *handle = nullptr;
    std::lock_guard lock(m_lock);
    if (m_input) return MIDI_ERR_ALLOCATED;
    try {
        std::uint64_t epoch = 0;
        jack_client_t* client = m_jack.Acquire(&epoch);
        if (client == nullptr) return MIDI_ERR_NODRIVER;
        if (const MidiResult r = MakePort(client, epoch); r != MIDI_OK) return r;
        // The index means a port of the caller's listing, opened by its name; never the port that
        // stands at that place of a newer listing.
        if (!m_listed) RefreshNames(client);
        std::string source;
        if (const auto shown = m_shown.find(index); shown != m_shown.end()) {
            source = shown->second;
        } else if (index < m_ports.size()) {
            source = m_ports[index];
        } else {
            return MIDI_ERR_BADDEVICEID;
        }
        // Counted before the look: a port that leaves after it is noticed by the input's watch.
        const std::uint64_t portsGone = m_jack.PortsGone();
        if (!IsDevicePort(client, source, JackPortIsOutput)) return MIDI_ERR_BADDEVICEID;  // gone since
        auto input = std::make_unique<Input>(callback, instance);
        input->source = source;
        input->sourcePort = m_jack.FindPort(epoch, source);
        input->epoch = epoch;
        input->portsGoneSeen = portsGone;
        const std::size_t cycle = jack_port_type_get_buffer_size(client, JACK_DEFAULT_MIDI_TYPE);
        if (!input->ring.Allocate(RING_CYCLES * std::max<std::size_t>(cycle, MIN_CYCLE_BYTES))) return MIDI_ERR_NOMEM;
        if (const MidiResult r = Connect(client, source); r != MIDI_OK) return r;
        m_input = std::move(input);
        m_live->liveInput.store(m_input.get());
        *handle = reinterpret_cast<MidiInHandle>(m_input.get());
        return MIDI_OK;
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
}

JackMidiInApi::Input* JackMidiInApi::Find(MidiInHandle handle) {
    return m_input && reinterpret_cast<MidiInHandle>(m_input.get()) == handle ? m_input.get() : nullptr;
}

MidiResult JackMidiInApi::Reset(MidiInHandle handle) {
    std::lock_guard lock(m_lock);
    Input* input = Find(handle);
    return input ? input->queue.Reset() : MIDI_ERR_INVALHANDLE;
}

MidiResult JackMidiInApi::PrepareHeader(MidiInHandle handle, MidiHeader* header) {
    // The input callback calls this on the client's service thread while a caller may hold
    // m_lock (in Reset, waiting for that callback): the handle is checked without the lock. It
    // stays valid while the callback runs, because Close frees it only after the drain pass that
    // runs the callback has ended.
    Input* input = reinterpret_cast<Input*>(handle);
    if (input == nullptr || m_live->liveInput.load() != input) return MIDI_ERR_INVALHANDLE;
    return input->queue.PrepareHeader(header);
}

MidiResult JackMidiInApi::AddBuffer(MidiInHandle handle, MidiHeader* header) {
    Input* input = reinterpret_cast<Input*>(handle);
    if (input == nullptr || m_live->liveInput.load() != input) return MIDI_ERR_INVALHANDLE;
    return input->queue.AddBuffer(header);
}

MidiResult JackMidiInApi::Start(MidiInHandle handle) {
    std::lock_guard lock(m_lock);
    Input* input = Find(handle);
    return input ? input->queue.Start() : MIDI_ERR_INVALHANDLE;
}

MidiResult JackMidiInApi::Stop(MidiInHandle handle) {
    std::lock_guard lock(m_lock);
    Input* input = Find(handle);
    return input ? input->queue.Stop() : MIDI_ERR_INVALHANDLE;
}

MidiResult JackMidiInApi::UnprepareHeader(MidiInHandle handle, MidiHeader* header) {
    std::lock_guard lock(m_lock);
    Input* input = Find(handle);
    return input ? input->queue.UnprepareHeader(header) : MIDI_ERR_INVALHANDLE;
}

MidiResult JackMidiInApi::Close(MidiInHandle handle) {
    std::unique_ptr<Input> closed;
    {
        std::lock_guard lock(m_lock);
        Input* input = Find(handle);
        if (input == nullptr) return MIDI_ERR_INVALHANDLE;
        if (const MidiResult r = input->queue.Close(); r != MIDI_OK) return r;
        // The queue drops everything from now on; the connection stays for the next Open.
        m_live->liveInput.store(nullptr);
        closed = std::move(m_input);
    }
    // A drain pass that still saw the input has ended once WaitForDrain returns. A cycle that
    // still saw it has left the hooks once the client's wait for it ends, whether the server
    // runs, stalled or went away in the middle of it; when that wait runs out, the client keeps
    // the input until the cycle has left.
    m_jack.WaitForDrain();
    m_jack.Release(std::move(closed));
    return MIDI_OK;
}

std::string JackMidiInApi::ConnectedSource() {
    std::lock_guard lock(m_lock);
    return m_source;
}

// Runs on JACK's process thread: copies the events into the ring and wakes the service thread;
// an event that does not fit is dropped and counted.
void JackMidiInApi::Live::Process(jack_nframes_t frames, std::uint64_t epoch) noexcept {
    if (epoch != liveEpoch.load(std::memory_order_acquire)) return;
    jack_port_t* port = livePort.load(std::memory_order_acquire);
    Input* input = liveInput.load();
    if (port == nullptr || input == nullptr) return;
    if (CopyEventsIn(jack_port_get_buffer(port, frames), input->ring, input->dropped, lostEvents, eventsRead)) {
        m_jack.Wake();
    }
}

// Runs on the client's service thread: hands what the cycles left in the ring to the queue, which
// calls the input callback from here.
void JackMidiInApi::Live::Drain() noexcept {
    Input* input = liveInput.load();
    if (input == nullptr) return;
    EventRing::Record record;
    while (input->ring.Front(record)) {
        try {
            input->queue.Lost(record.tag);
            input->queue.Receive(record.first, record.firstLength);
            input->queue.Receive(record.second, record.secondLength);
        } catch (...) {
            // Nothing may leave the service thread; the event is lost.
        }
        input->ring.Pop(record);
    }
    // The source's leaving, after what it sent: the server went away, or a port left the server
    // and the source's is not there any more.
    if (input->goneTold) return;
    try {
        bool left = !m_jack.Alive(input->epoch);
        if (!left && m_jack.PortsGone() != input->portsGoneSeen) {
            left = m_jack.PortLeft(input->epoch, input->portsGoneSeen, input->sourcePort, input->source);
        }
        if (left) {
            input->goneTold = true;
            input->queue.DeviceGone();
        }
    } catch (...) {
        // Nothing may leave the service thread; the next pass looks again.
    }
}

}  // namespace platform
