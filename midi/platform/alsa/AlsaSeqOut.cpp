#include "AlsaSeqOut.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include "AlsaSeqClient.h"

namespace platform::alsa {

namespace {
constexpr const char* OUR_PORT_NAME = "MIDI Out";
// How long to wait before looking at a full input queue again: a receiver's queue drains in well
// under a millisecond once its thread runs.
constexpr std::chrono::microseconds ROOM_PAUSE{250};
// The clients whose input queues take what is written to `destination`: the destination's own
// client, and the clients reading from the destination port (a software through port such as
// "Midi Through" hands every event on to them at once). Kernel clients among them have no queue
// and are skipped when asked.
// `withPort` adds the destination's own client. For a port of our own, the clients reading it.
std::vector<int> ReceivingClients(SeqAddress destination, bool withPort) {
    return SeqClient::Instance().With([destination, withPort](snd_seq_t* seq) {
        std::vector<int> clients;
        if (withPort) clients.push_back(destination.client);
        snd_seq_query_subscribe_t* query = nullptr;
        if (seq == nullptr || snd_seq_query_subscribe_malloc(&query) != 0) return clients;
        snd_seq_addr_t root{static_cast<unsigned char>(destination.client), static_cast<unsigned char>(destination.port)};
        snd_seq_query_subscribe_set_root(query, &root);
        snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
        for (int index = 0; index < 64; ++index) {
            snd_seq_query_subscribe_set_index(query, index);
            if (snd_seq_query_port_subscribers(seq, query) < 0) break;
            clients.push_back(snd_seq_query_subscribe_get_addr(query)->client);
        }
        snd_seq_query_subscribe_free(query);
        return clients;
    });
}

}  // namespace

SeqOutput::~SeqOutput() {
    if (m_watching) SeqClient::Instance().Unwatch(&m_watch);
    // Deleting the port removes its connection; events already delivered stay with the receiver.
    SeqClient::Instance().DeletePort(m_port);
}

void SeqOutput::Abandon() {
    m_abandoned.store(true);
    if (m_raw) m_raw->Abandon();
}

MidiResult SeqOutput::Stopped() const {
    if (m_abandoned.load()) return MIDI_ERR_GENERIC;
    if (m_watch.gone.load()) return MIDI_ERR_NODEVICE;
    return MIDI_OK;
}

MidiResult SeqOutput::Failed() {
    // The watch's flag is also set here, so that DeviceGone agrees with the result at once.
    if (Stopped() == MIDI_OK && m_destination && !QueryPortKind(*m_destination, nullptr)) m_watch.gone.store(true);
    const MidiResult stopped = Stopped();
    return stopped != MIDI_OK ? stopped : MIDI_ERR_GENERIC;
}

MidiResult SeqOutput::Open(SeqAddress destination) {
    if (m_port >= 0 || m_raw) return MIDI_ERR_ALLOCATED;
    SeqClient& client = SeqClient::Instance();
    if (!client.Ready()) return MIDI_ERR_NODRIVER;
    std::string portName;
    const std::optional<SeqPortKind> kind = QueryPortKind(destination, &portName);
    if (!kind) return MIDI_ERR_BADDEVICEID;
    m_destination = destination;
    // The destination is watched while it is open: a send to a port that has left would go
    // nowhere without an error.
    m_watching = client.Watch(destination, &m_watch);
    if (const std::optional<RawMidiAddress> raw = RawMidiBehind(*kind, destination.port)) {
        auto direct = std::make_unique<RawMidiOutput>();
        if (direct->Open(*raw, portName) == MIDI_OK) {
            m_raw = std::move(direct);
            return MIDI_OK;
        }
        // Busy (another program, or the sequencer for a reader of the port): the paced way.
    }
    m_cablePaced = NeedsCablePacing(*kind);
    m_port = client.CreatePort(OUR_PORT_NAME, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (m_port < 0) return MIDI_ERR_NOMEM;
    if (!client.ConnectTo(m_port, destination)) return MIDI_ERR_BADDEVICEID;
    if (!m_cablePaced) m_receivers = ReceivingClients(destination, true);
    return MIDI_OK;
}

MidiResult SeqOutput::OpenSource(const char* portName) {
    if (m_port >= 0) return MIDI_ERR_ALLOCATED;
    SeqClient& client = SeqClient::Instance();
    if (!client.Ready()) return MIDI_ERR_NODRIVER;
    m_port = client.CreatePort(portName, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (m_port < 0) return MIDI_ERR_NOMEM;
    m_source = true;
    return MIDI_OK;
}

namespace {

snd_seq_event_t SysExEvent(int port, const std::uint8_t* bytes, std::size_t length) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_source(&ev, port);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned int>(length), const_cast<std::uint8_t*>(bytes));
    return ev;
}

}  // namespace

bool SeqOutput::WaitForRoom(int cells) {
    // Room for the event and one more of another sender's, so the event is never refused. The
    // kernel's account is asked only when what it showed last is used up (each question is a
    // system call, which counts when 20 programs send at once), so `m_credit` is the room left
    // of the last answer less one event of another sender's.
    const int margin = CellsForSysEx(SPAN);
    const int fd = SeqClient::Instance().Fd();
    std::optional<std::chrono::steady_clock::time_point> deadline;  // set at the first wait
    while (m_credit < cells) {
        if (Stopped() != MIDI_OK) return false;
        int credit = std::numeric_limits<int>::max();  // kernel clients only: no queue to fill
        for (std::size_t i = 0; fd >= 0 && i < m_receivers.size(); ++i) {
            const std::optional<InputRoom> room = QueryInputRoom(fd, m_receivers[i]);
            if (!room) {
                // A receiver that has left frees its room at once, before the sequencer's
                // announcement of it is read: when it was the device, what follows would go
                // nowhere and the send would seem to succeed.
                if (m_destination && !QueryPortKind(*m_destination, nullptr)) {
                    m_watch.gone.store(true);
                    return false;
                }
                continue;
            }
            // A queue that can never hold the event would stall the send: fail now instead.
            if (room->size < cells + margin) return false;
            credit = std::min(credit, room->free - margin);
        }
        m_credit = credit;
        if (m_credit >= cells) break;
        const auto now = std::chrono::steady_clock::now();
        if (!deadline) deadline = now + STALL_LIMIT;
        if (now >= *deadline) return false;
        std::this_thread::sleep_for(ROOM_PAUSE);
    }
    m_credit -= cells;
    return true;
}

MidiResult SeqOutput::Send(const std::uint8_t* bytes, std::size_t length) {
    if (const MidiResult stopped = Stopped(); stopped != MIDI_OK) return stopped;
    if (m_raw) {
        m_lastHandOver = std::chrono::steady_clock::now();
        const MidiResult result = m_raw->Send(bytes, length);
        return result != MIDI_OK ? Failed() : result;
    }
    if (m_port < 0) return MIDI_ERR_INVALHANDLE;
    // Who reads a port of our own changes while it is open: asked for each message.
    if (m_source) m_receivers = ReceivingClients(SeqAddress{SeqClient::Instance().Id(), m_port}, false);
    m_credit = 0;  // the receivers' room is asked afresh for each message
    SeqClient& client = SeqClient::Instance();
    // A refusal by the sequencer means the receiver has lost the event and what it had queued:
    // the message can't be completed.
    if (!m_cablePaced) {
        // The events that the receivers' room takes go out together, in one request.
        std::vector<snd_seq_event_t> batch;
        batch.reserve(length / SPAN + 1);
        for (std::size_t offset = 0; offset < length;) {
            const std::size_t span = std::min(SPAN, length - offset);
            const int cells = CellsForSysEx(span);
            if (m_credit < cells) {
                if (client.WriteAll(batch.data(), batch.size()) < 0) return Failed();
                batch.clear();
                if (!WaitForRoom(cells)) return Failed();
            } else {
                m_credit -= cells;
            }
            batch.push_back(SysExEvent(m_port, bytes + offset, span));
            offset += span;
        }
        // The last event goes with this batch: the receiver can't have the message before it.
        m_lastHandOver = std::chrono::steady_clock::now();
        if (client.WriteAll(batch.data(), batch.size()) < 0) return Failed();
        return Stopped();
    }
    auto next = std::chrono::steady_clock::now();
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t span = std::min(SPAN, length - offset);
        std::this_thread::sleep_until(next);
        if (const MidiResult stopped = Stopped(); stopped != MIDI_OK) return stopped;
        snd_seq_event_t ev = SysExEvent(m_port, bytes + offset, span);
        if (!WaitForRoom(CellsForSysEx(span))) return Failed();
        m_lastHandOver = std::chrono::steady_clock::now();
        if (client.Write(ev) < 0) return Failed();
        next += CABLE_BYTE_TIME * span;
        offset += span;
    }
    // The last span is the driver's now; it has left once its wire time is over.
    std::this_thread::sleep_until(next);
    return Stopped();
}

}  // namespace platform::alsa
