// A timer service for tests: events tick only when the test says so, on the thread that says so,
// and every request made of the service is logged in order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/TimerApi.h"

namespace platform {

class ManualTimerService final : public ITimerService {
public:
    enum class CallKind { BeginPeriod, EndPeriod, SetEvent, KillEvent };
    // BeginPeriod/EndPeriod: the resolution; SetEvent: the id it returned (0 = failed);
    // KillEvent: the id asked for.
    struct Call {
        CallKind kind;
        std::uint32_t value;
        bool operator==(const Call&) const = default;
    };
    struct EventInfo {
        std::uint32_t delayMs;
        std::uint32_t resolutionMs;
        TimerProc proc;
        std::uintptr_t user;
        std::uint32_t flags;
    };

    explicit ManualTimerService(TimeCaps caps = {1, 1000000}) : m_caps(caps) {}
    ~ManualTimerService() override = default;
    ManualTimerService(const ManualTimerService&) = delete;
    ManualTimerService& operator=(const ManualTimerService&) = delete;

    TimerResult GetDevCaps(TimeCaps& caps) override;
    TimerResult BeginPeriod(std::uint32_t periodMs) override;
    TimerResult EndPeriod(std::uint32_t periodMs) override;
    std::uint32_t SetEvent(std::uint32_t delayMs, std::uint32_t resolutionMs, TimerProc proc,
                           std::uintptr_t user, std::uint32_t flags) override;
    // Waits until a tick of the event running on another thread has returned. From inside a tick
    // of that event it returns at once (no tick starts afterwards either way).
    TimerResult KillEvent(std::uint32_t timerId) override;

    // Failure injection: GetDevCaps fails from now on; the next BeginPeriod / SetEvent fails.
    void FailDevCaps() { std::lock_guard lock(m_mutex); m_failDevCaps = true; }
    void FailNextBeginPeriod() { std::lock_guard lock(m_mutex); m_failNextBegin = true; }
    void FailNextSetEvent() { std::lock_guard lock(m_mutex); m_failNextSet = true; }

    // Fires one tick of the event on the calling thread; a tick of it already running on another
    // thread is waited for first. False when the event does not exist (or was killed meanwhile).
    bool Tick(std::uint32_t timerId);
    // One tick of every live event, in id order; returns how many fired.
    std::size_t TickAll();

    std::vector<Call> Calls() const;
    void ClearCalls();
    // Successful BeginPeriod calls not yet matched by an EndPeriod of the same value.
    std::size_t OutstandingPeriodRequests() const;
    std::size_t ActiveEvents() const;
    std::optional<EventInfo> Event(std::uint32_t timerId) const;

private:
    struct Entry {
        EventInfo info;
        bool killed = false;
        bool ticking = false;
        std::thread::id tickThread;
    };

    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_tickDone;
    TimeCaps m_caps;
    bool m_failDevCaps = false;
    bool m_failNextBegin = false;
    bool m_failNextSet = false;
    std::vector<Call> m_calls;
    std::map<std::uint32_t, std::size_t> m_periods;
    std::map<std::uint32_t, std::shared_ptr<Entry>> m_events;
    std::uint32_t m_lastId = 0;
};

}  // namespace platform
