// The MIDI ports on the kernel's ALSA sequencer (label "alsa": scripts/test.sh runs these in a
// virtual machine through scripts/alsa-vm.sh, since the build machines have no /dev/snd). The
// other end is a program's client made with RtMidi, the kernel's "Midi Through" port and
// snd-virmidi's card ports.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include <rtmidi/RtMidi.h>

#include "CMidiInPort.h"
#include "CMidiOutPort.h"
#include "TestSupport.h"
#include "platform/DeviceNaming.h"
#include "platform/alsa/AlsaRawMidiOut.h"
#include "platform/alsa/AlsaSeqClient.h"
#include "platform/alsa/AlsaSeqPortInfo.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

// The peers' errors come back as results where they matter; RtMidi's printing of them does not.
void QuietErrors(RtMidiError::Type, const std::string&, void*) {}

bool RequireAlsa() {
    const char* v = std::getenv("TARNET_REQUIRE_ALSA");
    return v != nullptr && v[0] == '1';
}

#define SKIP_WITHOUT_SEQUENCER()                                                                        \
    do {                                                                                                \
        if (!platform::alsa::SequencerUsable()) {                                                       \
            if (RequireAlsa()) FAIL() << "no ALSA sequencer (/dev/snd/seq) although required";          \
            GTEST_SKIP() << "no /dev/snd/seq on this machine: run through scripts/alsa-vm.sh";         \
        }                                                                                               \
    } while (0)

Bytes SysEx(std::size_t length) {
    Bytes b(length);
    b.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < length; ++i) b[i] = static_cast<std::uint8_t>((i * 31 + i / 127) % 128);
    b.back() = 0xF7;
    return b;
}

// A program's client on the sequencer with one input and one output port, both named after the
// client, like the device simulator. What arrives is collected whole (RtMidi joins the events
// of one SysEx message).
class SoftwareDevice {
public:
    explicit SoftwareDevice(const std::string& name) : name(name) {
        in = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, name, 100);
        in->setErrorCallback(&QuietErrors, nullptr);
        in->ignoreTypes(false, true, true);
        in->setCallback(&SoftwareDevice::OnMessage, this);
        in->openVirtualPort(name);
    }
    ~SoftwareDevice() {
        in->cancelCallback();
        in->closePort();
    }
    std::vector<Bytes> Received() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_received;
    }

    const std::string name;
    std::unique_ptr<RtMidiIn> in;

private:
    // RtMidi's input thread.
    static void OnMessage(double, std::vector<unsigned char>* message, void* self) {
        auto* device = static_cast<SoftwareDevice*>(self);
        std::lock_guard<std::mutex> lock(device->m_lock);
        device->m_received.emplace_back(message->begin(), message->end());
    }
    std::mutex m_lock;
    std::vector<Bytes> m_received;  // guarded by m_lock
};

// A program's client with one output port named after the client: a source to read from.
class SoftwareSource {
public:
    explicit SoftwareSource(const std::string& name) : name(name) {
        out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, name);
        out->setErrorCallback(&QuietErrors, nullptr);
        out->openVirtualPort(name);
    }
    void Send(const Bytes& message) { out->sendMessage(message.data(), message.size()); }

    const std::string name;
    std::unique_ptr<RtMidiOut> out;
};

// A program's client that writes every message whole as one sequencer event, as some drivers do
// (Wine's, for one) instead of splitting long ones: a source to read from.
class WholeEventSource {
public:
    explicit WholeEventSource(const std::string& name) : name(name) {
        if (snd_seq_open(&m_seq, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0) return;
        snd_seq_set_client_name(m_seq, name.c_str());
        snd_seq_set_client_pool_output(m_seq, 2000);
        snd_seq_set_output_buffer_size(m_seq, 64 * 1024);
        m_port = snd_seq_create_simple_port(m_seq, name.c_str(), SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    }
    ~WholeEventSource() {
        if (m_seq != nullptr) snd_seq_close(m_seq);
    }
    bool Ready() const { return m_seq != nullptr && m_port >= 0; }
    // Blocks while the receivers' queues have no room; true once the event is delivered.
    bool Send(Bytes message) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, static_cast<unsigned char>(m_port));
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_sysex(&ev, static_cast<unsigned int>(message.size()), message.data());
        return snd_seq_event_output_direct(m_seq, &ev) >= 0;
    }

    const std::string name;

private:
    snd_seq_t* m_seq = nullptr;
    int m_port = -1;
};

// A program's client with one port to write to that never reads what arrives: a sender to it
// waits for room in its small input queue, as long as the client lives.
class DeafDevice {
public:
    explicit DeafDevice(const std::string& name) : name(name) {
        if (snd_seq_open(&m_seq, "default", SND_SEQ_OPEN_INPUT, 0) < 0) return;
        snd_seq_set_client_name(m_seq, name.c_str());
        snd_seq_set_client_pool_input(m_seq, 200);
        m_port = snd_seq_create_simple_port(m_seq, name.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    }
    ~DeafDevice() {
        if (m_seq != nullptr) snd_seq_close(m_seq);
    }
    bool Ready() const { return m_seq != nullptr && m_port >= 0; }

    const std::string name;

private:
    snd_seq_t* m_seq = nullptr;
    int m_port = -1;
};

// What the sequencer shows of the clients named `name` and of the queues: the number of such
// clients, their ports in all, and the queues in use on the whole system. Asked through a
// client of the test's own.
struct SequencerCensus {
    int clients = 0;
    int ports = 0;
    int queues = 0;
};
SequencerCensus Census(const std::string& name) {
    SequencerCensus census;
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return census;
    snd_seq_client_info_t* client = nullptr;
    snd_seq_system_info_t* system = nullptr;
    snd_seq_client_info_malloc(&client);
    snd_seq_system_info_malloc(&system);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        if (name != snd_seq_client_info_get_name(client)) continue;
        ++census.clients;
        census.ports += snd_seq_client_info_get_num_ports(client);
    }
    if (snd_seq_system_info(seq, system) == 0) census.queues = snd_seq_system_info_get_cur_queues(system);
    snd_seq_system_info_free(system);
    snd_seq_client_info_free(client);
    snd_seq_close(seq);
    return census;
}

template <typename Port>
std::vector<std::string> Names(Port& port) {
    std::vector<std::string> names;
    const std::uint32_t count = port.GetDeviceCount();
    for (std::uint32_t i = 0; i < count; ++i) {
        char buffer[260] = {};
        port.GetDeviceName(i, buffer);
        names.emplace_back(buffer);
    }
    return names;
}

template <typename Port>
std::int64_t IndexOf(Port& port, const std::string& name) {
    const auto names = Names(port);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return static_cast<std::int64_t>(i);
    }
    return -1;
}

bool Send(CMidiOutPort& port, const Bytes& message) {
    Bytes copy = message;
    platform::MidiHeader header{};
    header.lpData = reinterpret_cast<char*>(copy.data());
    header.dwBufferLength = static_cast<std::uint32_t>(copy.size());
    return port.SendLong(&header);
}

// Drains the input port's received list; entries of a message longer than the receive buffer
// are joined back into one message.
std::vector<Bytes> Collect(CMidiInPort& port, std::size_t messages) {
    std::vector<Bytes> out;
    Bytes pending;
    testsupport::WaitFor(
        [&] {
            const std::uint8_t* bytes = nullptr;
            std::uint32_t length = 0;
            while (port.PeekReceived(&bytes, &length)) {
                pending.insert(pending.end(), bytes, bytes + length);
                port.PopReceived();
                if (!pending.empty() && pending.back() == 0xF7) out.push_back(std::move(pending)), pending.clear();
            }
            return out.size() >= messages;
        },
        std::chrono::seconds(20));
    return out;
}

// The kernel's "Midi Through" port as the output and as the started input; `outIndex` names the
// output. False when either is missing or the input does not start.
bool StartThrough(CMidiOutPort& out, CMidiInPort& in, std::uint32_t& outIndex) {
    const std::int64_t o = IndexOf(out, "Midi Through");
    const std::int64_t i = IndexOf(in, "Midi Through");
    if (o < 0 || i < 0) return false;
    outIndex = static_cast<std::uint32_t>(o);
    in.m_deviceIndex = static_cast<std::uint32_t>(i);
    return in.Start();
}

std::string UniqueName(const char* what) { return std::string(what) + " " + std::to_string(::getpid()); }

}  // namespace

TEST(AlsaSequencerPorts, DevicesAreListedByClientNameWithoutThisProgramsOwnClients) {
    SKIP_WITHOUT_SEQUENCER();
    SoftwareDevice device(UniqueName("Alsa Test Device"));
    CMidiOutPort out;
    CMidiInPort in;

    const std::int64_t outIndex = IndexOf(out, device.name);
    const std::int64_t inIndex = IndexOf(in, "Midi Through");
    ASSERT_GE(outIndex, 0) << "the test's client is not listed among the outputs";
    ASSERT_GE(inIndex, 0) << "the kernel's Midi Through is not listed among the inputs";
    EXPECT_GE(IndexOf(out, "Midi Through"), 0);

    // Our own clients exist while an output is open and an input is started; neither is listed.
    ASSERT_TRUE(out.Open(static_cast<std::uint32_t>(outIndex)));
    in.m_deviceIndex = static_cast<std::uint32_t>(inIndex);
    ASSERT_TRUE(in.Start());
    for (const auto& names : {Names(out), Names(in)}) {
        for (const std::string& name : names) {
            EXPECT_EQ(name.rfind(platform::CLIENT_NAME, 0), std::string::npos) << name << " is listed";
            EXPECT_EQ(name.find(':'), std::string::npos) << name << ": a client name has no port part";
        }
    }
    // The positions of the devices have not moved for our clients' sake.
    EXPECT_EQ(IndexOf(out, device.name), outIndex);
    EXPECT_EQ(IndexOf(in, "Midi Through"), inIndex);
    in.Stop();
    out.Close();
}

TEST(AlsaSequencerPorts, LongMessagesReachAProgramsPortByteForByte) {
    SKIP_WITHOUT_SEQUENCER();
    SoftwareDevice device(UniqueName("Alsa Test Device"));
    CMidiOutPort out;
    const std::int64_t index = IndexOf(out, device.name);
    ASSERT_GE(index, 0);
    const Bytes first = SysEx(10551), second = SysEx(18742);
    // One open per message, as the send path does.
    for (const Bytes* message : {&first, &second}) {
        ASSERT_TRUE(out.Open(static_cast<std::uint32_t>(index)));
        EXPECT_TRUE(Send(out, *message));
        out.Close();
    }
    ASSERT_TRUE(testsupport::WaitFor([&] { return device.Received().size() >= 2; }, std::chrono::seconds(20)));
    const auto received = device.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], first);
    EXPECT_EQ(received[1], second);
}

TEST(AlsaSequencerPorts, LongMessagesGoOutAndComeBackInThroughMidiThroughByteForByte) {
    SKIP_WITHOUT_SEQUENCER();
    CMidiOutPort out;
    CMidiInPort in;
    std::uint32_t outIndex = 0;
    ASSERT_TRUE(StartThrough(out, in, outIndex));

    const Bytes first = SysEx(10551), second = SysEx(18742);
    for (const Bytes* message : {&first, &second}) {
        ASSERT_TRUE(out.Open(outIndex));
        EXPECT_TRUE(Send(out, *message));
        out.Close();
    }
    const auto received = Collect(in, 2);
    in.Stop();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], first);
    EXPECT_EQ(received[1], second);
}

// The moment a send reports as the one from which the device can have had the message lies after
// the send was called and no later than the receipt of the message's end: an answer received
// before it can't be one to that message, and a genuine one is never received before it.
TEST(AlsaSequencerPorts, ASendsHandOverMomentLiesBetweenItsCallAndTheReceiptOfItsLastByte) {
    SKIP_WITHOUT_SEQUENCER();
    CMidiOutPort out;
    CMidiInPort in;
    std::uint32_t outIndex = 0;
    ASSERT_TRUE(StartThrough(out, in, outIndex));
    for (const std::size_t length : {std::size_t{7}, std::size_t{10551}}) {
        const Bytes message = SysEx(length);
        ASSERT_TRUE(out.Open(outIndex));
        const auto called = std::chrono::steady_clock::now();
        ASSERT_TRUE(Send(out, message));
        const auto left = out.LastSendLeftAt();
        out.Close();
        std::chrono::steady_clock::time_point lastReceived{};
        std::size_t bytes = 0;
        ASSERT_TRUE(testsupport::WaitFor(
            [&] {
                std::uint32_t n = 0;
                std::chrono::steady_clock::time_point at{};
                while (in.PeekReceived(nullptr, &n, nullptr, &at)) {
                    bytes += n;
                    lastReceived = at;
                    in.PopReceived();
                }
                return bytes >= length;
            },
            std::chrono::seconds(20)));
        EXPECT_GE(left, called) << length << " bytes";
        EXPECT_LE(left, lastReceived) << length << " bytes";
    }
    in.Stop();
}

TEST(AlsaSequencerPorts, AWholeBlockWrittenAsOneEventArrivesAndSoDoesWhatFollowsIt) {
    SKIP_WITHOUT_SEQUENCER();
    WholeEventSource source(UniqueName("Alsa Whole Source"));
    ASSERT_TRUE(source.Ready());
    CMidiInPort in;
    const std::int64_t index = IndexOf(in, source.name);
    ASSERT_GE(index, 0);
    in.m_deviceIndex = static_cast<std::uint32_t>(index);
    ASSERT_TRUE(in.Start());

    // The largest block message of an update, then a short message behind it.
    const Bytes block = SysEx(18742);
    const Bytes identity{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    EXPECT_TRUE(source.Send(block));
    EXPECT_TRUE(source.Send(identity));
    const auto received = Collect(in, 2);
    in.Stop();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], block);
    EXPECT_EQ(received[1], identity);
}

TEST(AlsaSequencerPorts, ProgramsAndThroughPortsAreWrittenAtOnceCardPortsAtTheCablesPace) {
    SKIP_WITHOUT_SEQUENCER();
    SoftwareDevice device(UniqueName("Alsa Test Device"));
    // RtMidi reports "client:port c:p"; its full names carry the addresses asked about here.
    RtMidiOut lister(RtMidi::LINUX_ALSA, "Tarnet Test Lister");
    lister.setErrorCallback(&QuietErrors, nullptr);
    int checked = 0, cardPorts = 0;
    for (unsigned i = 0; i < lister.getPortCount(); ++i) {
        const std::string full = lister.getPortName(i);
        const auto address = platform::alsa::ParseRtMidiPortAddress(full);
        ASSERT_TRUE(address.has_value()) << full;
        const auto kind = platform::alsa::QueryPortKind(*address);
        ASSERT_TRUE(kind.has_value()) << full;
        const bool paced = platform::alsa::NeedsCablePacing(*kind);
        if (full.rfind(device.name + ":", 0) == 0 || full.rfind("Midi Through:", 0) == 0) {
            EXPECT_FALSE(paced) << full;
            ++checked;
        }
        if (full.rfind("Virtual Raw MIDI", 0) == 0) {
            EXPECT_TRUE(paced) << full << " belongs to a card";
            ++cardPorts;
        }
    }
    EXPECT_EQ(checked, 2);
    if (cardPorts == 0) std::printf("note: snd-virmidi is not loaded; no card port was checked\n");
}

TEST(AlsaSequencerPorts, TheProgramListsOpensAndReadsOnOneClientWithoutAQueue) {
    SKIP_WITHOUT_SEQUENCER();
    SoftwareDevice device(UniqueName("Alsa Test Device"));
    CMidiOutPort out;
    CMidiInPort in;
    const std::int64_t outIndex = IndexOf(out, device.name);
    const std::int64_t inIndex = IndexOf(in, "Midi Through");
    ASSERT_GE(outIndex, 0);
    ASSERT_GE(inIndex, 0);
    const int queuesBefore = Census("").queues;

    ASSERT_TRUE(out.Open(static_cast<std::uint32_t>(outIndex)));
    in.m_deviceIndex = static_cast<std::uint32_t>(inIndex);
    ASSERT_TRUE(in.Start());
    // Listing meanwhile opens nothing either.
    (void)Names(out);
    (void)Names(in);
    const SequencerCensus open = Census(platform::CLIENT_NAME);
    EXPECT_EQ(open.clients, 1) << "listing, the output and the input share the program's client";
    EXPECT_EQ(open.ports, 3) << "one port for the output, one for the input, one for the announcements";
    EXPECT_EQ(open.queues, queuesBefore) << "the program allocates no queue";
    EXPECT_GE(platform::alsa::SeqClient::Instance().Id(), 128) << "the program's client is open";

    in.Stop();
    out.Close();
    const SequencerCensus closed = Census(platform::CLIENT_NAME);
    EXPECT_EQ(closed.clients, 1);
    EXPECT_EQ(closed.ports, 1) << "closing deletes the ports; the announcements' port stays";
}

// A device that ends while others run (an update finished beside this one) must not shift the
// device chosen from the listing onto its neighbour's port.
TEST(AlsaSequencerPorts, AnIndexStillNamesTheListedDeviceAfterAnEarlierDeviceHasGone) {
    SKIP_WITHOUT_SEQUENCER();
    auto first = std::make_unique<SoftwareDevice>(UniqueName("Alsa Test Device A"));
    SoftwareDevice second(UniqueName("Alsa Test Device B"));
    auto firstSource = std::make_unique<SoftwareSource>(UniqueName("Alsa Test Source A"));
    SoftwareSource secondSource(UniqueName("Alsa Test Source B"));
    CMidiOutPort out;
    CMidiInPort in;
    const std::int64_t firstIndex = IndexOf(out, first->name), secondIndex = IndexOf(out, second.name);
    const std::int64_t firstSourceIndex = IndexOf(in, firstSource->name);
    const std::int64_t secondSourceIndex = IndexOf(in, secondSource.name);
    ASSERT_GE(firstIndex, 0);
    ASSERT_GT(secondIndex, firstIndex);
    ASSERT_GE(firstSourceIndex, 0);
    ASSERT_GT(secondSourceIndex, firstSourceIndex);
    first.reset();
    firstSource.reset();
    // A caller that asks for the count again (a fresh listing, where every later device has moved
    // up one place) without reading the names still means the devices it was shown.
    (void)out.GetDeviceCount();
    (void)in.GetDeviceCount();

    EXPECT_FALSE(out.Open(static_cast<std::uint32_t>(firstIndex))) << "the device that went away";
    in.m_deviceIndex = static_cast<std::uint32_t>(firstSourceIndex);
    EXPECT_FALSE(in.Start()) << "the source that went away";

    const Bytes message = SysEx(600);
    ASSERT_TRUE(out.Open(static_cast<std::uint32_t>(secondIndex)));
    EXPECT_TRUE(Send(out, message));
    out.Close();
    ASSERT_TRUE(testsupport::WaitFor([&] { return !second.Received().empty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(second.Received().front(), message);

    in.m_deviceIndex = static_cast<std::uint32_t>(secondSourceIndex);
    ASSERT_TRUE(in.Start());
    secondSource.Send(message);
    const auto received = Collect(in, 1);
    in.Stop();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], message);
}

// Three units of one name (three clients): listed as NAME, NAME (2), NAME (3) in the order of their
// client numbers, each name reaching its own unit; when the first leaves, the others move up.
TEST(AlsaSequencerPorts, DevicesOfOneNameAreNumberedInTheOrderOfTheirClients) {
    SKIP_WITHOUT_SEQUENCER();
    const std::string name = UniqueName("Alsa Same Device");
    std::vector<std::unique_ptr<SoftwareDevice>> devices;
    std::vector<std::unique_ptr<SoftwareSource>> sources;
    for (int k = 0; k < 3; ++k) {
        devices.push_back(std::make_unique<SoftwareDevice>(name));
        sources.push_back(std::make_unique<SoftwareSource>(name));
    }
    CMidiOutPort out;
    CMidiInPort in;
    const std::vector<std::string> numbered = {name, name + " (2)", name + " (3)"};
    for (const auto& names : {Names(out), Names(in)}) {
        std::vector<std::string> ours;
        for (const std::string& n : names) {
            if (n.rfind(name, 0) == 0) ours.push_back(n);
        }
        EXPECT_EQ(ours, numbered);
    }

    // "(2)" is the second client made: a message sent to it reaches the second device alone.
    const Bytes message = SysEx(300);
    const std::int64_t second = IndexOf(out, name + " (2)");
    ASSERT_GE(second, 0);
    ASSERT_TRUE(out.Open(static_cast<std::uint32_t>(second)));
    EXPECT_TRUE(Send(out, message));
    out.Close();
    ASSERT_TRUE(testsupport::WaitFor([&] { return !devices[1]->Received().empty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(devices[1]->Received().front(), message);
    EXPECT_TRUE(devices[0]->Received().empty());
    EXPECT_TRUE(devices[2]->Received().empty());

    const std::int64_t third = IndexOf(in, name + " (3)");
    ASSERT_GE(third, 0);
    in.m_deviceIndex = static_cast<std::uint32_t>(third);
    ASSERT_TRUE(in.Start());
    sources[2]->Send(message);
    const auto received = Collect(in, 1);
    in.Stop();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], message);

    // The first unit leaves: the second now carries the name alone, the third "(2)".
    devices[0].reset();
    sources[0].reset();
    for (const auto& names : {Names(out), Names(in)}) {
        std::vector<std::string> ours;
        for (const std::string& n : names) {
            if (n.rfind(name, 0) == 0) ours.push_back(n);
        }
        EXPECT_EQ(ours, (std::vector<std::string>{name, name + " (2)"}));
    }
    const std::int64_t moved = IndexOf(out, name);
    ASSERT_GE(moved, 0);
    ASSERT_TRUE(out.Open(static_cast<std::uint32_t>(moved)));
    EXPECT_TRUE(Send(out, message));
    out.Close();
    ASSERT_TRUE(testsupport::WaitFor([&] { return devices[1]->Received().size() == 2; }, std::chrono::seconds(20)));
    EXPECT_TRUE(devices[2]->Received().empty());
}

// A device whose program ends: the sequencer's announcement reaches the input open on its source
// (as the close notice) and the watch of its destination, and no one else's.
TEST(AlsaSequencerPorts, AClientThatEndsIsAnnouncedToTheInputOnItAndToTheWatchOfIt) {
    SKIP_WITHOUT_SEQUENCER();
    auto device = std::make_unique<SoftwareDevice>(UniqueName("Alsa Leaving Device"));
    auto source = std::make_unique<SoftwareSource>(UniqueName("Alsa Leaving Source"));
    SoftwareDevice staying(UniqueName("Alsa Staying Device"));
    CMidiOutPort out;
    CMidiOutPort other;
    CMidiInPort in;
    const std::int64_t outIndex = IndexOf(out, device->name), stayingIndex = IndexOf(other, staying.name);
    const std::int64_t inIndex = IndexOf(in, source->name);
    ASSERT_GE(outIndex, 0);
    ASSERT_GE(stayingIndex, 0);
    ASSERT_GE(inIndex, 0);
    in.m_deviceIndex = static_cast<std::uint32_t>(inIndex);
    ASSERT_TRUE(in.Start());
    ASSERT_TRUE(out.Watch(static_cast<std::uint32_t>(outIndex)));
    ASSERT_TRUE(other.Watch(static_cast<std::uint32_t>(stayingIndex)));
    EXPECT_FALSE(in.DeviceGone());
    EXPECT_FALSE(out.DeviceGone());

    source.reset();
    EXPECT_TRUE(testsupport::WaitFor([&] { return in.DeviceGone(); })) << "the input did not hear its source leave";
    EXPECT_FALSE(out.DeviceGone()) << "another client's end";
    device.reset();
    EXPECT_TRUE(testsupport::WaitFor([&] { return out.DeviceGone(); })) << "the watch did not hear its device leave";
    EXPECT_FALSE(other.DeviceGone());

    out.Unwatch();
    other.Unwatch();
    in.Stop();
    EXPECT_TRUE(in.DeviceGone()) << "stopping keeps what happened";
}

// A send that waits for room at a receiver that does not read ends when the receiver's program
// ends (the device has gone) and when another thread abandons it, well before the sender's own
// stall limit.
TEST(AlsaSequencerPorts, ASendWaitingForRoomEndsWhenItsDeviceLeavesAndWhenItIsAbandoned) {
    SKIP_WITHOUT_SEQUENCER();
    for (const bool leave : {true, false}) {
        auto deaf = std::make_unique<DeafDevice>(UniqueName(leave ? "Alsa Deaf Leaving" : "Alsa Deaf Staying"));
        ASSERT_TRUE(deaf->Ready());
        CMidiOutPort out;
        const std::int64_t index = IndexOf(out, deaf->name);
        ASSERT_GE(index, 0);
        ASSERT_TRUE(out.Open(static_cast<std::uint32_t>(index)));
        std::atomic<bool> returned{false};
        bool sent = true;
        std::thread sender([&] {
            sent = Send(out, SysEx(18742));
            returned = true;
        });
        // The receiver's queue takes a few events; the rest wait for room.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(returned.load()) << "the send did not wait for room";
        if (leave) {
            deaf.reset();
        } else {
            out.Abandon();
        }
        EXPECT_TRUE(testsupport::WaitFor([&] { return returned.load(); }, std::chrono::milliseconds(1500)))
            << (leave ? "the device's leaving" : "the abandon") << " did not end the send";
        sender.join();
        EXPECT_FALSE(sent);
        EXPECT_EQ(out.DeviceGone(), leave) << "only the leaving is the device gone";
        out.Close();
    }
}

// The direct path of a card's hardware port, on snd-virmidi's second raw device: what is written
// to it comes out of its sequencer port "Virtual Raw MIDI 0-1". (The guest has no hardware
// port: snd-virmidi's ports are software ports of card 0, which go the paced sequencer way.)
TEST(AlsaRawMidiOutput, WritesALongMessageWholeToAFreeSubstreamAndRefusesABusyOrMisnamedOne) {
    SKIP_WITHOUT_SEQUENCER();
    if (::access("/dev/snd/midiC0D1", F_OK) != 0) GTEST_SKIP() << "snd-virmidi is not loaded";
    CMidiInPort in;
    const std::int64_t source = IndexOf(in, "Virtual Raw MIDI 0-1");
    ASSERT_GE(source, 0);
    std::optional<platform::alsa::SeqPortKind> kind;
    std::string portName;
    for (const auto& port : platform::alsa::ListPorts(false)) {
        if (port.fullName.rfind("Virtual Raw MIDI 0-1:", 0) == 0) kind = platform::alsa::QueryPortKind(port.address, &portName);
    }
    ASSERT_TRUE(kind.has_value());
    EXPECT_FALSE(platform::alsa::RawMidiBehind(*kind, 0).has_value()) << "a software port of the card";
    std::printf("note: sequencer port \"%s\", type 0x%x, card %d\n", portName.c_str(), kind->type, kind->card);

    // The substream's own name, as the kernel's sequencer client of a card names its port.
    std::string rawName;
    {
        snd_rawmidi_t* probe = nullptr;
        ASSERT_EQ(snd_rawmidi_open(nullptr, &probe, "hw:0,1,0", SND_RAWMIDI_NONBLOCK), 0);
        snd_rawmidi_info_t* info = nullptr;
        ASSERT_EQ(snd_rawmidi_info_malloc(&info), 0);
        ASSERT_EQ(snd_rawmidi_info(probe, info), 0);
        rawName = snd_rawmidi_info_get_subdevice_name(info);
        if (rawName.empty()) rawName = snd_rawmidi_info_get_name(info);
        snd_rawmidi_info_free(info);
        std::printf("note: raw MIDI substream hw:0,1,0 \"%s\"\n", rawName.c_str());

        platform::alsa::RawMidiOutput busy;
        EXPECT_EQ(busy.Open({0, 1, 0}, rawName), platform::MIDI_ERR_ALLOCATED) << "another program holds it";
        EXPECT_FALSE(busy.IsOpen());
        snd_rawmidi_close(probe);
    }
    platform::alsa::RawMidiOutput misnamed;
    EXPECT_EQ(misnamed.Open({0, 1, 0}, "Some Other Port"), platform::MIDI_ERR_BADDEVICEID);
    EXPECT_EQ(misnamed.Open({0, 9, 0}, rawName), platform::MIDI_ERR_BADDEVICEID) << "no such device";

    in.m_deviceIndex = static_cast<std::uint32_t>(source);
    ASSERT_TRUE(in.Start());
    const Bytes message = SysEx(10551);  // more than the driver's 4096-byte buffer
    {
        platform::alsa::RawMidiOutput out;
        ASSERT_EQ(out.Open({0, 1, 0}, rawName), platform::MIDI_OK);
        EXPECT_EQ(out.Send(message.data(), message.size()), platform::MIDI_OK);
    }
    const auto received = Collect(in, 1);
    in.Stop();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], message);
}
