#include "JackClient.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "JackPortName.h"

namespace platform {

namespace {

void SilentJack(const char*) {}

// What the JACK callbacks of one client get as their argument: the holder and the client's epoch.
// Kept for the rest of the process (a dead client's threads may still hold it).
struct ClientContext {
    JackClient* holder;
    std::uint64_t epoch;
    // Passes of the client's process callback through the hooks, counted twice: odd while one is
    // under way. Written by that callback only (JACK calls it from one thread per client); read by
    // WaitForProcess. Sequentially consistent, see JackClient::m_hooks.
    std::atomic<std::uint64_t> passes{0};
    // Set (release) by the thread that closes the client once jack_client_close has returned: no
    // process thread of the client runs from then on. Read by FreeKept (acquire).
    std::atomic<bool> closed{false};
    // Kept items that wait for a pass of this client to end: changed under JackClient::m_keptLock,
    // read by the process callback (relaxed; a pass that misses a new count leaves the item to the
    // next pass, which sees it), which then wakes the service thread at the end of its pass.
    std::atomic<std::uint32_t> keptWaiting{0};
};

// The passes of the holder's clients that are inside the hooks at one moment: each with the pass
// count it had then. They have all left once each count has changed or its client is closed.
using PassesInside = std::vector<std::pair<ClientContext*, std::uint64_t>>;

// Every client's context, in the order the clients were opened; appended to under ContextsLock.
// The contexts themselves are never freed, so a pointer taken under the lock stays valid.
std::vector<std::unique_ptr<ClientContext>>& Contexts() {
    static auto* contexts = new std::vector<std::unique_ptr<ClientContext>>();
    return *contexts;
}
std::mutex& ContextsLock() {
    static auto* lock = new std::mutex();
    return *lock;
}

// The passes of `holder`'s clients that are inside the hooks now. Allocates.
PassesInside TakePassesInside(const JackClient* holder) {
    PassesInside inside;
    std::lock_guard contextsLock(ContextsLock());
    for (const auto& context : Contexts()) {
        if (context->holder != holder || context->closed.load(std::memory_order_acquire)) continue;
        const std::uint64_t seen = context->passes.load();
        if (seen % 2 != 0) inside.emplace_back(context.get(), seen);
    }
    return inside;
}

bool HaveLeft(const PassesInside& inside) {
    return std::all_of(inside.begin(), inside.end(), [](const auto& pass) {
        return pass.first->passes.load() != pass.second || pass.first->closed.load(std::memory_order_acquire);
    });
}

// The context of `holder`'s client of `epoch`; null when there is none.
ClientContext* ContextOf(const JackClient* holder, std::uint64_t epoch) {
    std::lock_guard contextsLock(ContextsLock());
    for (const auto& context : Contexts()) {
        if (context->holder == holder && context->epoch == epoch) return context.get();
    }
    return nullptr;
}

// Ends the process-wide client when the process ends: the hooks finish first (their queues go
// out), then the client is closed while its server is still there.
void CloseAtExit() { JackClient::Instance().Close(); }

}  // namespace

struct JackClient::KeptItem {
    std::unique_ptr<Reachable> item;
    PassesInside inside;  // the passes it waits for
};

JackClient& JackClient::Instance() {
    // Never destroyed by static destruction: backends that live in statics of their own may still
    // ask it whether their client is alive while they go. The client itself is closed at exit.
    static JackClient* instance = new JackClient();
    return *instance;
}

JackClient::JackClient() { sem_init(&m_wake, 0, 0); }

JackClient::~JackClient() {
    StopService();
    sem_destroy(&m_wake);
    // A kept item that a cycle may still reach stays: never freed while it may be in use.
    FreeKept();
    std::lock_guard lock(m_keptLock);
    for (auto& kept : m_kept) static_cast<void>(kept->item.release());
}

void JackClient::Close(std::chrono::milliseconds limit) {
    for (auto& slot : m_hooks) {
        if (Hook* hook = slot.load()) hook->Finish();
    }
    jack_client_t* closing = nullptr;
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        if (m_client != nullptr && !m_gone.load()) {
            // Counts as gone from now on: no backend calls into the closed client, and its process
            // callback touches no hook, also when the close below is not answered in time.
            m_gone.store(true);
            closing = m_client;
        }
        m_client = nullptr;
    }
    if (closing != nullptr) {
        // libjack cancels the process thread of a client whose close is answered, wherever that
        // thread is: it must not be inside a hook then.
        WaitForProcess();
        ClientContext* context = ContextOf(this, m_epoch.load());
        // What was kept for a cycle of this client is free once its close has returned.
        if (CloseClientWithin(closing, limit, context != nullptr ? &context->closed : nullptr)) FreeKept();
    }
    StopService();
}

void JackClient::StopService() {
    std::thread service;
    {
        std::lock_guard lock(m_lock);
        service = std::move(m_service);
    }
    if (!service.joinable()) return;
    m_stopService.store(true);
    sem_post(&m_wake);
    service.join();
}

void JackClient::Serve() {
    for (;;) {
        while (sem_wait(&m_wake) != 0 && errno == EINTR) {
        }
        if (m_stopService.load()) return;
        // Read-modify-write: a Wake that found the flag set (and so did not post) is ordered
        // before this, and what its cycle left is seen by the pass below.
        m_wakePending.exchange(false);
        {
            std::lock_guard lock(m_drainLock);
            for (auto& slot : m_hooks) {
                if (Hook* hook = slot.load()) hook->Drain();
            }
        }
        FreeKept();
    }
}

void JackClient::Wake() noexcept {
    if (!m_wakePending.exchange(true)) sem_post(&m_wake);
}

void JackClient::WaitForDrain() { std::lock_guard lock(m_drainLock); }

jack_client_t* JackClient::Acquire(std::uint64_t* epoch) {
    std::lock_guard lock(m_lock);
    if (m_closed) return nullptr;
    if (m_client != nullptr && m_gone.load(std::memory_order_acquire)) {
        m_dead.push_back(m_client);
        m_client = nullptr;
    }
    if (m_client == nullptr) {
        static std::once_flag silence;
        std::call_once(silence, [] {
            jack_set_error_function(&SilentJack);
            jack_set_info_function(&SilentJack);
        });
        jack_status_t status{};
        jack_client_t* client = jack_client_open(CLIENT_NAME, JackNoStartServer, &status);
        if (client == nullptr) return nullptr;
        const std::uint64_t next = m_epoch.load() + 1;
        ClientContext* context = nullptr;
        {
            auto made = std::make_unique<ClientContext>();
            made->holder = this;
            made->epoch = next;
            context = made.get();
            std::lock_guard contextsLock(ContextsLock());
            Contexts().push_back(std::move(made));
        }
        jack_on_shutdown(client, &JackClient::OnShutdown, context);
        jack_set_process_callback(client, &JackClient::OnProcess, context);
        jack_set_xrun_callback(client, &JackClient::OnXrun, context);
        jack_set_port_registration_callback(client, &JackClient::OnPortRegistration, context);
        m_epoch.store(next);
        m_gone.store(false);
        if (jack_activate(client) != 0) {
            m_gone.store(true);
            jack_client_close(client);
            context->closed.store(true, std::memory_order_release);
            return nullptr;
        }
        static std::once_flag closer;
        std::call_once(closer, [] { std::atexit(&CloseAtExit); });
        m_client = client;
        const char* name = jack_get_client_name(client);
        m_clientName = name != nullptr ? name : "";
        if (!m_service.joinable()) m_service = std::thread([this] { Serve(); });
    }
    if (epoch != nullptr) *epoch = m_epoch.load();
    return m_client;
}

std::string JackClient::ClientName() {
    std::lock_guard lock(m_lock);
    return m_client != nullptr ? m_clientName : std::string();
}

bool JackClient::WaitCycles(std::uint64_t count, std::chrono::milliseconds limit) {
    const std::uint64_t target = Cycles() + count;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Cycles() < target) {
        if (Gone() || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    return true;
}

bool JackClient::AddHook(Hook* hook) {
    std::lock_guard lock(m_lock);
    for (auto& slot : m_hooks) {
        Hook* empty = nullptr;
        if (slot.compare_exchange_strong(empty, hook)) return true;
    }
    return false;
}

bool JackClient::RemoveHook(Hook* hook, std::chrono::milliseconds limit) {
    bool removed = false;
    {
        std::lock_guard lock(m_lock);
        for (auto& slot : m_hooks) {
            Hook* expected = hook;
            if (slot.compare_exchange_strong(expected, nullptr)) removed = true;
        }
    }
    // A hook that was in no slot may still be reached by a cycle that read it before an earlier
    // removal whose wait ran out (no drain pass reaches it: that removal waited for those).
    if (!removed) return WaitForProcess(std::chrono::milliseconds(0));
    // A pass of the service thread that read the old slot has ended once this returns.
    WaitForDrain();
    // So has a cycle that read it, of whichever client: the live one, one that is closing, or one
    // whose server went away in the middle of the cycle. No further cycle is needed for that.
    return WaitForProcess(limit);
}

void JackClient::ReleaseHook(std::unique_ptr<Hook> hook, std::chrono::milliseconds limit) noexcept {
    if (!hook) return;
    if (RemoveHook(hook.get(), limit)) {
        hook.reset();
        FreeKept();
        return;
    }
    // Already waited for: what remains is only to keep it.
    Release(std::move(hook), std::chrono::milliseconds(0));
}

void JackClient::Release(std::unique_ptr<Reachable> item, std::chrono::milliseconds limit) noexcept {
    FreeKept();
    if (!item) return;
    if (WaitForProcess(limit)) {
        item.reset();
        return;
    }
    // A cycle that began after the item was unpublished can't reach it; waiting for the cycles
    // inside the hooks from now on waits for every one that can (and perhaps for a later one).
    try {
        auto kept = std::make_unique<KeptItem>();
        kept->inside = TakePassesInside(this);
        if (kept->inside.empty()) {
            item.reset();
            return;
        }
        std::lock_guard lock(m_keptLock);
        m_kept.reserve(m_kept.size() + 1);
        for (const auto& pass : kept->inside) pass.first->keptWaiting.fetch_add(1);
        kept->item = std::move(item);
        m_kept.push_back(std::move(kept));
    } catch (...) {
        // No memory to note it in: kept for good, as it may still be in use.
        static_cast<void>(item.release());
        return;
    }
    // The pass may have ended before it was noted as waited for, and so woken nobody.
    FreeKept();
}

void JackClient::FreeKept() noexcept {
    std::lock_guard lock(m_keptLock);
    for (std::size_t i = 0; i < m_kept.size();) {
        if (!HaveLeft(m_kept[i]->inside)) {
            ++i;
            continue;
        }
        for (const auto& pass : m_kept[i]->inside) pass.first->keptWaiting.fetch_sub(1);
        m_kept.erase(m_kept.begin() + static_cast<std::ptrdiff_t>(i));  // frees the item
    }
}

std::size_t JackClient::KeptCount() const {
    std::lock_guard lock(m_keptLock);
    return m_kept.size();
}

bool JackClient::WaitForProcess(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (std::size_t i = 0;; ++i) {
        ClientContext* context = nullptr;
        {
            std::lock_guard contextsLock(ContextsLock());
            if (i >= Contexts().size()) return true;
            context = Contexts()[i].get();
        }
        if (context->holder != this || context->closed.load(std::memory_order_acquire)) continue;
        const std::uint64_t seen = context->passes.load();
        if (seen % 2 == 0) continue;  // not in the hooks; a later pass sees what is stored now
        const auto left = std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                    deadline - std::chrono::steady_clock::now()));
        auto outOfTheHooks = [&] {
            return context->passes.load() != seen || context->closed.load(std::memory_order_acquire);
        };
        if (!WaitUntil(outOfTheHooks, left)) return false;
    }
}

// Runs on JACK's process thread. Touches the hooks only while the client is the live one and has
// not gone; the pass count around that tells WaitForProcess when a cycle is inside them.
int JackClient::OnProcess(jack_nframes_t frames, void* arg) {
    auto* context = static_cast<ClientContext*>(arg);
    JackClient* self = context->holder;
    auto current = [&] { return context->epoch == self->m_epoch.load() && !self->m_gone.load(); };
    if (!current()) return 0;
    context->passes.fetch_add(1);  // odd: inside
    if (current()) {
        self->m_cycles.fetch_add(1);
        for (auto& slot : self->m_hooks) {
            if (!current()) break;
            if (Hook* hook = slot.load()) hook->Process(frames, context->epoch);
        }
    }
    context->passes.fetch_add(1);  // even: out
    // Something kept for this pass may be freed now (an atomic exchange and a semaphore post).
    if (context->keptWaiting.load(std::memory_order_relaxed) > 0) self->Wake();
    return 0;
}

// Runs when the server has gone away, on JACK's notification thread of the client or on the
// process thread; must be as simple as a signal handler.
void JackClient::OnShutdown(void* arg) {
    auto* context = static_cast<ClientContext*>(arg);
    JackClient* self = context->holder;
    if (context->epoch == self->m_epoch.load(std::memory_order_acquire)) {
        self->m_gone.store(true, std::memory_order_release);
        self->Wake();  // an atomic exchange and a semaphore post: safe in a signal handler too
    }
}

// Runs on JACK's notification thread of the client, once per late cycle the server reports: counts
// it, nothing else.
int JackClient::OnXrun(void* arg) {
    auto* context = static_cast<ClientContext*>(arg);
    JackClient* self = context->holder;
    if (context->epoch == self->m_epoch.load(std::memory_order_acquire)) {
        self->m_lateCycles.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

bool CloseClientWithin(jack_client_t* client, std::chrono::milliseconds limit, std::atomic<bool>* closed) {
    // Shared with the closing thread, which may outlive the wait.
    struct State {
        std::mutex lock;
        std::condition_variable done;
        bool closed = false;  // guarded by lock
    };
    std::shared_ptr<State> state;
    try {
        state = std::make_shared<State>();
        std::thread([client, state, closed] {
            jack_deactivate(client);
            jack_client_close(client);
            if (closed != nullptr) closed->store(true, std::memory_order_release);
            std::lock_guard lock(state->lock);
            state->closed = true;
            state->done.notify_all();
        }).detach();
    } catch (...) {
        // No thread to be had: the close is waited for without a bound.
        jack_deactivate(client);
        jack_client_close(client);
        if (closed != nullptr) closed->store(true, std::memory_order_release);
        return true;
    }
    std::unique_lock lock(state->lock);
    return state->done.wait_for(lock, limit, [&] { return state->closed; });
}

// Runs on JACK's notification thread of the client for every port that comes or goes; the server
// may wait for it, so it takes no lock.
void JackClient::OnPortRegistration(jack_port_id_t port, int registered, void* arg) {
    auto* context = static_cast<ClientContext*>(arg);
    JackClient* self = context->holder;
    if (registered != 0 || context->epoch != self->m_epoch.load(std::memory_order_acquire)) return;
    const std::uint64_t n = self->m_portsGone.load(std::memory_order_relaxed);
    self->m_gonePorts[n % GONE_PORTS_KEPT].store(port, std::memory_order_relaxed);
    self->m_portsGone.store(n + 1, std::memory_order_release);
    self->Wake();
}

jack_port_t* JackClient::FindPort(std::uint64_t epoch, const std::string& fullName) {
    std::lock_guard lock(m_lock);
    if (m_client == nullptr || !Alive(epoch)) return nullptr;
    return jack_port_by_name(m_client, fullName.c_str());
}

bool JackClient::PortLeft(std::uint64_t epoch, std::uint64_t& since, jack_port_t* port, const std::string& fullName) {
    std::lock_guard lock(m_lock);
    const std::uint64_t now = m_portsGone.load(std::memory_order_acquire);
    const std::uint64_t from = since;
    since = now;
    if (m_client == nullptr || !Alive(epoch)) return true;
    if (port != nullptr && now - from <= GONE_PORTS_KEPT) {
        for (std::uint64_t n = from; n < now; ++n) {
            // A port handle stands for its id: jack_port_by_id gives the handle of a port gone.
            if (jack_port_by_id(m_client, m_gonePorts[n % GONE_PORTS_KEPT].load(std::memory_order_relaxed)) == port) {
                return true;
            }
        }
    }
    // Too many went to look through them, or the port went before its id was kept.
    return jack_port_by_name(m_client, fullName.c_str()) != port;
}

std::vector<std::string> ListDevicePorts(jack_client_t* client, unsigned long flags) {
    std::vector<std::string> ports;
    const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    if (names == nullptr) return ports;
    try {
        for (const char** p = names; *p != nullptr; ++p) {
            if (!IsOwnPort(DescribeJackPort(*p))) ports.emplace_back(*p);
        }
    } catch (...) {
        ports.clear();
    }
    jack_free(names);
    return ports;
}

bool IsDevicePort(jack_client_t* client, const std::string& fullName, unsigned long flags) {
    const jack_port_t* port = jack_port_by_name(client, fullName.c_str());
    if (port == nullptr || (static_cast<unsigned long>(jack_port_flags(port)) & flags) != flags) return false;
    const char* type = jack_port_type(port);
    return type != nullptr && std::strcmp(type, JACK_DEFAULT_MIDI_TYPE) == 0 && !IsOwnPort(DescribeJackPort(fullName));
}

bool CopyEventsIn(void* portBuffer, EventRing& ring, std::uint32_t& dropped, std::atomic<std::uint64_t>& lost,
                  std::atomic<std::uint64_t>& read) noexcept {
    const jack_nframes_t count = jack_midi_get_event_count(portBuffer);
    bool wrote = false;
    for (jack_nframes_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, portBuffer, i) != 0 || event.size == 0) continue;
        if (ring.Push(event.buffer, static_cast<std::uint32_t>(event.size), dropped)) {
            dropped = 0;
            wrote = true;
            read.fetch_add(1, std::memory_order_relaxed);
        } else {
            ++dropped;
            lost.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return wrote;
}

std::uint64_t WriteEventsOut(void* portBuffer, EventRing& ring, HandOver* handedOver) noexcept {
    std::uint64_t written = 0;
    EventRing::Record record;
    while (ring.Front(record)) {
        // Before the event is in the buffer: no reader can have it earlier than this.
        const bool ends = handedOver != nullptr && record.tag != 0;
        const auto before = ends ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
        jack_midi_data_t* data = jack_midi_event_reserve(portBuffer, 0, record.length);
        if (data == nullptr) break;  // the port buffer is full: the rest goes next cycle
        record.CopyTo(data);
        ring.Pop(record);
        ++written;
        if (ends) *handedOver = HandOver{record.tag, before};
    }
    return written;
}

}  // namespace platform
