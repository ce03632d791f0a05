// The program's one client on the ALSA sequencer, shared by listing, every output and every input
// for the life of the process.
//
// The kernel has room for 64 clients of programs on the whole machine (and 32 queues), so a
// program that opened a client per listing, per output and per input (with a queue for each
// input, as RtMidi does) made 20 copies running side by side fail to open their ports. This
// client has no queue: every event is delivered directly. Outputs and inputs are ports of it.
//
// One reader thread (started with the first input or watch) takes the events that arrive at the
// client's ports and hands each one's bytes to the sink registered for its port: a SysEx event's
// bytes as they are, any other channel or system message as its MIDI bytes (clock and active
// sensing are dropped, as are the sequencer's own notices). From the first watch on, the client
// also reads the sequencer's announcements (System:Announce, through a port of its own that
// nobody else may connect to) and tells each watcher whose port has left, with its client or
// alone.
//
// Threads: every member may be called from any thread except the reader's (sinks must not call
// back into this class). libasound's handle is not thread-safe, so calls on it go through m_lock;
// the reader thread alone reads events from it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "AlsaSeqAddress.h"

typedef struct _snd_seq snd_seq_t;
typedef struct snd_seq_event snd_seq_event_t;

namespace platform::alsa {

// True when the sequencer device (/dev/snd/seq) can be opened: the program then runs its MIDI on
// the sequencer, else on JACK. Opens no client.
bool SequencerUsable();

class SeqClient {
public:
    // Receives the bytes of the events that arrive at one port. Runs on the reader thread; must
    // not block for long and must not call into SeqClient.
    class Sink {
    public:
        virtual void OnSeqBytes(const std::uint8_t* bytes, std::size_t count) noexcept = 0;

    protected:
        ~Sink() = default;
    };

    // Hears that a watched port has left the sequencer. Runs on the reader thread; must only
    // note it (no blocking, no call into SeqClient).
    class Watcher {
    public:
        virtual void OnSeqPortGone() noexcept = 0;

    protected:
        ~Watcher() = default;
    };

    // Cells of the client's input queue: the kernel's largest, so that a sender can put a whole
    // block of the update (about 440 cells in 256-byte events) into it without waiting.
    static constexpr int INPUT_POOL = 2000;

    // The process-wide client holder. It is never destroyed; its client opens on first use and
    // closes at the end of the process.
    static SeqClient& Instance();

    // Sets the name the client takes when it opens (a tool names it after the device it plays);
    // without it the client is named after this program. Only before the first use.
    void SetName(const std::string& name);

    // Opens the client when it is not open yet. False when the sequencer can't be opened (no
    // /dev/snd/seq, or the kernel has no room for another client); a later call tries again.
    bool Ready();

    // The client's number; -1 while it is not open.
    int Id() const { return m_id.load(std::memory_order_acquire); }

    // A new port of the client with these capabilities and type; negative on failure.
    int CreatePort(const char* name, unsigned int capabilities, unsigned int type);
    // Deletes the port (with its connections) and forgets its sink; once it returns, the sink is
    // not called again.
    void DeletePort(int port);
    // Connects our `port` to the destination, or the source to our `port`. False on refusal.
    bool ConnectTo(int port, SeqAddress destination);
    bool ConnectFrom(int port, SeqAddress source);
    // Events arriving at `port` go to `sink` from now on (the reader thread starts if needed).
    bool Listen(int port, Sink* sink);

    // Tells `watcher` when the port at `address` leaves the sequencer (it or its whole client),
    // until Unwatch; a watcher may watch one port. The port is looked for once the watch is in
    // place, so a port that left before is told at once (on the calling thread). False when the
    // announcements can't be read (the watcher then hears nothing).
    bool Watch(SeqAddress address, Watcher* watcher);
    // Once it returns, the watcher is not called again.
    void Unwatch(Watcher* watcher);

    // Writes one event directly (no queue); the kernel's result (negative errno on refusal).
    int Write(snd_seq_event_t& event);
    // Writes `count` events (direct, no queue) in as few requests as the output buffer allows;
    // negative errno when the sequencer refused one (what followed it is dropped).
    int WriteAll(const snd_seq_event_t* events, std::size_t count);

    // Bytes of the client's output buffer: a whole block of the update in 256-byte events.
    static constexpr std::size_t OUTPUT_BUFFER = 65536;

    // The sequencer's file descriptor (for requests libasound does not offer); -1 while closed.
    int Fd() const { return m_fd.load(std::memory_order_acquire); }

    // Runs f(snd_seq_t*) with the client's handle under its lock; f gets null when the client
    // can't be opened. For short queries only.
    template <typename F>
    auto With(F f) {
        Ready();
        std::lock_guard<std::mutex> lock(m_lock);
        return f(m_seq);
    }

    // Stops the reader thread and closes the client; later calls open none. Runs at the end of
    // the process (registered with atexit when the client first opens).
    void Close();

private:
    SeqClient() = default;
    void Read();  // the reader thread
    // Starts the reader thread when it is not running. Must be called with m_lock held.
    bool StartReader();
    // Makes the port that receives the announcements. Must be called with m_lock held.
    bool ListenToAnnouncements();

    std::mutex m_lock;             // guards m_seq and every call on it except the reader's input
    snd_seq_t* m_seq = nullptr;    // guarded by m_lock
    std::string m_name;            // guarded by m_lock
    bool m_closed = false;         // guarded by m_lock
    std::thread m_reader;          // guarded by m_lock; joined by Close
    int m_wake[2] = {-1, -1};      // pipe that ends the reader's wait; written by Close
    // Written under m_lock when the client opens or closes; read by any thread.
    std::atomic<int> m_id{-1};
    std::atomic<int> m_fd{-1};

    // Sinks by our port number. Written by Listen and DeletePort, read by the reader thread; the
    // reader holds m_sinkLock while it calls a sink, which is how DeletePort knows none is running.
    std::mutex m_sinkLock;
    std::map<int, Sink*> m_sinks;  // guarded by m_sinkLock
    // Watched ports. Written by Watch and Unwatch, read by the reader thread, which holds
    // m_sinkLock while it tells a watcher (so Unwatch knows that none is being told).
    std::map<Watcher*, SeqAddress> m_watchers;  // guarded by m_sinkLock
    int m_announcePort = -1;  // guarded by m_lock; our port that the announcements come to
};

}  // namespace platform::alsa
