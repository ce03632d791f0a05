// The WinMM MIDI backends through the port wrappers, on a system without MIDI devices (Wine
// without a sound system lists none): every failure is clean and prompt, nothing hangs. The input
// backend and the port over a stand-in driver that behaves as the documentation describes one,
// with its callbacks as late as it can make them: a message longer than a buffer, a burst, an
// interrupted message. And the conversion of the product names that the system reports in UTF-16.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "CMidiInPort.h"
#include "CMidiOutPort.h"
#include "WinMMDriverStandIn.h"
#include "platform/MidiApi.h"
#include "platform/winmm/WinMMMidiIn.h"
#include "platform/winmm/WinMMSupport.h"

namespace {

using namespace std::chrono_literals;

// What counts as a hang. Generous: the first use of Wine's MIDI mapper in a fresh prefix loads
// and configures it, which took over 10 s on a loaded two-core machine.
constexpr auto HANG_LIMIT = 60s;


std::string Utf8(const wchar_t* name, std::size_t units) {
    char out[platform::MAX_PNAME_LEN];
    std::memset(out, 'x', sizeof out);
    platform::ProductNameToUtf8(name, units, out);
    return out;
}

TEST(WinMMProductNames, TheJapaneseDefaultNameBecomesItsUtf8Bytes) {
    // "USB オーディオ デバイス" as the system reports it, in a record of 32 units.
    wchar_t record[32] = L"USB \u30AA\u30FC\u30C7\u30A3\u30AA \u30C7\u30D0\u30A4\u30B9";
    EXPECT_EQ(Utf8(record, 32),
              "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
              "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9");
    EXPECT_EQ(Utf8(L"USB Audio Device", 32), "USB Audio Device");
}

TEST(WinMMProductNames, ThirtyOneThreeByteCharactersFitAndAnUnterminatedRecordStopsAtItsEnd) {
    wchar_t record[33];
    for (wchar_t& c : record) c = L'\u30AA';  // 3 bytes each in UTF-8
    record[31] = L'\0';
    const std::string full = Utf8(record, 32);
    ASSERT_EQ(full.size(), 31u * 3u);
    for (std::size_t i = 0; i < full.size(); i += 3) EXPECT_EQ(full.substr(i, 3), "\xE3\x82\xAA");

    // A record filled to the end without a NUL: only its 32 units are read.
    record[31] = L'A';
    record[32] = L'B';
    const std::string unterminated = Utf8(record, 32);
    EXPECT_EQ(unterminated.size(), 31u * 3u + 1u);
    EXPECT_EQ(unterminated.back(), 'A');
}

TEST(WinMMProductNames, ASurrogatePairIsKeptWholeOrDroppedWhenTheRecordCutsIt) {
    const wchar_t pair[] = {L'M', 0xD83C, 0xDFB8, L'\0'};  // "M" U+1F3B8 (guitar)
    EXPECT_EQ(Utf8(pair, 32), "M\xF0\x9F\x8E\xB8");
    EXPECT_EQ(Utf8(pair, 2), "M") << "the first half alone is not shown as a replacement character";
    EXPECT_EQ(Utf8(L"", 32), "");
    EXPECT_EQ(Utf8(nullptr, 32), "");
}

// Wine lists no MIDI devices here; a system with devices skips the cases that need none.
class WinMMWithoutDevices : public ::testing::Test {
protected:
    void SetUp() override {
        if (platform::DefaultMidiOutApi().GetNumDevs() != 0 ||
            platform::DefaultMidiInApi().GetNumDevs() != 0) {
            GTEST_SKIP() << "this system has MIDI devices";
        }
    }
};

TEST_F(WinMMWithoutDevices, ListsNothingAndNamesNoDevice) {
    CMidiOutPort out;
    CMidiInPort in;
    EXPECT_EQ(out.GetDeviceCount(), 0u);
    EXPECT_EQ(in.GetDeviceCount(), 0u);
    char name[platform::MAX_PNAME_LEN];
    std::memset(name, 'x', sizeof name);
    out.GetDeviceName(0, name);
    EXPECT_STREQ(name, "");
    std::memset(name, 'x', sizeof name);
    in.GetDeviceName(0, name);
    EXPECT_STREQ(name, "");
    platform::MidiDevCaps caps{};
    EXPECT_NE(platform::DefaultMidiOutApi().GetDevCaps(0, caps), platform::MIDI_OK);
    EXPECT_NE(platform::DefaultMidiInApi().GetDevCaps(0, caps), platform::MIDI_OK);
}

TEST_F(WinMMWithoutDevices, TheOutputPortFailsToOpenPromptlyAndSendsNothing) {
    auto out = std::make_shared<CMidiOutPort>();
    std::atomic<bool> opened{true};
    std::atomic<bool> sent{true};
    EXPECT_TRUE(testsupport::EndsWithin(HANG_LIMIT, [out, &opened, &sent] {
        opened = out->Open(0);
        char bytes[] = {'\xF0', '\x7E', '\x7F', '\x06', '\x01', '\xF7'};
        platform::MidiHeader header{};
        header.lpData = bytes;
        header.dwBufferLength = sizeof bytes;
        sent = out->SendLong(&header);
    }));
    EXPECT_FALSE(opened);
    EXPECT_FALSE(sent);
    EXPECT_FALSE(out->IsOpen());
    EXPECT_EQ(out->DeviceIndex(), 0u);
    out->Close();  // nothing open: does nothing
    EXPECT_FALSE(out->IsOpen());
}

TEST_F(WinMMWithoutDevices, NoSelectionGoesToTheSystemAsTheMapperAndEndsCleanlyEitherWay) {
    // -1 is MIDI_MAPPER: without devices the system may refuse it or open a mapper with nowhere
    // to send; either way the port answers at once and is closed afterwards.
    auto out = std::make_shared<CMidiOutPort>();
    EXPECT_TRUE(testsupport::EndsWithin(HANG_LIMIT, [out] {
        if (out->Open(static_cast<std::uint32_t>(-1))) out->Close();
    }));
    EXPECT_FALSE(out->IsOpen());
    EXPECT_EQ(out->DeviceIndex(), static_cast<std::uint32_t>(-1));
}

TEST_F(WinMMWithoutDevices, TheInputPortFailsToStartPromptlyAndStaysStopped) {
    auto in = std::make_shared<CMidiInPort>();
    std::atomic<int> starts{0};
    EXPECT_TRUE(testsupport::EndsWithin(HANG_LIMIT, [in, &starts] {
        in->m_deviceIndex = 0;
        if (in->Start()) ++starts;
        in->Stop();
        in->m_deviceIndex = static_cast<std::uint32_t>(-1);
        if (in->Start()) ++starts;
        in->Stop();
    }));
    EXPECT_EQ(starts, 0);
    EXPECT_FALSE(in->IsStarted());
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 1;
    EXPECT_FALSE(in->PeekReceived(&bytes, &length));
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length, 0u);
}

TEST_F(WinMMWithoutDevices, TheBackendsRefuseAnIndexThatNamesNoDevice) {
    platform::MidiOutHandle out = nullptr;
    EXPECT_NE(platform::DefaultMidiOutApi().Open(&out, 0), platform::MIDI_OK);
    EXPECT_EQ(out, nullptr);
    platform::MidiInHandle in = nullptr;
    EXPECT_NE(platform::DefaultMidiInApi().Open(&in, 0, &CMidiInPort::MidiInCallback, 0),
              platform::MIDI_OK);
}

// The input port over the WinMM backend over a stand-in driver with `options`.
class WinMMInputOverADriver : public ::testing::Test {
protected:
    using Bytes = std::vector<std::uint8_t>;

    explicit WinMMInputOverADriver(winmmtest::StandInDriver::Options options) : driver(options) {}

    void SetUp() override { ASSERT_TRUE(port.Start()); }
    void TearDown() override {
        port.Stop();
        EXPECT_FALSE(driver.IsOpen());
        EXPECT_EQ(driver.PreparedHeaders(), 0u);
        EXPECT_EQ(driver.CallsInsideCallback(), 0u) << "the documentation forbids them";
    }

    // Everything the port has received, oldest first, once the driver's callbacks are done.
    std::vector<Bytes> Received() {
        EXPECT_TRUE(driver.Settle(std::chrono::milliseconds(HANG_LIMIT)));
        std::vector<Bytes> entries;
        const std::uint8_t* bytes = nullptr;
        std::uint32_t length = 0;
        while (port.PeekReceived(&bytes, &length)) {
            entries.emplace_back(bytes, bytes + length);
            port.PopReceived();
        }
        return entries;
    }

    // A request of the device's that the host does not know (opcode 0x06), numbered.
    static Bytes Request(unsigned n) {
        return {0xF0, 0x7D, 0x00, 0x6A, 0x06, static_cast<std::uint8_t>(n & 0x7F),
                static_cast<std::uint8_t>(n >> 7), 0xF7};
    }

    static Bytes IdentityReply() {
        return {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xF7};
    }

    winmmtest::StandInDriver driver;  // reports late: only when 64 wait or the device is idle
    std::unique_ptr<platform::IMidiInApi> api =
        platform::MakeWinMMMidiInApi(winmmtest::StandInDriver::Functions());
    CMidiInPort port{*api};
};

// A driver as the documentation describes one: it ends a cut message with MIM_LONGERROR.
class WinMMInputOverAStandInDriver : public WinMMInputOverADriver {
protected:
    WinMMInputOverAStandInDriver() : WinMMInputOverADriver({}) {}
};

// A driver as Wine's ALSA driver: a cut message stays in its buffer, and the next one goes on
// behind it.
class WinMMInputOverAWineLikeDriver : public WinMMInputOverADriver {
protected:
    WinMMInputOverAWineLikeDriver() : WinMMInputOverADriver({.endsCutMessages = false}) {}
};

TEST_F(WinMMInputOverAStandInDriver, ALongMessageArrivesInBufferSizedPiecesAndWhatFollowsItToo) {
    Bytes message(12000);
    message.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i % 127);
    message.back() = 0xF7;
    const Bytes identityReply = IdentityReply();
    Bytes both = message;
    both.insert(both.end(), identityReply.begin(), identityReply.end());
    driver.Receive(both);

    const std::vector<Bytes> entries = Received();
    ASSERT_EQ(entries.size(), 3u);
    // The first buffer comes back full, without the end byte; the second holds the rest.
    EXPECT_EQ(entries[0], Bytes(message.begin(), message.begin() + RECEIVE_BUFFER_SIZE));
    EXPECT_NE(entries[0].back(), 0xF7);
    EXPECT_EQ(entries[1], Bytes(message.begin() + RECEIVE_BUFFER_SIZE, message.end()));
    EXPECT_NE(entries[1].front(), 0xF0);
    EXPECT_EQ(entries[2], identityReply);
    EXPECT_EQ(driver.DroppedBytes(), 0u);
}

TEST_F(WinMMInputOverAStandInDriver, ABurstOfForeignMessagesAndRequestsArrivesWholeAndInOrder) {
    // 10,000 foreign messages (channel messages, clock, active sensing, SysEx of another
    // manufacturer), with one of 200 requests after every 50, all at once.
    Bytes burst;
    std::vector<Bytes> expected;
    for (unsigned i = 0; i < 10000; ++i) {
        switch (i % 4) {
            case 0: burst.insert(burst.end(), {0x90, static_cast<std::uint8_t>(i % 128), 0x40}); break;
            case 1: burst.push_back(0xF8); break;
            case 2: burst.push_back(0xFE); break;
            case 3: {
                const Bytes foreign{0xF0, 0x43, 0x10, 0x4C, static_cast<std::uint8_t>(i % 128), 0x00, 0xF7};
                burst.insert(burst.end(), foreign.begin(), foreign.end());
                expected.push_back(foreign);
                break;
            }
        }
        if (i % 50 == 49) {
            const Bytes request = Request(i / 50);
            burst.insert(burst.end(), request.begin(), request.end());
            expected.push_back(request);
        }
    }
    driver.Receive(burst);

    const std::vector<Bytes> entries = Received();
    EXPECT_EQ(driver.DroppedBytes(), 0u);
    EXPECT_EQ(driver.MostReportsWaiting(), 64u) << "the callbacks came as late as the driver allows";
    ASSERT_EQ(entries.size(), expected.size());
    unsigned requests = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ASSERT_EQ(entries[i], expected[i]) << "entry " << i;
        if (entries[i] == Request(requests)) ++requests;
    }
    EXPECT_EQ(requests, 200u);
}

TEST_F(WinMMInputOverAStandInDriver, InterruptedMessagesAddNothingAndTheirBuffersComeBack) {
    // More interrupted messages than the port has buffers: each comes back as MIM_LONGERROR, and
    // the backend must queue it again for the message after them to find one.
    Bytes input;
    for (std::uint32_t i = 0; i < 2 * RECEIVE_BUFFER_COUNT; ++i) {
        input.insert(input.end(), {0xF0, 0x7D, 0x00, 0x6A, 0x01, 0x02, 0x90, 0x3C, 0x64});
    }
    const Bytes status{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7};
    input.insert(input.end(), status.begin(), status.end());
    driver.Receive(input);

    EXPECT_EQ(Received(), std::vector<Bytes>{status});
    EXPECT_EQ(driver.DroppedBytes(), 0u);
    EXPECT_TRUE(testsupport::WaitFor([&] { return driver.QueuedBuffers() == RECEIVE_BUFFER_COUNT; },
                                     std::chrono::milliseconds(HANG_LIMIT)))
        << driver.QueuedBuffers() << " buffers queued";
}

TEST_F(WinMMInputOverAStandInDriver, StopCutsAnArrivingMessageAndAStartAfterwardsReceivesAgain) {
    driver.Receive({0xF0, 0x7D, 0x00, 0x6A});
    port.Stop();
    // The part that had arrived is one entry; the device is closed with every buffer released.
    EXPECT_EQ(Received(), std::vector<Bytes>{Bytes({0xF0, 0x7D, 0x00, 0x6A})});
    EXPECT_FALSE(driver.IsOpen());
    EXPECT_EQ(driver.QueuedBuffers(), 0u);
    EXPECT_EQ(driver.PreparedHeaders(), 0u);

    ASSERT_TRUE(port.Start());
    EXPECT_EQ(driver.QueuedBuffers(), RECEIVE_BUFFER_COUNT);
    driver.Receive({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7});
    EXPECT_EQ(Received(), std::vector<Bytes>{Bytes({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7})});
}

// A message that the driver does not end is one that the other inputs discard when a new one
// interrupts it: only the new one is handed over, as it would be on ALSA or JACK.
TEST_F(WinMMInputOverAWineLikeDriver, AMessageCutShortIsDroppedAndTheNextOneArrivesAlone) {
    // The first 4000 bytes of a long message that reads as a STATUS 0, the rest of it lost; then
    // the Identity Reply.
    Bytes cut(4000, 0x00);
    const Bytes header{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00};
    std::copy(header.begin(), header.end(), cut.begin());
    Bytes input = cut;
    const Bytes reply = IdentityReply();
    input.insert(input.end(), reply.begin(), reply.end());
    driver.Receive(input);
    EXPECT_EQ(Received(), std::vector<Bytes>{reply});

    // Cut by a status byte; then a long message cut after 8292 bytes, and the reply. The buffer
    // that holds the first cut part fills up with the head of the long message, which is handed
    // over from its F0 on (as far as that buffer holds it); the piece of it in the next buffer
    // goes, as the first cut part does.
    Bytes message(12000, 0x11);
    std::copy(header.begin(), header.end(), message.begin());
    message.resize(RECEIVE_BUFFER_SIZE + 100);
    input = cut;
    input.insert(input.end(), {0x90, 0x3C, 0x40});
    input.insert(input.end(), message.begin(), message.end());
    input.insert(input.end(), reply.begin(), reply.end());
    driver.Receive(input);
    const Bytes head(message.begin(), message.begin() + (RECEIVE_BUFFER_SIZE - cut.size()));
    EXPECT_EQ(Received(), (std::vector<Bytes>{head, reply}));
    EXPECT_EQ(driver.DroppedBytes(), 0u);
}

TEST_F(WinMMInputOverAWineLikeDriver, AFullBufferIsHandedOverWhileTheRestOfItsMessageIsStillToCome) {
    Bytes message(12000, 0x00);
    const Bytes header{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00};
    std::copy(header.begin(), header.end(), message.begin());
    message.back() = 0xF7;
    driver.Receive(Bytes(message.begin(), message.begin() + 9000));
    EXPECT_EQ(Received(), std::vector<Bytes>{Bytes(message.begin(), message.begin() + RECEIVE_BUFFER_SIZE)});
    driver.Receive(Bytes(message.begin() + 9000, message.end()));
    EXPECT_EQ(Received(), std::vector<Bytes>{Bytes(message.begin() + RECEIVE_BUFFER_SIZE, message.end())});
}

TEST_F(WinMMInputOverAWineLikeDriver, ALongMessageArrivesInBufferSizedPiecesAsOverADocumentedDriver) {
    Bytes message(12000, 0x22);
    message.front() = 0xF0;
    message.back() = 0xF7;
    const Bytes reply = IdentityReply();
    Bytes input = message;
    input.insert(input.end(), reply.begin(), reply.end());
    driver.Receive(input);
    EXPECT_EQ(Received(), (std::vector<Bytes>{Bytes(message.begin(), message.begin() + RECEIVE_BUFFER_SIZE),
                                             Bytes(message.begin() + RECEIVE_BUFFER_SIZE, message.end()), reply}));
}

}  // namespace
