// CMidiInPort on the system's MIDI layer over a JACK server: a raw JACK client sends SysEx to the
// port's device, which is found by its listed name.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "CMidiInPort.h"
#include "TestSupport.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

// A JACK client with one MIDI output port that writes one queued event per process cycle.
class JackSender {
public:
    bool Open() {
        const std::string pid = std::to_string(::getpid());
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
