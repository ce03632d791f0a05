// Wire format of a long SysEx message.
//
// RtMidi's own JACK output copies every message into a ring buffer of 16383 bytes (4 of them for
// the message's length) that its process callback empties once per JACK cycle, and it drops without
// a word a message that does not fit. The ALSA sequencer refuses events above its pool size and
// overruns a hardware port that is fed faster than its cable. So a message longer than one span
// (JACK_SPAN = 8192 bytes on JACK, ALSA_SPAN = 256 bytes on ALSA) is written as consecutive
// events: event k carries bytes [k * SPAN, min((k + 1) * SPAN, n)) of the message unchanged. The
// first event starts with 0xF0 and has no 0xF7; the following ones start with a data byte; only
// the last one ends with 0xF7. Nothing is added or removed, so a receiver that appends events
// until one ends with 0xF7 has the message back. Examples on JACK: 10551 bytes go as 8192 + 2359,
// 18742 bytes as 8192 + 8192 + 2358; 8192 bytes or fewer go as one event.
//
// On JACK the spans are not written through RtMidi: its output ring buffer drops longer messages,
// and its port can be closed while the last bytes are still in that buffer. A JACK device is
// opened with a JACK client of our own (JackOut below) whose process callback writes queued spans
// into the port buffer as far as they fit and keeps the rest for the next cycle; LongMsg returns
// once every span has been written out and the cycle that wrote the last one (and the one after
// it) has ended for every client, so the receiver has read it before the port may go away; it writes only in cycles whose
// graph already has the connection. RtMidi's JACK input joins such events into one message by
// itself. On the ALSA sequencer RtMidi only lists; alsa::SeqOutput (AlsaSeqOut.h) connects and
// writes the spans, at once to an application's port, at the cable's pace to hardware.
#include "RtMidiOut.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "RtMidiSupport.h"

#if defined(__linux__)
#include <jack/jack.h>
#include <jack/midiport.h>
#define TARNET_RAW_JACK 1
#include "AlsaSeqOut.h"
#endif

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
        const RtMidi::Api api = midi.getCurrentApi();
#if defined(__linux__)
        if (api == RtMidi::LINUX_ALSA) {
            // Listed by address in one pass; SeqOutput opens by that address.
            for (const alsa::SeqPortEntry& port : alsa::ListPorts(true)) {
                if (rtmidi::IsOwnPort(port.fullName)) continue;
                list.portNumbers.push_back(0);
                list.fullNames.push_back(port.fullName);
                list.names.push_back(rtmidi::DeviceName(api, port.fullName));
            }
            return list;
        }
#endif
        const unsigned int count = midi.getPortCount();
        for (unsigned int i = 0; i < count; ++i) {
            const std::string full = midi.getPortName(i);
            if (full.empty() || rtmidi::IsOwnPort(full)) continue;
            list.portNumbers.push_back(i);
            list.fullNames.push_back(full);
            list.names.push_back(rtmidi::DeviceName(api, full));
        }
    } catch (...) {
        // Whatever was listed before the failure stands.
    }
    return list;
}


#if TARNET_RAW_JACK
// Byte queue from the sending thread (the one writer) to JACK's process thread (the one reader).
// The positions are atomics, so the bytes a writer publishes are visible to the reader that sees
// the new position (libjack's own ring buffer syncs with plain fields and barriers instead).
class SpanQueue {
public:
    static constexpr std::size_t SIZE = 32768;

    std::size_t WriteSpace() const {
        return SIZE - (m_written.load(std::memory_order_relaxed) - m_read.load(std::memory_order_acquire));
    }
    std::size_t ReadSpace() const {
        return m_written.load(std::memory_order_acquire) - m_read.load(std::memory_order_relaxed);
    }
    // Writer only; the caller has checked WriteSpace.
    void Write(const void* data, std::size_t n) {
        const std::size_t at = m_written.load(std::memory_order_relaxed);
        Copy(at, static_cast<const std::uint8_t*>(data), n);
        m_written.store(at + n, std::memory_order_release);
    }
    // Reader only; the caller has checked ReadSpace.
    void Peek(void* data, std::size_t n) const {
        const std::size_t start = m_read.load(std::memory_order_relaxed) % SIZE;
        const std::size_t first = std::min(n, SIZE - start);
        auto* out = static_cast<std::uint8_t*>(data);
        std::memcpy(out, m_bytes + start, first);
        std::memcpy(out + first, m_bytes, n - first);
    }
    void Read(void* data, std::size_t n) {
        Peek(data, n);
        m_read.store(m_read.load(std::memory_order_relaxed) + n, std::memory_order_release);
    }
    void Skip(std::size_t n) { m_read.store(m_read.load(std::memory_order_relaxed) + n, std::memory_order_release); }

private:
    void Copy(std::size_t at, const std::uint8_t* data, std::size_t n) {
        const std::size_t start = at % SIZE;
        const std::size_t first = std::min(n, SIZE - start);
        std::memcpy(m_bytes + start, data, first);
        std::memcpy(m_bytes, data + first, n - first);
    }

    std::uint8_t m_bytes[SIZE];
    std::atomic<std::size_t> m_written{0};  // total bytes ever written
    std::atomic<std::size_t> m_read{0};     // total bytes ever read
};

// One JACK client with one MIDI output port connected to the device.
//
// Threads: Open, Send and the destructor run on the sending thread; Process on JACK's process
// thread; OnShutdown on a JACK thread. They share the span queue and the atomics below, nothing
// else.
class JackOut {
public:
    // Span size for this server: at most JACK_SPAN, and small enough for an empty port buffer.
    std::size_t span = RtMidiOutApi::JACK_SPAN;

    ~JackOut() {
        if (m_client != nullptr) {
            jack_deactivate(m_client);
            jack_client_close(m_client);
        }
    }

    // Opens our client and connects it to the device at `index` of the output list (the JACK
    // MIDI input ports of other programs, in the server's order, as RtMidi lists them). The list
    // is taken through this client, so one send costs one client rather than three.
    MidiResult Open(std::uint32_t index) {
        jack_status_t status{};
        m_client = jack_client_open(rtmidi::CLIENT_NAME, JackNoStartServer, &status);
        if (m_client == nullptr) return MIDI_ERR_NODRIVER;
        const std::string target = TargetAt(index);
        if (target.empty()) return MIDI_ERR_BADDEVICEID;
        m_port = jack_port_register(m_client, OUR_PORT_NAME, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (m_port == nullptr) return MIDI_ERR_NOMEM;
        const std::size_t bufferSize = jack_port_type_get_buffer_size(m_client, JACK_DEFAULT_MIDI_TYPE);
        if (bufferSize > 0) span = std::min(span, std::max<std::size_t>(bufferSize / 2, 16));
        jack_on_shutdown(m_client, &JackOut::OnShutdown, this);
        if (jack_set_process_callback(m_client, &JackOut::Process, this) != 0) return MIDI_ERR_GENERIC;
        if (jack_activate(m_client) != 0) return MIDI_ERR_NODRIVER;
        const int connected = jack_connect(m_client, jack_port_name(m_port), target.c_str());
        if (connected != 0 && connected != EEXIST) return MIDI_ERR_BADDEVICEID;
        // The server takes a new connection into the graph that its cycles run some time after
        // jack_connect has returned (longer on a busy server); what a cycle writes before that
        // goes nowhere. Process writes only once its cycle sees the connection.
        if (!WaitUntil([&] { return m_linked.load(std::memory_order_acquire); }, CONNECT_LIMIT)) {
            return MIDI_ERR_NODRIVER;
        }
        return MIDI_OK;
    }

    // Queues the message as spans and returns once the last one has reached the receivers.
    MidiResult Send(const std::uint8_t* bytes, std::size_t length) {
        for (std::size_t offset = 0; offset < length;) {
            const std::uint32_t n = static_cast<std::uint32_t>(std::min(span, length - offset));
            const bool room = WaitUntil([&] { return m_queue.WriteSpace() >= sizeof n + n; });
            if (!room) return MIDI_ERR_NODRIVER;
            m_queue.Write(&n, sizeof n);
            m_queue.Write(bytes + offset, n);
            m_queued.fetch_add(1, std::memory_order_release);
            offset += n;
        }
        const std::uint64_t queued = m_queued.load(std::memory_order_relaxed);
        if (!WaitUntil([&] { return m_written.load(std::memory_order_acquire) >= queued; })) {
            return MIDI_ERR_NODRIVER;
        }
        // The receivers read the last span in the cycle that wrote it, or in the next one when
        // the server runs late; once our second cycle after it has begun, both are over.
        const std::uint64_t lastCycle = m_lastWriteCycle.load(std::memory_order_acquire);
        if (!WaitUntil([&] { return m_cycles.load(std::memory_order_acquire) > lastCycle + 1; })) {
            return MIDI_ERR_NODRIVER;
        }
        return MIDI_OK;
    }

private:
    static constexpr std::chrono::milliseconds CONNECT_LIMIT{5000};

    // Full name of the port at `index` of the output list; empty when there is none.
    std::string TargetAt(std::uint32_t index) {
        const char** ports = jack_get_ports(m_client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
        if (ports == nullptr) return {};
        std::string found;
        std::uint32_t listed = 0;
        for (const char** p = ports; *p != nullptr; ++p) {
            if (rtmidi::IsOwnPort(*p)) continue;
            if (listed++ == index) {
                found = *p;
                break;
            }
        }
        jack_free(ports);
        return found;
    }

    template <typename Condition>
    bool WaitUntil(Condition condition, std::chrono::milliseconds limit = RtMidiOutApi::STALL_LIMIT) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (m_shutdown.load(std::memory_order_acquire)) return false;
            if (std::chrono::steady_clock::now() >= deadline) return condition();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return true;
    }

    // Runs on JACK's process thread: no locks, no allocation.
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackOut*>(arg);
        const std::uint64_t cycle = self->m_cycles.load(std::memory_order_relaxed) + 1;
        void* buffer = jack_port_get_buffer(self->m_port, frames);
        jack_midi_clear_buffer(buffer);
        if (jack_port_connected(self->m_port) <= 0) {
            self->m_cycles.store(cycle, std::memory_order_release);
            return 0;  // keep everything until this cycle's graph has the connection
        }
        self->m_linked.store(true, std::memory_order_release);
        std::uint32_t n = 0;
        std::uint64_t written = 0;
        SpanQueue& queue = self->m_queue;
        while (queue.ReadSpace() >= sizeof n) {
            queue.Peek(&n, sizeof n);
            if (queue.ReadSpace() < sizeof n + n) break;  // the writer is still at it
            jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, n);
            if (data == nullptr) break;  // the port buffer is full: the rest goes next cycle
            queue.Skip(sizeof n);
            queue.Read(data, n);
            ++written;
        }
        if (written > 0) {
            self->m_lastWriteCycle.store(cycle, std::memory_order_relaxed);
            self->m_written.fetch_add(written, std::memory_order_release);
        }
        self->m_cycles.store(cycle, std::memory_order_release);
        return 0;
    }

    static void OnShutdown(void* arg) {
        static_cast<JackOut*>(arg)->m_shutdown.store(true, std::memory_order_release);
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    SpanQueue m_queue;
    std::atomic<std::uint64_t> m_queued{0};          // spans written into the ring
    std::atomic<std::uint64_t> m_written{0};         // spans written into the port buffer
    std::atomic<std::uint64_t> m_cycles{0};          // process cycles begun
    std::atomic<std::uint64_t> m_lastWriteCycle{0};  // cycle that wrote the latest span
    std::atomic<bool> m_shutdown{false};             // the server has gone
    std::atomic<bool> m_linked{false};               // a cycle has seen the connection
};
#endif

}  // namespace

struct RtMidiOutApi::Port {
    std::unique_ptr<RtMidiOut> midi;  // ALSA and CoreMIDI
#if TARNET_RAW_JACK
    std::unique_ptr<JackOut> jack;  // JACK
    std::unique_ptr<alsa::SeqOutput> seq;  // ALSA sequencer: paced by the destination's kind
#endif
    RtMidi::Api api = RtMidi::UNSPECIFIED;
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
        if (length <= ALSA_SPAN) return Write(bytes, length) ? MIDI_OK : MIDI_ERR_GENERIC;
        auto next = std::chrono::steady_clock::now();
        for (std::size_t offset = 0; offset < length;) {
            const std::size_t span = std::min(ALSA_SPAN, length - offset);
            std::this_thread::sleep_until(next);
            if (!Write(bytes + offset, span)) return MIDI_ERR_GENERIC;
            next += ALSA_BYTE_TIME * span;
            offset += span;
        }
        return MIDI_OK;
    }
};

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
    m_names.clear();
    if (auto midi = rtmidi::CreateOut()) m_names = ListDevices(*midi).names;
    m_namesTime = std::chrono::steady_clock::now();
}

std::uint32_t RtMidiOutApi::GetNumDevs() {
    std::lock_guard lock(m_lock);
    RefreshNames();
    return static_cast<std::uint32_t>(m_names.size());
}

MidiResult RtMidiOutApi::GetDevCaps(std::uint32_t index, MidiDevCaps& caps) {
    std::lock_guard lock(m_lock);
    // A scan asks for the count and then for each name; the names of that count's enumeration
    // serve it instead of a new MIDI client per name.
    if (std::chrono::steady_clock::now() - m_namesTime > std::chrono::seconds(2) || index >= m_names.size()) {
        RefreshNames();
    }
    if (index >= m_names.size()) return MIDI_ERR_BADDEVICEID;
    const std::string& name = m_names[index];
    std::memset(caps.szPname, 0, sizeof caps.szPname);
    std::memcpy(caps.szPname, name.data(), std::min(name.size(), MAX_PNAME_LEN - 1));
    return MIDI_OK;
}

MidiResult RtMidiOutApi::Open(MidiOutHandle* handle, std::uint32_t index) {
    if (handle == nullptr) return MIDI_ERR_GENERIC;
    *handle = nullptr;
    if (index == NO_DEVICE) return MIDI_ERR_BADDEVICEID;  // there is no device mapper

    auto port = std::make_unique<Port>();
    try {
#if TARNET_RAW_JACK
        if (!rtmidi::AlsaSequencerUsable()) {
            port->api = RtMidi::UNIX_JACK;
            port->jack = std::make_unique<JackOut>();
            if (const MidiResult r = port->jack->Open(index); r != MIDI_OK) return r;
        } else
#endif
        {
            port->midi = rtmidi::CreateOut();
            if (port->midi == nullptr) return MIDI_ERR_NODRIVER;
            port->midi->setErrorCallback(&Port::OnError, port.get());
            port->api = port->midi->getCurrentApi();
            const DeviceList list = ListDevices(*port->midi);
            if (index >= list.portNumbers.size()) return MIDI_ERR_BADDEVICEID;
            const unsigned int number = list.portNumbers[index];
#if TARNET_RAW_JACK
            if (port->api == RtMidi::LINUX_ALSA) {
                const auto address = alsa::ParseRtMidiPortAddress(list.fullNames[index]);
                if (!address) return MIDI_ERR_BADDEVICEID;
                port->midi.reset();
                port->seq = std::make_unique<alsa::SeqOutput>();
                if (const MidiResult r = port->seq->Open(*address); r != MIDI_OK) return r;
            } else
#endif
            {
            // The system's list may have changed since ours was taken.
            if (port->midi->getPortName(number) != list.fullNames[index]) return MIDI_ERR_BADDEVICEID;
            port->failed = false;
            port->midi->openPort(number, OUR_PORT_NAME);
            if (port->failed || !port->midi->isPortOpen()) return MIDI_ERR_ALLOCATED;
            }
        }
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
    header->dwFlags |= MHDR_PREPARED;
    return MIDI_OK;
}

MidiResult RtMidiOutApi::LongMsg(MidiOutHandle handle, MidiHeader* header) {
    Port* port = Find(handle);
    if (port == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) return MIDI_ERR_GENERIC;
    if ((header->dwFlags & MHDR_PREPARED) == 0) return MIDI_ERR_UNPREPARED;
    header->dwFlags &= ~static_cast<Flags>(MHDR_DONE);

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header->lpData);
    const std::size_t length = header->dwBufferLength;
#if TARNET_RAW_JACK
    const MidiResult result = port->jack  ? port->jack->Send(bytes, length)
                              : port->seq ? port->seq->Send(bytes, length)
                                          : port->SendPaced(bytes, length);
#else
    const MidiResult result = port->SendPaced(bytes, length);
#endif
    // RtMidi has copied or written out every byte it took: the buffer is the caller's again.
    header->dwFlags |= MHDR_DONE;
    return result;
}

MidiResult RtMidiOutApi::Reset(MidiOutHandle handle) {
    // Sending is synchronous: no buffer is ever pending.
    return Find(handle) != nullptr ? MIDI_OK : MIDI_ERR_INVALHANDLE;
}

MidiResult RtMidiOutApi::UnprepareHeader(MidiOutHandle handle, MidiHeader* header) {
    if (Find(handle) == nullptr) return MIDI_ERR_INVALHANDLE;
    if (header == nullptr) return MIDI_ERR_GENERIC;
    header->dwFlags &= ~static_cast<Flags>(MHDR_PREPARED);
    return MIDI_OK;
}

MidiResult RtMidiOutApi::Close(MidiOutHandle handle) {
    Port* port = nullptr;
    {
        std::lock_guard lock(m_lock);
        port = reinterpret_cast<Port*>(handle);
        if (m_ports.erase(port) == 0) return MIDI_ERR_INVALHANDLE;
    }
    std::unique_ptr<Port> owned(port);  // a JACK client closes with it
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

#if !defined(_WIN32)
IMidiOutApi& DefaultMidiOutApi() {
    static RtMidiOutApi api;
    return api;
}
#endif

}  // namespace platform
