#include "JackClient.h"

#include <cstdlib>
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
};

std::vector<std::unique_ptr<ClientContext>>& Contexts() {
    static auto* contexts = new std::vector<std::unique_ptr<ClientContext>>();
    return *contexts;
}

// Ends the process-wide client when the process ends: the hooks finish first (their queues go
// out), then the client is closed while its server is still there.
void CloseAtExit() { JackClient::Instance().Close(); }

}  // namespace

JackClient& JackClient::Instance() {
    // Never destroyed by static destruction: backends that live in statics of their own may still
    // ask it whether their client is alive while they go. The client itself is closed at exit.
    static JackClient* instance = new JackClient();
    return *instance;
}

void JackClient::Close() {
    for (auto& slot : m_hooks) {
        if (Hook* hook = slot.load()) hook->Finish();
    }
    std::lock_guard lock(m_lock);
    m_closed = true;
    if (m_client != nullptr && !m_gone.load()) {
        // Counts as gone from now on: no backend calls into the closed client.
        m_gone.store(true);
        jack_deactivate(m_client);
        jack_client_close(m_client);
    }
    m_client = nullptr;
}

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
        auto& contexts = Contexts();
        contexts.push_back(std::make_unique<ClientContext>(ClientContext{this, next}));
        ClientContext* context = contexts.back().get();
        jack_on_shutdown(client, &JackClient::OnShutdown, context);
        jack_set_process_callback(client, &JackClient::OnProcess, context);
        m_epoch.store(next);
        m_gone.store(false);
        if (jack_activate(client) != 0) {
            m_gone.store(true);
            jack_client_close(client);
            return nullptr;
        }
        static std::once_flag closer;
        std::call_once(closer, [] { std::atexit(&CloseAtExit); });
        m_client = client;
    }
    if (epoch != nullptr) *epoch = m_epoch.load();
    return m_client;
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

void JackClient::RemoveHook(Hook* hook) {
    bool removed = false;
    {
        std::lock_guard lock(m_lock);
        for (auto& slot : m_hooks) {
            Hook* expected = hook;
            if (slot.compare_exchange_strong(expected, nullptr)) removed = true;
        }
        if (!removed || m_client == nullptr || m_gone.load()) return;
    }
    // A cycle that read the old slot has begun no later than now; once the next one begins it
    // has ended. A cycle lasts one period: a second is ample unless the server stalled or died.
    WaitCycles(1, std::chrono::milliseconds(1000));
}

int JackClient::OnProcess(jack_nframes_t frames, void* arg) {
    auto* context = static_cast<ClientContext*>(arg);
    JackClient* self = context->holder;
    if (context->epoch != self->m_epoch.load(std::memory_order_acquire)) return 0;
    self->m_cycles.fetch_add(1);
    for (auto& slot : self->m_hooks) {
        if (Hook* hook = slot.load()) hook->Process(frames, context->epoch);
    }
    return 0;
}

// Runs on a JACK thread when the server has gone away; must be as simple as a signal handler.
void JackClient::OnShutdown(void* arg) {
    auto* context = static_cast<ClientContext*>(arg);
    JackClient* self = context->holder;
    if (context->epoch == self->m_epoch.load(std::memory_order_acquire)) {
        self->m_gone.store(true, std::memory_order_release);
    }
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

}  // namespace platform
