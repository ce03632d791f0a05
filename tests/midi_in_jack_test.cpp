// CMidiInPort on the system's MIDI layer over a JACK server: a raw JACK client sends SysEx to the
// port's device, which is found by its listed name. Then the JACK input backend itself: what its
// indexes open while ports come and go, and what a full ring does.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "CMidiInPort.h"
#include "ListedPortRounds.h"
#include "TestSupport.h"
#include "platform/jack/JackClient.h"
#include "platform/jack/JackMidiIn.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

// A JACK client with one MIDI output port that writes one queued event per process cycle.
class JackSender {
public:
    bool Open(const std::string& suffix = "") {
        const std::string pid = std::to_string(::getpid()) + suffix;
        m_client = jack_client_open(("tarnet_midi_in_test_" + pid).c_str(), JackNoStartServer,
                                    nullptr);
        if (m_client == nullptr) return false;
        portName = "sysex-sender-" + pid;
        m_port = jack_port_register(m_client, portName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                    JackPortIsOutput, 0);
        if (m_port == nullptr) return false;
        jack_set_process_callback(m_client, &JackSender::Process, this);
        return jack_activate(m_client) == 0;
    }
    ~JackSender() {
        if (m_client != nullptr) jack_client_close(m_client);
    }
    void Send(Bytes event) {
        std::lock_guard<std::mutex> g(m_lock);
        m_events.push_back(std::move(event));
    }
    std::atomic<int> sent{0};
    std::atomic<int> failed{0};
    std::string portName;

private:
    // JACK's process thread: never waits for the test's thread.
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackSender*>(arg);
        void* buffer = jack_port_get_buffer(self->m_port, frames);
        jack_midi_clear_buffer(buffer);
        std::unique_lock<std::mutex> g(self->m_lock, std::try_to_lock);
        if (!g.owns_lock() || self->m_events.empty()) return 0;
        const Bytes& e = self->m_events.front();
        if (jack_midi_event_write(buffer, 0, e.data(), e.size()) != 0) self->failed.fetch_add(1);
        self->m_events.pop_front();
        self->sent.fetch_add(1);
        return 0;
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::mutex m_lock;
    std::deque<Bytes> m_events;
};

bool JackServerAnswers() {
    jack_client_t* c = jack_client_open("tarnet_midi_in_probe", JackNoStartServer, nullptr);
    if (c == nullptr) return false;
    jack_client_close(c);
    return true;
}

Bytes SysEx(std::size_t length) {
    Bytes b(length);
    b.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < length; ++i) b[i] = static_cast<std::uint8_t>((i * 7) % 128);
    b.back() = 0xF7;
    return b;
}

}  // namespace

TEST(MidiInPortOverJack, SysExFromAnotherClientIsHandedOutAsExpectedEntries) {
    if (!JackServerAnswers()) {
        if (testsupport::JackRequired()) FAIL() << "no JACK server answers";
        GTEST_SKIP() << "no JACK server";
    }
    JackSender sender;
    ASSERT_TRUE(sender.Open());

    CMidiInPort port;
    const std::uint32_t count = port.GetDeviceCount();
    std::int64_t index = -1;
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[260];
        port.GetDeviceName(i, name);
        if (sender.portName == name) index = i;
    }
    ASSERT_GE(index, 0) << "the sender is not listed as " << sender.portName;
    port.m_deviceIndex = static_cast<std::uint32_t>(index);
    ASSERT_TRUE(port.Start());
    EXPECT_TRUE(port.Start());  // no second client

    const Bytes identityReply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00,
                              0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xF7};
    const Bytes longMessage = SysEx(10551);
    const Bytes split = SysEx(300);
    sender.Send(identityReply);
    sender.Send({0x90, 0x3C, 0x64});  // a note on adds nothing
    sender.Send(longMessage);
    // A message that the sender splits into events: the first without 0xF7, then one without 0xF0.
    sender.Send(Bytes(split.begin(), split.begin() + 120));
    sender.Send(Bytes(split.begin() + 120, split.end()));
    // A message that never ends, then a whole one: only the whole one is handed out.
    sender.Send({0xF0, 0x7D, 0x00, 0x6A});
    sender.Send(identityReply);
    ASSERT_TRUE(testsupport::WaitFor([&] { return sender.sent.load() == 7; }, std::chrono::seconds(10)));
    EXPECT_EQ(sender.failed.load(), 0);

    std::vector<Bytes> entries;
    testsupport::WaitFor(
        [&] {
            const std::uint8_t* bytes = nullptr;
            std::uint32_t length = 0;
            while (port.PeekReceived(&bytes, &length)) {
                entries.emplace_back(bytes, bytes + length);
                port.PopReceived();
            }
            return entries.size() >= 5;
        },
        std::chrono::seconds(10));
    port.Stop();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0], identityReply);
    EXPECT_EQ(entries[1], Bytes(longMessage.begin(), longMessage.begin() + RECEIVE_BUFFER_SIZE));
    EXPECT_EQ(entries[2], Bytes(longMessage.begin() + RECEIVE_BUFFER_SIZE, longMessage.end()));
    EXPECT_EQ(entries[3], split);
    EXPECT_EQ(entries[4], identityReply);
    EXPECT_FALSE(port.PeekReceived(nullptr, nullptr));

    // Stopped: nothing more arrives.
    sender.Send(identityReply);
    ASSERT_TRUE(testsupport::WaitFor([&] { return sender.sent.load() == 8; }));
    EXPECT_FALSE(port.PeekReceived(nullptr, nullptr));
}

TEST(MidiInPortOverJack, ASourceThatLeavesIsHeardAsItsDeviceLeavingAndAnotherClientsPortIsNot) {
    if (!JackServerAnswers()) {
        if (testsupport::JackRequired()) FAIL() << "no JACK server answers";
        GTEST_SKIP() << "no JACK server";
    }
    auto sender = std::make_unique<JackSender>();
    ASSERT_TRUE(sender->Open());
    auto other = std::make_unique<JackSender>();
    ASSERT_TRUE(other->Open("-other"));

    CMidiInPort port;
    const std::uint32_t count = port.GetDeviceCount();
    std::int64_t index = -1;
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[260];
        port.GetDeviceName(i, name);
        if (sender->portName == name) index = i;
    }
    ASSERT_GE(index, 0) << "the sender is not listed as " << sender->portName;
    port.m_deviceIndex = static_cast<std::uint32_t>(index);
    ASSERT_TRUE(port.Start());
    EXPECT_FALSE(port.DeviceGone());

    other.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(port.DeviceGone()) << "another client's port left";
    sender.reset();
    EXPECT_TRUE(testsupport::WaitFor([&] { return port.DeviceGone(); })) << "the input did not hear its source leave";
    port.Stop();
}

TEST(MidiInPortOverJack, StartWithAnIndexThatNamesNoDeviceFails) {
    if (!JackServerAnswers()) {
        if (testsupport::JackRequired()) FAIL() << "no JACK server answers";
        GTEST_SKIP() << "no JACK server";
    }
    CMidiInPort port;
    port.m_deviceIndex = port.GetDeviceCount() + 100;
    EXPECT_FALSE(port.Start());
    EXPECT_FALSE(port.IsStarted());
}

namespace {

void IgnoreInput(platform::MidiInHandle, std::uint32_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {}

}  // namespace

TEST(JackMidiInBackend, AnIndexOpensThePortListedThereOrFailsOnceThatPortHasGone) {
    if (!JackServerAnswers()) {
        if (testsupport::JackRequired()) FAIL() << "no JACK server answers";
        GTEST_SKIP() << "no JACK server";
    }
    testsupport::JackTestPorts ports("tarnet-in-listed", JackPortIsOutput);
    ASSERT_TRUE(ports.Ready());
    platform::JackMidiInApi api;
    platform::MidiInHandle handle = nullptr;
    testsupport::OpenListedPortsWhilePortsComeAndGo(
        api, ports, [&](std::uint32_t index) { return api.Open(&handle, index, &IgnoreInput, 0); },
        [&] { EXPECT_EQ(api.Close(handle), platform::MIDI_OK); });
}

namespace {

// An input callback that records what comes back and holds the service thread in the callback
// while the gate is shut (at most 20 s), as a slow receiver would.
struct HeldReceiver {
    platform::JackMidiInApi* api = nullptr;
    std::mutex lock;
    std::condition_variable opened;
    bool gateOpen = false;
    std::atomic<int> held{0};             // callbacks that found the gate shut
    std::vector<Bytes> messages;          // MIDI_IN_LONGDATA, whole buffers
    std::vector<std::uintptr_t> errors;   // MIDI_IN_ERROR: the events lost

    static void Callback(platform::MidiInHandle handle, std::uint32_t msg, std::uintptr_t instance,
                         std::uintptr_t p1, std::uintptr_t p2) {
        auto* self = reinterpret_cast<HeldReceiver*>(instance);
        std::unique_lock<std::mutex> g(self->lock);
        if (msg == platform::MIDI_IN_ERROR) self->errors.push_back(p2);
        if (msg != platform::MIDI_IN_LONGDATA) return;
        auto* h = reinterpret_cast<platform::MidiHeader*>(p1);
        if (h->dwBytesRecorded == 0) return;
        self->messages.emplace_back(h->lpData, h->lpData + h->dwBytesRecorded);
        self->api->PrepareHeader(handle, h);
        self->api->AddBuffer(handle, h);
        if (!self->gateOpen) {
            self->held.fetch_add(1);
            self->opened.wait_for(g, std::chrono::seconds(20), [self] { return self->gateOpen; });
        }
    }
    void Open() {
        std::lock_guard<std::mutex> g(lock);
        gateOpen = true;
        opened.notify_all();
    }
};

}  // namespace

TEST(JackMidiInBackend, AFullRingDropsAndCountsEventsWhileTheProcessThreadRunsOn) {
    if (!JackServerAnswers()) {
        if (testsupport::JackRequired()) FAIL() << "no JACK server answers";
        GTEST_SKIP() << "no JACK server";
    }
    JackSender sender;
    ASSERT_TRUE(sender.Open());
    platform::JackMidiInApi api;
    HeldReceiver receiver;
    receiver.api = &api;
    const std::vector<std::string> names = testsupport::ListedNames(api);
    const auto at = std::find(names.begin(), names.end(), sender.portName);
    ASSERT_NE(at, names.end()) << "the sender is not listed";

    std::vector<char> bytes(16384);
    platform::MidiHeader header{};
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
    platform::MidiInHandle handle = nullptr;
    ASSERT_EQ(api.Open(&handle, static_cast<std::uint32_t>(at - names.begin()), &HeldReceiver::Callback,
                       reinterpret_cast<std::uintptr_t>(&receiver)),
              platform::MIDI_OK);
    ASSERT_EQ(api.PrepareHeader(handle, &header), platform::MIDI_OK);
    ASSERT_EQ(api.AddBuffer(handle, &header), platform::MIDI_OK);
    ASSERT_EQ(api.Start(handle), platform::MIDI_OK);

    // The first message holds the service thread in the callback; then far more than the ring
    // holds arrives, one large message per cycle.
    const Bytes first = SysEx(20);
    sender.Send(first);
    ASSERT_TRUE(testsupport::WaitFor([&] { return receiver.held.load() == 1; }, std::chrono::seconds(10)));
    constexpr int LARGE = 40;  // 40 x 8000 bytes against a ring of 4 cycles of 32 KB
    const std::uint64_t cyclesBefore = platform::JackClient::Instance().Cycles();
    std::vector<Bytes> large;
    for (int i = 0; i < LARGE; ++i) {
        Bytes message = SysEx(8000);
        message[1] = static_cast<std::uint8_t>(i);
        large.push_back(message);
        sender.Send(message);
    }
    ASSERT_TRUE(testsupport::WaitFor([&] { return sender.sent.load() == 1 + LARGE; }, std::chrono::seconds(20)));
    // Our cycles went on while the callback held the service thread (the sender's took one per
    // message), and the ring overflowed.
    EXPECT_GE(platform::JackClient::Instance().Cycles(), cyclesBefore + LARGE - 2);
    ASSERT_TRUE(testsupport::WaitFor([&] { return api.LostEvents() > 0; }, std::chrono::seconds(5)));

    receiver.Open();
    const Bytes last = SysEx(30);
    sender.Send(last);
    ASSERT_TRUE(testsupport::WaitFor([&] {
        std::lock_guard<std::mutex> g(receiver.lock);
        return !receiver.messages.empty() && receiver.messages.back() == last;
    }, std::chrono::seconds(10)));
    EXPECT_EQ(api.Stop(handle), platform::MIDI_OK);
    EXPECT_EQ(api.Reset(handle), platform::MIDI_OK);
    EXPECT_EQ(api.UnprepareHeader(handle, &header), platform::MIDI_OK);
    EXPECT_EQ(api.Close(handle), platform::MIDI_OK);

    std::lock_guard<std::mutex> g(receiver.lock);
    // What got through came whole and in order; what was lost was reported, each event once.
    ASSERT_GE(receiver.messages.size(), 2u);
    EXPECT_EQ(receiver.messages.front(), first);
    std::size_t next = 0;
    for (std::size_t i = 1; i + 1 < receiver.messages.size(); ++i) {
        while (next < large.size() && large[next] != receiver.messages[i]) ++next;
        ASSERT_LT(next, large.size()) << "message " << i << " is none of those sent, or out of order";
        ++next;
    }
    const std::size_t arrived = receiver.messages.size() - 2;
    std::uint64_t reported = 0;
    for (std::uintptr_t n : receiver.errors) reported += n;
    EXPECT_EQ(reported, api.LostEvents());
    EXPECT_EQ(arrived + api.LostEvents(), static_cast<std::size_t>(LARGE));
    EXPECT_LT(arrived, static_cast<std::size_t>(LARGE));
    // Every event is counted once: read (the first, those that arrived, the last) or lost.
    EXPECT_EQ(api.EventsRead(), arrived + 2);
}
