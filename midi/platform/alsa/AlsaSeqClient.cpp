#include "AlsaSeqClient.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/DeviceNaming.h"

namespace platform::alsa {

namespace {

void SilentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}

// One event's bytes as the reader took them out of the client, for the sink of `port`.
struct Arrived {
    int port = -1;
    std::vector<std::uint8_t> bytes;
};

// A port that has left the sequencer, as announced; port -1: the whole client.
struct Departed {
    int client = -1;
    int port = -1;
};

bool Covers(const Departed& d, SeqAddress watched) {
    return d.client == watched.client && (d.port < 0 || d.port == watched.port);
}

}  // namespace

bool SequencerUsable() {
    const int fd = ::open("/dev/snd/seq", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

SeqClient& SeqClient::Instance() {
    static SeqClient* const instance = new SeqClient();
    return *instance;
}

void SeqClient::SetName(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_name = name;
}

bool SeqClient::Ready() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_seq != nullptr) return true;
    if (m_closed) return false;
    static std::once_flag silence;
    std::call_once(silence, [] { snd_lib_error_set_handler(&SilentAlsaHandler); });
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return false;
    snd_seq_set_client_name(seq, m_name.empty() ? CLIENT_NAME : m_name.c_str());
    snd_seq_set_client_pool_input(seq, INPUT_POOL);  // a smaller pool (the default) serves too
    // The kernel keeps a long event's data in cells of the input pool, each the size of an event,
    // so the pool bounds the longest event that can arrive; a read buffer of the pool's size takes
    // any of them. With alsa-lib's default (500 events, about 14 KB) a longer event, such as a
    // whole block written as one event by a sender that does not split messages, would stay at
    // the head of the kernel's queue: every read answers EAGAIN and nothing behind it arrives.
    snd_seq_set_input_buffer_size(seq, static_cast<std::size_t>(INPUT_POOL) * sizeof(snd_seq_event_t));
    snd_seq_set_output_buffer_size(seq, OUTPUT_BUFFER);
    pollfd descriptor{};
    if (snd_seq_poll_descriptors(seq, &descriptor, 1, POLLIN) != 1 || ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        snd_seq_close(seq);
        return false;
    }
    m_seq = seq;
    m_fd.store(descriptor.fd, std::memory_order_release);
    m_id.store(snd_seq_client_id(seq), std::memory_order_release);
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit([] { SeqClient::Instance().Close(); }); });
    return true;
}

int SeqClient::CreatePort(const char* name, unsigned int capabilities, unsigned int type) {
    if (!Ready()) return -1;
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_seq == nullptr) return -1;
    return snd_seq_create_simple_port(m_seq, name, capabilities, type);
}

void SeqClient::DeletePort(int port) {
    if (port < 0) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_seq != nullptr) snd_seq_delete_simple_port(m_seq, port);
    }
    // The port is gone, so nothing new arrives for it; a dispatch in flight ends before this lock.
    std::lock_guard<std::mutex> sinks(m_sinkLock);
    m_sinks.erase(port);
}

bool SeqClient::ConnectTo(int port, SeqAddress destination) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_seq != nullptr && snd_seq_connect_to(m_seq, port, destination.client, destination.port) >= 0;
}

bool SeqClient::ConnectFrom(int port, SeqAddress source) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_seq != nullptr && snd_seq_connect_from(m_seq, port, source.client, source.port) >= 0;
}

bool SeqClient::Listen(int port, Sink* sink) {
    {
        std::lock_guard<std::mutex> sinks(m_sinkLock);
        m_sinks[port] = sink;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    return m_seq != nullptr && StartReader();
}

bool SeqClient::StartReader() {
    if (m_reader.joinable()) return true;
    try {
        m_reader = std::thread([this] { Read(); });
    } catch (...) {
        return false;
    }
    return true;
}

bool SeqClient::ListenToAnnouncements() {
    if (m_announcePort >= 0) return true;
    // Only we write to it: no other client may subscribe to it, and listings leave it out.
    const int port = snd_seq_create_simple_port(m_seq, "Announcements",
                                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) return false;
    if (snd_seq_connect_from(m_seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
        snd_seq_delete_simple_port(m_seq, port);
        return false;
    }
    m_announcePort = port;
    return true;
}

bool SeqClient::Watch(SeqAddress address, Watcher* watcher) {
    if (watcher == nullptr || !Ready()) return false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_seq == nullptr || !ListenToAnnouncements() || !StartReader()) return false;
    }
    {
        std::lock_guard<std::mutex> sinks(m_sinkLock);
        m_watchers[watcher] = address;
    }
    // Looked for once the watch is in place: a port that leaves from now on is announced.
    bool present = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        snd_seq_port_info_t* info = nullptr;
        if (m_seq != nullptr && snd_seq_port_info_malloc(&info) == 0) {
            present = snd_seq_get_any_port_info(m_seq, address.client, address.port, info) >= 0;
            snd_seq_port_info_free(info);
        }
    }
    if (!present) {
        std::lock_guard<std::mutex> sinks(m_sinkLock);
        if (m_watchers.count(watcher) != 0) watcher->OnSeqPortGone();
    }
    return true;
}

void SeqClient::Unwatch(Watcher* watcher) {
    std::lock_guard<std::mutex> sinks(m_sinkLock);
    m_watchers.erase(watcher);
}

int SeqClient::Write(snd_seq_event_t& event) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_seq == nullptr) return -ENODEV;
    return snd_seq_event_output_direct(m_seq, &event);
}

int SeqClient::WriteAll(const snd_seq_event_t* events, std::size_t count) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_seq == nullptr) return -ENODEV;
    int result = 0;
    for (std::size_t i = 0; i < count && result >= 0; ++i) {
        // Drains the buffer by itself when the next event does not fit.
        result = snd_seq_event_output(m_seq, const_cast<snd_seq_event_t*>(&events[i]));
    }
    if (result >= 0) result = snd_seq_drain_output(m_seq);
    // Nothing of a refused batch may go out with the next one.
    if (result < 0) snd_seq_drop_output(m_seq);
    return result < 0 ? result : 0;
}

void SeqClient::Close() {
    std::thread reader;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_closed = true;
        reader = std::move(m_reader);
        if (m_wake[1] >= 0) {
            const char stop = 1;
            (void)!::write(m_wake[1], &stop, 1);
        }
    }
    if (reader.joinable()) reader.join();
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_seq != nullptr) snd_seq_close(m_seq);
    m_seq = nullptr;
    m_id.store(-1, std::memory_order_release);
    m_fd.store(-1, std::memory_order_release);
}

void SeqClient::Read() {
    snd_midi_event_t* coder = nullptr;
    if (snd_midi_event_new(16, &coder) < 0) return;
    snd_midi_event_no_status(coder, 1);  // every short message with its status byte
    std::vector<Arrived> arrived;
    std::vector<Departed> departed;
    for (;;) try {
        pollfd fds[2] = {{m_fd.load(std::memory_order_acquire), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if ((fds[1].revents & POLLIN) != 0) break;
        // Take every event there is, under the lock; the sinks are called without it.
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_seq == nullptr) break;
            for (;;) {
                snd_seq_event_t* ev = nullptr;
                const int r = snd_seq_event_input(m_seq, &ev);
                if (r == -ENOSPC) continue;  // the kernel's queue overflowed; what follows still counts
                if (r < 0 || ev == nullptr) break;
                if (ev->source.client == SND_SEQ_CLIENT_SYSTEM && ev->source.port == SND_SEQ_PORT_SYSTEM_ANNOUNCE) {
                    if (ev->type == SND_SEQ_EVENT_PORT_EXIT) {
                        departed.push_back(Departed{ev->data.addr.client, ev->data.addr.port});
                    } else if (ev->type == SND_SEQ_EVENT_CLIENT_EXIT) {
                        departed.push_back(Departed{ev->data.addr.client, -1});
                    }
                    continue;  // the other announcements are not wanted
                }
                Arrived a;
                a.port = ev->dest.port;
                if (ev->type == SND_SEQ_EVENT_SYSEX) {
                    const auto* data = static_cast<const std::uint8_t*>(ev->data.ext.ptr);
                    a.bytes.assign(data, data + ev->data.ext.len);
                } else if (ev->type == SND_SEQ_EVENT_CLOCK || ev->type == SND_SEQ_EVENT_SENSING) {
                    continue;
                } else {
                    std::uint8_t buffer[16];
                    const long n = snd_midi_event_decode(coder, buffer, sizeof buffer, ev);
                    if (n <= 0) continue;  // the sequencer's own notices carry no MIDI bytes
                    a.bytes.assign(buffer, buffer + n);
                }
                if (!a.bytes.empty()) arrived.push_back(std::move(a));
            }
        }
        std::lock_guard<std::mutex> sinks(m_sinkLock);
        for (const Arrived& a : arrived) {
            const auto it = m_sinks.find(a.port);
            if (it != m_sinks.end()) it->second->OnSeqBytes(a.bytes.data(), a.bytes.size());
        }
        arrived.clear();
        // After the bytes: a device's last message reaches its sink before the news of its end.
        for (const Departed& d : departed) {
            for (const auto& [watcher, address] : m_watchers) {
                if (Covers(d, address)) watcher->OnSeqPortGone();
            }
        }
        departed.clear();
    } catch (...) {
        arrived.clear();  // out of memory: these events are lost, reading goes on
        departed.clear();
    }
    snd_midi_event_free(coder);
}

}  // namespace platform::alsa
