// CDxMTimer on the manual service: the order of requests made of the service, and ticks fired by
// the test itself.
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CDxMTimer.h"
#include "TestSupport.h"
#include "platform/loopback/ManualTimerService.h"

namespace {

using platform::ManualTimerService;
using Call = ManualTimerService::Call;
using Kind = ManualTimerService::CallKind;
using testsupport::WaitFor;
using namespace std::chrono_literals;

struct TickLog {
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> ticks;  // (event id, user value)
};
TickLog* g_log = nullptr;

void RecordTick(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                std::uintptr_t) {
    std::lock_guard lock(g_log->mutex);
    g_log->ticks.emplace_back(id, user);
}

class CountingTimer : public CDxMTimer {
public:
    using CDxMTimer::CDxMTimer;
    ~CountingTimer() { Stop(); }
    void OnTimerTick() override { ++ticks; }
    std::atomic<int> ticks{0};
};

class TimerOnManualService : public ::testing::Test {
protected:
    void SetUp() override { g_log = &log; }
    void TearDown() override { g_log = nullptr; }
    ManualTimerService service{{2, 500}};
    TickLog log;
};

TEST_F(TimerOnManualService, RestartEndsTheFirstEventAndGivesItsResolutionBackBeforeTheSecondStarts) {
    CDxMTimer timer(service);
    const std::uint32_t first = timer.Start(50, &RecordTick, 7);
    const std::uint32_t second = timer.Start(20, &RecordTick, 8);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(service.Calls(), (std::vector<Call>{{Kind::BeginPeriod, 2}, {Kind::SetEvent, first},
                                                  {Kind::KillEvent, first}, {Kind::EndPeriod, 2},
                                                  {Kind::BeginPeriod, 2}, {Kind::SetEvent, second}}));
    EXPECT_EQ(service.ActiveEvents(), 1u);
    EXPECT_EQ(service.OutstandingPeriodRequests(), 1u);
    EXPECT_EQ(timer.TimerId(), second);
    const auto event = service.Event(second);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->delayMs, 20u);
    EXPECT_EQ(event->resolutionMs, 2u);
    EXPECT_EQ(event->flags, platform::TIMER_PERIODIC);

    timer.Stop();
    EXPECT_EQ(service.ActiveEvents(), 0u);
    EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
    EXPECT_EQ(timer.TimerId(), 0u);
}

TEST_F(TimerOnManualService, StopOnAnIdleTimerGivesBackNothing) {
    CDxMTimer timer(service);
    timer.Stop();
    EXPECT_TRUE(service.Calls().empty());

    timer.Start(50, &RecordTick, 0);
    timer.Stop();
    service.ClearCalls();
    timer.Stop();
    EXPECT_TRUE(service.Calls().empty());
    EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
}

TEST_F(TimerOnManualService, EveryTickReceivesTheCallersUserValueUnchanged) {
    CDxMTimer timer(service);
    const std::uintptr_t user = ~std::uintptr_t{0} - 0x1234;
    const std::uint32_t id = timer.Start(50, &RecordTick, user);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(service.Tick(id));
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.ticks.size(), 3u);
    for (const auto& [tickId, tickUser] : log.ticks) {
        EXPECT_EQ(tickId, id);
        EXPECT_EQ(tickUser, user);
    }
}

TEST_F(TimerOnManualService, WithoutACallbackTicksReachOnTimerTickOfTheDerivedClass) {
    CountingTimer timer(service);
    const std::uint32_t id = timer.Start(50, nullptr, 1234);
    const auto event = service.Event(id);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->user, reinterpret_cast<std::uintptr_t>(&timer));
    EXPECT_EQ(service.TickAll(), 1u);
    EXPECT_EQ(service.TickAll(), 1u);
    EXPECT_EQ(timer.ticks, 2);
}

TEST_F(TimerOnManualService, DestroyingARunningTimerGivesItsResolutionBackOnceAndAnIdleOneNothing) {
    std::uint32_t id = 0;
    {
        CDxMTimer timer(service);
        id = timer.Start(50, &RecordTick, 0);
        service.ClearCalls();
    }
    EXPECT_EQ(service.Calls(), (std::vector<Call>{{Kind::KillEvent, id}, {Kind::EndPeriod, 2}}));
    EXPECT_FALSE(service.Tick(id));

    service.ClearCalls();
    { CDxMTimer idle(service); }
    EXPECT_TRUE(service.Calls().empty());
    EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
}

TEST_F(TimerOnManualService, StartThatGetsNoEventGivesTheResolutionBackAtOnceAndReturnsZero) {
    CDxMTimer timer(service);
    timer.Start(50, &RecordTick, 0);
    service.FailNextSetEvent();
    const std::uint32_t running = timer.TimerId();
    EXPECT_EQ(timer.Start(50, &RecordTick, 0), 0u);
    EXPECT_EQ(timer.TimerId(), 0u);
    EXPECT_EQ(service.ActiveEvents(), 0u);
    EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
    const std::vector<Call> calls = service.Calls();
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(std::vector<Call>(calls.end() - 5, calls.end()),
              (std::vector<Call>{{Kind::KillEvent, running}, {Kind::EndPeriod, 2},
                                 {Kind::BeginPeriod, 2}, {Kind::SetEvent, 0},
                                 {Kind::EndPeriod, 2}}));
    service.ClearCalls();
    timer.Stop();
    EXPECT_TRUE(service.Calls().empty());
}

TEST_F(TimerOnManualService, UnreadableCapabilitiesFallBackToOneMillisecond) {
    ManualTimerService broken;
    broken.FailDevCaps();
    CDxMTimer timer(broken);
    const std::uint32_t id = timer.Start(50, &RecordTick, 0);
    EXPECT_EQ(timer.Caps().wPeriodMin, 1u);
    EXPECT_EQ(broken.Calls().front(), (Call{Kind::BeginPeriod, 1}));
    ASSERT_TRUE(broken.Event(id).has_value());
    EXPECT_EQ(broken.Event(id)->resolutionMs, 1u);
}

TEST_F(TimerOnManualService, ARefusedResolutionRequestIsNotGivenBack) {
    CDxMTimer timer(service);
    service.FailNextBeginPeriod();
    const std::uint32_t id = timer.Start(50, &RecordTick, 0);
    EXPECT_NE(id, 0u);
    timer.Stop();
    EXPECT_EQ(service.Calls(), (std::vector<Call>{{Kind::BeginPeriod, 2}, {Kind::SetEvent, id},
                                                  {Kind::KillEvent, id}}));
}

struct BlockingTick {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    std::atomic<int> count{0};
    std::shared_future<void> release;
};

void BlockOnFirstTick(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                      std::uintptr_t) {
    auto* state = reinterpret_cast<BlockingTick*>(user);
    if (state->count++ == 0) {
        state->entered = true;
        state->release.wait_for(10s);
        state->finished = true;
    }
}

TEST_F(TimerOnManualService, StopDuringATickReturnsOnlyAfterTheTickHasReturnedAndNoTickFollows) {
    CDxMTimer timer(service);
    std::promise<void> release;
    BlockingTick state;
    state.release = release.get_future().share();
    const std::uint32_t id = timer.Start(50, &BlockOnFirstTick, reinterpret_cast<std::uintptr_t>(&state));

    std::thread tickThread([&] { service.Tick(id); });
    ASSERT_TRUE(WaitFor([&] { return state.entered.load(); }));
    std::atomic<bool> stopped{false};
    std::atomic<bool> tickFinishedAtStop{false};
    std::thread stopper([&] {
        timer.Stop();
        tickFinishedAtStop = state.finished.load();
        stopped = true;
    });
    ASSERT_TRUE(WaitFor([&] { return service.Calls().back() == Call{Kind::KillEvent, id}; }));
    EXPECT_FALSE(WaitFor([&] { return stopped.load(); }, 100ms));

    release.set_value();
    EXPECT_TRUE(WaitFor([&] { return stopped.load(); }));
    stopper.join();
    tickThread.join();
    EXPECT_TRUE(tickFinishedAtStop);
    EXPECT_FALSE(service.Tick(id));
    EXPECT_EQ(state.count, 1);
    EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
}

struct OverlapProbe {
    std::atomic<int> inTick{0};
    std::atomic<int> maxInTick{0};
    std::atomic<int> count{0};
};

void ProbeOverlap(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
    auto* probe = reinterpret_cast<OverlapProbe*>(user);
    const int now = ++probe->inTick;
    int seen = probe->maxInTick;
    while (now > seen && !probe->maxInTick.compare_exchange_weak(seen, now)) {}
    std::this_thread::sleep_for(2ms);
    --probe->inTick;
    ++probe->count;
}

TEST(ManualTimerService, TicksOfOneEventFiredFromTwoThreadsNeverOverlap) {
    ManualTimerService service;
    OverlapProbe probe;
    const std::uint32_t id =
        service.SetEvent(50, 1, &ProbeOverlap, reinterpret_cast<std::uintptr_t>(&probe),
                         platform::TIMER_PERIODIC);
    auto fire = [&] { for (int i = 0; i < 20; ++i) service.Tick(id); };
    std::thread a(fire);
    std::thread b(fire);
    a.join();
    b.join();
    EXPECT_EQ(probe.count, 40);
    EXPECT_EQ(probe.maxInTick, 1);
}

}  // namespace
