#include "platform/webmidi/LoopTimerService.h"

#include <algorithm>
#include <vector>

namespace platform {

std::uint32_t LoopTimerService::SetEvent(std::uint32_t delayMs, std::uint32_t, TimerProc proc, std::uintptr_t user,
                                         std::uint32_t flags) {
    if (proc == nullptr || delayMs == 0) return 0;
    const std::uint32_t id = m_nextId++;
    const auto period = std::chrono::milliseconds(delayMs);
    m_events[id] = Event{m_now() + period, period, (flags & TIMER_PERIODIC) != 0, proc, user};
    return id;
}

TimerResult LoopTimerService::KillEvent(std::uint32_t timerId) {
    // One thread: no tick of it runs while this is called from outside a tick.
    return m_events.erase(timerId) != 0 ? TIMER_OK : TIMER_ERR;
}

int LoopTimerService::RunDue() {
    const Clock::time_point now = m_now();
    // The events due now, earliest first; taken before any runs, so an event that a tick creates
    // waits for the next call.
    std::vector<std::pair<Clock::time_point, std::uint32_t>> due;
    for (const auto& [id, event] : m_events) {
        if (event.due <= now) due.emplace_back(event.due, id);
    }
    std::sort(due.begin(), due.end());
    int ran = 0;
    for (const auto& [when, id] : due) {
        auto it = m_events.find(id);
        if (it == m_events.end()) continue;  // killed by an earlier tick
        const Event event = it->second;
        if (event.periodic) {
            // One period after the tick that was due; after a hold-up, one period from now.
            Clock::time_point next = event.due + event.period;
            if (next <= now) next = now + event.period;
            it->second.due = next;
        } else {
            m_events.erase(it);
        }
        event.proc(id, 0, event.user, 0, 0);
        ++ran;
    }
    return ran;
}

std::optional<LoopTimerService::Clock::time_point> LoopTimerService::NextDue() const {
    std::optional<Clock::time_point> next;
    for (const auto& [id, event] : m_events) {
        if (!next || event.due < *next) next = event.due;
    }
    return next;
}

}  // namespace platform
