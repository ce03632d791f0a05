#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ReplyChannel.h"
#include "TestSupport.h"

TEST(ReplyChannel, APostedAnswerWakesTheWaitAndCarriesStatusModelAndCount) {
    ReplyChannel channel;
    EXPECT_FALSE(channel.Wait(0));
    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, 1, 0x69);
    ASSERT_TRUE(channel.Wait(0));
    Reply r = channel.Current();
    EXPECT_EQ(r.status, REPLY_OK);
    EXPECT_EQ(r.model, 0x69);
    EXPECT_EQ(r.count, 1u);

    channel.Post(7, REPLY_KIND_STATUS, 2);  // an answer without a model keeps the last reported model
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
    if (!woke) channel.Post(0, REPLY_KIND_STATUS, 1);  // let the thread end even when the assertion failed
    run.join();

    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, 2, 0x6A);
    EXPECT_FALSE(channel.Wait(0)) << "an answer after the closing signals nothing";
    EXPECT_EQ(channel.Current().status, REPLY_CLOSING);
    EXPECT_EQ(channel.Current().count, 0u);
}

TEST(ReplyChannel, ResetDiscardsAnAnswerThatNoRunWaitedFor) {
    ReplyChannel channel;
    channel.Post(3, REPLY_KIND_STATUS, 1);
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
            channel.Post(i, REPLY_KIND_IDENTITY, static_cast<std::uint64_t>(i), static_cast<std::uint8_t>(i & 0x7F));
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
    if (!woke) channel.Post(0, REPLY_KIND_STATUS, 1);
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

// ----- The run's wait: only an answer to what it sent -----

TEST(ReplyChannelAwait, TakesOnlyAnAnswerFromAMessageReceivedAfterTheMark) {
    ReplyChannel channel;
    channel.Expect(5, ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, 4);  // received before the send: a repeat
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, 5);  // the last one before the send
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::TimedOut);
    EXPECT_EQ(channel.Await(30).end, AwaitedReply::End::TimedOut) << "a stale answer left signalled does not answer";
    EXPECT_EQ(channel.Current().count, 2u) << "both were recorded all the same";

    // The answer to the send, posted before the run waits (a tick while the worker still sends).
    channel.Post(1, REPLY_KIND_STATUS, 6);
    const AwaitedReply a = channel.Await(0);
    ASSERT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.status, 1);
    EXPECT_EQ(a.reply.sequence, 6u);
    EXPECT_EQ(a.reply.kind, REPLY_KIND_STATUS);
}

TEST(ReplyChannelAwait, TakesOnlyTheKindsThatAnswerTheMessageSentAndAnyForFinish) {
    ReplyChannel channel;
    channel.Expect(0, ANSWERS_TO_IDENTITY_REQUEST);
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, 1);
    channel.Post(REPLY_OK, REPLY_KIND_BLOCK, 2);
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::TimedOut) << "a STATUS does not answer an Identity Request";
    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, 3, 0x69);
    AwaitedReply a = channel.Await(0);
    ASSERT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.model, 0x69);

    channel.Expect(3, ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, 4, 0x6A);
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::TimedOut) << "an Identity Reply does not answer a block";
    channel.Post(REPLY_OK, REPLY_KIND_BLOCK, 5);
    a = channel.Await(0);
    ASSERT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.kind, REPLY_KIND_BLOCK);

    for (const std::uint8_t kind : {REPLY_KIND_IDENTITY, REPLY_KIND_STATUS, REPLY_KIND_BLOCK}) {
        channel.Expect(10u * kind, ANSWERS_TO_FINISH);
        channel.Post(9, kind, 10u * kind + 1);
        a = channel.Await(0);
        ASSERT_EQ(a.end, AwaitedReply::End::Answer) << "kind " << int(kind);
        EXPECT_EQ(a.reply.status, 9);
    }
}

TEST(ReplyChannelAwait, KeepsTheFirstAnswerAfterTheMarkAndForgetsItAtTheNextExpectOrReset) {
    ReplyChannel channel;
    channel.Expect(0, ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Post(1, REPLY_KIND_STATUS, 1);  // the refusal
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, 2);  // and a repeat in the same tick
    AwaitedReply a = channel.Await(0);
    ASSERT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.status, 1);
    EXPECT_EQ(a.reply.sequence, 1u);
    EXPECT_EQ(channel.Current().status, REPLY_OK) << "the latest answer is still what Current shows";

    channel.Expect(2, ANSWERS_TO_ERASE_OR_BLOCK);  // the next send: the repeat (2) is older
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::TimedOut);

    channel.Post(REPLY_OK, REPLY_KIND_STATUS, 3);
    channel.Reset();  // a new run: nothing is expected until it sends
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, 4);
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::TimedOut);
}

TEST(ReplyChannelAwait, StaleAnswersWakeTheWaitButItEndsAtItsOwnDeadline) {
    ReplyChannel channel;
    channel.Expect(1000, ANSWERS_TO_ERASE_OR_BLOCK);
    std::atomic<bool> done{false};
    std::thread device([&] {
        // Repeats an old answer every few milliseconds until the wait is over (at most 10 s).
        for (int i = 0; i < 2000 && !done.load(); ++i) {
            channel.Post(REPLY_OK, REPLY_KIND_STATUS, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const AwaitedReply a = channel.Await(200);
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    device.join();
    EXPECT_EQ(a.end, AwaitedReply::End::TimedOut);
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, std::chrono::milliseconds(5000)) << "each stale answer started the time-out again";
}

TEST(ReplyChannelAwait, TheClosingComesFirstThenAnAnswerThenTheDeviceLeaving) {
    ReplyChannel channel;
    channel.Expect(0, ANSWERS_TO_FINISH);
    channel.PostDeviceGone();
    EXPECT_EQ(channel.Await(ReplyChannel::INFINITE_WAIT).end, AwaitedReply::End::DeviceGone);

    channel.Reset();
    channel.Expect(0, ANSWERS_TO_FINISH);
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, 1);
    channel.PostDeviceGone();
    EXPECT_EQ(channel.Await(ReplyChannel::INFINITE_WAIT).end, AwaitedReply::End::Answer)
        << "a device that answered and then left has answered";

    channel.Close();
    EXPECT_EQ(channel.Await(ReplyChannel::INFINITE_WAIT).end, AwaitedReply::End::Closing);
}

TEST(ReplyChannelAwait, AWaitWithoutLimitWakesForTheAnswerPostedFromAnotherThread) {
    ReplyChannel channel;
    channel.Expect(7, ANSWERS_TO_ERASE_OR_BLOCK);
    std::thread dispatcher([&] {
        channel.Post(REPLY_OK, REPLY_KIND_STATUS, 7);  // stale: wakes, does not answer
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        channel.Post(11, REPLY_KIND_STATUS, 8);
    });
    AwaitedReply a;
    std::atomic<bool> woke{false};
    std::thread run([&] {
        a = channel.Await(ReplyChannel::INFINITE_WAIT);
        woke = true;
    });
    const bool ended = testsupport::WaitFor([&] { return woke.load(); }, std::chrono::milliseconds(10000));
    if (!ended) channel.Close();  // releases the run, so that the joins cannot hang
    run.join();
    dispatcher.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.status, 11);
}
