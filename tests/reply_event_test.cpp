#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ReplyEvent.h"
#include "TestSupport.h"

TEST(ReplyEvent, StartsUnsignalledSoATimedWaitTimesOut) {
    ReplyEvent event;
    EXPECT_FALSE(event.Wait(10));
}

TEST(ReplyEvent, OneSignalReleasesExactlyOneWait) {
    ReplyEvent event;
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0)) << "auto-reset: the signal is consumed by the first wait";
}

TEST(ReplyEvent, TwoSignalsBeforeAWaitCountOnce) {
    ReplyEvent event;
    event.Set();
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(ReplyEvent, ResetDiscardsAPendingSignal) {
    ReplyEvent event;
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(ReplyEvent, InfiniteWaitWakesOnASignalFromAnotherThread) {
    ReplyEvent event;
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        event.Wait(ReplyEvent::INFINITE_WAIT);
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke.load());
    event.Set();
    EXPECT_TRUE(testsupport::WaitFor([&] { return woke.load(); }));
    if (!woke) event.Set();  // let the thread end even when the assertion failed
    waiter.join();
}

TEST(ReplyEvent, ValueWrittenBeforeSetIsSeenAfterWait) {
    // The hand-over pattern of the dispatcher and the run, many times over (meaningful under TSan):
    // the writer stores a plain value, then signals; the reader reads it only after its wait.
    ReplyEvent reply;
    ReplyEvent consumed;
    int status = 0;  // deliberately plain: the events must order it
    std::thread writer([&] {
        for (int i = 1; i <= 2000; ++i) {
            status = i;
            reply.Set();
            if (!consumed.Wait(5000)) return;
        }
    });
    for (int i = 1; i <= 2000; ++i) {
        ASSERT_TRUE(reply.Wait(5000));
        ASSERT_EQ(status, i);
        consumed.Set();
    }
    writer.join();
}
