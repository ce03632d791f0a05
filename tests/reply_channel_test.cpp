#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ReplyChannel.h"
#include "TestSupport.h"

namespace {
using namespace std::chrono_literals;
// Receive moments of the tests' answers: a fixed base plus milliseconds.
const ReplyClock::time_point T0 = ReplyClock::now();
ReplyClock::time_point At(int ms) { return T0 + std::chrono::milliseconds(ms); }
}  // namespace

TEST(ReplyChannel, APostedAnswerWakesTheWaitAndCarriesStatusModelAndCount) {
    ReplyChannel channel;
    EXPECT_FALSE(channel.Wait(0));
    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, At(1), 0x69);
    ASSERT_TRUE(channel.Wait(0));
    Reply r = channel.Current();
    EXPECT_EQ(r.status, REPLY_OK);
    EXPECT_EQ(r.model, 0x69);
    EXPECT_EQ(r.count, 1u);

    channel.Post(7, REPLY_KIND_STATUS, At(2));  // an answer without a model keeps the last reported model
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
    if (!woke) channel.Post(0, REPLY_KIND_STATUS, At(1));  // let the thread end even when the assertion failed
    run.join();

    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, At(2), 0x6A);
    EXPECT_FALSE(channel.Wait(0)) << "an answer after the closing signals nothing";
    EXPECT_EQ(channel.Current().status, REPLY_CLOSING);
    EXPECT_EQ(channel.Current().count, 0u);
}

TEST(ReplyChannel, ResetDiscardsAnAnswerThatNoRunWaitedFor) {
    ReplyChannel channel;
    channel.Post(3, REPLY_KIND_STATUS, At(1));
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
            channel.Post(i, REPLY_KIND_IDENTITY, At(i), static_cast<std::uint8_t>(i & 0x7F));
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
    if (!woke) channel.Post(0, REPLY_KIND_STATUS, At(1));
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

// ----- The run's wait: only an answer to what it sent, and one per message -----

TEST(ReplyChannelAwait, TakesOnlyAnAnswerReceivedOnceItsMessageHadLeft) {
    ReplyChannel channel;
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Sent(At(100));
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(99));  // came while the block was still going out
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::TimedOut);
    EXPECT_EQ(channel.Await(30).end, AwaitedReply::End::TimedOut) << "an earlier answer left signalled does not answer";
    EXPECT_EQ(channel.Current().count, 1u) << "it was recorded all the same";

    channel.Post(1, REPLY_KIND_STATUS, At(100));  // the device answers the moment it has the block
    const AwaitedReply a = channel.Await(0);
    ASSERT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.status, 1);
    EXPECT_EQ(a.reply.receivedAt, At(100));
    EXPECT_EQ(a.reply.kind, REPLY_KIND_STATUS);
}

TEST(ReplyChannelAwait, AnAnswerPostedWhileItsMessageIsStillGoingOutIsTakenOnceTheMomentIsKnown) {
    // A tick can hand on the answer before the worker is back from its send (a device that
    // answers at once): the answer waits for the send's moment instead of being lost or taken
    // blindly.
    ReplyChannel channel;
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(5));   // received before the message left
    channel.Post(2, REPLY_KIND_STATUS, At(12));         // its answer
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::TimedOut) << "nothing is taken before the moment is known";
    channel.Sent(At(10));
    const AwaitedReply a = channel.Await(0);
    ASSERT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.status, 2);
    EXPECT_EQ(a.reply.receivedAt, At(12));
}

TEST(ReplyChannelAwait, TakesOnlyTheKindsThatAnswerTheMessageSentAndAnyForIdentityAndFinish) {
    ReplyChannel channel;
    for (const std::uint8_t kind : {REPLY_KIND_IDENTITY, REPLY_KIND_STATUS, REPLY_KIND_BLOCK}) {
        channel.Reset();
        channel.Expect(ANSWERS_TO_IDENTITY_REQUEST);
        channel.Sent(At(0));
        channel.Post(3, kind, At(1));
        const AwaitedReply a = channel.Await(0);
        ASSERT_EQ(a.end, AwaitedReply::End::Answer) << "a STATUS or a block answers an Identity Request too, kind " << int(kind);
        EXPECT_EQ(a.reply.kind, kind);
    }

    channel.Reset();
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Sent(At(10));
    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, At(11), 0x6A);
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::TimedOut) << "an Identity Reply does not answer a block";
    channel.Post(REPLY_OK, REPLY_KIND_BLOCK, At(12));
    AwaitedReply a = channel.Await(0);
    ASSERT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.kind, REPLY_KIND_BLOCK);

    for (const std::uint8_t kind : {REPLY_KIND_IDENTITY, REPLY_KIND_STATUS, REPLY_KIND_BLOCK}) {
        channel.Reset();
        channel.Expect(ANSWERS_TO_FINISH);
        channel.Sent(At(20));
        channel.Post(9, kind, At(21));
        a = channel.Await(0);
        ASSERT_EQ(a.end, AwaitedReply::End::Answer) << "kind " << int(kind);
        EXPECT_EQ(a.reply.status, 9);
    }
}

TEST(ReplyChannelAwait, ARepeatAtOnceOfTheAnswerTakenIsNoAnswerTooMany) {
    ReplyChannel channel;
    channel.SetRepeatWindow(10ms);
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Sent(At(0));
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(5));
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(8));   // the same answer 3 ms later, same tick
    ASSERT_EQ(channel.Await(0).end, AwaitedReply::End::Answer);
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(15));  // and again, 10 ms after the first
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Sent(At(20));
    channel.Post(1, REPLY_KIND_STATUS, At(21));
    const AwaitedReply a = channel.Await(0);
    ASSERT_EQ(a.end, AwaitedReply::End::Answer);
    EXPECT_EQ(a.reply.status, 1);
    EXPECT_EQ(channel.RepeatsAtOnce(), 2u);
    EXPECT_FALSE(channel.OutOfStep());
}

TEST(ReplyChannelAwait, OnlyADeviceThatRepeatedItsFirstAnswerAtOnceMayRepeatLaterOnes) {
    // Two answers received together are two answers unless the device has shown, with its first,
    // that it repeats itself: an input held up for a while hands on what came meanwhile at once.
    ReplyChannel channel;
    channel.SetRepeatWindow(10ms);
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);  // ERASE, answered once
    channel.Sent(At(0));
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(5));
    ASSERT_EQ(channel.Await(0).end, AwaitedReply::End::Answer);
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);  // a block, answered twice at the same moment
    channel.Sent(At(30));
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(200));
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(200));
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::OutOfStep);
    EXPECT_EQ(channel.RepeatsAtOnce(), 0u);
}

TEST(ReplyChannelAwait, AnyOtherAnswerTooManyPutsTheRunOutOfStepForGood) {
    struct Case {
        const char* what;
        std::int32_t status;     // of the answer too many
        std::uint8_t kind;
        int receivedMs;          // the answer taken came at 5
    };
    const Case cases[] = {
        {"the same answer later than the repeat window", REPLY_OK, REPLY_KIND_STATUS, 16},
        {"another status at once (accepted, then refused)", 1, REPLY_KIND_STATUS, 6},
        {"another kind at once", REPLY_OK, REPLY_KIND_BLOCK, 6},
    };
    for (const Case& c : cases) {
        ReplyChannel channel;
        channel.SetRepeatWindow(10ms);
        channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
        channel.Sent(At(0));
        channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(5));
        ASSERT_EQ(channel.Await(0).end, AwaitedReply::End::Answer) << c.what;
        channel.Post(c.status, c.kind, At(c.receivedMs));  // while no message awaits one
        ASSERT_TRUE(channel.OutOfStep()) << c.what;
        EXPECT_EQ(channel.OutOfStep()->status, c.status) << c.what;
        // The next message's wait ends at once, even with its own answer there.
        channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
        channel.Sent(At(30));
        channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(31));
        EXPECT_EQ(channel.Await(ReplyChannel::INFINITE_WAIT).end, AwaitedReply::End::OutOfStep) << c.what;
        EXPECT_EQ(channel.AwaitLeftovers(ReplyClock::now() + 10s), AwaitedReply::End::OutOfStep) << c.what;
        channel.Reset();  // the next run starts in step
        EXPECT_FALSE(channel.OutOfStep()) << c.what;
    }
}

TEST(ReplyChannelAwait, TwoAnswersForOneMessageInOneTickAreOneTooMany) {
    // The taken answer may be a late repeat of the answer before and the second the real one:
    // the run can't tell, so it does not go on.
    ReplyChannel channel;
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Sent(At(0));
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(1));  // the ERASE's answer repeated, 70 ms on
    channel.Post(1, REPLY_KIND_STATUS, At(2));         // block 0's refusal
    EXPECT_EQ(channel.Await(0).end, AwaitedReply::End::OutOfStep);
}

TEST(ReplyChannelAwait, TheCountBeginsWithTheRunsFirstAnswer) {
    ReplyChannel channel;
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(1));  // left over from a run before
    channel.Expect(ANSWERS_TO_IDENTITY_REQUEST);
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(2));  // received before the request left
    channel.Sent(At(3));
    EXPECT_FALSE(channel.OutOfStep()) << "answers before the run's first are not counted";
    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, At(4), 0x6A);
    ASSERT_EQ(channel.Await(0).end, AwaitedReply::End::Answer);
    channel.Post(REPLY_OK, REPLY_KIND_IDENTITY, At(40), 0x6A);  // the reply once more
    EXPECT_FALSE(channel.OutOfStep()) << "an Identity Reply is taken for no ERASE or block";
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(41));
    EXPECT_TRUE(channel.OutOfStep()) << "a STATUS nobody asked for is one too many";
}

TEST(ReplyChannelAwait, MoreAnswersDuringOneSendThanAnyDeviceSendsAreOutOfStep) {
    ReplyChannel channel;
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    for (std::size_t i = 0; i <= ReplyChannel::MAX_ANSWERS_DURING_SEND; ++i) {
        channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(static_cast<int>(i)));
    }
    EXPECT_TRUE(channel.OutOfStep());
}

TEST(ReplyChannelAwait, LeftoversEndTheirWaitAtTheDeadlineWhenNothingComes) {
    ReplyChannel channel;
    channel.Expect(ANSWERS_TO_FINISH);
    channel.Sent(ReplyClock::now());
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, ReplyClock::now());
    ASSERT_EQ(channel.Await(0).end, AwaitedReply::End::Answer);
    const auto start = ReplyClock::now();
    EXPECT_EQ(channel.AwaitLeftovers(start + 50ms), AwaitedReply::End::TimedOut);
    EXPECT_GE(ReplyClock::now() - start, 50ms);
    channel.PostDeviceGone();
    EXPECT_EQ(channel.AwaitLeftovers(ReplyClock::now() + 5ms), AwaitedReply::End::TimedOut)
        << "a device that answered FINISH and then left has answered";
    channel.Close();
    EXPECT_EQ(channel.AwaitLeftovers(ReplyClock::now() + 10s), AwaitedReply::End::Closing);
}

TEST(ReplyChannelAwait, StaleAnswersWakeTheWaitButItEndsAtItsOwnDeadline) {
    ReplyChannel channel;
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Sent(ReplyClock::now() + 1h);  // nothing received before then answers
    std::atomic<bool> done{false};
    std::thread device([&] {
        // Repeats an old answer every few milliseconds until the wait is over (at most 10 s).
        for (int i = 0; i < 2000 && !done.load(); ++i) {
            channel.Post(REPLY_OK, REPLY_KIND_STATUS, ReplyClock::now());
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
    channel.Expect(ANSWERS_TO_FINISH);
    channel.Sent(At(0));
    channel.PostDeviceGone();
    EXPECT_EQ(channel.Await(ReplyChannel::INFINITE_WAIT).end, AwaitedReply::End::DeviceGone);

    channel.Reset();
    channel.Expect(ANSWERS_TO_FINISH);
    channel.Sent(At(0));
    channel.Post(REPLY_OK, REPLY_KIND_STATUS, At(1));
    channel.PostDeviceGone();
    EXPECT_EQ(channel.Await(ReplyChannel::INFINITE_WAIT).end, AwaitedReply::End::Answer)
        << "a device that answered and then left has answered";

    channel.Close();
    EXPECT_EQ(channel.Await(ReplyChannel::INFINITE_WAIT).end, AwaitedReply::End::Closing);
}

TEST(ReplyChannelAwait, AWaitWithoutLimitWakesForTheAnswerPostedFromAnotherThread) {
    ReplyChannel channel;
    const auto sentAt = ReplyClock::now();
    channel.Expect(ANSWERS_TO_ERASE_OR_BLOCK);
    channel.Sent(sentAt);
    std::thread dispatcher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        channel.Post(11, REPLY_KIND_STATUS, ReplyClock::now());
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
