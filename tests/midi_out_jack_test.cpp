// CMidiOutPort on the RtMidi backend over a running JACK server. The test process registers its
// own JACK client with a MIDI input port (names unique to the process) and checks every byte that
// arrives, event by event, against the span rule of the RtMidi output backend.
#include <gtest/gtest.h>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "CMidiOutPort.h"
#include "TestSupport.h"
#include "platform/JackMidiOut.h"

using Bytes = std::vector<std::uint8_t>;

// The receiver's process thread reads the port buffer that the sender's process thread filled
// earlier in the same JACK cycle; libjack orders the two clients through the server with
// primitives that ThreadSanitizer cannot see.
extern "C" const char* __tsan_default_suppressions() { return "race:JackReceiverProcess\n"; }

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
        jack_set_process_callback(m_client, &JackReceiver::JackReceiverProcess, this);
        return jack_activate(m_client) == 0;
    }

    ~JackReceiver() {
        if (m_client != nullptr) {
            jack_deactivate(m_client);
            jack_client_close(m_client);
        }
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

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::mutex m_lock;
    std::vector<Bytes> m_events;
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

    bool FindDevice() {
        const std::uint32_t count = m_port.GetDeviceCount();
        for (std::uint32_t i = 0; i < count; ++i) {
            char name[260];
            m_port.GetDeviceName(i, name);
            if (m_name == name) {
                m_index = i;
                return true;
            }
        }
        return false;
    }

    // One message the way the send path sends it: open, send, close. The JACK backend's LongMsg
    // returns with the message delivered to the receivers.
    //
    // Other clients on the shared server come and go, which moves device indices: ours is looked
    // up right before the open, and when it moved during a send that brought us nothing, the
    // message went to whichever port held our index then, and is sent again.
    bool Send(Bytes& bytes) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::size_t before = m_receiver.Events().size();
            if (!FindDevice()) return false;
            const std::uint32_t used = m_index;
            bool sent = false;
            if (m_port.Open(used)) {
                platform::MidiHeader header{};
                header.lpData = reinterpret_cast<char*>(bytes.data());
                header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
                sent = m_port.SendLong(&header);
                m_port.Close();
            }
            const bool moved = !FindDevice() || m_index != used;
            if (!moved || m_receiver.Events().size() != before) return sent;
        }
        return false;
    }

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
    // Delivered before Send returned; wait a little for anything that should not come.
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
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_receiver.Events(), sent);
}

TEST_F(MidiOutJackTest, AMessageOfExactlyOneSpanGoesAsOneEvent) {
    Bytes message = BlockShaped(platform::JackMidiOutApi::JACK_SPAN, 3);
    Bytes next = BlockShaped(platform::JackMidiOutApi::JACK_SPAN + 1, 4);
    ASSERT_TRUE(Send(message));
    ASSERT_TRUE(Send(next));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<Bytes> events = m_receiver.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], message);
    EXPECT_EQ(events[2], (Bytes{0xF7}));
    EXPECT_EQ(Reassemble(events)[1], next);
}

}  // namespace
