// CMidiOutPort on the in-process loopback devices: its state table, sending, enumeration, and the
// behaviour of a device that refuses, stalls or disappears.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CMidiOutPort.h"
#include "TestSupport.h"
#include "platform/loopback/LoopbackMidiOut.h"

using platform::LoopbackMidiOut;
using platform::MidiHeader;
using Bytes = std::vector<std::uint8_t>;

namespace {

// An Identity Request as the send path hands it over.
const Bytes IDENTITY_REQUEST = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

MidiHeader HeaderFor(Bytes& bytes) {
    MidiHeader header{};
    header.lpData = reinterpret_cast<char*>(bytes.data());
    header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
    return header;
}

class MidiOutPortTest : public ::testing::Test {
protected:
    LoopbackMidiOut loopback;
    LoopbackMidiOut::DeviceId alpha = loopback.AddDevice("Alpha");
    LoopbackMidiOut::DeviceId beta = loopback.AddDevice("Beta");
};

TEST_F(MidiOutPortTest, OpeningTheSameDeviceTwiceOpensItOnceAndSucceedsBothTimes) {
    CMidiOutPort port(loopback);
    EXPECT_TRUE(port.Open(0));
    EXPECT_TRUE(port.Open(0));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(loopback.GetCounters().opens, 1u);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(loopback.GetCounters().openHandles, 0u);
    EXPECT_EQ((std::vector<std::string>{"open Alpha", "close Alpha"}), loopback.Events());
}

TEST_F(MidiOutPortTest, OpeningAnotherDeviceClosesTheFirstBeforeTheSecondOpens) {
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(0));
    EXPECT_TRUE(port.Open(1));
    EXPECT_EQ(port.DeviceIndex(), 1u);
    EXPECT_EQ((std::vector<std::string>{"open Alpha", "close Alpha", "open Beta"}), loopback.Events());
    EXPECT_EQ(loopback.GetCounters().openHandles, 1u);
}

TEST_F(MidiOutPortTest, OpeningAnIndexBeyondTheListFailsLeavesThePortClosedAndKeepsTheIndex) {
    CMidiOutPort port(loopback);
    EXPECT_FALSE(port.Open(2));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.DeviceIndex(), 2u);
    EXPECT_FALSE(port.Open(0xFFFFFFFFu));  // "no selection": the loopback has no device mapper
    EXPECT_EQ(port.DeviceIndex(), 0xFFFFFFFFu);
    EXPECT_EQ(loopback.GetCounters().opens, 0u);
}

TEST_F(MidiOutPortTest, FailingToOpenAnotherDeviceStillClosesTheOpenOne) {
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(0));
    loopback.SetBusy(beta, true);
    EXPECT_FALSE(port.Open(1));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.DeviceIndex(), 1u);
    EXPECT_EQ(loopback.GetCounters().openHandles, 0u);
    // Asking again for the device that failed tries it again rather than claiming it is open.
    loopback.SetBusy(beta, false);
    loopback.SetRefuseOpen(beta, true);
    EXPECT_FALSE(port.Open(1));
    loopback.SetRefuseOpen(beta, false);
    EXPECT_TRUE(port.Open(1));
}

TEST_F(MidiOutPortTest, ClosingAClosedPortDoesNothingAndTheDestructorClosesAnOpenOne) {
    {
        CMidiOutPort port(loopback);
        port.Close();
        EXPECT_TRUE(loopback.Events().empty());
        ASSERT_TRUE(port.Open(1));
    }
    EXPECT_EQ((std::vector<std::string>{"open Beta", "close Beta"}), loopback.Events());
    EXPECT_EQ(loopback.GetCounters().openHandles, 0u);
}

TEST_F(MidiOutPortTest, SendingOnAClosedPortFailsAndSendsNothing) {
    CMidiOutPort port(loopback);
    Bytes bytes = IDENTITY_REQUEST;
    MidiHeader header = HeaderFor(bytes);
    EXPECT_FALSE(port.SendLong(&header));
    EXPECT_EQ(header.dwFlags, 0u);
    const auto counters = loopback.GetCounters();
    EXPECT_EQ(counters.prepares + counters.sends, 0u);
    EXPECT_EQ(loopback.MessageCount(alpha) + loopback.MessageCount(beta), 0u);
}

TEST_F(MidiOutPortTest, SendingDeliversExactlyTheMessageAndReleasesTheHeader) {
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(1));
    Bytes bytes = IDENTITY_REQUEST;
    MidiHeader header = HeaderFor(bytes);
    EXPECT_TRUE(port.SendLong(&header));

    ASSERT_EQ(loopback.MessageCount(beta), 1u);
    EXPECT_EQ(loopback.Messages(beta)[0], IDENTITY_REQUEST);
    EXPECT_EQ(loopback.MessageCount(alpha), 0u);
    EXPECT_EQ(header.dwFlags & (platform::MIDI_HDR_PREPARED | platform::MIDI_HDR_INQUEUE), 0u);
    EXPECT_NE(header.dwFlags & platform::MIDI_HDR_DONE, 0u);
    const auto counters = loopback.GetCounters();
    EXPECT_EQ(counters.prepares, 1u);
    EXPECT_EQ(counters.unprepares, 1u);
    EXPECT_EQ(counters.resets, 0u);
}

TEST_F(MidiOutPortTest, TheListenerSeesTheMessageOnTheSendingThreadBeforeSendLongReturns) {
    Bytes seen;
    std::thread::id listenerThread;
    loopback.SetListener(alpha, [&](const std::uint8_t* bytes, std::size_t length) {
        seen.assign(bytes, bytes + length);
        listenerThread = std::this_thread::get_id();
    });
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(0));
    Bytes bytes = {0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7};
    MidiHeader header = HeaderFor(bytes);
    ASSERT_TRUE(port.SendLong(&header));
    EXPECT_EQ(seen, bytes);
    EXPECT_EQ(listenerThread, std::this_thread::get_id());
}

TEST_F(MidiOutPortTest, ARefusedSendReturnsFalseAndTheNextOneGoesThrough) {
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(0));
    loopback.RefuseNextSends(alpha, 1);
    Bytes bytes = IDENTITY_REQUEST;
    MidiHeader first = HeaderFor(bytes);
    EXPECT_FALSE(port.SendLong(&first));
    EXPECT_EQ(loopback.MessageCount(alpha), 0u);
    MidiHeader second = HeaderFor(bytes);
    EXPECT_TRUE(port.SendLong(&second));
    EXPECT_EQ(loopback.MessageCount(alpha), 1u);
    const auto counters = loopback.GetCounters();
    EXPECT_EQ(counters.prepares, counters.unprepares);
}

TEST_F(MidiOutPortTest, ADeviceThatDisappearsFailsTheSendAndStillClosesCleanly) {
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(0));
    ASSERT_TRUE(loopback.RemoveDevice(alpha));
    Bytes bytes = IDENTITY_REQUEST;
    MidiHeader header = HeaderFor(bytes);
    EXPECT_FALSE(port.DeviceGone());
    EXPECT_FALSE(port.SendLong(&header));
    EXPECT_TRUE(port.DeviceGone()) << "the send's error code says the device has gone";
    EXPECT_EQ(header.dwFlags & platform::MIDI_HDR_PREPARED, 0u);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    const auto counters = loopback.GetCounters();
    EXPECT_EQ(counters.openHandles, 0u);
    EXPECT_EQ(counters.prepares, counters.unprepares);
    // The list closes up: Beta is now device 0.
    EXPECT_EQ(port.GetDeviceCount(), 1u);
    EXPECT_TRUE(port.Open(0));
    EXPECT_EQ(loopback.Events().back(), "open Beta");
}

TEST_F(MidiOutPortTest, AStalledDeviceIsResetAfterTheDeadlineSoTheCallerGetsItsBufferBackAndTheSendFails) {
    CMidiOutPort port(loopback);
    port.SetDoneWaitLimit(std::chrono::milliseconds(20), std::chrono::microseconds(0));
    ASSERT_TRUE(port.Open(0));
    loopback.SetHoldSends(alpha, true);
    Bytes bytes = IDENTITY_REQUEST;
    MidiHeader header = HeaderFor(bytes);
    bool sent = false;
    std::thread sender([&] { sent = port.SendLong(&header); });
    std::atomic<bool> done{false};
    std::thread watcher([&] { sender.join(); done = true; });
    EXPECT_TRUE(testsupport::WaitFor([&] { return done.load(); }));
    watcher.join();
    // The device accepted the message but never finished it; the reset took back what it held,
    // so the message may not have gone out whole.
    EXPECT_FALSE(sent);
    const auto counters = loopback.GetCounters();
    EXPECT_EQ(counters.resets, 1u);
    EXPECT_EQ(counters.prepares, counters.unprepares);
    EXPECT_EQ(header.dwFlags & (platform::MIDI_HDR_INQUEUE | platform::MIDI_HDR_PREPARED), 0u);
}

TEST_F(MidiOutPortTest, ADeviceThatCompletesLaterOnAnotherThreadIsWaitedFor) {
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(0));
    loopback.SetHoldSends(alpha, true);
    Bytes bytes(10551, 0x55);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    MidiHeader header = HeaderFor(bytes);
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        EXPECT_TRUE(port.SendLong(&header));
        returned = true;
    });
    ASSERT_TRUE(testsupport::WaitFor([&] { return loopback.MessageCount(alpha) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned.load());  // still waiting for the device
    loopback.CompleteHeldSends(alpha);
    EXPECT_TRUE(testsupport::WaitFor([&] { return returned.load(); }));
    sender.join();
    EXPECT_EQ(loopback.GetCounters().resets, 0u);
    EXPECT_EQ(loopback.Messages(alpha)[0], bytes);
}

// A message of a whole block: the port's own done-wait limit for it is about 12 s.
Bytes BlockMessage() {
    Bytes bytes(10551, 0x55);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

// Runs SendLong on a thread of its own; Result() waits at most 5 s for it to return.
class SendOnAThread {
public:
    SendOnAThread(CMidiOutPort& port, MidiHeader& header)
        : m_thread([this, &port, &header] {
              m_sent = port.SendLong(&header);
              m_returned = true;
          }) {}
    ~SendOnAThread() { m_thread.join(); }
    bool Returned() const { return m_returned.load(); }
    // True when SendLong returned within 5 s, with its result in `sent`.
    bool Result(bool& sent) {
        if (!testsupport::WaitFor([this] { return m_returned.load(); }, std::chrono::seconds(5))) return false;
        sent = m_sent.load();
        return true;
    }

private:
    std::atomic<bool> m_sent{false};
    std::atomic<bool> m_returned{false};
    std::thread m_thread;
};

TEST_F(MidiOutPortTest, AbandoningReleasesASendThatWaitsForTheDeviceAndNoLaterMessageStarts) {
    CMidiOutPort port(loopback);  // the product's done-wait limit
    ASSERT_TRUE(port.Open(0));
    loopback.SetHoldSends(alpha, true);  // a device that takes its time, as a cable does
    Bytes bytes = BlockMessage();
    MidiHeader header = HeaderFor(bytes);
    bool sent = true;
    {
        SendOnAThread sender(port, header);
        ASSERT_TRUE(testsupport::WaitFor([&] { return loopback.MessageCount(alpha) == 1; }));
        port.Abandon();
        ASSERT_TRUE(sender.Result(sent)) << "the abandoned send still waits";
    }
    EXPECT_FALSE(sent);
    EXPECT_TRUE(port.IsAbandoned());
    EXPECT_EQ(loopback.GetCounters().abandons, 1u);
    EXPECT_EQ(header.dwFlags & (platform::MIDI_HDR_INQUEUE | platform::MIDI_HDR_PREPARED), 0u);
    port.Close();
    EXPECT_FALSE(port.Open(0));
    EXPECT_FALSE(port.Open(1));
    const auto counters = loopback.GetCounters();
    EXPECT_EQ(counters.opens, 1u);
    EXPECT_EQ(counters.openHandles, 0u);
    EXPECT_EQ(counters.prepares, counters.unprepares);
}

TEST_F(MidiOutPortTest, AbandoningAClosedPortOnlyKeepsLaterMessagesFromStarting) {
    CMidiOutPort port(loopback);
    port.Abandon();
    EXPECT_FALSE(port.Open(0));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(loopback.GetCounters().opens + loopback.GetCounters().abandons, 0u);
}

TEST_F(MidiOutPortTest, ADeviceThatLeavesWhileItHoldsTheMessageEndsTheSendAtOnce) {
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(0));
    loopback.SetHoldSends(alpha, true);
    Bytes bytes = BlockMessage();
    MidiHeader header = HeaderFor(bytes);
    bool sent = true;
    {
        SendOnAThread sender(port, header);
        ASSERT_TRUE(testsupport::WaitFor([&] { return loopback.MessageCount(alpha) == 1; }));
        ASSERT_TRUE(loopback.RemoveDevice(alpha));
        ASSERT_TRUE(sender.Result(sent)) << "the send still waits for a device that has gone";
    }
    EXPECT_FALSE(sent);
    EXPECT_TRUE(port.DeviceGone());
    port.Close();
    EXPECT_EQ(loopback.GetCounters().openHandles, 0u);
}

TEST_F(MidiOutPortTest, AWatchSeesItsDeviceLeaveUntilUnwatchedAndAnotherDevicesLeavingIsNotItsConcern) {
    CMidiOutPort port(loopback);
    EXPECT_FALSE(port.Watch(2)) << "no device at that index";
    EXPECT_FALSE(port.Watch(0xFFFFFFFFu));
    EXPECT_EQ(loopback.GetCounters().watches, 0u);

    ASSERT_TRUE(port.Watch(1));
    EXPECT_EQ(loopback.GetCounters().watches, 1u);
    ASSERT_TRUE(loopback.RemoveDevice(alpha));
    EXPECT_FALSE(port.DeviceGone()) << "Alpha was not watched";
    ASSERT_TRUE(loopback.RemoveDevice(beta));
    EXPECT_TRUE(port.DeviceGone());
    port.Unwatch();
    EXPECT_FALSE(port.DeviceGone());
    EXPECT_EQ(loopback.GetCounters().watches, 0u);

    // A new watch replaces the old one; the destructor ends the last.
    const auto gamma = loopback.AddDevice("Gamma");
    {
        CMidiOutPort other(loopback);
        ASSERT_TRUE(other.Watch(0));
        ASSERT_TRUE(other.Watch(0));
        EXPECT_EQ(loopback.GetCounters().watches, 1u);
        EXPECT_FALSE(other.DeviceGone());
        ASSERT_TRUE(loopback.RemoveDevice(gamma));
        EXPECT_TRUE(other.DeviceGone());
    }
    EXPECT_EQ(loopback.GetCounters().watches, 0u);
}

TEST(MidiOutEnumerationTest, DuplicateNamesAreListedAtTheirOwnIndicesAndLongNamesAreCut) {
    LoopbackMidiOut loopback;
    loopback.AddDevice("USB Audio Device");
    const auto second = loopback.AddDevice("USB Audio Device");
    loopback.AddDevice(std::string(200, 'L'));
    CMidiOutPort port(loopback);
    ASSERT_EQ(port.GetDeviceCount(), 3u);
    char name[260];
    std::memset(name, 'x', sizeof name);
    port.GetDeviceName(0, name);
    EXPECT_STREQ(name, "USB Audio Device");
    port.GetDeviceName(1, name);
    EXPECT_STREQ(name, "USB Audio Device");
    port.GetDeviceName(2, name);
    EXPECT_EQ(std::string(name), std::string(platform::MAX_PNAME_LEN - 1, 'L'));

    ASSERT_TRUE(port.Open(1));
    Bytes bytes = IDENTITY_REQUEST;
    MidiHeader header = HeaderFor(bytes);
    ASSERT_TRUE(port.SendLong(&header));
    EXPECT_EQ(loopback.MessageCount(second), 1u);
}

TEST(MidiOutEnumerationTest, ALongJapaneseNameIsCutBeforeTheCharacterThatNoLongerFits) {
    // "オ" is three bytes in UTF-8: 127 bytes hold 42 of them and two bytes of the 43rd, which
    // must not be shown as a broken character.
    std::string longName;
    for (int i = 0; i < 60; ++i) longName += "\u30AA";
    LoopbackMidiOut loopback;
    loopback.AddDevice(longName);
    loopback.AddDevice("USB \u30AA\u30FC\u30C7\u30A3\u30AA \u30C7\u30D0\u30A4\u30B9");
    CMidiOutPort port(loopback);
    ASSERT_EQ(port.GetDeviceCount(), 2u);
    char name[260];
    port.GetDeviceName(0, name);
    EXPECT_EQ(std::string(name), longName.substr(0, 3 * ((platform::MAX_PNAME_LEN - 1) / 3)));
    port.GetDeviceName(1, name);
    EXPECT_STREQ(name, "USB \u30AA\u30FC\u30C7\u30A3\u30AA \u30C7\u30D0\u30A4\u30B9");
}

TEST(MidiOutEnumerationTest, WithoutDevicesTheCountIsZeroAndNamesComeBackEmpty) {
    LoopbackMidiOut loopback;
    CMidiOutPort port(loopback);
    EXPECT_EQ(port.GetDeviceCount(), 0u);
    char name[260] = "stale";
    port.GetDeviceName(0, name);
    EXPECT_STREQ(name, "");
    EXPECT_FALSE(port.Open(0));
}

}  // namespace

namespace {

// The loopback with a backend's own report of when the last bytes went: `offset` from the call.
class ReportingLoopback final : public LoopbackMidiOut {
public:
    std::chrono::nanoseconds offset{0};
    std::chrono::steady_clock::time_point called{};
    platform::MidiResult LongMsg(platform::MidiOutHandle handle, MidiHeader* header) override {
        called = std::chrono::steady_clock::now();
        return LoopbackMidiOut::LongMsg(handle, header);
    }
    bool HandedOverAt(platform::MidiOutHandle, std::chrono::steady_clock::time_point* at) override {
        *at = called + offset;
        return true;
    }
};

}  // namespace

TEST_F(MidiOutPortTest, ASendsLeavingMomentIsTheCallWhereTheBackendTellsNothingElseItsOwnReport) {
    CMidiOutPort port(loopback);
    ASSERT_TRUE(port.Open(0));
    Bytes message = IDENTITY_REQUEST;
    MidiHeader header = HeaderFor(message);
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(port.SendLong(&header));
    const auto after = std::chrono::steady_clock::now();
    EXPECT_GE(port.LastSendLeftAt(), before);
    EXPECT_LE(port.LastSendLeftAt(), after);

    ReportingLoopback reporting;
    reporting.AddDevice("Alpha");
    CMidiOutPort reported(reporting);
    ASSERT_TRUE(reported.Open(0));
    reporting.offset = std::chrono::milliseconds(3);  // a cycle that wrote the last event later
    MidiHeader h2 = HeaderFor(message);
    ASSERT_TRUE(reported.SendLong(&h2));
    EXPECT_EQ(reported.LastSendLeftAt(), reporting.called + std::chrono::milliseconds(3));
    // A report before the port handed the message over can't be right: the call's moment stands.
    reporting.offset = -std::chrono::seconds(1);
    MidiHeader h3 = HeaderFor(message);
    ASSERT_TRUE(reported.SendLong(&h3));
    EXPECT_GE(reported.LastSendLeftAt(), reporting.called - std::chrono::milliseconds(50));
    EXPECT_LE(reported.LastSendLeftAt(), reporting.called);
}
