#include "EventLoop.h"

#include <algorithm>

EventLoop::EventLoop(IPageLink& page, platform::LoopTimerService& timers, Dispatch dispatch, AfterPass afterPass)
    : m_page(page), m_timers(timers), m_dispatch(std::move(dispatch)), m_afterPass(std::move(afterPass)) {}

bool EventLoop::StartWorker(std::function<void()> body) {
    if (!body) return false;
    m_pending.push_back(std::move(body));
    return true;
}

bool EventLoop::Pump() {
    bool any = false;
    PageEvent event;
    while (m_page.Take(event)) {
        any = true;
        m_dispatch(event);
    }
    if (m_timers.RunDue() > 0) any = true;
    if (any && m_afterPass) m_afterPass();
    return any;
}

std::chrono::milliseconds EventLoop::WaitLimit(std::chrono::milliseconds atMost) {
    auto limit = std::max(atMost, std::chrono::milliseconds(0));
    if (const auto next = m_timers.NextDue()) {
        const auto untilTick = std::chrono::ceil<std::chrono::milliseconds>(*next - m_page.Now());
        limit = std::min(limit, std::max(untilTick, std::chrono::milliseconds(0)));
    }
    return limit;
}

void EventLoop::LetEventsRun(std::chrono::milliseconds atMost) {
    if (Pump()) return;
    const auto limit = WaitLimit(atMost);
    if (limit > std::chrono::milliseconds(0)) m_page.Wait(limit);
    Pump();
}

void EventLoop::Run(const std::function<bool()>& until) {
    for (;;) {
        if (until && until()) return;
        if (!m_pending.empty()) {
            const std::function<void()> body = std::move(m_pending.front());
            m_pending.pop_front();
            ++m_workerDepth;
            body();
            --m_workerDepth;
            continue;
        }
        if (Pump()) continue;
        if (until && until()) return;
        const auto limit = WaitLimit(IDLE_WAIT);
        if (limit > std::chrono::milliseconds(0)) m_page.Wait(limit);
    }
}

void EventLoop::RunUntil(const std::function<bool()>& done) {
    while (!done()) LetEventsRun(IDLE_WAIT);
}
