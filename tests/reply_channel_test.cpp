#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ReplyChannel.h"
#include "TestSupport.h"

TEST(ReplyChannel, APostedAnswerWakesTheWaitAndCarriesStatusModelAndCount) {
    ReplyChannel channel;
    EXPECT_FALSE(channel.Wait(0));
    channel.Post(REPLY_OK, 0x69);
    ASSERT_TRUE(channel.Wait(0));
    Reply r = channel.Current();
    EXPECT_EQ(r.status, REPLY_OK);
    EXPECT_EQ(r.model, 0x69);
    EXPECT_EQ(r.count, 1u);

    channel.Post(7);  // an answer without a model keeps the last reported model
    ASSERT_TRUE(channel.Wait(0));
    r = channel.Current();
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.model, 0x69);
    EXPECT_EQ(r.count, 2u);
}

TEST(ReplyChannel, ClosingWakesTheRunAndNoLaterAnswerReplacesTheMarker) {
    ReplyChannel channel;
    std::atomic<bool> woke{false};
    std::thread run([&] {
        channel.Wait(ReplyChannel::INFINITE_WAIT);
        woke = true;
    });
    channel.Close();
    EXPECT_TRUE(testsupport::WaitFor([&] { return woke.load(); }));
    if (!woke) channel.Post(0);  // let the thread end even when the assertion failed
    run.join();

    channel.Post(REPLY_OK, 0x6A);
    EXPECT_FALSE(channel.Wait(0)) << "an answer after the closing signals nothing";
    EXPECT_EQ(channel.Current().status, REPLY_CLOSING);
    EXPECT_EQ(channel.Current().count, 0u);
}

TEST(ReplyChannel, ResetDiscardsAnAnswerThatNoRunWaitedFor) {
    ReplyChannel channel;
    channel.Post(3);
    channel.Reset();
    EXPECT_FALSE(channel.Wait(0));
    EXPECT_EQ(channel.Current().status, 3) << "the value stays; only the signal goes";
}

TEST(ReplyChannel, EveryAnswerIsSeenWholeByTheRunAcrossThreads) {
    // The dispatcher and the run, many times over (meaningful under TSan): status and model of
    // one answer are never seen torn apart.
    ReplyChannel channel;
    ReplyEvent consumed;
    std::thread dispatcher([&] {
        for (int i = 1; i <= 2000; ++i) {
            channel.Post(i, static_cast<std::uint8_t>(i & 0x7F));
            if (!consumed.Wait(5000)) return;
        }
    });
    for (int i = 1; i <= 2000; ++i) {
        ASSERT_TRUE(channel.Wait(5000));
        const Reply r = channel.Current();
        ASSERT_EQ(r.status, i);
        ASSERT_EQ(r.model, i & 0x7F);
        consumed.Set();
    }
    dispatcher.join();
}

TEST(ReplyChannel, TheDeviceLeavingWakesTheRunAndEveryLaterWaitUntilTheNextRunStarts) {
    ReplyChannel channel;
    std::atomic<bool> woke{false};
    std::thread run([&] {
        channel.Wait(ReplyChannel::INFINITE_WAIT);
        woke = true;
    });
    channel.PostDeviceGone();
    EXPECT_TRUE(testsupport::WaitFor([&] { return woke.load(); }));
    if (!woke) channel.Post(0);
    run.join();
    EXPECT_TRUE(channel.Current().deviceGone);
    EXPECT_EQ(channel.Current().count, 0u) << "the leaving is no answer";
    EXPECT_TRUE(channel.Wait(0));
    EXPECT_TRUE(channel.Wait(30000)) << "a later wait returns at once";

    channel.Reset();  // the next run
    EXPECT_FALSE(channel.Current().deviceGone);
    EXPECT_FALSE(channel.Wait(0));
}

TEST(ReplyChannel, AfterTheClosingTheDeviceLeavingChangesNothing) {
    ReplyChannel channel;
    channel.Close();
    ASSERT_TRUE(channel.Wait(0));
    channel.PostDeviceGone();
    EXPECT_FALSE(channel.Current().deviceGone);
    EXPECT_EQ(channel.Current().status, REPLY_CLOSING);
    EXPECT_FALSE(channel.Wait(0));
}
