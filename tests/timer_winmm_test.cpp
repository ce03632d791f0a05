// CDxMTimer and the timer service on the Windows multimedia timer (timeSetEvent), with real
// threads and clocks. Every wait has a deadline; the only bound on timing is a loose upper one on
// the tick rate, which load on the machine cannot break (it only makes ticks later).
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "CDxMTimer.h"
#include "TestSupport.h"
#include "platform/TimerApi.h"

namespace {

using testsupport::WaitFor;
using namespace std::chrono_literals;

struct TickProbe {
    std::atomic<int> count{0};
    std::atomic<int> inTick{0};
    std::atomic<int> maxInTick{0};
    std::atomic<std::uint32_t> lastId{0};
    std::atomic<std::uintptr_t> lastUser{0};
    std::chrono::milliseconds work{0};
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    std::shared_future<void> release;  // when valid, the first tick blocks until it is set
};

void Probe(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
    auto* probe = reinterpret_cast<TickProbe*>(user);
    const int now = ++probe->inTick;
    int seen = probe->maxInTick;
    while (now > seen && !probe->maxInTick.compare_exchange_weak(seen, now)) {}
    probe->lastId = id;
    probe->lastUser = user;
    if (probe->count == 0 && probe->release.valid()) {
        probe->entered = true;
        probe->release.wait_for(10s);
        probe->finished = true;
    }
    if (probe->work.count() > 0) std::this_thread::sleep_for(probe->work);
    --probe->inTick;
    ++probe->count;
}

std::uintptr_t UserOf(TickProbe& probe) { return reinterpret_cast<std::uintptr_t>(&probe); }


TEST(WinMMTimerService, ReportsCapabilitiesAndGrantsTheFinestResolutionOnce) {
    platform::ITimerService& service = platform::DefaultTimerService();
    platform::TimeCaps caps{};
    ASSERT_EQ(service.GetDevCaps(caps), platform::TIMER_OK);
    EXPECT_GE(caps.wPeriodMin, 1u);
    EXPECT_GE(caps.wPeriodMax, caps.wPeriodMin);
    EXPECT_EQ(service.BeginPeriod(caps.wPeriodMin), platform::TIMER_OK);
    EXPECT_EQ(service.EndPeriod(caps.wPeriodMin), platform::TIMER_OK);
}

TEST(WinMMTimer, TicksWithTheCallersUserValueUntilStoppedAndThenNoMore) {
    TickProbe probe;
    std::uint32_t id = 0;
    {
        CDxMTimer timer;
        id = timer.Start(5, &Probe, UserOf(probe));
        ASSERT_NE(id, 0u);
        EXPECT_EQ(timer.TimerId(), id);
        ASSERT_TRUE(WaitFor([&] { return probe.count >= 5; }));
        EXPECT_EQ(probe.lastId, id);
        EXPECT_EQ(probe.lastUser, UserOf(probe));
        timer.Stop();
        EXPECT_EQ(timer.TimerId(), 0u);
    }
    const int after = probe.count;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(probe.count, after);
}

TEST(WinMMTimer, AFiftyMillisecondPeriodDoesNotTickFasterThanTwentyTimesASecond) {
    TickProbe probe;
    CDxMTimer timer;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NE(timer.Start(50, &Probe, UserOf(probe)), 0u);
    ASSERT_TRUE(WaitFor([&] { return probe.count >= 3; }));
    std::this_thread::sleep_for(500ms);
    timer.Stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // 20 a second, one tick of slack at either end of the window.
    EXPECT_LE(probe.count, static_cast<int>(seconds * 20.0) + 2) << "over " << seconds << " s";
}

TEST(WinMMTimer, TicksSlowerThanThePeriodNeverOverlap) {
    TickProbe probe;
    probe.work = 15ms;
    CDxMTimer timer;
    ASSERT_NE(timer.Start(2, &Probe, UserOf(probe)), 0u);
    ASSERT_TRUE(WaitFor([&] { return probe.count >= 8; }));
    timer.Stop();
    EXPECT_EQ(probe.maxInTick, 1);
    EXPECT_EQ(probe.inTick, 0);
}

TEST(WinMMTimer, RestartEndsTheFirstEventBeforeTheSecondTicks) {
    TickProbe first;
    TickProbe second;
    CDxMTimer timer;
    const std::uint32_t a = timer.Start(3, &Probe, UserOf(first));
    ASSERT_NE(a, 0u);
    ASSERT_TRUE(WaitFor([&] { return first.count >= 1; }));
    const std::uint32_t b = timer.Start(3, &Probe, UserOf(second));
    const int firstTicks = first.count;
    ASSERT_NE(b, 0u);
    EXPECT_EQ(timer.TimerId(), b);
    ASSERT_TRUE(WaitFor([&] { return second.count >= 3; }));
    EXPECT_EQ(first.count, firstTicks);
    EXPECT_EQ(second.lastId, b);
    timer.Stop();
}

TEST(WinMMTimer, StopDuringATickReturnsOnlyAfterTheTickHasReturnedAndNoTickFollows) {
    std::promise<void> release;
    TickProbe probe;
    probe.release = release.get_future().share();
    CDxMTimer timer;
    ASSERT_NE(timer.Start(2, &Probe, UserOf(probe)), 0u);
    ASSERT_TRUE(WaitFor([&] { return probe.entered.load(); }));

    std::atomic<bool> stopped{false};
    std::atomic<bool> tickFinishedAtStop{false};
    std::thread stopper([&] {
        timer.Stop();
        tickFinishedAtStop = probe.finished.load();
        stopped = true;
    });
    EXPECT_FALSE(WaitFor([&] { return stopped.load(); }, 100ms));
    release.set_value();
    EXPECT_TRUE(WaitFor([&] { return stopped.load(); }));
    stopper.join();
    EXPECT_TRUE(tickFinishedAtStop);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.count, 1);
}

TEST(WinMMTimerService, KillEventReturnsAtOnceWhenNoTickRuns) {
    platform::ITimerService& service = platform::DefaultTimerService();
    TickProbe probe;
    const std::uint32_t id = service.SetEvent(1000, 1, &Probe, UserOf(probe), platform::TIMER_PERIODIC);
    ASSERT_NE(id, 0u);
    std::atomic<platform::TimerResult> result{platform::TIMER_ERR};
    EXPECT_TRUE(testsupport::EndsWithin(5s, [&] { result = service.KillEvent(id); }));
    EXPECT_EQ(result, platform::TIMER_OK);
    EXPECT_EQ(probe.count, 0);
    EXPECT_EQ(service.KillEvent(id), platform::TIMER_ERR) << "a killed event is gone";
}

struct SelfKill {
    std::atomic<int> count{0};
    std::atomic<bool> killed{false};
    std::atomic<platform::TimerResult> result{platform::TIMER_ERR};
};

void KillFromInside(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                    std::uintptr_t) {
    auto* state = reinterpret_cast<SelfKill*>(user);
    ++state->count;
    state->result = platform::DefaultTimerService().KillEvent(id);
    state->killed = true;
}

TEST(WinMMTimerService, KillEventFromInsideItsOwnTickEndsTheEventWithoutDeadlock) {
    SelfKill state;
    const std::uint32_t id = platform::DefaultTimerService().SetEvent(
        2, 1, &KillFromInside, reinterpret_cast<std::uintptr_t>(&state), platform::TIMER_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(WaitFor([&] { return state.killed.load(); }));
    EXPECT_EQ(state.result, platform::TIMER_OK);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(state.count, 1);
}

TEST(WinMMTimerService, TwoEventsTickSideBySideEachWithItsOwnUserValue) {
    platform::ITimerService& service = platform::DefaultTimerService();
    TickProbe a;
    TickProbe b;
    const std::uint32_t idA = service.SetEvent(3, 1, &Probe, UserOf(a), platform::TIMER_PERIODIC);
    const std::uint32_t idB = service.SetEvent(3, 1, &Probe, UserOf(b), platform::TIMER_PERIODIC);
    ASSERT_NE(idA, 0u);
    ASSERT_NE(idB, 0u);
    EXPECT_NE(idA, idB);
    EXPECT_TRUE(WaitFor([&] { return a.count >= 3 && b.count >= 3; }));
    EXPECT_EQ(service.KillEvent(idA), platform::TIMER_OK);
    EXPECT_EQ(service.KillEvent(idB), platform::TIMER_OK);
    EXPECT_EQ(a.lastId, idA);
    EXPECT_EQ(b.lastId, idB);
    EXPECT_EQ(a.lastUser, UserOf(a));
    EXPECT_EQ(b.lastUser, UserOf(b));
}

TEST(WinMMTimerService, RefusesEventsItDoesNotOffer) {
    platform::ITimerService& service = platform::DefaultTimerService();
    TickProbe probe;
    EXPECT_EQ(service.SetEvent(10, 1, nullptr, 0, platform::TIMER_PERIODIC), 0u);
    EXPECT_EQ(service.SetEvent(10, 1, &Probe, UserOf(probe), platform::TIMER_ONESHOT), 0u);
    EXPECT_EQ(service.KillEvent(0x7fffffffu), platform::TIMER_ERR);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.count, 0);
}

class CountingTimer final : public CDxMTimer {
public:
    ~CountingTimer() { Stop(); }
    void OnTimerTick() override { ++ticks; }
    std::atomic<int> ticks{0};
};

TEST(WinMMTimer, WithoutACallbackEveryTickReachesTheDerivedOnTimerTick) {
    CountingTimer timer;
    ASSERT_NE(timer.Start(3, nullptr, 12345), 0u);
    EXPECT_TRUE(WaitFor([&] { return timer.ticks >= 3; }));
    timer.Stop();
    const int after = timer.ticks;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(timer.ticks, after);
}

}  // namespace
