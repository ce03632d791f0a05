#include "ManualTimerService.h"

namespace platform {

TimerResult ManualTimerService::GetDevCaps(TimeCaps& caps) {
    std::lock_guard lock(m_mutex);
    if (m_failDevCaps) return TIMER_ERR;
    caps = m_caps;
    return TIMER_OK;
}

TimerResult ManualTimerService::BeginPeriod(std::uint32_t periodMs) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back({CallKind::BeginPeriod, periodMs});
    if (m_failNextBegin) {
        m_failNextBegin = false;
        return TIMER_ERR;
    }
    ++m_periods[periodMs];
    return TIMER_OK;
}

TimerResult ManualTimerService::EndPeriod(std::uint32_t periodMs) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back({CallKind::EndPeriod, periodMs});
    const auto it = m_periods.find(periodMs);
    if (it == m_periods.end()) return TIMER_ERR;
    if (--it->second == 0) m_periods.erase(it);
    return TIMER_OK;
}

std::uint32_t ManualTimerService::SetEvent(std::uint32_t delayMs, std::uint32_t resolutionMs,
                                           TimerProc proc, std::uintptr_t user,
                                           std::uint32_t flags) {
    std::lock_guard lock(m_mutex);
    std::uint32_t id = 0;
    if (m_failNextSet) {
        m_failNextSet = false;
    } else if (proc != nullptr) {
        id = ++m_lastId;
        auto entry = std::make_shared<Entry>();
        entry->info = {delayMs, resolutionMs, proc, user, flags};
        m_events.emplace(id, std::move(entry));
    }
    m_calls.push_back({CallKind::SetEvent, id});
    return id;
}

TimerResult ManualTimerService::KillEvent(std::uint32_t timerId) {
    std::unique_lock lock(m_mutex);
    m_calls.push_back({CallKind::KillEvent, timerId});
    const auto it = m_events.find(timerId);
    if (it == m_events.end()) return TIMER_ERR;
    const std::shared_ptr<Entry> entry = it->second;
    m_events.erase(it);
    entry->killed = true;
    if (entry->ticking && entry->tickThread == std::this_thread::get_id()) return TIMER_OK;
    m_tickDone.wait(lock, [&] { return !entry->ticking; });
    return TIMER_OK;
}

bool ManualTimerService::Tick(std::uint32_t timerId) {
    std::unique_lock lock(m_mutex);
    const auto it = m_events.find(timerId);
    if (it == m_events.end()) return false;
    const std::shared_ptr<Entry> entry = it->second;
    // Ticks of one event never overlap, whichever threads fire them.
    m_tickDone.wait(lock, [&] { return !entry->ticking || entry->killed; });
    if (entry->killed) return false;
    entry->ticking = true;
    entry->tickThread = std::this_thread::get_id();
    const EventInfo info = entry->info;
    lock.unlock();

    info.proc(timerId, 0, info.user, 0, 0);

    lock.lock();
    entry->ticking = false;
    entry->tickThread = {};
    lock.unlock();
    m_tickDone.notify_all();
    return true;
}

std::size_t ManualTimerService::TickAll() {
    std::vector<std::uint32_t> ids;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [id, entry] : m_events) ids.push_back(id);
    }
    std::size_t fired = 0;
    for (const std::uint32_t id : ids) fired += Tick(id) ? 1 : 0;
    return fired;
}

std::vector<ManualTimerService::Call> ManualTimerService::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

void ManualTimerService::ClearCalls() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

std::size_t ManualTimerService::OutstandingPeriodRequests() const {
    std::lock_guard lock(m_mutex);
    std::size_t total = 0;
    for (const auto& [period, count] : m_periods) total += count;
    return total;
}

std::size_t ManualTimerService::ActiveEvents() const {
    std::lock_guard lock(m_mutex);
    return m_events.size();
}

std::optional<ManualTimerService::EventInfo> ManualTimerService::Event(std::uint32_t timerId) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_events.find(timerId);
    if (it == m_events.end()) return std::nullopt;
    return it->second->info;
}

}  // namespace platform
