#include "platform/PosixTimerService.h"

#include <chrono>
#include <system_error>
#include <utility>
#include <vector>

namespace platform {

struct PosixTimerService::Event {
    std::uint32_t id = 0;
    std::chrono::milliseconds period{0};
    TimerProc proc = nullptr;
    std::uintptr_t user = 0;

    std::mutex mutex;  // guards `cancelled`; never held while the callback runs
    std::condition_variable wake;
    bool cancelled = false;

    std::thread thread;              // written and joined under the service's m_mutex, or after
                                     // the event has left m_events
    bool retired = false;            // cancelled from its own tick; guarded by the service's m_mutex
    std::atomic<bool> finished{false};  // the thread has left Run
};

PosixTimerService::~PosixTimerService() {
    std::map<std::uint32_t, std::shared_ptr<Event>> events;
    {
        std::lock_guard lock(m_mutex);
        events.swap(m_events);
    }
    for (auto& [id, event] : events) Cancel(*event);
    for (auto& [id, event] : events) {
        if (!event->thread.joinable()) continue;
        if (event->thread.get_id() == std::this_thread::get_id()) {
            // Destroyed from inside one of its own ticks: that thread holds its own reference to
            // the event and leaves Run after the tick without touching the service.
            event->thread.detach();
        } else {
            event->thread.join();
        }
    }
}

TimerResult PosixTimerService::GetDevCaps(TimeCaps& caps) {
    caps = TIMER_CAPS;
    return TIMER_OK;
}

TimerResult PosixTimerService::BeginPeriod(std::uint32_t periodMs) {
    if (periodMs < TIMER_CAPS.wPeriodMin || periodMs > TIMER_CAPS.wPeriodMax) return TIMER_ERR;
    std::lock_guard lock(m_mutex);
    ++m_periods[periodMs];
    return TIMER_OK;
}

TimerResult PosixTimerService::EndPeriod(std::uint32_t periodMs) {
    std::lock_guard lock(m_mutex);
    const auto it = m_periods.find(periodMs);
    if (it == m_periods.end()) return TIMER_ERR;
    if (--it->second == 0) m_periods.erase(it);
    return TIMER_OK;
}

std::uint32_t PosixTimerService::SetEvent(std::uint32_t delayMs, std::uint32_t /*resolutionMs*/,
                                          TimerProc proc, std::uintptr_t user,
                                          std::uint32_t flags) {
    if (proc == nullptr || (flags & TIMER_PERIODIC) == 0) return 0;
    if (delayMs < TIMER_CAPS.wPeriodMin || delayMs > TIMER_CAPS.wPeriodMax) return 0;

    auto event = std::make_shared<Event>();
    event->period = std::chrono::milliseconds(delayMs);
    event->proc = proc;
    event->user = user;

    std::lock_guard lock(m_mutex);
    ReapRetiredLocked();
    event->id = NextIdLocked();
    if (event->id == 0) return 0;
    try {
        // The thread reaches the service only through callbacks that call it, which wait for
        // m_mutex; by then the event is in m_events with its thread stored.
        event->thread = std::thread(&PosixTimerService::Run, event);
    } catch (const std::system_error&) {
        return 0;  // no thread to be had: no event
    }
    m_events.emplace(event->id, event);
    return event->id;
}

TimerResult PosixTimerService::KillEvent(std::uint32_t timerId) {
    std::shared_ptr<Event> event;
    bool wasRetired = false;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_events.find(timerId);
        if (it == m_events.end()) return TIMER_ERR;
        event = it->second;
        if (event->thread.get_id() == std::this_thread::get_id()) {
            Cancel(*event);
            event->retired = true;
            return TIMER_OK;
        }
        wasRetired = event->retired;
        m_events.erase(it);
        ReapRetiredLocked();
    }
    Cancel(*event);
    // Outside m_mutex: the tick being waited for may itself call the service.
    event->thread.join();
    // An event that its own tick had already cancelled is no longer valid, but the caller has
    // still waited for that tick to return.
    return wasRetired ? TIMER_ERR : TIMER_OK;
}

std::size_t PosixTimerService::OutstandingPeriodRequests() const {
    std::lock_guard lock(m_mutex);
    std::size_t total = 0;
    for (const auto& [period, count] : m_periods) total += count;
    return total;
}

std::size_t PosixTimerService::OutstandingPeriodRequests(std::uint32_t periodMs) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_periods.find(periodMs);
    return it == m_periods.end() ? 0 : it->second;
}

std::size_t PosixTimerService::RunningEvents() const {
    std::lock_guard lock(m_mutex);
    std::size_t running = 0;
    for (const auto& [id, event] : m_events) running += event->retired ? 0 : 1;
    return running;
}

// Runs on the event's own thread until the event is cancelled.
void PosixTimerService::Run(const std::shared_ptr<Event>& event) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::duration period = event->period;
    std::int64_t tick = 1;

    std::unique_lock lock(event->mutex);
    for (;;) {
        const Clock::time_point due = start + tick * period;
        if (event->wake.wait_until(lock, due, [&] { return event->cancelled; })) break;
        lock.unlock();
        event->proc(event->id, 0, event->user, 0, 0);
        lock.lock();
        if (event->cancelled) break;

        ++tick;
        const Clock::time_point now = Clock::now();
        if (start + tick * period <= now) {
            // Overran: go on with the first deadline still ahead, keeping the schedule's phase.
            tick = (now - start) / period + 1;
        }
    }
    event->finished.store(true, std::memory_order_release);
}

void PosixTimerService::Cancel(Event& event) {
    {
        std::lock_guard lock(event.mutex);
        event.cancelled = true;
    }
    event.wake.notify_all();
}

// Joins the threads of events cancelled from their own tick once they have ended.
void PosixTimerService::ReapRetiredLocked() {
    for (auto it = m_events.begin(); it != m_events.end();) {
        Event& event = *it->second;
        if (event.retired && event.finished.load(std::memory_order_acquire) &&
            event.thread.get_id() != std::this_thread::get_id()) {
            event.thread.join();  // has left Run already: returns at once
            it = m_events.erase(it);
        } else {
            ++it;
        }
    }
}

// A fresh id: never 0, never one still in m_events (ids of retired events stay taken until reaped).
std::uint32_t PosixTimerService::NextIdLocked() {
    for (std::size_t tries = 0; tries <= m_events.size(); ++tries) {
        ++m_lastId;
        if (m_lastId == 0) ++m_lastId;
        if (m_events.find(m_lastId) == m_events.end()) return m_lastId;
    }
    return 0;
}

// WinMM's timer on Windows; the event loop's in the web edition (webmidi/).
#if !defined(_WIN32) && !defined(__EMSCRIPTEN__)
ITimerService& DefaultTimerService() {
    static PosixTimerService service;
    return service;
}
#endif

}  // namespace platform
