#include "JackMidiOut.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "JackPortName.h"

namespace platform {

namespace {

using Flags = decltype(MidiHeader::dwFlags);

constexpr std::uint32_t NO_DEVICE = 0xFFFFFFFFu;
constexpr const char* OUR_PORT_NAME = "MIDI Out";

// Where a message can be sent to.
std::vector<std::string> ListTargets(jack_client_t* client) { return ListDevicePorts(client, JackPortIsInput); }

}  // namespace

// ---- the hook ----

// What the process thread shares with the sending side: the queue, our port, and the flags and
// counts around them. Written by the sending side (under the backend's lock) unless said otherwise.
class JackMidiOutApi::Live final : public JackClient::Hook {
public:
    explicit Live(JackClient& jack) : m_jack(jack) {}

    void Process(jack_nframes_t frames, std::uint64_t epoch) noexcept override;
    void Finish() noexcept override { Flush(STALL_LIMIT); }
    // See JackMidiOutApi::Flush.
    bool Flush(std::chrono::milliseconds limit) const;

    std::atomic<jack_port_t*> livePort{nullptr};  // our port, published with liveEpoch
    std::atomic<std::uint64_t> liveEpoch{0};      // Process runs only in cycles of this epoch
    // The graph has our connection: write. Set once the connection is seen; cleared before a
    // change of connection, and by Process when the connection went away. While it is clear,
    // Process does not touch the queue.
    std::atomic<bool> writable{false};
    std::atomic<std::uint64_t> queued{0};  // spans queued
    // Written by Process; read by the sending side.
    std::atomic<std::uint64_t> done{0};            // spans written out or dropped
    std::atomic<std::uint64_t> lastWriteCycle{0};  // cycle that wrote the latest span
    std::atomic<std::uint64_t> eventsWritten{0};   // spans written out (a count only)
    std::atomic<bool> lost{false};                 // the device's port went away; Open clears it
    // The last message that went into a port buffer whole (its number, the tag of its last span),
    // and the clock read just before its last span was written. Written by Process, the moment
    // first (relaxed) and then the number (release); read by the sending side in that order's
    // reverse (the number with acquire). A moment belongs to the number beside it while no later
    // message is queued, which holds while the sender asks (it is the one that queues).
    std::atomic<std::uint32_t> handedOver{0};
    std::atomic<std::chrono::steady_clock::rep> handedOverAt{0};
    // Set by Abandon (any thread), cleared by Open; read by the sending side and Process.
    std::atomic<bool> abandoned{false};
    // The sending side (under the backend's lock) writes one record per span, Process reads them.
    // Made with the hook; a queue that could not be made takes nothing, and every send fails.
    // Emptied by the sending side only once no cycle is inside the hooks with writable set.
    EventRing queue;

private:
    JackClient& m_jack;
};

bool JackMidiOutApi::Live::Flush(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::uint64_t target = queued.load(std::memory_order_acquire);
    auto ended = [&] {
        return done.load(std::memory_order_acquire) >= target || lost.load() || abandoned.load() || m_jack.Gone();
    };
    const bool out = WaitUntil(ended, limit);
    if (!out || lost.load() || abandoned.load() || m_jack.Gone() || done.load(std::memory_order_acquire) < target) {
        return false;
    }
    // The receivers read the last span in the cycle that wrote it, or in the next one when the
    // server runs late; once the second cycle after it has begun, both are over.
    const std::uint64_t last = lastWriteCycle.load(std::memory_order_acquire);
    const auto left = std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                 deadline - std::chrono::steady_clock::now()));
    return WaitUntil([&] { return m_jack.Cycles() > last + 1 || m_jack.Gone(); }, left) && !m_jack.Gone();
}

// Runs on JACK's process thread: no locks, no allocation.
void JackMidiOutApi::Live::Process(jack_nframes_t frames, std::uint64_t epoch) noexcept {
    if (epoch != liveEpoch.load(std::memory_order_acquire)) return;
    jack_port_t* port = livePort.load(std::memory_order_acquire);
    if (port == nullptr) return;
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    // Read after the client's pass count (sequentially consistent, see JackClient::m_hooks): a
    // sender that cleared it and then found no cycle inside the hooks may empty the queue.
    if (!writable.load()) return;
    if (abandoned.load()) {
        // What an abandoned send queued does not go out.
        std::uint64_t dropped = 0;
        EventRing::Record record;
        while (queue.Front(record)) {
            queue.Pop(record);
            ++dropped;
        }
        if (dropped > 0) done.fetch_add(dropped, std::memory_order_release);
        return;
    }
    if (jack_port_connected(port) <= 0) {
        // The device's port went away with our connection: nothing queued can reach it. Writing
        // stops; the next Open empties the queue (a send may be half-way through a record now).
        // Lost before not writable: a send that finds it cannot write finds out why.
        lost.store(true);
        writable.store(false);
        return;
    }
    HandOver last;
    const std::uint64_t written = WriteEventsOut(buffer, queue, &last);
    if (written > 0) {
        lastWriteCycle.store(m_jack.Cycles(), std::memory_order_relaxed);
        done.fetch_add(written, std::memory_order_release);
        eventsWritten.fetch_add(written, std::memory_order_relaxed);
    }
    if (last.tag != 0) {
        handedOverAt.store(last.at.time_since_epoch().count(), std::memory_order_relaxed);
        handedOver.store(last.tag, std::memory_order_release);
    }
}

// ---- the backend ----

JackMidiOutApi::JackMidiOutApi(JackClient& jack)
    : m_jack(jack), m_handle(reinterpret_cast<MidiOutHandle>(&m_openCount)), m_live(std::make_unique<Live>(jack)) {
    // The program has one of these; a second one in the same process (a test) needs a port name
    // of its own on the shared client.
    static std::atomic<unsigned> made{0};
    const unsigned n = made.fetch_add(1);
    m_portName = n == 0 ? std::string(OUR_PORT_NAME) : std::string(OUR_PORT_NAME) + " " + std::to_string(n + 1);
    m_live->queue.Allocate(QUEUE_SIZE);
    m_jack.AddHook(m_live.get());
}

JackMidiOutApi::~JackMidiOutApi() {
    Flush();
    // The client frees the hook, queue included, once no cycle is inside it: at once, unless the
    // wait for a cycle that holds on inside the hooks runs out.
    m_jack.ReleaseHook(std::move(m_live));
    std::lock_guard lock(m_lock);
    if (m_port != nullptr && m_jack.Alive(m_portEpoch)) {
        if (jack_client_t* client = m_jack.Acquire()) jack_port_unregister(client, m_port);
    }
}

bool JackMidiOutApi::Valid(MidiOutHandle handle) const { return handle == m_handle && m_openCount > 0; }

void JackMidiOutApi::RefreshNames(jack_client_t* client) {
    m_ports.clear();
    m_names.clear();
    // A server that runs no cycles lists nothing: the ports of one that died unnoticed are stale.
    if (client != nullptr && m_jack.Running()) {
        m_ports = ListTargets(client);
        m_names = ListedJackNames(m_ports);
    }
    m_namesTime = std::chrono::steady_clock::now();
}

std::uint32_t JackMidiOutApi::GetNumDevs() {
    std::lock_guard lock(m_lock);
    std::uint64_t epoch = 0;
    jack_client_t* client = m_jack.Acquire(&epoch);
    // The port is made while the devices are listed, so that the first message later costs only
    // the connection.
    if (client != nullptr) MakePort(client, epoch);
    RefreshNames(client);
    return static_cast<std::uint32_t>(m_names.size());
}

MidiResult JackMidiOutApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    std::lock_guard lock(m_lock);
    // A scan asks for the count and then for each name; the names of that count's enumeration
    // serve it.
    try {
        if (std::chrono::steady_clock::now() - m_namesTime > std::chrono::seconds(2) || index >= m_names.size()) {
            RefreshNames(m_jack.Acquire());
        }
        if (index >= m_names.size()) return MIDI_ERR_BADDEVICEID;
        m_shown[index] = m_ports[index];
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
    SetProductName(caps, m_names[index]);
    return MIDI_OK;
}

// The port is made once per client; a client that replaced one whose server went away gets a new
// port and an empty queue (what the old queue held went with the old server).
MidiResult JackMidiOutApi::MakePort(jack_client_t* client, std::uint64_t epoch) {
    if (m_port != nullptr && m_portEpoch == epoch) return MIDI_OK;
    // The process callback runs only in cycles of the live client, which the old port's is not
    // any more, and touches the queue only while it is writable; once a cycle that was still
    // under way has left, nothing reads the queue while it is emptied here. A cycle that holds on
    // inside the hooks longer than the wait leaves the queue as it is: the port is made again by
    // the next Open.
    m_live->writable.store(false);
    m_live->livePort.store(nullptr);
    if (!m_jack.WaitForProcess()) return MIDI_ERR_GENERIC;
    m_port = nullptr;
    m_target.clear();
    m_live->queue.Clear();
    m_live->done.store(m_live->queued.load());
    m_live->lost.store(false);

    jack_port_t* port = jack_port_register(client, m_portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (port == nullptr) return MIDI_ERR_NOMEM;
    const std::size_t bufferSize = jack_port_type_get_buffer_size(client, JACK_DEFAULT_MIDI_TYPE);
    std::size_t span = JACK_SPAN;
    if (bufferSize > 0) span = std::min(span, std::max<std::size_t>(bufferSize / 2, 16));
    m_span = span;
    m_port = port;
    m_portEpoch = epoch;
    m_live->livePort.store(port);
    m_live->liveEpoch.store(epoch, std::memory_order_release);
    return MIDI_OK;
}

// A graph change that the server did not carry out within CONNECT_LIMIT: it went away, or it is
// there but stalled (the change failed; nothing says the device or the server has gone).
MidiResult JackMidiOutApi::Unanswered() const {
    return m_jack.Alive(m_portEpoch) ? MIDI_ERR_GENERIC : MIDI_ERR_NODRIVER;
}

// Moves our connection to `target`: what is queued goes out to the old device first, then the old
// connection goes, and the new one is made and waited for until the server's cycles run it.
MidiResult JackMidiOutApi::Connect(jack_client_t* client, const std::string& target) {
    const bool wasWritable = m_live->writable.load();
    if (wasWritable) Flush();
    // Stop writing, and let the cycle that may still be writing end (no further cycle needs to
    // come for that, so a stalled server does not hold this up).
    m_live->writable.store(false);
    if (!m_jack.WaitForProcess()) {
        // A cycle holds on inside the hooks, perhaps inside the queue: it is not emptied under
        // that cycle. Nothing has changed; what is queued still goes to the old device once the
        // cycles run on, and the next Open tries again.
        m_live->writable.store(wasWritable);
        return MIDI_ERR_GENERIC;
    }
    // Whatever did not go out in time (a stalled or vanished device) is dropped rather than sent
    // elsewhere.
    m_live->queue.Clear();
    m_live->done.store(m_live->queued.load());
    m_live->lost.store(false);
    m_target.clear();

    if (jack_port_connected(m_port) > 0) {
        jack_port_disconnect(client, m_port);
        if (!WaitUntil([&] { return jack_port_connected(m_port) == 0 || !m_jack.Alive(m_portEpoch); }, CONNECT_LIMIT)) {
            return Unanswered();
        }
    }
    const int connected = jack_connect(client, jack_port_name(m_port), target.c_str());
    if (connected != 0 && connected != EEXIST) return MIDI_ERR_BADDEVICEID;
    // The server takes a new connection into the graph at the start of a cycle some time after
    // jack_connect has returned (later on a busy server); what a cycle writes before that goes
    // nowhere. Once the graph that the clients read shows it, the cycles run with it.
    const bool linked = WaitUntil(
        [&] {
            return !m_jack.Alive(m_portEpoch) ||
                   (jack_port_connected(m_port) == 1 && jack_port_connected_to(m_port, target.c_str()) != 0);
        },
        CONNECT_LIMIT);
    if (!linked || !m_jack.Alive(m_portEpoch)) return Unanswered();
    m_target = target;
    m_live->writable.store(true);
    return MIDI_OK;
}

MidiResult JackMidiOutApi::Resolve(std::uint32_t index, const std::string*& target) {
    if (index == NO_DEVICE) return MIDI_ERR_BADDEVICEID;  // there is no device mapper
    // The index means a port of the caller's listing, opened by its name; never the port that
    // stands at that place of a newer listing.
    if (m_ports.empty() && m_shown.empty()) RefreshNames(m_jack.Acquire());
    if (const auto shown = m_shown.find(index); shown != m_shown.end()) {
        target = &shown->second;
    } else if (index < m_ports.size()) {
        target = &m_ports[index];
    } else {
        return MIDI_ERR_BADDEVICEID;
    }
    return MIDI_OK;
}

MidiResult JackMidiOutApi::Open(MidiOutHandle* handle, std::uint32_t index) {
    if (handle == nullptr) return MIDI_ERR_GENERIC;
    *handle = nullptr;

    std::lock_guard lock(m_lock);
    m_live->abandoned.store(false);
    try {
        const std::string* chosen = nullptr;
        if (const MidiResult r = Resolve(index, chosen); r != MIDI_OK) return r;
        // The device that stays selected: no request to the server, no allocation, no graph change.
        const bool same = m_port != nullptr && !m_target.empty() && *chosen == m_target && !m_live->lost.load() &&
                          m_jack.Alive(m_portEpoch);
        if (!same) {
            const std::string target = *chosen;
            std::uint64_t epoch = 0;
            jack_client_t* client = m_jack.Acquire(&epoch);
            if (client == nullptr) return MIDI_ERR_NODRIVER;
            if (const MidiResult r = MakePort(client, epoch); r != MIDI_OK) return r;
            if (!IsDevicePort(client, target, JackPortIsInput)) return MIDI_ERR_BADDEVICEID;  // gone since
            if (target != m_target || m_live->lost.load()) {
                if (const MidiResult r = Connect(client, target); r != MIDI_OK) return r;
            }
        }
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
    ++m_openCount;
    *handle = m_handle;
    return MIDI_OK;
}

MidiResult JackMidiOutApi::PrepareHeader(MidiOutHandle handle, MidiHeader* header) {
    std::lock_guard lock(m_lock);
    if (!Valid(handle)) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags |= MIDI_HDR_PREPARED;
    return MIDI_OK;
}

MidiResult JackMidiOutApi::LongMsg(MidiOutHandle handle, MidiHeader* header) {
    std::lock_guard lock(m_lock);
    m_lastMessage = 0;  // until this message is queued whole
    if (!Valid(handle)) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) return MIDI_ERR_GENERIC;
    if ((header->dwFlags & MIDI_HDR_PREPARED) == 0) return MIDI_ERR_UNPREPARED;
    header->dwFlags &= ~static_cast<Flags>(MIDI_HDR_DONE);

    Live& live = *m_live;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header->lpData);
    const std::size_t length = header->dwBufferLength;
    const std::size_t span = m_span;
    // The message's number, which its last span carries as its tag; 0 is skipped when it wraps.
    const std::uint32_t number = m_messages + 1 != 0 ? m_messages + 1 : 1;
    MidiResult result = MIDI_OK;
    auto usable = [&] {
        return live.writable.load() && !live.lost.load() && !live.abandoned.load() && m_jack.Alive(m_portEpoch);
    };
    // Why the message stops. Abandoned: the send failed. The server went away, or the device's
    // port did: the device has gone. None of these, after STALL_LIMIT without room: the server
    // stalled (it runs no cycles, or too few to take the queue); the send failed, but nothing says
    // that the device has gone, and the next send may go out.
    auto stopped = [&] {
        if (live.abandoned.load()) return MIDI_ERR_GENERIC;
        if (!m_jack.Alive(m_portEpoch)) return MIDI_ERR_NODRIVER;
        if (live.lost.load()) return MIDI_ERR_NODEVICE;
        return MIDI_ERR_GENERIC;
    };
    for (std::size_t offset = 0; offset < length && result == MIDI_OK;) {
        const auto n = static_cast<std::uint32_t>(std::min(span, length - offset));
        const std::size_t room = EventRing::RecordSize(n);
        if (room > live.queue.Capacity()) {
            result = MIDI_ERR_NOMEM;  // no queue was made
        } else if (!usable()) {
            result = stopped();
        } else if (!WaitUntil([&] { return live.queue.WriteSpace() >= room || !usable(); }, STALL_LIMIT) ||
                   !usable()) {
            result = stopped();  // nothing goes out: stalled, gone or abandoned
        } else {
            const bool ends = offset + n == length;
            live.queue.Push(bytes + offset, n, ends ? number : 0);
            live.queued.fetch_add(1, std::memory_order_release);
            offset += n;
        }
    }
    if (result == MIDI_OK) {
        m_messages = number;
        m_lastMessage = number;
    }
    // Every byte that will go has been copied: the buffer is the caller's again. A message cut
    // short by a failure ends without its 0xF7, so a receiver drops it.
    header->dwFlags |= MIDI_HDR_DONE;
    return result;
}

MidiResult JackMidiOutApi::Reset(MidiOutHandle handle) {
    // LongMsg returns every buffer done: none is ever pending.
    std::lock_guard lock(m_lock);
    return Valid(handle) ? MIDI_OK : MIDI_ERR_INVALHANDLE;
}

MidiResult JackMidiOutApi::UnprepareHeader(MidiOutHandle handle, MidiHeader* header) {
    std::lock_guard lock(m_lock);
    if (!Valid(handle)) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags &= ~static_cast<Flags>(MIDI_HDR_PREPARED);
    return MIDI_OK;
}

MidiResult JackMidiOutApi::Close(MidiOutHandle handle) {
    std::lock_guard lock(m_lock);
    if (!Valid(handle)) return MIDI_ERR_INVALHANDLE;
    --m_openCount;  // the connection stays for the next message to the same device
    return MIDI_OK;
}

bool JackMidiOutApi::HandedOverAt(MidiOutHandle handle, std::chrono::steady_clock::time_point* at) {
    std::lock_guard lock(m_lock);
    if (!Valid(handle) || at == nullptr || m_lastMessage == 0) return false;
    const Live& live = *m_live;
    const std::uint32_t number = m_lastMessage;
    auto handed = [&] { return live.handedOver.load(std::memory_order_acquire) == number; };
    // A message that an abandon dropped, or that can't reach its device, never goes out.
    const bool out = WaitUntil(
        [&] { return handed() || live.abandoned.load() || live.lost.load() || !m_jack.Alive(m_portEpoch); },
        STALL_LIMIT);
    if (!out || !handed()) return false;
    *at = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(live.handedOverAt.load(std::memory_order_relaxed)));
    return true;
}

bool JackMidiOutApi::Flush(std::chrono::milliseconds limit) const { return m_live->Flush(limit); }

std::uint64_t JackMidiOutApi::EventsWritten() const { return m_live->eventsWritten.load(std::memory_order_relaxed); }

// Any thread, while the sender may wait in LongMsg with m_lock held: only flags.
MidiResult JackMidiOutApi::Abandon(MidiOutHandle handle) {
    if (handle != m_handle) return MIDI_ERR_INVALHANDLE;
    m_live->abandoned.store(true);
    return MIDI_OK;
}

bool JackMidiOutApi::DeviceGone(MidiOutHandle handle) {
    return handle == m_handle &&
           (m_live->lost.load() || !m_jack.Alive(m_live->liveEpoch.load(std::memory_order_acquire)));
}

MidiResult JackMidiOutApi::Watch(MidiOutWatch* watch, std::uint32_t index) {
    if (watch == nullptr) return MIDI_ERR_GENERIC;
    *watch = nullptr;
    try {
        auto record = std::make_unique<DeviceWatch>();
        {
            std::lock_guard lock(m_lock);
            const std::string* target = nullptr;
            if (const MidiResult r = Resolve(index, target); r != MIDI_OK) return r;
            record->target = *target;
        }
        jack_client_t* client = m_jack.Acquire(&record->epoch);
        if (client == nullptr) return MIDI_ERR_NODRIVER;
        // Counted before the look: a port that leaves after it is noticed.
        record->portsGoneSeen = m_jack.PortsGone();
        if (!IsDevicePort(client, record->target, JackPortIsInput)) return MIDI_ERR_BADDEVICEID;
        record->port = m_jack.FindPort(record->epoch, record->target);
        std::lock_guard lock(m_watchLock);
        DeviceWatch* key = record.get();
        m_watches.emplace(key, std::move(record));
        *watch = reinterpret_cast<MidiOutWatch>(key);
        return MIDI_OK;
    } catch (...) {
        return MIDI_ERR_NOMEM;
    }
}

bool JackMidiOutApi::WatchedDeviceGone(MidiOutWatch watch) {
    std::lock_guard lock(m_watchLock);
    const auto it = m_watches.find(reinterpret_cast<DeviceWatch*>(watch));
    if (it == m_watches.end()) return false;
    DeviceWatch& w = *it->second;
    if (w.gone) return true;
    if (!m_jack.Alive(w.epoch)) {
        w.gone = true;
    } else if (m_jack.PortsGone() != w.portsGoneSeen) {
        try {
            w.gone = m_jack.PortLeft(w.epoch, w.portsGoneSeen, w.port, w.target);
        } catch (...) {
            // Looked at again when the next port leaves.
        }
    }
    return w.gone;
}

void JackMidiOutApi::Unwatch(MidiOutWatch watch) {
    std::lock_guard lock(m_watchLock);
    m_watches.erase(reinterpret_cast<DeviceWatch*>(watch));
}

std::string JackMidiOutApi::ConnectedTarget() {
    std::lock_guard lock(m_lock);
    return m_target;
}

}  // namespace platform
