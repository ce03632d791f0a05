// CMidiInPort on the loopback input: start/stop with every step failing in turn, the received
// list, and its producer/consumer safety.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CMidiInPort.h"
#include "TestSupport.h"
#include "platform/loopback/LoopbackMidiIn.h"

using namespace platform;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A heap that counts its blocks and can be told to fail.
struct CountingHeap {
    static inline std::atomic<long> outstanding{0};
    static inline std::atomic<int> okBeforeFailure{-1};  // allocations that succeed first; -1: all
    static inline std::atomic<bool> failing{false};       // every allocation fails

    static void* Allocate(std::size_t size) {
        if (failing.load()) return nullptr;
        int left = okBeforeFailure.load();
        while (left >= 0 && !okBeforeFailure.compare_exchange_weak(left, left - 1)) {
        }
        if (left == 0) return nullptr;
        outstanding.fetch_add(1);
        return std::malloc(size);
    }
    static void Release(void* block) {
        if (block == nullptr) return;
        outstanding.fetch_sub(1);
        std::free(block);
    }
    static void Clear() {
        okBeforeFailure = -1;
        failing = false;
    }
};

Bytes Entry(CMidiInPort& port) {
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
    if (!port.PeekReceived(&bytes, &length)) return {};
    return Bytes(bytes, bytes + length);
}

Bytes PopEntry(CMidiInPort& port) {
    Bytes b = Entry(port);
    port.PopReceived();
    return b;
}

Bytes SysEx(std::size_t length, std::uint8_t fill) {
    Bytes b(length, fill);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

class MidiInPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        CountingHeap::Clear();
        CountingHeap::outstanding = 0;
        port.SetHeap(&CountingHeap::Allocate, &CountingHeap::Release);
    }
    void TearDown() override { CountingHeap::Clear(); }

    void ExpectNothingHeld() {
        EXPECT_EQ(midi.OpenHandleCount(), 0u);
        EXPECT_EQ(midi.PreparedHeaderCount(), 0u);
        EXPECT_EQ(midi.QueuedBufferCount(), 0u);
        EXPECT_EQ(CountingHeap::outstanding.load(), 0);
    }

    LoopbackMidiIn midi{{"USB Audio Device", "Second Device"}};
    CMidiInPort port{midi};
};

}  // namespace

TEST_F(MidiInPortTest, StartAndStopOpenAndReleaseTheDeviceAndTheBuffer) {
    ASSERT_TRUE(port.Start());
    EXPECT_TRUE(port.IsStarted());
    EXPECT_EQ(midi.OpenHandleCount(), 1u);
    EXPECT_EQ(midi.PreparedHeaderCount(), RECEIVE_BUFFER_COUNT);
    EXPECT_EQ(midi.QueuedBufferCount(), RECEIVE_BUFFER_COUNT);
    EXPECT_EQ(CountingHeap::outstanding.load(), 2);  // the headers and the buffers, a block each

    int stops = 0;
    midi.SetHook(MidiInStep::Stop, [&] { ++stops; });
    port.Stop();
    EXPECT_FALSE(port.IsStarted());
    ExpectNothingHeld();
    port.Stop();  // a second Stop does nothing
    EXPECT_EQ(stops, 1);
    ExpectNothingHeld();

    ASSERT_TRUE(port.Start());  // and the pair works again
    port.Stop();
    ExpectNothingHeld();
    EXPECT_EQ(midi.OpenCalls(), 2u);
}

TEST_F(MidiInPortTest, StartOnAStartedPortDoesNotReopenEvenWithAChangedIndex) {
    ASSERT_TRUE(port.Start());
    port.m_deviceIndex = 1;
    EXPECT_TRUE(port.Start());
    EXPECT_EQ(midi.OpenCalls(), 1u);
    EXPECT_EQ(midi.OpenHandleCount(), 1u);
    // Still on device 0.
    EXPECT_TRUE(midi.Deliver(0, {0xF0, 0x01, 0xF7}));
    EXPECT_FALSE(midi.Deliver(1, {0xF0, 0x02, 0xF7}));
    EXPECT_EQ(PopEntry(port), (Bytes{0xF0, 0x01, 0xF7}));
    port.Stop();
    ASSERT_TRUE(port.Start());  // after a Stop the new index counts
    EXPECT_TRUE(midi.Deliver(1, {0xF0, 0x02, 0xF7}));
    EXPECT_EQ(PopEntry(port), (Bytes{0xF0, 0x02, 0xF7}));
}

TEST_F(MidiInPortTest, StartFailingAtEachStepLeavesNothingOpenOrAllocatedAndTheNextStartWorks) {
    const MidiInStep steps[] = {MidiInStep::Open, MidiInStep::Reset, MidiInStep::PrepareHeader,
                                MidiInStep::AddBuffer, MidiInStep::Start};
    for (MidiInStep step : steps) {
        SCOPED_TRACE(static_cast<int>(step));
        midi.FailNext(step);
        EXPECT_FALSE(port.Start());
        EXPECT_FALSE(port.IsStarted());
        ExpectNothingHeld();
        ASSERT_TRUE(port.Start());
        port.Stop();
        ExpectNothingHeld();
    }
    // A buffer further down the queue that cannot be prepared or queued: the ones before it are
    // taken back as well.
    for (MidiInStep step : {MidiInStep::PrepareHeader, MidiInStep::AddBuffer}) {
        SCOPED_TRACE(static_cast<int>(step));
        std::uint32_t calls = 0;
        midi.SetHook(step, [&] {
            if (++calls == RECEIVE_BUFFER_COUNT / 2) midi.FailNext(step);
        });
        EXPECT_FALSE(port.Start());
        midi.SetHook(step, {});
        EXPECT_EQ(calls, RECEIVE_BUFFER_COUNT / 2);
        ExpectNothingHeld();
        ASSERT_TRUE(port.Start());
        port.Stop();
        ExpectNothingHeld();
    }
    const std::size_t opens = midi.OpenCalls();
    for (int okAllocations : {0, 1}) {  // the headers, then the buffers cannot be allocated
        SCOPED_TRACE(okAllocations);
        CountingHeap::okBeforeFailure = okAllocations;
        EXPECT_FALSE(port.Start());
        ExpectNothingHeld();
        EXPECT_EQ(midi.OpenCalls(), opens);  // no open was tried
        CountingHeap::Clear();
    }
    port.m_deviceIndex = 7;  // names no device
    EXPECT_FALSE(port.Start());
    ExpectNothingHeld();
    port.m_deviceIndex = 1;
    ASSERT_TRUE(port.Start());
    EXPECT_TRUE(port.IsStarted());
}

TEST_F(MidiInPortTest, MessagesAreHandedOutInOrderOfArrivalWithTheirLengths) {
    const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(1);
    std::uint32_t length = 99;
    EXPECT_FALSE(port.PeekReceived(&bytes, &length));  // empty list: none
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length, 0u);
    port.PopReceived();  // does nothing

    ASSERT_TRUE(port.Start());
    const Bytes identityReply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00,
                              0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xF7};
    const Bytes status{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0x00, 0xF7};
    ASSERT_TRUE(midi.Deliver("USB Audio Device", identityReply));
    ASSERT_TRUE(midi.Deliver(0, {0x90, 0x3C, 0x64}));  // note on
    ASSERT_TRUE(midi.Deliver(0, {0xFE}));              // active sensing
    ASSERT_TRUE(midi.Deliver(0, status));

    EXPECT_EQ(Entry(port), identityReply);
    EXPECT_EQ(Entry(port), identityReply);  // a second peek shows the same entry
    port.PopReceived();
    EXPECT_EQ(PopEntry(port), status);
    EXPECT_TRUE(Entry(port).empty());  // short messages added nothing
    port.Stop();
    ExpectNothingHeld();
}

TEST_F(MidiInPortTest, EveryReturnedBufferIsNumberedInArrivalOrderOverStopsAndStarts) {
    EXPECT_EQ(port.ReceivedSequence(), 0u);
    ASSERT_TRUE(port.Start());
    ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x01, 0xF7}));
    ASSERT_TRUE(midi.Deliver(0, {0x90, 0x3C, 0x64}));  // a short message is not numbered
    ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x02, 0xF7}));
    EXPECT_EQ(port.ReceivedSequence(), 2u);
    port.Stop();  // returns the empty buffers: nothing numbered
    EXPECT_EQ(port.ReceivedSequence(), 2u);
    ASSERT_TRUE(port.Start());
    ASSERT_TRUE(midi.Deliver(0, SysEx(RECEIVE_BUFFER_SIZE + 10, 0x03)));  // two buffers
    EXPECT_EQ(port.ReceivedSequence(), 4u);

    std::vector<std::uint64_t> numbers;
    std::uint64_t number = 0;
    while (port.PeekReceived(nullptr, nullptr, &number)) {
        numbers.push_back(number);
        port.PopReceived();
    }
    EXPECT_EQ(numbers, (std::vector<std::uint64_t>{1, 2, 3, 4}));
    EXPECT_FALSE(port.PeekReceived(nullptr, nullptr, &number));
    EXPECT_EQ(number, 0u) << "an empty list gives no number";
    port.Stop();
}

TEST_F(MidiInPortTest, MessageLongerThanTheReceiveBufferArrivesAsSeveralEntries) {
    ASSERT_TRUE(port.Start());
    Bytes message = SysEx(10551, 0x00);
    for (std::size_t i = 1; i + 1 < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i % 128);
    ASSERT_TRUE(midi.Deliver(0, message));
    const Bytes first = PopEntry(port);
    const Bytes second = PopEntry(port);
    EXPECT_TRUE(Entry(port).empty());
    ASSERT_EQ(first.size(), RECEIVE_BUFFER_SIZE);
    ASSERT_EQ(second.size(), 10551u - RECEIVE_BUFFER_SIZE);
    EXPECT_NE(first.back(), 0xF7);
    EXPECT_NE(second.front(), 0xF0);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), message.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), message.begin() + RECEIVE_BUFFER_SIZE));
}

TEST_F(MidiInPortTest, StopCutsAnArrivingMessageIntoOneEntryWithoutEndByte) {
    ASSERT_TRUE(port.Start());
    ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x7D, 0x00}));
    // More of it arrives while the port is being stopped; a message during the reset is lost.
    midi.SetHook(MidiInStep::Stop, [&] { midi.Deliver(0, {0x6A, 0x01}); });
    midi.SetHook(MidiInStep::Reset, [&] { midi.Deliver(0, {0xF0, 0x55, 0xF7}); });
    port.Stop();
    EXPECT_EQ(PopEntry(port), (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x01}));
    EXPECT_TRUE(Entry(port).empty());  // the empty buffer of the reset added nothing
    ExpectNothingHeld();
}

TEST_F(MidiInPortTest, EntriesSurviveStopAndTheDestructorFreesThem) {
    {
        CMidiInPort local(midi);
        local.SetHeap(&CountingHeap::Allocate, &CountingHeap::Release);
        ASSERT_TRUE(local.Start());
        ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x01, 0xF7}));
        ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x02, 0x03, 0xF7}));
        local.Stop();
        EXPECT_EQ(PopEntry(local), (Bytes{0xF0, 0x01, 0xF7}));
        ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x04, 0xF7}) == false);  // nothing open any more
        EXPECT_EQ(CountingHeap::outstanding.load(), 2);  // one entry left: bytes and entry
    }
    EXPECT_EQ(CountingHeap::outstanding.load(), 0);
}

TEST_F(MidiInPortTest, FailedAllocationOnTheCallbackThreadDropsOnlyThatMessage) {
    ASSERT_TRUE(port.Start());
    CountingHeap::failing = true;
    ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x01, 0xF7}));
    CountingHeap::failing = false;
    ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x02, 0xF7}));
    EXPECT_EQ(PopEntry(port), (Bytes{0xF0, 0x02, 0xF7}));
    EXPECT_TRUE(Entry(port).empty());
    EXPECT_EQ(midi.QueuedBufferCount(), RECEIVE_BUFFER_COUNT);
}

// A release step that fails leaves the buffer with the device; nothing is freed that the device
// may still write into, and the next Start (or the destructor) finishes the release.
TEST_F(MidiInPortTest, FailedReleaseStepKeepsTheBufferUntilTheReleaseIsFinished) {
    const MidiInStep steps[] = {MidiInStep::Stop, MidiInStep::Reset, MidiInStep::UnprepareHeader,
                                MidiInStep::Close};
    for (MidiInStep step : steps) {
        SCOPED_TRACE(static_cast<int>(step));
        ASSERT_TRUE(port.Start());
        midi.FailNext(step);
        port.Stop();
        EXPECT_FALSE(port.IsStarted());
        EXPECT_EQ(midi.OpenHandleCount(), 1u);
        if (step == MidiInStep::Close) {
            EXPECT_EQ(CountingHeap::outstanding.load(), 0);  // unprepared: no longer the device's
        } else {
            EXPECT_EQ(CountingHeap::outstanding.load(), 2);
        }
        if (step == MidiInStep::Stop) {
            // Still receiving into the kept buffer.
            ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x11, 0xF7}));
            EXPECT_EQ(PopEntry(port), (Bytes{0xF0, 0x11, 0xF7}));
        }
        ASSERT_TRUE(port.Start());
        EXPECT_EQ(midi.OpenHandleCount(), 1u);
        port.Stop();
        ExpectNothingHeld();
    }
    // A release that fails for good: Start refuses rather than holding two devices.
    ASSERT_TRUE(port.Start());
    midi.FailNext(MidiInStep::Close);
    port.Stop();
    midi.FailNext(MidiInStep::Close);
    EXPECT_FALSE(port.Start());
    EXPECT_EQ(midi.OpenHandleCount(), 1u);
    EXPECT_TRUE(port.Start());
    EXPECT_EQ(midi.OpenHandleCount(), 1u);
}

TEST_F(MidiInPortTest, DevicesAreListedByNameInOrder) {
    char name[260];
    EXPECT_EQ(port.GetDeviceCount(), 2u);
    port.GetDeviceName(0, name);
    EXPECT_STREQ(name, "USB Audio Device");
    port.GetDeviceName(1, name);
    EXPECT_STREQ(name, "Second Device");
    std::memset(name, 'x', sizeof name);
    port.GetDeviceName(2, name);  // no such device: an empty name
    EXPECT_STREQ(name, "");
    midi.AddDevice(std::string(200, 'N'));  // longer than any name record holds
    port.GetDeviceName(2, name);
    EXPECT_EQ(std::string(name), std::string(platform::MAX_PNAME_LEN - 1, 'N'));
    midi.AddDevice("USB オーディオ デバイス (2)");  // 35 bytes in UTF-8
    port.GetDeviceName(3, name);
    EXPECT_STREQ(name, "USB オーディオ デバイス (2)");

    LoopbackMidiIn none;
    CMidiInPort empty(none);
    EXPECT_EQ(empty.GetDeviceCount(), 0u);
    EXPECT_FALSE(empty.Start());
}

TEST_F(MidiInPortTest, DeviceThatVanishesWhileStartedIsReleasedSafely) {
    ASSERT_TRUE(port.Start());
    ASSERT_TRUE(midi.Deliver(0, {0xF0, 0x01}));
    EXPECT_FALSE(port.DeviceGone());
    ASSERT_TRUE(midi.RemoveDevice("USB Audio Device"));
    EXPECT_TRUE(port.DeviceGone()) << "the input heard that its device has left";
    EXPECT_FALSE(midi.Deliver("USB Audio Device", {0x02, 0xF7}));
    EXPECT_EQ(port.GetDeviceCount(), 1u);
    port.Stop();
    EXPECT_EQ(PopEntry(port), (Bytes{0xF0, 0x01}));
    ExpectNothingHeld();
    port.m_deviceIndex = 1;  // gone now
    EXPECT_FALSE(port.Start());
    ExpectNothingHeld();
}

TEST_F(MidiInPortTest, TheCloseNoticeOfItsOwnStopIsNoDeviceLeavingAndAStartForgetsAnEarlierOne) {
    // WinMM announces every close of an input, the port's own included.
    midi.SetHook(MidiInStep::Close, [&] { port.HandleInput(MIDI_IN_CLOSE, 0, 0); });
    ASSERT_TRUE(port.Start());
    port.Stop();
    EXPECT_FALSE(port.DeviceGone());

    ASSERT_TRUE(port.Start());
    port.HandleInput(MIDI_IN_CLOSE, 0, 0);  // the device left while started
    EXPECT_TRUE(port.DeviceGone());
    port.Stop();
    EXPECT_TRUE(port.DeviceGone()) << "stopping does not hide that the device left";
    ASSERT_TRUE(port.Start());
    EXPECT_FALSE(port.DeviceGone());
    midi.SetHook(MidiInStep::Close, nullptr);
}

// One thread delivers, one peeks and pops: every message arrives once, in order, whole.
TEST(MidiInPortStress, ProducerAndConsumerLoseAndDuplicateNothing) {
    constexpr std::uint32_t MESSAGES = 300000;
    LoopbackMidiIn midi({"Device"});
    CMidiInPort port(midi);
    ASSERT_TRUE(port.Start());

    std::thread producer([&] {
        for (std::uint32_t i = 0; i < MESSAGES; ++i) {
            const std::uint8_t len = static_cast<std::uint8_t>(5 + i % 7);
            Bytes m(len, static_cast<std::uint8_t>(i % 128));
            m[0] = 0xF0;
            m[1] = static_cast<std::uint8_t>(i & 0x7F);
            m[2] = static_cast<std::uint8_t>((i >> 7) & 0x7F);
            m[3] = static_cast<std::uint8_t>((i >> 14) & 0x7F);
            m[len - 1] = 0xF7;
            midi.Deliver(0, m);
        }
    });

    std::uint32_t next = 0;
    bool wellFormed = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(200);
    while (next < MESSAGES && std::chrono::steady_clock::now() < deadline) {
        const std::uint8_t* bytes = nullptr;
        std::uint32_t length = 0;
        if (!port.PeekReceived(&bytes, &length)) {
            std::this_thread::yield();
            continue;
        }
        const std::uint32_t seq = bytes[1] | (bytes[2] << 7) | (bytes[3] << 14);
        if (seq != next || length != 5 + next % 7 || bytes[0] != 0xF0 || bytes[length - 1] != 0xF7) {
            wellFormed = false;
            break;
        }
        port.PopReceived();
        ++next;
    }
    producer.join();
    EXPECT_TRUE(wellFormed) << "at message " << next;
    EXPECT_EQ(next, MESSAGES);
    EXPECT_FALSE(port.PeekReceived(nullptr, nullptr));
    port.Stop();
}

// A device keeps sending while the port is started and stopped over and over: every entry is a
// whole message or the start of one cut by a Stop, and nothing is left held.
TEST(MidiInPortStress, StartAndStopWhileTheDeviceKeepsSending) {
    LoopbackMidiIn midi({"Device"});
    CMidiInPort port(midi);
    std::atomic<bool> done{false};
    std::atomic<long> delivered{0};
    std::thread device([&] {
        const Bytes head{0xF0, 0x7D, 0x00};
        const Bytes tail{0x6A, 0x01, 0xF7};
        while (!done.load()) {
            midi.Deliver(0, head);
            midi.Deliver(0, tail);
            delivered.fetch_add(1);
        }
    });
    for (int i = 0; i < 300; ++i) {
        const bool started = port.Start();
        EXPECT_TRUE(started);
        const long before = delivered.load();
        const bool sending = testsupport::WaitFor([&] { return delivered.load() > before + 2; });
        EXPECT_TRUE(sending);
        port.Stop();
        if (!started || !sending) break;
    }
    done = true;
    device.join();
    EXPECT_EQ(midi.OpenHandleCount(), 0u);
    EXPECT_EQ(midi.QueuedBufferCount(), 0u);
    std::size_t entries = 0;
    while (true) {
        Bytes e = PopEntry(port);
        if (e.empty()) break;
        ++entries;
        const Bytes whole{0xF0, 0x7D, 0x00, 0x6A, 0x01, 0xF7};
        const bool cut = e.size() < whole.size() && std::equal(e.begin(), e.end(), whole.begin());
        EXPECT_TRUE(e == whole || cut) << "entry of " << e.size() << " bytes";
    }
    EXPECT_GT(entries, 0u);
}
