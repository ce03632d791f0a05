// CDxMTimer and the POSIX timer service with real threads and clocks. Every wait has a deadline;
// nothing here asserts how precise the timing is.
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CDxMTimer.h"
#include "TestSupport.h"
#include "platform/PosixTimerService.h"

namespace {

using platform::PosixTimerService;
using testsupport::WaitFor;
using namespace std::chrono_literals;

// Forwards to the real service and logs the owner's requests in order.
class LoggingService final : public platform::ITimerService {
public:
    explicit LoggingService(PosixTimerService& inner) : m_inner(inner) {}
    platform::TimerResult GetDevCaps(platform::TimeCaps& caps) override { return m_inner.GetDevCaps(caps); }
    platform::TimerResult BeginPeriod(std::uint32_t p) override {
        log.push_back("begin " + std::to_string(p));
        return m_inner.BeginPeriod(p);
    }
    platform::TimerResult EndPeriod(std::uint32_t p) override {
        log.push_back("end " + std::to_string(p));
        return m_inner.EndPeriod(p);
    }
    std::uint32_t SetEvent(std::uint32_t d, std::uint32_t r, platform::TimerProc proc,
                           std::uintptr_t user, std::uint32_t flags) override {
        const std::uint32_t id = m_inner.SetEvent(d, r, proc, user, flags);
        log.push_back("set " + std::to_string(id));
        return id;
    }
    platform::TimerResult KillEvent(std::uint32_t id) override {
        log.push_back("kill " + std::to_string(id));
        return m_inner.KillEvent(id);
    }
    std::vector<std::string> log;  // owner thread only

private:
    PosixTimerService& m_inner;
};

struct TickProbe {
    std::atomic<int> count{0};
    std::atomic<int> inTick{0};
    std::atomic<int> maxInTick{0};
    std::atomic<std::uint32_t> lastId{0};
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

TEST(PosixTimer, TicksRepeatedlyUntilStoppedAndThenNoMore) {
    PosixTimerService service;
    TickProbe probe;
    {
        CDxMTimer timer(service);
        const std::uint32_t id = timer.Start(5, &Probe, UserOf(probe));
        ASSERT_NE(id, 0u);
        EXPECT_EQ(service.OutstandingPeriodRequests(1), 1u);
        ASSERT_TRUE(WaitFor([&] { return probe.count >= 10; }));
        EXPECT_EQ(probe.lastId, id);
        timer.Stop();
        EXPECT_EQ(service.RunningEvents(), 0u);
        EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
    }
    const int after = probe.count;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.count, after);
}

TEST(PosixTimer, TicksSlowerThanThePeriodNeverOverlap) {
    PosixTimerService service;
    TickProbe probe;
    probe.work = 4ms;
    CDxMTimer timer(service);
    timer.Start(1, &Probe, UserOf(probe));
    ASSERT_TRUE(WaitFor([&] { return probe.count >= 10; }));
    timer.Stop();
    EXPECT_EQ(probe.maxInTick, 1);
    EXPECT_EQ(probe.inTick, 0);
}

TEST(PosixTimer, RestartLeavesExactlyOneEventAndOneResolutionRequest) {
    PosixTimerService service;
    LoggingService logging(service);
    TickProbe first;
    TickProbe second;
    {
        CDxMTimer timer(logging);
        const std::uint32_t a = timer.Start(2, &Probe, UserOf(first));
        ASSERT_TRUE(WaitFor([&] { return first.count >= 1; }));
        const std::uint32_t b = timer.Start(2, &Probe, UserOf(second));
        const int firstTicks = first.count;
        ASSERT_NE(b, 0u);
        EXPECT_NE(a, b);
        EXPECT_EQ(logging.log, (std::vector<std::string>{"begin 1", "set " + std::to_string(a),
                                                         "kill " + std::to_string(a), "end 1",
                                                         "begin 1", "set " + std::to_string(b)}));
        EXPECT_EQ(service.RunningEvents(), 1u);
        EXPECT_EQ(service.OutstandingPeriodRequests(), 1u);
        ASSERT_TRUE(WaitFor([&] { return second.count >= 3; }));
        EXPECT_EQ(first.count, firstTicks);
        EXPECT_EQ(second.lastId, b);
    }
    EXPECT_EQ(service.RunningEvents(), 0u);
    EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
}

TEST(PosixTimer, StopDuringATickReturnsOnlyAfterTheTickHasReturnedAndNoTickFollows) {
    PosixTimerService service;
    std::promise<void> release;
    TickProbe probe;
    probe.release = release.get_future().share();
    CDxMTimer timer(service);
    timer.Start(1, &Probe, UserOf(probe));
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
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(probe.count, 1);
    EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
}

struct SelfKill {
    PosixTimerService* service = nullptr;
    std::atomic<int> count{0};
    std::atomic<bool> killed{false};
    std::atomic<platform::TimerResult> result{platform::TIMER_ERR};
};

void KillFromInside(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                    std::uintptr_t) {
    auto* state = reinterpret_cast<SelfKill*>(user);
    ++state->count;
    state->result = state->service->KillEvent(id);
    state->killed = true;
}

TEST(PosixTimerService, KillEventFromInsideItsOwnTickEndsTheEventWithoutDeadlock) {
    PosixTimerService service;
    SelfKill state;
    state.service = &service;
    const std::uint32_t id = service.SetEvent(1, 1, &KillFromInside,
                                              reinterpret_cast<std::uintptr_t>(&state),
                                              platform::TIMER_PERIODIC);
    ASSERT_TRUE(WaitFor([&] { return state.killed.load(); }));
    EXPECT_EQ(state.result, platform::TIMER_OK);
    EXPECT_EQ(service.RunningEvents(), 0u);
    // A later kill of the same id still waits for that tick, then reports the id as gone.
    EXPECT_EQ(service.KillEvent(id), platform::TIMER_ERR);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(state.count, 1);
}

TEST(PosixTimerService, DestructionCancelsAndJoinsEventsStillRunning) {
    TickProbe a;
    TickProbe b;
    auto service = std::make_unique<PosixTimerService>();
    const std::uint32_t idA = service->SetEvent(1, 1, &Probe, UserOf(a), platform::TIMER_PERIODIC);
    const std::uint32_t idB = service->SetEvent(1, 1, &Probe, UserOf(b), platform::TIMER_PERIODIC);
    EXPECT_NE(idA, 0u);
    EXPECT_NE(idB, 0u);
    EXPECT_NE(idA, idB);
    ASSERT_TRUE(WaitFor([&] { return a.count >= 2 && b.count >= 2; }));
    service.reset();
    const int afterA = a.count;
    const int afterB = b.count;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(a.count, afterA);
    EXPECT_EQ(b.count, afterB);
}

TEST(PosixTimerService, CountsResolutionRequestsPerValueAndRefusesUnmatchedReturns) {
    PosixTimerService service;
    EXPECT_EQ(service.EndPeriod(1), platform::TIMER_ERR);
    EXPECT_EQ(service.BeginPeriod(1), platform::TIMER_OK);
    EXPECT_EQ(service.BeginPeriod(1), platform::TIMER_OK);
    EXPECT_EQ(service.BeginPeriod(5), platform::TIMER_OK);
    EXPECT_EQ(service.BeginPeriod(0), platform::TIMER_ERR);
    EXPECT_EQ(service.OutstandingPeriodRequests(), 3u);
    EXPECT_EQ(service.EndPeriod(5), platform::TIMER_OK);
    EXPECT_EQ(service.EndPeriod(5), platform::TIMER_ERR);
    EXPECT_EQ(service.OutstandingPeriodRequests(1), 2u);
    EXPECT_EQ(service.EndPeriod(1), platform::TIMER_OK);
    EXPECT_EQ(service.EndPeriod(1), platform::TIMER_OK);
    EXPECT_EQ(service.OutstandingPeriodRequests(), 0u);
}

TEST(PosixTimerService, RefusesEventsItCannotRun) {
    PosixTimerService service;
    TickProbe probe;
    EXPECT_EQ(service.SetEvent(0, 1, &Probe, UserOf(probe), platform::TIMER_PERIODIC), 0u);
    EXPECT_EQ(service.SetEvent(10, 1, nullptr, 0, platform::TIMER_PERIODIC), 0u);
    EXPECT_EQ(service.SetEvent(10, 1, &Probe, UserOf(probe), platform::TIMER_ONESHOT), 0u);
    EXPECT_EQ(service.KillEvent(12345), platform::TIMER_ERR);
    EXPECT_EQ(service.RunningEvents(), 0u);
}

}  // namespace
