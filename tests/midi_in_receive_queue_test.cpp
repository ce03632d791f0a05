// The buffer semantics that the ALSA, JACK, RtMidi and loopback inputs share.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/SysExReceiveQueue.h"

using namespace platform;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Records what comes back through the input callback; queues a returned buffer that holds bytes
// again, as the port does.
struct Recorder {
    std::mutex lock;
    std::vector<Bytes> buffers;           // MIDI_IN_LONGDATA, recorded bytes (possibly empty)
    std::vector<std::uintptr_t> shorts;  // MIDI_IN_DATA
    std::vector<std::uintptr_t> errors;  // MIDI_IN_ERROR: param2
    SysExReceiveQueue* queue = nullptr;
    bool requeue = true;

    static void Callback(MidiInHandle, std::uint32_t msg, std::uintptr_t instance,
                         std::uintptr_t p1, std::uintptr_t p2) {
        auto* self = reinterpret_cast<Recorder*>(instance);
        if (msg == MIDI_IN_ERROR) {
            std::lock_guard<std::mutex> g(self->lock);
            self->errors.push_back(p2);
            return;
        }
        if (msg == MIDI_IN_DATA) {
            std::lock_guard<std::mutex> g(self->lock);
            self->shorts.push_back(p1);
            return;
        }
        if (msg != MIDI_IN_LONGDATA) return;
        auto* h = reinterpret_cast<MidiHeader*>(p1);
        EXPECT_NE(h->dwFlags & MIDI_HDR_DONE, 0u);
        EXPECT_EQ(h->dwFlags & MIDI_HDR_INQUEUE, 0u);
        {
            std::lock_guard<std::mutex> g(self->lock);
            self->buffers.emplace_back(h->lpData, h->lpData + h->dwBytesRecorded);
        }
        if (self->requeue && h->dwBytesRecorded > 0) {
            self->queue->PrepareHeader(h);
            self->queue->AddBuffer(h);
        }
    }
};

struct Buffer {
    explicit Buffer(std::uint32_t size) : bytes(size) {
        header.lpData = bytes.data();
        header.dwBufferLength = size;
    }
    std::vector<char> bytes;
    MidiHeader header{};
};

class ReceiveQueueTest : public ::testing::Test {
protected:
    void SetUp() override { rec.queue = &queue; }
    void Open(Buffer& b) {
        ASSERT_EQ(queue.PrepareHeader(&b.header), MIDI_OK);
        ASSERT_EQ(queue.AddBuffer(&b.header), MIDI_OK);
        ASSERT_EQ(queue.Start(), MIDI_OK);
    }
    void Feed(const Bytes& b) { queue.Receive(b.data(), b.size()); }

    Recorder rec;
    SysExReceiveQueue queue{&Recorder::Callback, nullptr, reinterpret_cast<std::uintptr_t>(&rec)};
};

}  // namespace

TEST_F(ReceiveQueueTest, CompleteSysExComesBackDoneWithItsCountAndShortMessagesAsData) {
    Buffer b(64);
    Open(b);
    Feed({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    Feed({0x90, 0x3C, 0x64, 0x3E, 0x00});  // note on, then a second by running status
    Feed({0xFE});
    Feed({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0xF7});
    ASSERT_EQ(rec.buffers.size(), 2u);
    EXPECT_EQ(rec.buffers[0], (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
    EXPECT_EQ(rec.buffers[1], (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0xF7}));
    EXPECT_EQ(rec.shorts, (std::vector<std::uintptr_t>{0x643C90, 0x003E90, 0xFE}));
    EXPECT_EQ(queue.QueuedCount(), 1u);
}

TEST_F(ReceiveQueueTest, LongMessageComesBackInOneBufferPerRequeue) {
    Buffer b(4);
    Open(b);
    Feed({0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7});
    ASSERT_EQ(rec.buffers.size(), 3u);
    EXPECT_EQ(rec.buffers[0], (Bytes{0xF0, 1, 2, 3}));
    EXPECT_EQ(rec.buffers[1], (Bytes{4, 5, 6, 7}));
    EXPECT_EQ(rec.buffers[2], (Bytes{8, 0xF7}));
}

TEST_F(ReceiveQueueTest, ContinuationChunksWithoutStatusJoinTheOpenMessage) {
    Buffer b(64);
    Open(b);
    Feed({0xF0, 0x7D, 0x00});
    Feed({0xF8});  // clock inside the SysEx does not break it
    Feed({0x6A, 0x01});
    Feed({0x02, 0xF7});
    ASSERT_EQ(rec.buffers.size(), 1u);
    EXPECT_EQ(rec.buffers[0], (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x01, 0x02, 0xF7}));
    EXPECT_EQ(rec.shorts, (std::vector<std::uintptr_t>{0xF8}));
}

TEST_F(ReceiveQueueTest, LostEventsEndTheMessageInProgressAndAreReportedAsAnError) {
    Buffer b(64);
    Open(b);
    Feed({0xF0, 0x7D, 0x00});
    queue.Lost(3);  // the rest of that message, and more, never arrived
    Feed({0x6A, 0x01, 0xF7});  // a continuation of something lost: not joined to the head
    Feed({0xF0, 0x7D, 0x00, 0x6A, 0x00, 0xF7});
    queue.Lost(0);  // nothing lost: nothing reported
    ASSERT_EQ(rec.buffers.size(), 1u);
    EXPECT_EQ(rec.buffers[0], (Bytes{0xF0, 0x7D, 0x00, 0x6A, 0x00, 0xF7}));
    EXPECT_EQ(rec.errors, (std::vector<std::uintptr_t>{3}));

    // Stopped, the queue reports nothing.
    ASSERT_EQ(queue.Stop(), MIDI_OK);
    queue.Lost(2);
    EXPECT_EQ(rec.errors.size(), 1u);
}

TEST_F(ReceiveQueueTest, BytesAreDroppedWhileNoBufferIsQueued) {
    Buffer b(4);
    rec.requeue = false;
    Open(b);
    Feed({0xF0, 1, 2, 3, 4, 5, 0xF7});  // fills the buffer; the rest has nowhere to go
    ASSERT_EQ(rec.buffers.size(), 1u);
    EXPECT_EQ(rec.buffers[0], (Bytes{0xF0, 1, 2, 3}));
    EXPECT_EQ(queue.QueuedCount(), 0u);
    ASSERT_EQ(queue.AddBuffer(&b.header), MIDI_OK);
    Feed({0xF0, 9, 0xF7});
    ASSERT_EQ(rec.buffers.size(), 2u);
    EXPECT_EQ(rec.buffers[1], (Bytes{0xF0, 9, 0xF7}));
}

TEST_F(ReceiveQueueTest, InterruptedSysExIsDiscardedAndReceptionGoesOn) {
    Buffer b(64);
    Open(b);
    Feed({0xF0, 1, 2, 3});
    Feed({0xF0, 0x10, 0xF7});  // a new message before the end of the first
    Feed({0xF0, 4, 5});
    Feed({0xB0, 0x07, 0x40});  // a channel message cuts it
    Feed({0xF0, 0x20, 0xF7});
    ASSERT_EQ(rec.buffers.size(), 2u);
    EXPECT_EQ(rec.buffers[0], (Bytes{0xF0, 0x10, 0xF7}));
    EXPECT_EQ(rec.buffers[1], (Bytes{0xF0, 0x20, 0xF7}));
    EXPECT_EQ(rec.shorts, (std::vector<std::uintptr_t>{0x4007B0}));
}

TEST_F(ReceiveQueueTest, StopReturnsPartlyFilledBufferAndResetReturnsTheEmptyOne) {
    Buffer b(64);
    Open(b);
    Feed({0xF0, 1, 2});
    ASSERT_EQ(queue.Stop(), MIDI_OK);
    ASSERT_EQ(rec.buffers.size(), 1u);
    EXPECT_EQ(rec.buffers[0], (Bytes{0xF0, 1, 2}));
    EXPECT_EQ(queue.QueuedCount(), 1u);  // queued again by the callback, empty
    Feed({3, 0xF7, 0xF0, 5, 0xF7});       // nothing is received while stopped
    ASSERT_EQ(queue.Stop(), MIDI_OK);     // an empty buffer stays queued
    EXPECT_EQ(rec.buffers.size(), 1u);
    EXPECT_EQ(queue.UnprepareHeader(&b.header), MIDI_ERR_STILLPLAYING);
    EXPECT_EQ(queue.Close(), MIDI_ERR_STILLPLAYING);
    ASSERT_EQ(queue.Reset(), MIDI_OK);
    ASSERT_EQ(rec.buffers.size(), 2u);
    EXPECT_TRUE(rec.buffers[1].empty());
    EXPECT_EQ(queue.QueuedCount(), 0u);
    EXPECT_EQ(queue.UnprepareHeader(&b.header), MIDI_OK);
    EXPECT_EQ(queue.PreparedCount(), 0u);
    EXPECT_EQ(queue.Close(), MIDI_OK);
    EXPECT_EQ(queue.Start(), MIDI_ERR_INVALHANDLE);
}

TEST_F(ReceiveQueueTest, AddBufferRefusesUnpreparedAndAlreadyQueuedHeaders) {
    Buffer b(16);
    EXPECT_EQ(queue.AddBuffer(&b.header), MIDI_ERR_UNPREPARED);
    ASSERT_EQ(queue.PrepareHeader(&b.header), MIDI_OK);
    ASSERT_EQ(queue.AddBuffer(&b.header), MIDI_OK);
    EXPECT_EQ(queue.AddBuffer(&b.header), MIDI_ERR_STILLPLAYING);
    EXPECT_EQ(queue.QueuedCount(), 1u);
    ASSERT_EQ(queue.Reset(), MIDI_OK);
}

// A feeder thread keeps delivering while the owner stops, resets and closes: every callback
// has returned when Close returns, and none comes afterwards.
TEST(ReceiveQueueConcurrency, CloseWaitsForTheFeederAndNothingComesAfterIt) {
    for (int round = 0; round < 50; ++round) {
        Recorder rec;
        SysExReceiveQueue queue(&Recorder::Callback, nullptr,
                                reinterpret_cast<std::uintptr_t>(&rec));
        rec.queue = &queue;
        Buffer b(16);
        ASSERT_EQ(queue.PrepareHeader(&b.header), MIDI_OK);
        ASSERT_EQ(queue.AddBuffer(&b.header), MIDI_OK);
        ASSERT_EQ(queue.Start(), MIDI_OK);
        std::atomic<bool> stop{false};
        std::atomic<int> fed{0};
        std::thread feeder([&] {
            const Bytes msg{0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0xF7};
            while (!stop.load()) {
                queue.Receive(msg.data(), msg.size());
                fed.fetch_add(1);
            }
        });
        ASSERT_TRUE(testsupport::WaitFor([&] { return fed.load() > 10; }));
        ASSERT_EQ(queue.Stop(), MIDI_OK);
        ASSERT_EQ(queue.Reset(), MIDI_OK);
        EXPECT_EQ(queue.QueuedCount(), 0u);
        ASSERT_EQ(queue.UnprepareHeader(&b.header), MIDI_OK);
        ASSERT_EQ(queue.Close(), MIDI_OK);
        std::size_t seen = 0;
        {
            std::lock_guard<std::mutex> g(rec.lock);
            seen = rec.buffers.size();
            // The last buffer returned is the empty one of the reset.
            ASSERT_FALSE(rec.buffers.empty());
            EXPECT_TRUE(rec.buffers.back().empty());
        }
        const int fedAtClose = fed.load();
        ASSERT_TRUE(testsupport::WaitFor([&] { return fed.load() > fedAtClose + 10; }));
        stop = true;
        feeder.join();
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(rec.buffers.size(), seen);
    }
}
