// The program's one JACK client, shared by the JACK backends for the life of the process.
//
// Opening and closing clients, registering ports and connecting them all change the server's
// graph, which the server handles one change at a time for every client it has. So the program
// opens one client on first use, keeps it, and lets the backends hang their work into its process
// callback (hooks) instead of opening clients of their own.
//
// The client also tells whether the server is still there. When the server goes away, JACK calls
// the shutdown callback; from then on nothing may call into that client or into any other client
// of the same server (RtMidi's included): their connection is gone and libjack does not expect
// calls on it. Each client this holder opens has an epoch (1, 2, ...); a backend remembers the
// epoch in which it made its ports and clients, and `Alive(epoch)` says whether they may still be
// used. A client whose server went away is kept, never closed, and the next `Acquire` opens a new
// one (when a server answers again).
//
// Threads. The process callback runs on JACK's process thread, a real-time thread: it and the
// hooks' Process never allocate, lock, throw or call out (a late cycle makes every client of the
// server late, audio programs included). Once the client has gone (its server went away, or Close
// gave it up) the callback touches no hook any more, even when libjack goes on calling it: a close
// that the server does not answer in time leaves the client running until the process ends. What
// a cycle leaves to be done (handing received events on) is done by the client's service thread,
// an ordinary thread of the program that the cycle wakes and that runs the hooks' Drain. The
// shutdown callback runs on JACK's notification thread of the client (the one that reads the
// server's socket), or on the process thread when its wait for the server fails: it only sets a
// flag and wakes the service thread. The port registration callback runs on the notification
// thread too: it counts the ports that leave the server and wakes the service thread, so that the
// hooks' Drain can look whether a device they use is gone.
//
// Freeing what a cycle may reach. A cycle reads a hook slot, or a pointer that a hook publishes,
// and then works with what it found; its owner unpublishes it first and then waits (bounded) until
// every cycle that was inside the hooks has left them. A machine or server that holds a process
// thread up longer than that makes the wait run out: the thing is then not freed but kept by the
// client (Release, ReleaseHook) until no cycle can reach it any more.
#pragma once

#include <jack/jack.h>
#include <semaphore.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventRing.h"

namespace platform {

class JackClient {
public:
    // Something that a process cycle can reach through a hook: the hook itself, or what its
    // Process reaches through a pointer that the hook's owner unpublishes when it is done with it.
    // Handed to Release or ReleaseHook, the client frees it once no cycle can be inside it any more.
    // Its destructor does not call back into the client.
    class Reachable {
    public:
        virtual ~Reachable() = default;
    };

    // Work that runs in every process cycle of the client. Process runs on JACK's process thread:
    // no locks, no allocation, no JACK calls other than the port buffer ones. `epoch` is the
    // epoch of the client whose cycle it is.
    class Hook : public Reachable {
    public:
        virtual void Process(jack_nframes_t frames, std::uint64_t epoch) noexcept = 0;
        // Runs on the client's service thread after a cycle has called Wake (later than that
        // cycle, perhaps after several): the hook's work that may wait, allocate or call out.
        // Never runs twice at once.
        virtual void Drain() noexcept {}
        // Called once when the process ends, before the client is closed; waits (bounded) until
        // whatever the hook still holds has gone out.
        virtual void Finish() noexcept {}
    };

    static constexpr std::size_t MAX_HOOKS = 8;
    // Longest wait for a process cycle before a server counts as not running: well above the
    // longest period (8192 frames at 22050 Hz: 372 ms) and the lateness of a busy server.
    static constexpr std::chrono::milliseconds RUNNING_LIMIT{1000};
    // Longest wait for the server to answer the closing of a client (CloseClientWithin). Shorter
    // than the backends' CONNECT_LIMIT: a server held up by a close that is given up on is free
    // again before a copy that is opening its device meanwhile gives up waiting.
    static constexpr std::chrono::milliseconds CLOSE_LIMIT{2000};
    // Longest wait for a process cycle to leave the hooks (WaitForProcess). A pass through the
    // hooks takes microseconds; this is for a process thread that the machine keeps from running.
    static constexpr std::chrono::milliseconds PROCESS_LIMIT{1000};

    // The process-wide client holder. Its client is opened on the first Acquire. The holder itself
    // is never destroyed, so backends in statics of their own may still ask it while they go.
    static JackClient& Instance();

    JackClient();
    ~JackClient();  // stops the service thread
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    // The live client, opened (and activated) now when there is none or the last one lost its
    // server; null when no JACK server answers. `epoch` (optional) receives the client's epoch.
    // Never on the process thread.
    jack_client_t* Acquire(std::uint64_t* epoch = nullptr);

    // True while the client of `epoch` still has its server. Any thread.
    bool Alive(std::uint64_t epoch) const {
        return epoch != 0 && epoch == m_epoch.load(std::memory_order_acquire) &&
               !m_gone.load(std::memory_order_acquire);
    }
    // True once the server of the newest client has gone away (until Acquire opens a new one).
    bool Gone() const { return m_gone.load(std::memory_order_acquire); }

    // Finishes the hooks, then closes a live client, waiting at most `limit` for the server to
    // answer; later Acquire calls open none. The hooks are out of every cycle before the close
    // begins: libjack ends the client's process thread wherever it stands once the close is
    // answered. Runs at the end of the process (registered with atexit when the first client
    // opens); tests give a shorter limit.
    void Close(std::chrono::milliseconds limit = CLOSE_LIMIT);

    // Process cycles begun by the program's clients so far.
    std::uint64_t Cycles() const { return m_cycles.load(); }
    // Late cycles the server has reported so far (its xrun notices): a cycle that some client of
    // the server, not necessarily ours, had not finished when the next one was due. Any thread.
    std::uint64_t LateCycles() const { return m_lateCycles.load(std::memory_order_relaxed); }
    // The name the server gave the live client ("Tarnet Updater", "Tarnet Updater-01", ...), as
    // it names it in its log; empty when there is none.
    std::string ClientName();
    // Waits until `count` more cycles have begun than when called; false when the server went away
    // or the limit passed first.
    bool WaitCycles(std::uint64_t count, std::chrono::milliseconds limit);
    // True once a process cycle of the live client has begun within `limit` from now: the server
    // runs. False when none begins (a server that died before its shutdown reached us, or one that
    // stalled) or the server went away. The ports a client sees in the server's shared memory are
    // current only while it runs: a dead server's stay there. Waits up to one period.
    bool Running(std::chrono::milliseconds limit = RUNNING_LIMIT) { return WaitCycles(1, limit); }

    // Ports that have left the server so far (any client's, counted by the port registration
    // callback, which keeps the ids of the last GONE_PORTS_KEPT). Any thread.
    static constexpr std::size_t GONE_PORTS_KEPT = 64;
    std::uint64_t PortsGone() const { return m_portsGone.load(std::memory_order_acquire); }
    // The port `fullName` as jack_port_by_name gives it while the client of `epoch` has its
    // server; null when it is not there. Never on the process thread.
    jack_port_t* FindPort(std::uint64_t epoch, const std::string& fullName);
    // Whether the port `port` (FindPort's answer for `fullName`) has left the server since the
    // count of ports gone was `since`, or the server has gone; `since` becomes the count looked
    // at. The registration callback comes while the server still shows the port, so the ids it
    // kept are what tells. Never on the process thread.
    bool PortLeft(std::uint64_t epoch, std::uint64_t& since, jack_port_t* port, const std::string& fullName);

    // Hooks are added before or after the client exists; RemoveHook returns once no Drain runs
    // the hook any more and, when it returns true, once no process cycle runs it either, whether
    // the client runs, has gone or its server has stalled (no cycle needs to come). Its wait for a
    // cycle that is inside the hooks is bounded by `limit`: false when the wait ran out, and then
    // a cycle may still be inside the hook, and what the hook uses must not be freed (ReleaseHook
    // keeps it). False from AddHook when every slot is taken.
    bool AddHook(Hook* hook);
    bool RemoveHook(Hook* hook, std::chrono::milliseconds limit = PROCESS_LIMIT);
    // Removes `hook` as RemoveHook does and frees it: at once when no cycle is inside it within
    // `limit`, otherwise once none can be (see Release).
    void ReleaseHook(std::unique_ptr<Hook> hook, std::chrono::milliseconds limit = PROCESS_LIMIT) noexcept;
    // Frees `item`, which a process cycle may have reached through a hook before its owner
    // unpublished it (and which no Drain pass reaches any more): at once when every cycle that is
    // inside the hooks now has left them within `limit`. Otherwise the item is kept on a list and
    // freed only once no cycle can reach it any more: once each of those cycles has left the hooks
    // (the cycle wakes the service thread, which frees it), or once the close of its client has
    // returned (libjack has then ended the client's process thread). A cycle that never leaves
    // keeps the item for good. Not on the process thread.
    void Release(std::unique_ptr<Reachable> item, std::chrono::milliseconds limit = PROCESS_LIMIT) noexcept;
    // Items that Release and ReleaseHook keep for a cycle that may still be inside them. Any
    // thread.
    std::size_t KeptCount() const;
    // Returns once every process cycle that was running the hooks when called has left them (at
    // once when none was); false when `limit` passed first. A cycle that begins later sees the
    // hook slots and the client's state as they are now. Not on the process thread.
    bool WaitForProcess(std::chrono::milliseconds limit = PROCESS_LIMIT);

    // Has the service thread run the hooks' Drain soon. On the process thread: neither waits nor
    // allocates (a semaphore post at most once per pass).
    void Wake() noexcept;
    // Returns once a Drain pass that was running when called has ended. Not on the service
    // thread.
    void WaitForDrain();

private:
    static int OnProcess(jack_nframes_t frames, void* arg);
    static void OnShutdown(void* arg);
    static int OnXrun(void* arg);
    static void OnPortRegistration(jack_port_id_t port, int registered, void* arg);
    // The service thread: runs the hooks' Drain whenever woken, until StopService.
    void Serve();
    void StopService();
    // Frees the kept items that no cycle can reach any more. Not on the process thread.
    void FreeKept() noexcept;

    struct KeptItem;  // an item that Release keeps, with the cycles it waits for

    std::mutex m_lock;  // serialises Acquire, the destructor and the hook slots' writers
    jack_client_t* m_client = nullptr;  // guarded by m_lock
    std::string m_clientName;           // guarded by m_lock; the name of m_client
    bool m_closed = false;              // guarded by m_lock; set by Close
    // Clients whose server went away: never called again, kept so they are not closed.
    std::vector<jack_client_t*> m_dead;  // guarded by m_lock

    // Written by Acquire (under m_lock) before the new client is activated; read by the process
    // callback and any thread. A new epoch is published before m_gone is cleared.
    std::atomic<std::uint64_t> m_epoch{0};
    // Set by the shutdown callback (a JACK thread) and by Close; cleared by Acquire when it opens
    // a new client. The process callback reads it before each hook (sequentially consistent, like
    // the hook slots): once Close has set it and WaitForProcess has returned, no hook runs again.
    std::atomic<bool> m_gone{false};
    // Written by the process callback only; read by waiting threads (acquire/release).
    std::atomic<std::uint64_t> m_cycles{0};
    // Incremented by the xrun callback (JACK's notification thread of a live client); read by any
    // thread. A count only: nothing is ordered by it.
    std::atomic<std::uint64_t> m_lateCycles{0};
    // Written by the port registration callback (the client's notification thread, the one
    // writer): the id of the n-th port gone into slot n % GONE_PORTS_KEPT, then the count (release)
    // before it wakes the service thread. Read by any thread, the count first (acquire).
    std::array<std::atomic<jack_port_id_t>, GONE_PORTS_KEPT> m_gonePorts{};
    std::atomic<std::uint64_t> m_portsGone{0};
    // Written under m_lock by AddHook/RemoveHook; read by the process callback. A slot's store and
    // WaitForProcess's read of a client's pass count are sequentially consistent with the
    // callback's increment of that count and its load of the slot: a cycle either sees the new
    // slot or is seen inside the hooks and waited for.
    std::array<std::atomic<Hook*>, MAX_HOOKS> m_hooks{};

    // The service thread: started by the first Acquire that opens a client (under m_lock), joined
    // by Close or the destructor.
    std::thread m_service;  // guarded by m_lock
    sem_t m_wake;           // posted by Wake, waited for by the service thread
    // Set by Wake before it posts, cleared by the service thread before a pass: a cycle that finds
    // it set leaves the post to the one that set it, and the pass that follows sees its work.
    std::atomic<bool> m_wakePending{false};
    std::atomic<bool> m_stopService{false};  // set by StopService before its post; read by the service thread
    std::mutex m_drainLock;  // held by the service thread through a pass of the hooks' Drain
    // Items kept by Release: appended by Release (any thread but the process thread), freed by
    // FreeKept (the service thread, Release, Close). The cycles they wait for are read from the
    // clients' pass counts, which the process callback writes.
    mutable std::mutex m_keptLock;
    std::vector<std::unique_ptr<KeptItem>> m_kept;  // guarded by m_keptLock
};

// Deactivates and closes `client` on a thread of its own and waits at most `limit` for that;
// `closed` (optional, it must outlive the closing thread) is set once the close has returned. The
// server answers requests one at a time, and it writes its notices to a client with a blocking
// write: a client that has stopped reading them (one that is closing, as many are when many
// programs end together) and whose socket is full holds the server's request thread for good, and
// no close is answered any more. Past `limit` the caller goes on and leaves the thread to end with
// the process; the server drops the client once the process's connection closes, and that frees
// it. True when the close was answered in time. Not on a JACK thread.
bool CloseClientWithin(jack_client_t* client, std::chrono::milliseconds limit, std::atomic<bool>* closed = nullptr);

// Full names of the server's MIDI ports with `flags` (JackPortIsInput: where we can send to,
// JackPortIsOutput: where we can receive from), in the server's order, without the ports of any
// copy of this program. Asks the server; allocates; empty on failure.
std::vector<std::string> ListDevicePorts(jack_client_t* client, unsigned long flags);

// True when the server still has the port `fullName` as ListDevicePorts would list it with
// `flags`: a port listed earlier that has not gone since. Asks the server.
bool IsDevicePort(jack_client_t* client, const std::string& fullName, unsigned long flags);

// The MIDI events of an input port's buffer into `ring`, one record each, oldest first. An event
// that does not fit is dropped: `dropped` counts the drops since the last record that went in
// (that record's tag; it starts again at 0) and `lost` all of them; `read` counts the events that
// went in. True when a record went in. For a process callback: neither waits nor allocates.
bool CopyEventsIn(void* portBuffer, EventRing& ring, std::uint32_t& dropped, std::atomic<std::uint64_t>& lost,
                  std::atomic<std::uint64_t>& read) noexcept;
// The moment a record that ends a message went into a port buffer: the record's tag (a nonzero tag
// marks a record that ends a message) and the clock read just before the record was written.
struct HandOver {
    std::uint32_t tag = 0;
    std::chrono::steady_clock::time_point at{};
};
// The records of `ring` into an output port's buffer, oldest first, as many as the buffer takes;
// how many went. `handedOver` (optional) receives the latest record with a nonzero tag that went.
// For a process callback: neither waits nor allocates (a clock read per such record).
std::uint64_t WriteEventsOut(void* portBuffer, EventRing& ring, HandOver* handedOver = nullptr) noexcept;

// Waits until `condition` holds, polling; false when `limit` passed first.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    return true;
}

}  // namespace platform
