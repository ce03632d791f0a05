// The periodic-timer service on Linux and other POSIX systems: one thread per running event, ticking
// on a fixed schedule of the monotonic clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/TimerApi.h"

namespace platform {

class PosixTimerService final : public ITimerService {
public:
    static constexpr TimeCaps TIMER_CAPS{1, 1000000};

    PosixTimerService() = default;
    // Cancels every event still running and waits for its thread.
    ~PosixTimerService() override;
    PosixTimerService(const PosixTimerService&) = delete;
    PosixTimerService& operator=(const PosixTimerService&) = delete;

    TimerResult GetDevCaps(TimeCaps& caps) override;
    // The scheduler has no resolution to change; requests are only counted per value, so that a
    // caller can be checked for giving every request back exactly once. EndPeriod of a value with
    // no request outstanding fails.
    TimerResult BeginPeriod(std::uint32_t periodMs) override;
    TimerResult EndPeriod(std::uint32_t periodMs) override;
    // Only TIME_PERIODIC events with a delay inside TIMER_CAPS are offered; anything else returns 0.
    // Tick n of an event is due at start + n * delay; a tick that overruns one or more deadlines
    // makes the event skip them rather than fire a burst to catch up.
    std::uint32_t SetEvent(std::uint32_t delayMs, std::uint32_t resolutionMs, TimerProc proc,
                           std::uintptr_t user, std::uint32_t flags) override;
    // Returns when no tick of the event runs any more and none will start. Called from inside a
    // tick of that same event (which the interface does not allow, but which must not hang), it
    // only marks the event cancelled and returns: the event's thread ends by itself after the
    // tick, and is joined later by the service (by another KillEvent of that id, by a later call
    // that tidies up, or at the latest by the destructor).
    TimerResult KillEvent(std::uint32_t timerId) override;

    // Resolution requests not yet given back: all of them, or those of one value.
    std::size_t OutstandingPeriodRequests() const;
    std::size_t OutstandingPeriodRequests(std::uint32_t periodMs) const;
    // Events created and not yet killed.
    std::size_t RunningEvents() const;

private:
    struct Event;
    static void Run(const std::shared_ptr<Event>& event);
    static void Cancel(Event& event);
    void ReapRetiredLocked();
    std::uint32_t NextIdLocked();

    mutable std::mutex m_mutex;  // guards everything below
    std::map<std::uint32_t, std::shared_ptr<Event>> m_events;
    std::map<std::uint32_t, std::size_t> m_periods;
    std::uint32_t m_lastId = 0;
};

}  // namespace platform
