// CMidiOutPort on the JACK backend over a running JACK server. The test process registers its own
// JACK clients with a MIDI input port each (names unique to the process) and checks every byte
// that arrives, event by event, against the span rule of the JACK output backend.
#include <gtest/gtest.h>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "CMidiOutPort.h"
#include "ListedPortRounds.h"
#include "TestSupport.h"
#include "platform/jack/JackMidiOut.h"

using Bytes = std::vector<std::uint8_t>;

// The receiver's process thread reads the port buffer that the sender's process thread filled
// earlier in the same JACK cycle; libjack orders the two clients through the server with
// primitives that ThreadSanitizer cannot see.
extern "C" const char* __tsan_default_suppressions() { return "race:JackReceiverProcess\n"; }

// Heap allocations made by the thread that counts them (the sending thread of a test).
namespace {
thread_local bool t_countAllocations = false;
thread_local long t_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (t_countAllocations) ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// A JACK client with one MIDI input port that records every event it receives.
class JackReceiver {
public:
    bool Start(const std::string& name) {
        jack_status_t status{};
        m_client = jack_client_open(name.c_str(), JackNoStartServer, &status);
        if (m_client == nullptr) return false;
        m_port = jack_port_register(m_client, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (m_port == nullptr) return false;
        m_events.reserve(4096);  // the process callback appends without growing the list
        jack_set_process_callback(m_client, &JackReceiver::JackReceiverProcess, this);
        jack_set_graph_order_callback(m_client, &JackReceiver::OnGraphOrder, this);
        jack_set_xrun_callback(m_client, &JackReceiver::OnXrun, this);
        return jack_activate(m_client) == 0;
    }

    ~JackReceiver() { Stop(); }

    // Closes the client: its port vanishes from the server.
    void Stop() {
        if (m_client != nullptr) {
            jack_deactivate(m_client);
            jack_client_close(m_client);
            m_client = nullptr;
        }
    }

    // Times the server has changed its graph (clients, ports, connections) since Start.
    int GraphChanges() const { return m_graphChanges.load(); }
    // Late cycles (xruns) that the server reported since Start: in such a cycle the events of the
    // cycle may never reach a client that was late, whatever the sender did.
    int Xruns() const { return m_xruns.load(); }

    std::size_t ByteCount() {
        std::lock_guard lock(m_lock);
        std::size_t n = 0;
        for (const Bytes& e : m_events) n += e.size();
        return n;
    }

    std::vector<Bytes> Events() {
        std::lock_guard lock(m_lock);
        return m_events;
    }

    void Clear() {
        std::lock_guard lock(m_lock);
        m_events.clear();
    }

private:
    // Runs on JACK's process thread. A test may take a lock here.
    static int JackReceiverProcess(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackReceiver*>(arg);
        void* buffer = jack_port_get_buffer(self->m_port, frames);
        const jack_nframes_t count = jack_midi_get_event_count(buffer);
        std::lock_guard lock(self->m_lock);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) == 0) {
                self->m_events.emplace_back(event.buffer, event.buffer + event.size);
            }
        }
        return 0;
    }

    // Runs on a JACK thread of the receiver's client.
    static int OnGraphOrder(void* arg) {
        static_cast<JackReceiver*>(arg)->m_graphChanges.fetch_add(1);
        return 0;
    }

    // Runs on a JACK thread of the receiver's client.
    static int OnXrun(void* arg) {
        static_cast<JackReceiver*>(arg)->m_xruns.fetch_add(1);
        return 0;
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::mutex m_lock;
    std::vector<Bytes> m_events;
    std::atomic<int> m_graphChanges{0};  // written by JACK's thread, read by the test (counts only)
    std::atomic<int> m_xruns{0};         // likewise
};

// Joins received events into messages: an event that starts with 0xF0 opens a message, the
// following ones continue it until one ends with 0xF7.
std::vector<Bytes> Reassemble(const std::vector<Bytes>& events) {
    std::vector<Bytes> messages;
    bool open = false;
    for (const Bytes& e : events) {
        if (e.empty()) continue;
        if (e.front() == 0xF0 || !open) messages.emplace_back();
        messages.back().insert(messages.back().end(), e.begin(), e.end());
        open = e.back() != 0xF7;
    }
    return messages;
}

// A SysEx message of `length` bytes shaped like a data block: frame bytes, then 7-bit data.
Bytes BlockShaped(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    const std::uint8_t head[] = {0xF0, 0x7D, 0x00, 0x6A, 0x02};
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>((i * 37 + seed) & 0x7F);
    std::memcpy(bytes.data(), head, sizeof head);
    bytes.back() = 0xF7;
    return bytes;
}

class MidiOutJackTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_name = "tarnet-out-" + std::to_string(::getpid());
        if (!m_receiver.Start(m_name)) {
            if (testsupport::JackRequired()) FAIL() << "no JACK server answers";
            GTEST_SKIP() << "no JACK server answers";
        }
        // Our port appears in the list under its short name.
        ASSERT_TRUE(testsupport::WaitFor([&] { return FindDevice(); })) << "port " << m_name << " not listed";
    }

    // Index of the device listed as `name`, or -1.
    std::int64_t IndexOf(const std::string& name) {
        const std::uint32_t count = m_port.GetDeviceCount();
        std::int64_t found = -1;
        for (std::uint32_t i = 0; i < count; ++i) {
            char listed[260];
            m_port.GetDeviceName(i, listed);
            if (name == listed) found = i;
        }
        return found;
    }

    bool FindDevice() {
        const std::int64_t index = IndexOf(m_name);
        if (index >= 0) m_index = static_cast<std::uint32_t>(index);
        return index >= 0;
    }

    // One message the way the send path sends it: open, send, close. The backend's LongMsg
    // returns with the message queued; Flush waits until it has gone out.
    bool SendTo(std::uint32_t index, Bytes& bytes) {
        if (!m_port.Open(index)) return false;
        platform::MidiHeader header{};
        header.lpData = reinterpret_cast<char*>(bytes.data());
        header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
        const bool sent = m_port.SendLong(&header);
        m_port.Close();
        return sent;
    }

    bool Send(Bytes& bytes) { return FindDevice() && SendTo(m_index, bytes); }

    std::string m_name;
    JackReceiver m_receiver;
    platform::JackMidiOutApi m_api;
    CMidiOutPort m_port{m_api};
    std::uint32_t m_index = 0;
};

TEST_F(MidiOutJackTest, DataBlocksArriveWholeInSpansOfAtMost8192Bytes) {
    Bytes block = BlockShaped(10551, 1);
    Bytes largest = BlockShaped(18742, 2);
    ASSERT_TRUE(Send(block));
    ASSERT_TRUE(Send(largest));
    ASSERT_TRUE(m_api.Flush());
    // Delivered once Flush returned; wait a little for anything that should not come.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    const std::vector<Bytes> events = m_receiver.Events();
    std::vector<std::size_t> sizes;
    for (const auto& e : events) sizes.push_back(e.size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{8192, 2359, 8192, 8192, 2358}));

    const std::vector<Bytes> messages = Reassemble(events);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0] == block) << "the 10551-byte message differs";
    EXPECT_TRUE(messages[1] == largest) << "the 18742-byte message differs";
}

TEST_F(MidiOutJackTest, ShortMessagesArriveAsSingleEventsInTheirOrder) {
    std::vector<Bytes> sent = {
        {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
        {0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7},
        {0xF0, 0x7D, 0x00, 0x6A, 0x01, 0xF7},
        {0xF0, 0x7D, 0x00, 0x6A, 0x03, 0xF7},
    };
    for (Bytes& message : sent) ASSERT_TRUE(Send(message));
    ASSERT_TRUE(m_api.Flush());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_receiver.Events(), sent);
}

TEST_F(MidiOutJackTest, AMessageOfExactlyOneSpanGoesAsOneEvent) {
    Bytes message = BlockShaped(platform::JackMidiOutApi::JACK_SPAN, 3);
    Bytes next = BlockShaped(platform::JackMidiOutApi::JACK_SPAN + 1, 4);
    ASSERT_TRUE(Send(message));
    ASSERT_TRUE(Send(next));
    ASSERT_TRUE(m_api.Flush());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<Bytes> events = m_receiver.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], message);
    EXPECT_EQ(events[2], (Bytes{0xF7}));
    EXPECT_EQ(Reassemble(events)[1], next);
}

// Message i of a stream: sizes that go round from short answers to the largest data block, the
// bytes of each one its own (its number is in bytes 5 and 6).
Bytes StreamMessage(int i) {
    static const std::size_t sizes[] = {6, 7, 15, 10551, 300, 18742, 8192, 8193, 9, 2000};
    Bytes bytes = BlockShaped(sizes[i % 10], static_cast<std::uint8_t>(i));
    if (bytes.size() > 7) {
        bytes[5] = static_cast<std::uint8_t>(i & 0x7F);
        bytes[6] = static_cast<std::uint8_t>((i >> 7) & 0x7F);
    }
    return bytes;
}


TEST_F(MidiOutJackTest, HundredsOfMessagesInARowArriveByteForByteWithoutGraphChangeOrAllocation) {
    constexpr int COUNT = 300;
    std::vector<Bytes> sent;
    for (int i = 0; i < COUNT; ++i) sent.push_back(StreamMessage(i));
    std::size_t total = 0;
    for (const Bytes& b : sent) total += b.size();

    // The first message connects our port to the device; the others go the way the send path
    // sends them (open, send, close per message) and change nothing in the graph.
    ASSERT_TRUE(FindDevice());
    ASSERT_TRUE(SendTo(m_index, sent[0]));
    ASSERT_TRUE(m_api.Flush());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // graph notices of the connection
    ASSERT_TRUE(testsupport::WaitFor([&] { return m_receiver.ByteCount() >= sent[0].size(); }));

    // A cycle that the server reports late (a loaded machine) may lose the events of that cycle on
    // the receiver's side, which no sender can help: such a stream only has to deliver whole
    // messages in their order, and the stream is sent again. A stream without a late cycle must
    // arrive whole.
    for (int attempt = 1;; ++attempt) {
        m_receiver.Clear();
        const int graphChangesBefore = m_receiver.GraphChanges();
        const int xrunsBefore = m_receiver.Xruns();
        int refused = 0;
        t_allocations = 0;
        t_countAllocations = true;
        for (int i = 1; i < COUNT; ++i) {
            if (!SendTo(m_index, sent[i])) ++refused;
        }
        t_countAllocations = false;
        const long allocations = t_allocations;
        ASSERT_TRUE(m_api.Flush(std::chrono::milliseconds(10000)));
        const std::size_t expected = total - sent[0].size();
        const bool whole =
            testsupport::WaitFor([&] { return m_receiver.ByteCount() >= expected; }, std::chrono::seconds(10));

        EXPECT_EQ(refused, 0);
        EXPECT_EQ(allocations, 0) << "the send path of a selected device took memory from the heap";
        EXPECT_EQ(m_receiver.GraphChanges(), graphChangesBefore) << "the send path changed the graph";
        const std::vector<Bytes> received = Reassemble(m_receiver.Events());
        // Every message received is one that was sent, whole, in the order sent.
        int next = 1;
        for (std::size_t r = 0; r < received.size(); ++r) {
            while (next < COUNT && !(received[r] == sent[next])) ++next;
            ASSERT_LT(next, COUNT) << "received message " << r << " (" << received[r].size()
                                   << " bytes) is none of the messages sent, or out of their order";
            ++next;
        }
        const bool late = m_receiver.Xruns() != xrunsBefore;
        if (!late) {
            ASSERT_TRUE(whole) << m_receiver.ByteCount() << " of " << expected << " bytes arrived";
            ASSERT_EQ(received.size(), sent.size() - 1);
            break;
        }
        ASSERT_LT(attempt, 5) << "every stream met a late cycle of the server";
        std::printf("the server reported a late cycle during stream %d (%zu of %d messages arrived): sent again\n",
                    attempt, received.size(), COUNT - 1);
    }
}

TEST_F(MidiOutJackTest, SwitchingBetweenTwoDevicesMidStreamDeliversEveryMessageToItsOwnDevice) {
    JackReceiver other;
    const std::string otherName = m_name + "-b";
    ASSERT_TRUE(other.Start(otherName));
    std::int64_t a = -1, b = -1;
    ASSERT_TRUE(testsupport::WaitFor([&] { return (a = IndexOf(m_name)) >= 0 && (b = IndexOf(otherName)) >= 0; }));

    // Runs of different lengths to one device, then the other; every message is numbered.
    std::vector<Bytes> toA, toB;
    const int runs[] = {10, 7, 1, 12, 3, 1, 1, 9, 5, 14};
    int number = 0;
    for (int r = 0; r < 10; ++r) {
        const bool first = r % 2 == 0;
        for (int k = 0; k < runs[r]; ++k) {
            Bytes message = StreamMessage(number++);
            ASSERT_TRUE(SendTo(static_cast<std::uint32_t>(first ? a : b), message)) << "message " << number - 1;
            (first ? toA : toB).push_back(std::move(message));
        }
    }
    ASSERT_TRUE(m_api.Flush());
    EXPECT_EQ(m_api.ConnectedTarget(), "tarnet-out-" + std::to_string(::getpid()) + "-b:" + otherName);

    auto total = [](const std::vector<Bytes>& list) {
        std::size_t n = 0;
        for (const Bytes& m : list) n += m.size();
        return n;
    };
    ASSERT_TRUE(testsupport::WaitFor([&] {
        return m_receiver.ByteCount() >= total(toA) && other.ByteCount() >= total(toB);
    })) << "first device: " << m_receiver.ByteCount() << " of " << total(toA) << " bytes, second: "
        << other.ByteCount() << " of " << total(toB);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Reassemble(m_receiver.Events()) == toA) << "the first device did not get exactly its messages";
    EXPECT_TRUE(Reassemble(other.Events()) == toB) << "the second device did not get exactly its messages";
}

TEST_F(MidiOutJackTest, WhenTheDevicesPortVanishesMidStreamTheFollowingSendsFailWithinABoundedTime) {
    ASSERT_TRUE(FindDevice());
    const std::uint32_t index = m_index;
    for (int i = 0; i < 20; ++i) {
        Bytes message = StreamMessage(i);
        ASSERT_TRUE(SendTo(index, message));
    }
    ASSERT_TRUE(m_api.Flush());
    const std::size_t arrived = Reassemble(m_receiver.Events()).size();
    EXPECT_EQ(arrived, 20u);

    // The device goes while messages are still being sent.
    std::atomic<int> accepted{0};
    std::atomic<bool> refused{false};
    const bool ended = testsupport::EndsWithin(std::chrono::seconds(10), [&] {
        m_receiver.Stop();
        for (int i = 0; i < 2000 && !refused.load(); ++i) {
            Bytes message = StreamMessage(i);
            platform::MidiHeader header{};
            header.lpData = reinterpret_cast<char*>(message.data());
            header.dwBufferLength = static_cast<std::uint32_t>(message.size());
            platform::MidiOutHandle handle = nullptr;
            if (m_api.Open(&handle, index) != platform::MIDI_OK) {
                refused = true;  // the index names no device any more
                break;
            }
            m_api.PrepareHeader(handle, &header);
            if (m_api.LongMsg(handle, &header) == platform::MIDI_OK) {
                accepted.fetch_add(1);
            } else {
                refused = true;
            }
            m_api.UnprepareHeader(handle, &header);
            m_api.Close(handle);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ASSERT_TRUE(ended) << "a send hung after the device's port vanished";
    EXPECT_TRUE(refused.load()) << accepted.load() << " sends accepted, none refused";
    EXPECT_FALSE(FindDevice()) << "the vanished device is still listed";
}

// The code of a vanished device is kept for a device that really went: a send on a handle that was
// open when the device's port left says so, and the port then reports the device as gone.
TEST_F(MidiOutJackTest, ASendAfterTheDevicesPortLeftFailsWithTheCodeOfAVanishedDevice) {
    ASSERT_TRUE(FindDevice());
    Bytes first = BlockShaped(300, 1);
    ASSERT_TRUE(SendTo(m_index, first));
    ASSERT_TRUE(m_api.Flush());
    platform::MidiOutHandle handle = nullptr;
    ASSERT_EQ(m_api.Open(&handle, m_index), platform::MIDI_OK);
    ASSERT_TRUE(m_port.Open(m_index));  // the port's own handle, open across the leaving too

    m_receiver.Stop();
    ASSERT_TRUE(testsupport::WaitFor([&] { return m_api.DeviceGone(handle); }))
        << "the backend did not see the device's port leave";
    Bytes message = BlockShaped(300, 2);
    platform::MidiHeader header{};
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<std::uint32_t>(message.size());
    m_api.PrepareHeader(handle, &header);
    const platform::MidiResult result = m_api.LongMsg(handle, &header);
    m_api.UnprepareHeader(handle, &header);
    EXPECT_EQ(m_api.Close(handle), platform::MIDI_OK);
    EXPECT_TRUE(platform::MeansDeviceGone(result)) << "a send to a vanished device returned " << result;

    platform::MidiHeader portHeader{};
    portHeader.lpData = reinterpret_cast<char*>(message.data());
    portHeader.dwBufferLength = static_cast<std::uint32_t>(message.size());
    EXPECT_FALSE(m_port.SendLong(&portHeader));
    m_port.Close();
    EXPECT_TRUE(m_port.DeviceGone()) << "the port did not take the failed send for the device's leaving";
}

TEST_F(MidiOutJackTest, AWatchSeesItsDevicesPortLeaveButNotAnotherClientsPort) {
    ASSERT_TRUE(FindDevice());
    JackReceiver other;
    ASSERT_TRUE(other.Start(m_name + "-other"));
    ASSERT_TRUE(m_port.Watch(m_index));
    EXPECT_FALSE(m_port.DeviceGone());
    other.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(m_port.DeviceGone()) << "another client's port left";
    m_receiver.Stop();
    EXPECT_TRUE(testsupport::WaitFor([&] { return m_port.DeviceGone(); })) << "the watch did not see its device leave";
    m_port.Unwatch();
    EXPECT_FALSE(m_port.DeviceGone());
}

TEST_F(MidiOutJackTest, AbandoningEndsTheSendsUnderWayAndTheNextOpenSendsAgain) {
    ASSERT_TRUE(FindDevice());
    // A sender that keeps the queue full (it waits for room most of the time) until a send fails,
    // all on one handle: the handle stays open from before the abandon until after it, as the
    // backend asks of a handle that is abandoned. The abandon may meet the sender inside a send or
    // between two; either the send under way or the next one on the handle fails. (A handle that
    // was closed and opened again between two sends is a new one: Open takes the abandon back.)
    platform::MidiOutHandle handle = nullptr;
    ASSERT_EQ(m_api.Open(&handle, m_index), platform::MIDI_OK);
    std::atomic<int> accepted{0};
    std::atomic<bool> refused{false};
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (int i = 0; i < 100000 && !refused.load() && !stop.load(); ++i) {
            Bytes message = BlockShaped(18742, static_cast<std::uint8_t>(i));
            platform::MidiHeader header{};
            header.lpData = reinterpret_cast<char*>(message.data());
            header.dwBufferLength = static_cast<std::uint32_t>(message.size());
            m_api.PrepareHeader(handle, &header);
            if (m_api.LongMsg(handle, &header) == platform::MIDI_OK) {
                accepted.fetch_add(1);
            } else {
                refused = true;
            }
            m_api.UnprepareHeader(handle, &header);
        }
    });
    EXPECT_TRUE(testsupport::WaitFor([&] { return accepted.load() >= 10; }, std::chrono::seconds(10)));
    EXPECT_EQ(m_api.Abandon(handle), platform::MIDI_OK);
    // Well before the backend's own stall limit (2 s) for a send that waits for room.
    EXPECT_TRUE(testsupport::WaitFor([&] { return refused.load(); }, std::chrono::milliseconds(1000)))
        << "the abandon did not end the sends";
    stop = true;  // ends the sender even when the check failed
    sender.join();
    EXPECT_FALSE(m_api.Flush(std::chrono::milliseconds(1000))) << "what was queued still went out after the abandon";
    EXPECT_EQ(m_api.Close(handle), platform::MIDI_OK);

    // The next Open sends again.
    m_receiver.Clear();
    Bytes message = BlockShaped(10551, 7);
    ASSERT_TRUE(SendTo(m_index, message));
    ASSERT_TRUE(m_api.Flush());
    ASSERT_TRUE(testsupport::WaitFor([&] {
        const auto received = Reassemble(m_receiver.Events());
        return std::find(received.begin(), received.end(), message) != received.end();
    })) << "the message after the abandon did not arrive";
}

// The send path opens and closes the device for every message, so an abandon of the port (a
// window that closes) meets it inside a send as often as between two; no message starts after it
// either way.
TEST_F(MidiOutJackTest, AbandoningThePortEndsItsSendsWhetherItMeetsOneOrFallsBetweenTwo) {
    ASSERT_TRUE(FindDevice());
    std::atomic<int> sent{0};
    std::atomic<bool> failed{false};
    std::thread sender([&] {
        for (int i = 0; i < 100000 && !failed.load(); ++i) {
            Bytes message = BlockShaped(18742, static_cast<std::uint8_t>(i));
            if (SendTo(m_index, message)) {
                sent.fetch_add(1);
            } else {
                failed = true;
            }
        }
    });
    EXPECT_TRUE(testsupport::WaitFor([&] { return sent.load() >= 10; }, std::chrono::seconds(10)));
    m_port.Abandon();
    const int sentBefore = sent.load();
    EXPECT_TRUE(testsupport::WaitFor([&] { return failed.load(); }, std::chrono::milliseconds(1000)))
        << "the sends went on after the port was abandoned";
    failed = true;  // ends the sender even when the check failed
    sender.join();
    // A send that had returned before the abandon may be counted just after it; none that began later.
    EXPECT_LE(sent.load(), sentBefore + 1) << "a message was sent after the abandon";
    EXPECT_FALSE(m_port.Open(m_index)) << "an abandoned port opened again";
}

TEST(JackMidiOutBackend, AnIndexOpensThePortListedThereOrFailsOnceThatPortHasGone) {
    testsupport::JackTestPorts ports("tarnet-out-listed", JackPortIsInput);
    if (!ports.Ready()) {
        if (testsupport::JackRequired()) FAIL() << "no JACK server answers";
        GTEST_SKIP() << "no JACK server answers";
    }
    platform::JackMidiOutApi api;
    platform::MidiOutHandle handle = nullptr;
    testsupport::OpenListedPortsWhilePortsComeAndGo(
        api, ports, [&](std::uint32_t index) { return api.Open(&handle, index); },
        [&] { EXPECT_EQ(api.Close(handle), platform::MIDI_OK); });
}

}  // namespace
