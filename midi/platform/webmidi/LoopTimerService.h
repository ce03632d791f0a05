// The periodic timer of a program that has one thread and an event loop (the web edition): an
// event's ticks run when the loop calls RunDue, on the loop's thread, never inside SetEvent or
// KillEvent. The loop asks NextDue how long it may wait.
//
// A periodic event keeps its period: each tick is due one period after the one before. A loop that
// was held up runs a late tick once, not once for every period missed, and the next is due a
// period after it ran, so ticks never pile up.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "platform/TimerApi.h"

namespace platform {

class LoopTimerService final : public ITimerService {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // `now`: the loop's clock (tests give their own).
    explicit LoopTimerService(Now now = [] { return Clock::now(); }) : m_now(std::move(now)) {}

    TimerResult GetDevCaps(TimeCaps& caps) override {
        caps = {1, 1000000};
        return TIMER_OK;
    }
    TimerResult BeginPeriod(std::uint32_t) override { return TIMER_OK; }
    TimerResult EndPeriod(std::uint32_t) override { return TIMER_OK; }
    std::uint32_t SetEvent(std::uint32_t delayMs, std::uint32_t resolutionMs, TimerProc proc, std::uintptr_t user,
                           std::uint32_t flags) override;
    TimerResult KillEvent(std::uint32_t timerId) override;

    // Runs the tick of every event that is due now, each at most once, in the order they fall
    // due. Returns how many ran.
    int RunDue();
    // When the next tick is due; none while no event exists.
    std::optional<Clock::time_point> NextDue() const;
    std::size_t EventCount() const { return m_events.size(); }

private:
    struct Event {
        Clock::time_point due;
        std::chrono::milliseconds period;
        bool periodic = false;
        TimerProc proc = nullptr;
        std::uintptr_t user = 0;
    };

    Now m_now;
    std::map<std::uint32_t, Event> m_events;
    std::uint32_t m_nextId = 1;  // ids are never 0 and never reused
};

}  // namespace platform
