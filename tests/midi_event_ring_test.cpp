// The ring that carries MIDI events between JACK's process thread and an ordinary thread.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/EventRing.h"

using platform::EventRing;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Event(std::size_t length, std::uint8_t seed) {
    Bytes b(length);
    for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

// Takes the front record whole; false when there is none.
bool Take(EventRing& ring, Bytes& bytes, std::uint32_t* tag = nullptr) {
    EventRing::Record record;
    if (!ring.Front(record)) return false;
    bytes.resize(record.length);
    record.CopyTo(bytes.data());
    if (tag != nullptr) *tag = record.tag;
    ring.Pop(record);
    return true;
}

TEST(EventRing, RecordsComeOutWholeWithTheirTagsAcrossTheEndOfTheRoom) {
    EventRing ring;
    ASSERT_TRUE(ring.Allocate(100));
    EXPECT_EQ(ring.Capacity(), 128u);  // rounded up to a power of two
    Bytes out;
    // Records of 8 + 20 bytes: the fifth one wraps (at 112 of 128 bytes).
    for (int i = 0; i < 12; ++i) {
        const Bytes event = Event(20, static_cast<std::uint8_t>(i));
        ASSERT_TRUE(ring.Push(event.data(), 20, static_cast<std::uint32_t>(i))) << "record " << i;
        std::uint32_t tag = 99;
        ASSERT_TRUE(Take(ring, out, &tag));
        EXPECT_EQ(out, event) << "record " << i;
        EXPECT_EQ(tag, static_cast<std::uint32_t>(i));
    }
    EXPECT_FALSE(Take(ring, out));
    EXPECT_EQ(ring.ReadSpace(), 0u);
}

TEST(EventRing, ARecordThatDoesNotFitIsRefusedAndLeavesTheOthersAsTheyWere) {
    EventRing ring;
    ASSERT_TRUE(ring.Allocate(64));
    const Bytes a = Event(30, 1), b = Event(20, 2), c = Event(10, 3);
    ASSERT_TRUE(ring.Push(a.data(), 30));
    EXPECT_FALSE(ring.Push(b.data(), 20 + 7));  // 38 + 27 + 8 > 64
    ASSERT_TRUE(ring.Push(b.data(), 18));       // 38 + 26 = 64: exactly full
    EXPECT_EQ(ring.WriteSpace(), 0u);
    EXPECT_FALSE(ring.Push(c.data(), 0));
    Bytes out;
    ASSERT_TRUE(Take(ring, out));
    EXPECT_EQ(out, a);
    ASSERT_TRUE(ring.Push(c.data(), 10));  // room again, at the start of the room
    ASSERT_TRUE(Take(ring, out));
    EXPECT_EQ(out, Bytes(b.begin(), b.begin() + 18));
    ASSERT_TRUE(Take(ring, out));
    EXPECT_EQ(out, c);

    ring.Push(a.data(), 30);
    ring.Clear();
    EXPECT_FALSE(Take(ring, out));
    EventRing none;  // never allocated: takes nothing
    EXPECT_FALSE(none.Push(a.data(), 1));
}

TEST(EventRing, AProducerAndAConsumerThreadHandOverEveryRecordInOrder) {
    EventRing ring;
    ASSERT_TRUE(ring.Allocate(4096));
    constexpr int COUNT = 20000;
    auto lengthOf = [](int i) { return static_cast<std::size_t>(1 + (i * 37) % 700); };
    int mismatches = 0;
    int received = 0;
    const bool ended = testsupport::EndsWithin(std::chrono::seconds(60), [&] {
        std::thread producer([&] {
            for (int i = 0; i < COUNT; ++i) {
                const Bytes event = Event(lengthOf(i), static_cast<std::uint8_t>(i));
                while (!ring.Push(event.data(), static_cast<std::uint32_t>(event.size()), static_cast<std::uint32_t>(i))) {
                    std::this_thread::yield();
                }
            }
        });
        Bytes out;
        while (received < COUNT) {
            std::uint32_t tag = 0;
            if (!Take(ring, out, &tag)) {
                std::this_thread::yield();
                continue;
            }
            if (tag != static_cast<std::uint32_t>(received) || out != Event(lengthOf(received), static_cast<std::uint8_t>(received))) {
                ++mismatches;
            }
            ++received;
        }
        producer.join();
    });
    ASSERT_TRUE(ended) << "the hand-over stalled after " << received << " records";
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
