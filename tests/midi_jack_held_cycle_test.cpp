// The JACK backends when a process cycle holds on inside them: longer than the client waits for
// a cycle to leave the hooks (JackClient::PROCESS_LIMIT), as on a machine that keeps the process
// thread from running. What that cycle still reaches (a closed input, the hook of a backend that
// goes, the output's queue) is neither freed nor emptied under it. And the output's hand-over
// moment: when the last event of a message went into a cycle's buffer, never later.
//
// A cycle is held inside the backend's own process callback by this program's own definitions of
// two libjack functions that the callbacks call (jack_port_get_buffer, jack_midi_event_reserve):
// they call libjack's and, when a test asks for it, keep the calling process thread there until
// the test lets it go. Over the JACK server that the test run starts (JACK_DEFAULT_SERVER); each
// test runs in a process of its own.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CMidiOutPort.h"
#include "ListedPortRounds.h"
#include "TestSupport.h"
#include "platform/jack/JackClient.h"
#include "platform/jack/JackMidiIn.h"
#include "platform/jack/JackMidiOut.h"

// The peer's process thread reads the port buffer that the program's process thread filled earlier
// in the same JACK cycle, and the program's reads the one that the peer's filled (with libjack's
// jack_midi_event_write); libjack orders the two clients through the server with primitives that
// ThreadSanitizer cannot see.
extern "C" const char* __tsan_default_suppressions() { return "race:JackPeerProcess\nrace:jack_midi_event_write\n"; }

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Where the next cycle of the program's client is held.
enum class HoldAt { Nowhere, PortBuffer, EventReserve };

// Set by the test, read by the process threads (every field atomic; `at` is cleared by the one
// call that takes the hold).
struct CycleHold {
    std::atomic<HoldAt> at{HoldAt::Nowhere};
    // PortBuffer: a port of this client whose flags include `flags`, and with `withEvents` only
    // while its buffer holds an event.
    std::atomic<jack_client_t*> owner{nullptr};
    std::atomic<unsigned long> flags{0};
    std::atomic<bool> withEvents{false};
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
};
CycleHold g_hold;

// Keeps the calling process thread here until the test lets it go (at most 20 s).
void HoldHere() {
    g_hold.inside.store(true);
    const auto deadline = Clock::now() + 20s;
    while (!g_hold.release.load() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    g_hold.inside.store(false);
}

bool TakeHold(HoldAt at) {
    HoldAt expected = at;
    return g_hold.at.compare_exchange_strong(expected, HoldAt::Nowhere);
}

}  // namespace

// The program's own definitions come before libjack's; these call libjack's (RTLD_NEXT). They run
// on the process threads of every client of this program, the test's peers included.
extern "C" void* jack_port_get_buffer(jack_port_t* port, jack_nframes_t frames) {
    using Real = void* (*)(jack_port_t*, jack_nframes_t);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "jack_port_get_buffer"));
    void* buffer = real(port, frames);
    if (g_hold.at.load() == HoldAt::PortBuffer && jack_port_is_mine(g_hold.owner.load(), port) != 0 &&
        (static_cast<unsigned long>(jack_port_flags(port)) & g_hold.flags.load()) != 0 &&
        (!g_hold.withEvents.load() || jack_midi_get_event_count(buffer) > 0) && TakeHold(HoldAt::PortBuffer)) {
        HoldHere();
    }
    return buffer;
}

// Only the program's output reserves events; the test's peers write theirs whole.
extern "C" jack_midi_data_t* jack_midi_event_reserve(void* buffer, jack_nframes_t time, size_t size) {
    using Real = jack_midi_data_t* (*)(void*, jack_nframes_t, size_t);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "jack_midi_event_reserve"));
    jack_midi_data_t* data = real(buffer, time, size);
    if (data != nullptr && g_hold.at.load() == HoldAt::EventReserve && TakeHold(HoldAt::EventReserve)) HoldHere();
    return data;
}

namespace {

// The next cycle of the program's client that reaches the spot is held there.
void HoldNextCycle(HoldAt at, unsigned long flags = 0, bool withEvents = false) {
    g_hold.release.store(false);
    g_hold.owner.store(platform::JackClient::Instance().Acquire());
    g_hold.flags.store(flags);
    g_hold.withEvents.store(withEvents);
    g_hold.at.store(at);
}

void ReleaseCycle() {
    g_hold.at.store(HoldAt::Nowhere);
    g_hold.release.store(true);
}

// Lets a held cycle go when the test ends, whichever way it ends.
struct ReleaseAtEnd {
    ~ReleaseAtEnd() {
        ReleaseCycle();
        testsupport::WaitFor([] { return !g_hold.inside.load(); }, 25s);
    }
};

// A device on the server: a client with a MIDI input port that records every event with the
// moment its process callback began, and a MIDI output port that writes one queued event per
// cycle.
class JackPeer {
public:
    struct Received {
        Bytes bytes;
        Clock::time_point at;
        std::uint64_t cycle;
    };

    bool Start(const std::string& name) {
        m_name = name;
        m_client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
        if (m_client == nullptr) return false;
        m_in = jack_port_register(m_client, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        m_out = jack_port_register(m_client, (name + "-out").c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (m_in == nullptr || m_out == nullptr) return false;
        m_received.reserve(4096);  // the process callback appends without growing the list
        jack_set_process_callback(m_client, &JackPeer::JackPeerProcess, this);
        jack_set_xrun_callback(m_client, &JackPeer::OnXrun, this);
        return jack_activate(m_client) == 0;
    }
    ~JackPeer() {
        if (m_client != nullptr) {
            jack_deactivate(m_client);
            jack_client_close(m_client);
        }
    }

    const std::string& Name() const { return m_name; }
    void Send(Bytes event) {
        std::lock_guard lock(m_lock);
        m_pending.push_back(std::move(event));
    }
    // Drops what is still to be sent.
    void DropPending() {
        std::lock_guard lock(m_lock);
        m_pending.clear();
    }
    int Sent() const { return m_sent.load(); }
    // Late cycles (xruns) that the server reported: in such a cycle the events of the cycle may
    // never reach a client that was late, whatever the sender did.
    int Xruns() const { return m_xruns.load(); }
    std::vector<Received> Events() {
        std::lock_guard lock(m_lock);
        return m_received;
    }
    // The messages received: events joined from one that starts with 0xF0 to one that ends with
    // 0xF7.
    std::vector<Bytes> Messages() {
        std::vector<Bytes> messages;
        bool open = false;
        for (const Received& e : Events()) {
            if (e.bytes.empty()) continue;
            if (e.bytes.front() == 0xF0 || !open) messages.emplace_back();
            messages.back().insert(messages.back().end(), e.bytes.begin(), e.bytes.end());
            open = e.bytes.back() != 0xF7;
        }
        return messages;
    }

private:
    // Runs on JACK's process thread of the peer's client. A test may take a lock here.
    static int JackPeerProcess(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackPeer*>(arg);
        const Clock::time_point now = Clock::now();
        const std::uint64_t cycle = self->m_cycles.fetch_add(1) + 1;
        void* in = jack_port_get_buffer(self->m_in, frames);
        void* out = jack_port_get_buffer(self->m_out, frames);
        jack_midi_clear_buffer(out);
        std::lock_guard lock(self->m_lock);
        const jack_nframes_t count = jack_midi_get_event_count(in);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, in, i) == 0) {
                self->m_received.push_back({Bytes(event.buffer, event.buffer + event.size), now, cycle});
            }
        }
        if (!self->m_pending.empty()) {
            const Bytes& e = self->m_pending.front();
            if (jack_midi_event_write(out, 0, e.data(), e.size()) == 0) {
                self->m_pending.pop_front();
                self->m_sent.fetch_add(1);
            }
        }
        return 0;
    }

    // Runs on a JACK thread of the peer's client.
    static int OnXrun(void* arg) {
        static_cast<JackPeer*>(arg)->m_xruns.fetch_add(1);
        return 0;
    }

    std::string m_name;
    jack_client_t* m_client = nullptr;
    jack_port_t* m_in = nullptr;
    jack_port_t* m_out = nullptr;
    std::mutex m_lock;  // guards m_received and m_pending (the test's thread and the peer's process thread)
    std::vector<Received> m_received;
    std::deque<Bytes> m_pending;
    std::atomic<int> m_sent{0};
    std::atomic<int> m_xruns{0};
    std::atomic<std::uint64_t> m_cycles{0};
};

// Sends `message` through `send` until `arrived` holds, again only when the server reported a late
// cycle meanwhile (which may lose any event, whatever the sender did), at most 5 times.
template <typename Send, typename Arrived>
bool SendUntilArrived(JackPeer& peer, Send send, Arrived arrived) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int xruns = peer.Xruns();
        if (!send()) return false;
        if (testsupport::WaitFor(arrived, 5s)) return true;
        if (peer.Xruns() == xruns) return false;
    }
    return false;
}

// A SysEx message of `length` bytes, its bytes its own (seeded).
Bytes Message(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>((i * 37 + seed) & 0x7F);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

template <typename Api>
std::int64_t IndexOf(Api& api, const std::string& name) {
    const std::vector<std::string> names = testsupport::ListedNames(api);
    const auto at = std::find(names.begin(), names.end(), name);
    return at == names.end() ? -1 : at - names.begin();
}

platform::MidiResult SendOn(platform::JackMidiOutApi& api, platform::MidiOutHandle handle, Bytes& message) {
    platform::MidiHeader header{};
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<std::uint32_t>(message.size());
    api.PrepareHeader(handle, &header);
    const platform::MidiResult result = api.LongMsg(handle, &header);
    api.UnprepareHeader(handle, &header);
    return result;
}

// Records what an open input hands back (its service thread) and queues each buffer again.
struct InputRecord {
    platform::JackMidiInApi* api = nullptr;
    std::mutex lock;
    std::vector<Bytes> messages;  // guarded by lock

    static void Callback(platform::MidiInHandle handle, std::uint32_t msg, std::uintptr_t instance,
                         std::uintptr_t p1, std::uintptr_t) {
        auto* self = reinterpret_cast<InputRecord*>(instance);
        if (msg != platform::MIDI_IN_LONGDATA) return;
        auto* header = reinterpret_cast<platform::MidiHeader*>(p1);
        if (header->dwBytesRecorded == 0) return;
        {
            std::lock_guard g(self->lock);
            self->messages.emplace_back(header->lpData, header->lpData + header->dwBytesRecorded);
        }
        self->api->PrepareHeader(handle, header);
        self->api->AddBuffer(handle, header);
    }
    bool Has(const Bytes& message) {
        std::lock_guard g(lock);
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }
};

// An input open on `index` with one buffer queued and started.
struct OpenInput {
    explicit OpenInput(platform::JackMidiInApi& backend) : api(backend) {}

    platform::JackMidiInApi& api;
    InputRecord record;
    std::vector<char> bytes = std::vector<char>(16384);
    platform::MidiHeader header{};
    platform::MidiInHandle handle = nullptr;

    platform::MidiResult Open(std::uint32_t index) {
        record.api = &api;
        header.lpData = bytes.data();
        header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
        if (const auto r = api.Open(&handle, index, &InputRecord::Callback, reinterpret_cast<std::uintptr_t>(&record));
            r != platform::MIDI_OK) {
            return r;
        }
        api.PrepareHeader(handle, &header);
        api.AddBuffer(handle, &header);
        return api.Start(handle);
    }
    platform::MidiResult Close() {
        api.Stop(handle);
        api.Reset(handle);
        api.UnprepareHeader(handle, &header);
        return api.Close(handle);
    }
};

class JackHeldCycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_peer.Start("tarnet-held-" + std::to_string(::getpid()))) {
            if (testsupport::JackRequired()) FAIL() << "no JACK server answers";
            GTEST_SKIP() << "no JACK server answers";
        }
    }

    platform::JackClient& Jack() { return platform::JackClient::Instance(); }

    JackPeer m_peer;
    ReleaseAtEnd m_releaseAtEnd;  // goes before the peer and the backends of a test
};

TEST_F(JackHeldCycleTest, AnOutputThatGoesWhileACycleHoldsOnInsideItIsFreedOnlyOnceThatCycleHasLeft) {
    auto api = std::make_unique<platform::JackMidiOutApi>();
    const std::int64_t index = IndexOf(*api, m_peer.Name());
    ASSERT_GE(index, 0) << "the peer is not listed";
    platform::MidiOutHandle handle = nullptr;
    ASSERT_EQ(api->Open(&handle, static_cast<std::uint32_t>(index)), platform::MIDI_OK);
    Bytes first = Message(20, 1);
    ASSERT_EQ(SendOn(*api, handle, first), platform::MIDI_OK);
    ASSERT_TRUE(api->Flush());
    ASSERT_EQ(api->Close(handle), platform::MIDI_OK);
    const std::size_t keptBefore = Jack().KeptCount();

    HoldNextCycle(HoldAt::PortBuffer, JackPortIsOutput);
    ASSERT_TRUE(testsupport::WaitFor([] { return g_hold.inside.load(); })) << "no cycle of the output was held";
    // The backend goes while the cycle is inside its process callback, past the client's wait.
    EXPECT_TRUE(testsupport::EndsWithin(15s, [&] { api.reset(); })) << "the output's destructor hung";
    EXPECT_EQ(Jack().KeptCount(), keptBefore + 1) << "the hook of the output was not kept for the held cycle";

    // The held cycle goes on inside the hook (in memory that is still the hook's), then leaves it.
    const std::uint64_t cycles = Jack().Cycles();
    ReleaseCycle();
    EXPECT_TRUE(testsupport::WaitFor([&] { return Jack().KeptCount() == keptBefore; }))
        << "the hook was not freed once the cycle had left it";
    EXPECT_TRUE(testsupport::WaitFor([&] { return Jack().Cycles() > cycles + 2; })) << "the client runs no cycles";
}

TEST_F(JackHeldCycleTest, AnInputClosedWhileACycleHoldsOnInsideItWithAnEventIsKeptUntilThatCycleHasLeft) {
    platform::JackMidiInApi api;
    const std::int64_t index = IndexOf(api, m_peer.Name() + "-out");
    ASSERT_GE(index, 0) << "the peer's output is not listed";
    OpenInput input(api);
    ASSERT_EQ(input.Open(static_cast<std::uint32_t>(index)), platform::MIDI_OK);
    const Bytes first = Message(30, 2);
    ASSERT_TRUE(SendUntilArrived(
        m_peer, [&] { m_peer.Send(first); return true; }, [&] { return input.record.Has(first); }))
        << "the input receives nothing";
    const std::size_t keptBefore = Jack().KeptCount();

    // The cycle that carries the next event is held with the input in hand, then the input closes.
    // The peer goes on sending an event in every cycle, so that the buffer holds one when the
    // held cycle goes on.
    HoldNextCycle(HoldAt::PortBuffer, JackPortIsInput, true);
    for (int i = 0; i < 1000; ++i) m_peer.Send(Message(40, 3));
    ASSERT_TRUE(testsupport::WaitFor([] { return g_hold.inside.load(); })) << "no cycle of the input was held";
    platform::MidiResult closed = platform::MIDI_ERR_GENERIC;
    EXPECT_TRUE(testsupport::EndsWithin(15s, [&] { closed = input.Close(); })) << "closing the input hung";
    EXPECT_EQ(closed, platform::MIDI_OK);
    EXPECT_EQ(Jack().KeptCount(), keptBefore + 1) << "the closed input was not kept for the held cycle";

    // The held cycle writes the event into the kept input's ring, then leaves.
    ReleaseCycle();
    EXPECT_TRUE(testsupport::WaitFor([&] { return Jack().KeptCount() == keptBefore; }))
        << "the input was not freed once the cycle had left it";
    m_peer.DropPending();

    // The backend works on: an input opened again receives the next message whole.
    OpenInput again(api);
    ASSERT_EQ(again.Open(static_cast<std::uint32_t>(index)), platform::MIDI_OK);
    const Bytes next = Message(50, 4);
    EXPECT_TRUE(SendUntilArrived(
        m_peer, [&] { m_peer.Send(next); return true; }, [&] { return again.record.Has(next); }))
        << "the input opened again receives nothing";
    EXPECT_EQ(again.Close(), platform::MIDI_OK);
}

TEST_F(JackHeldCycleTest, AnInputBackendThatGoesWhileACycleHoldsOnInsideItsOpenInputKeepsBothUntilThatCycleHasLeft) {
    auto api = std::make_unique<platform::JackMidiInApi>();
    const std::int64_t index = IndexOf(*api, m_peer.Name() + "-out");
    ASSERT_GE(index, 0) << "the peer's output is not listed";
    std::unique_ptr<OpenInput> input(new OpenInput(*api));
    ASSERT_EQ(input->Open(static_cast<std::uint32_t>(index)), platform::MIDI_OK);
    const std::size_t keptBefore = Jack().KeptCount();

    HoldNextCycle(HoldAt::PortBuffer, JackPortIsInput, true);
    for (int i = 0; i < 1000; ++i) m_peer.Send(Message(40, 5));
    ASSERT_TRUE(testsupport::WaitFor([] { return g_hold.inside.load(); })) << "no cycle of the input was held";
    // The backend goes with its input open, as a program that ends does.
    EXPECT_TRUE(testsupport::EndsWithin(15s, [&] { api.reset(); })) << "the input's destructor hung";
    EXPECT_EQ(Jack().KeptCount(), keptBefore + 1) << "the hook and its input were not kept for the held cycle";

    ReleaseCycle();
    EXPECT_TRUE(testsupport::WaitFor([&] { return Jack().KeptCount() == keptBefore; }))
        << "the hook was not freed once the cycle had left it";
}

TEST_F(JackHeldCycleTest, SwitchingDevicesWhileACycleHoldsOnInsideTheQueueFailsAndTheOldQueueNeverReachesTheNewDevice) {
    JackPeer other;
    ASSERT_TRUE(other.Start(m_peer.Name() + "-b"));
    platform::JackMidiOutApi api;
    const std::int64_t a = IndexOf(api, m_peer.Name());
    const std::int64_t b = IndexOf(api, other.Name());
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    platform::MidiOutHandle handle = nullptr;
    ASSERT_EQ(api.Open(&handle, static_cast<std::uint32_t>(a)), platform::MIDI_OK);
    Bytes m0 = Message(20, 10), m1 = Message(21, 11), m2 = Message(22, 12);
    ASSERT_TRUE(SendUntilArrived(
        m_peer, [&] { return SendOn(api, handle, m0) == platform::MIDI_OK && api.Flush(); },
        [&] { return !m_peer.Messages().empty(); }))
        << "nothing reached the first device";

    // A cycle holds on between taking m1 from the queue and letting it go; m2 waits behind it.
    HoldNextCycle(HoldAt::EventReserve);
    ASSERT_EQ(SendOn(api, handle, m1), platform::MIDI_OK);
    ASSERT_EQ(SendOn(api, handle, m2), platform::MIDI_OK);
    ASSERT_TRUE(testsupport::WaitFor([] { return g_hold.inside.load(); })) << "no cycle of the output was held";
    platform::MidiOutHandle otherHandle = nullptr;
    platform::MidiResult switched = platform::MIDI_OK;
    EXPECT_TRUE(testsupport::EndsWithin(20s, [&] { switched = api.Open(&otherHandle, static_cast<std::uint32_t>(b)); }))
        << "switching devices hung";
    EXPECT_EQ(switched, platform::MIDI_ERR_GENERIC) << "the queue was emptied under the held cycle";
    EXPECT_EQ(api.ConnectedTarget(), m_peer.Name() + ":" + m_peer.Name()) << "the connection moved";
    if (switched == platform::MIDI_OK) api.Close(otherHandle);

    // Once the cycle goes on, the queue goes out to the device it was meant for.
    ReleaseCycle();
    EXPECT_TRUE(api.Flush(5s)) << "the queue did not go out once the cycle went on";
    EXPECT_EQ(api.Close(handle), platform::MIDI_OK);
    ASSERT_EQ(api.Open(&otherHandle, static_cast<std::uint32_t>(b)), platform::MIDI_OK);
    Bytes m3 = Message(23, 13);
    EXPECT_TRUE(SendUntilArrived(
        other, [&] { return SendOn(api, otherHandle, m3) == platform::MIDI_OK && api.Flush(); },
        [&] { return !other.Messages().empty(); }))
        << "nothing reached the new device";
    EXPECT_EQ(api.Close(otherHandle), platform::MIDI_OK);
    std::this_thread::sleep_for(100ms);  // for anything that should not come
    for (const Bytes& got : other.Messages()) EXPECT_EQ(got, m3) << "the new device got a message of the old queue";
    // The first device got its own messages and nothing else, in order (those of the held cycle
    // may be lost with it: the server had moved on).
    const std::vector<Bytes> first = m_peer.Messages();
    const std::vector<Bytes> meant{m0, m1, m2};
    std::size_t next = 0;
    for (const Bytes& got : first) {
        while (next < meant.size() && got != meant[next]) ++next;
        ASSERT_LT(next, meant.size()) << "the first device got a message that was not its own, or out of order";
        ++next;
    }
    EXPECT_FALSE(first.empty());
}

// The moment CMidiOutPort reports for a send (the backend's HandedOverAt) is that of the message's
// last event going into a cycle's buffer: after the send began, and never after the receiver had
// that event. Two of the largest messages queued just before it fill more than a cycle's buffer,
// so the message's last event goes in a later cycle than their first one: the moment comes after
// the receiver had that first event, which the moment of the send itself never does.
TEST_F(JackHeldCycleTest, TheHandOverMomentOfASendComesAfterTheCyclesBeforeItsLastEventAndNoLaterThanItsReceipt) {
    platform::JackMidiOutApi api;
    CMidiOutPort port(api);
    const std::int64_t found = IndexOf(api, m_peer.Name());
    ASSERT_GE(found, 0);
    const auto index = static_cast<std::uint32_t>(found);

    for (const std::size_t length : {std::size_t{18742}, std::size_t{15}}) {
        SCOPED_TRACE(length);
        Bytes fill1 = Message(18742, 1), fill2 = Message(18742, 2);
        Bytes message = Message(length, 3);
        std::size_t before = 0;
        Clock::time_point sent{}, handedOver{};
        std::vector<JackPeer::Received> events;
        auto send = [&] {
            ASSERT_TRUE(api.Flush());  // nothing of an earlier attempt still on its way
            before = m_peer.Events().size();
            ASSERT_TRUE(port.Open(index));
            // The port's handle: the backend gives out one.
            platform::MidiOutHandle handle = nullptr;
            ASSERT_EQ(api.Open(&handle, index), platform::MIDI_OK);
            ASSERT_EQ(SendOn(api, handle, fill1), platform::MIDI_OK);
            ASSERT_EQ(SendOn(api, handle, fill2), platform::MIDI_OK);
            api.Close(handle);
            platform::MidiHeader header{};
            header.lpData = reinterpret_cast<char*>(message.data());
            header.dwBufferLength = static_cast<std::uint32_t>(message.size());
            sent = Clock::now();
            const bool done = port.SendLong(&header);
            handedOver = port.LastSendLeftAt();
            port.Close();
            ASSERT_TRUE(done);
        };
        auto arrived = [&] {
            const auto all = m_peer.Events();
            events.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end());
            std::vector<Bytes> messages;
            for (const auto& e : events) {
                if (e.bytes.front() == 0xF0) messages.emplace_back();
                if (!messages.empty()) messages.back().insert(messages.back().end(), e.bytes.begin(), e.bytes.end());
            }
            return messages == std::vector<Bytes>{fill1, fill2, message};
        };
        // An attempt counts when the messages arrived whole without a late cycle meanwhile (a
        // receiver that runs late may lose events, or read them a cycle late).
        bool counted = false;
        for (int attempt = 0; attempt < 5 && !counted; ++attempt) {
            const int xruns = m_peer.Xruns();
            send();
            if (::testing::Test::HasFatalFailure()) return;
            const bool whole = testsupport::WaitFor(arrived, 5s);
            counted = whole && m_peer.Xruns() == xruns;
            ASSERT_TRUE(whole || m_peer.Xruns() != xruns) << "the messages did not arrive whole";
        }
        ASSERT_TRUE(counted) << "every attempt met a late cycle of the server";

        const JackPeer::Received& first = events.front();  // the first event of the first filler
        const JackPeer::Received& last = events.back();    // the message's last event
        ASSERT_LT(first.cycle, last.cycle) << "everything went in one cycle";
        EXPECT_LE(sent, handedOver);
        EXPECT_LT(first.at, handedOver) << "the moment is not that of the message's last event";
        EXPECT_LE(handedOver, last.at) << "the moment is later than the receipt of the message's last event";
    }
}

// A message that never goes out whole has no hand-over moment: the port then takes the moment of
// the send.
TEST_F(JackHeldCycleTest, AMessageThatAnAbandonStoppedHasNoHandOverMoment) {
    platform::JackMidiOutApi api;
    const std::int64_t index = IndexOf(api, m_peer.Name());
    ASSERT_GE(index, 0);
    platform::MidiOutHandle handle = nullptr;
    ASSERT_EQ(api.Open(&handle, static_cast<std::uint32_t>(index)), platform::MIDI_OK);
    Bytes message = Message(18742, 20);
    ASSERT_EQ(SendOn(api, handle, message), platform::MIDI_OK);
    Clock::time_point at{};
    EXPECT_TRUE(api.HandedOverAt(handle, &at));

    ASSERT_EQ(api.Abandon(handle), platform::MIDI_OK);
    EXPECT_NE(SendOn(api, handle, message), platform::MIDI_OK);
    bool handed = true;
    EXPECT_TRUE(testsupport::EndsWithin(5s, [&] { handed = api.HandedOverAt(handle, &at); }));
    EXPECT_FALSE(handed) << "a message that did not go out has a hand-over moment";
    EXPECT_EQ(api.Close(handle), platform::MIDI_OK);
}

}  // namespace
