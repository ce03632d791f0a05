// The web edition's event loop and the timer it runs: workers run from the loop, never inside the
// call that started them; a worker's wait hands the thread to the loop, which delivers the page's
// messages and the timer's ticks; the loop never waits past a tick that is due.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EventLoop.h"
#include "WebPageDouble.h"
#include "platform/webmidi/LoopTimerService.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Json;
using testsupport::PageDouble;

struct Ticks {
    std::vector<std::chrono::milliseconds> at;
    PageDouble* page = nullptr;
    std::chrono::steady_clock::time_point start;
};

void RecordTick(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
    auto* ticks = reinterpret_cast<Ticks*>(user);
    ticks->at.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(ticks->page->Now() - ticks->start));
}

class EventLoopTest : public ::testing::Test {
protected:
    PageDouble page{PageDouble::ClockKind::Virtual};
    platform::LoopTimerService timers{[this] { return page.Now(); }};
    std::vector<std::string> dispatched;
    int passes = 0;
    EventLoop loop{page, timers, [this](const PageEvent& e) { dispatched.push_back(Json::parse(e.json).at("t")); },
                   [this] { ++passes; }};
    Ticks ticks{{}, &page, page.Now()};
};

TEST_F(EventLoopTest, AWorkerRunsFromTheLoopNeverInsideTheCallThatStartedIt) {
    std::vector<std::string> order;
    ASSERT_TRUE(loop.StartWorker([&] { order.push_back("first"); }));
    ASSERT_TRUE(loop.StartWorker([&] {
        order.push_back("second");
        // A worker started by a worker runs after it, from the loop.
        loop.StartWorker([&] { order.push_back("third"); });
        order.push_back("second ends");
    }));
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(loop.PendingWorkers(), 2u);
    loop.Run([&] { return order.size() == 4; });
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "second ends", "third"}));
    EXPECT_FALSE(loop.StartWorker({}));
}

TEST_F(EventLoopTest, AWaitingWorkerGetsThePagesMessagesAndTheTicksWhileItWaits) {
    ASSERT_NE(timers.SetEvent(50, 1, RecordTick, reinterpret_cast<std::uintptr_t>(&ticks), platform::TIMER_PERIODIC), 0u);
    page.FromPage({{"t", "one"}}, 120ms);
    page.FromPage({{"t", "two"}}, 120ms);
    bool inWorker = false;
    loop.StartWorker([&] {
        inWorker = loop.InWorker();
        // The worker's own wait: LetEventsRun until both messages are in.
        while (dispatched.size() < 2) loop.LetEventsRun(1000ms);
    });
    loop.Run([&] { return loop.PendingWorkers() == 0 && dispatched.size() == 2; });
    EXPECT_TRUE(inWorker);
    EXPECT_FALSE(loop.InWorker());
    EXPECT_EQ(dispatched, (std::vector<std::string>{"one", "two"}));
    // The ticks came on time while the worker waited, and the messages at their moment.
    EXPECT_EQ(ticks.at, (std::vector<std::chrono::milliseconds>{50ms, 100ms}));
    EXPECT_EQ(page.Elapsed(), 120ms);
    EXPECT_GT(passes, 0);
}

TEST_F(EventLoopTest, LettingEventsRunReturnsOnceSomethingCameAndNeverWaitsPastItsLimitOrTheNextTick) {
    // Nothing due: it waits the whole limit.
    loop.LetEventsRun(30ms);
    EXPECT_EQ(page.Elapsed(), 30ms);
    // A message on its way: it returns when the message has come, not at the limit.
    page.FromPage({{"t", "soon"}}, 10ms);
    loop.LetEventsRun(1000ms);
    EXPECT_EQ(page.Elapsed(), 40ms);
    EXPECT_EQ(dispatched, std::vector<std::string>{"soon"});
    // A message that waits already: delivered at once, without waiting.
    page.FromPage({{"t", "waiting"}});
    const int waits = page.Waits();
    loop.LetEventsRun(1000ms);
    EXPECT_EQ(page.Waits(), waits);
    EXPECT_EQ(page.Elapsed(), 40ms);
    // A tick due before the limit ends the wait when it is due.
    timers.SetEvent(25, 1, RecordTick, reinterpret_cast<std::uintptr_t>(&ticks), platform::TIMER_ONESHOT);
    ticks.start = page.Now();
    loop.LetEventsRun(1000ms);
    EXPECT_EQ(ticks.at, std::vector<std::chrono::milliseconds>{25ms});
    EXPECT_EQ(page.Elapsed(), 65ms);
}

TEST_F(EventLoopTest, RunUntilServesThePageUntilItsConditionHolds) {
    page.FromPage({{"t", "a"}}, 5ms);
    page.FromPage({{"t", "close"}}, 2000ms);
    page.FromPage({{"t", "later"}}, 3000ms);
    loop.RunUntil([&] { return !dispatched.empty() && dispatched.back() == "close"; });
    EXPECT_EQ(dispatched, (std::vector<std::string>{"a", "close"}));
    EXPECT_EQ(page.Elapsed(), 2000ms);
}

// The timer service alone.
class LoopTimerTest : public ::testing::Test {
protected:
    PageDouble page{PageDouble::ClockKind::Virtual};  // its clock only
    platform::LoopTimerService timers{[this] { return page.Now(); }};
    Ticks ticks{{}, &page, page.Now()};
    std::uintptr_t User() { return reinterpret_cast<std::uintptr_t>(&ticks); }
    void Advance(std::chrono::milliseconds by) { page.Wait(by); }
};

TEST_F(LoopTimerTest, APeriodicEventTicksEveryPeriodOnlyWhenTheLoopRunsIt) {
    const std::uint32_t id = timers.SetEvent(50, 1, RecordTick, User(), platform::TIMER_PERIODIC);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(timers.NextDue(), page.Now() + 50ms);
    EXPECT_EQ(timers.RunDue(), 0);
    for (int i = 0; i < 4; ++i) {
        Advance(50ms);
        EXPECT_EQ(timers.RunDue(), 1);
    }
    EXPECT_EQ(ticks.at, (std::vector<std::chrono::milliseconds>{50ms, 100ms, 150ms, 200ms}));
    EXPECT_EQ(timers.KillEvent(id), platform::TIMER_OK);
    EXPECT_EQ(timers.KillEvent(id), platform::TIMER_ERR);
    Advance(100ms);
    EXPECT_EQ(timers.RunDue(), 0);
    EXPECT_FALSE(timers.NextDue().has_value());
}

TEST_F(LoopTimerTest, ALoopThatWasHeldUpRunsOneLateTickNotOneForEveryPeriodMissed) {
    timers.SetEvent(50, 1, RecordTick, User(), platform::TIMER_PERIODIC);
    Advance(330ms);
    EXPECT_EQ(timers.RunDue(), 1);
    EXPECT_EQ(timers.RunDue(), 0);
    // The next is a period after the late one.
    EXPECT_EQ(timers.NextDue(), page.Now() + 50ms);
    // A tick that is only a little late keeps the period's rhythm.
    Advance(60ms);  // 390: due at 380
    EXPECT_EQ(timers.RunDue(), 1);
    EXPECT_EQ(timers.NextDue(), page.Now() + 40ms);
}

TEST_F(LoopTimerTest, AOneShotEventTicksOnceAndAnEventWithoutCallbackOrPeriodIsRefused) {
    EXPECT_EQ(timers.SetEvent(50, 1, nullptr, User(), platform::TIMER_PERIODIC), 0u);
    EXPECT_EQ(timers.SetEvent(0, 1, RecordTick, User(), platform::TIMER_PERIODIC), 0u);
    const std::uint32_t a = timers.SetEvent(20, 1, RecordTick, User(), platform::TIMER_ONESHOT);
    const std::uint32_t b = timers.SetEvent(10, 1, RecordTick, User(), platform::TIMER_ONESHOT);
    EXPECT_NE(a, b);
    Advance(30ms);
    EXPECT_EQ(timers.RunDue(), 2);
    EXPECT_EQ(timers.EventCount(), 0u);
    EXPECT_EQ(timers.KillEvent(a), platform::TIMER_ERR);
}

}  // namespace
