#include "CDxMTimer.h"

namespace {

// Used when the service cannot report its capabilities (or reports a zero resolution): 1 ms is
// the finest resolution every supported service grants, and the longest period is the one the
// multimedia timer reports on current systems.
constexpr platform::TimeCaps FALLBACK_CAPS{1, 1000000};

}  // namespace

CDxMTimer::CDxMTimer(platform::ITimerService& service) : m_service(service) {
    platform::TimeCaps caps{};
    if (m_service.GetDevCaps(caps) == platform::TIMER_OK && caps.wPeriodMin != 0) {
        m_caps = caps;
    } else {
        m_caps = FALLBACK_CAPS;
    }
}

CDxMTimer::~CDxMTimer() {
    Stop();
}

std::uint32_t CDxMTimer::Start(std::uint32_t periodMs, platform::TimerProc callback,
                               std::uintptr_t user) {
    Stop();

    // A refused request is not held and therefore not given back later; the event is still
    // created, only at the service's coarser default resolution.
    m_periodHeld = m_service.BeginPeriod(m_caps.wPeriodMin) == platform::TIMER_OK;

    platform::TimerProc proc = callback;
    std::uintptr_t procUser = user;
    if (proc == nullptr) {
        proc = &CDxMTimer::DefaultTimerProc;
        procUser = reinterpret_cast<std::uintptr_t>(this);
    }
    const std::uint32_t id = m_service.SetEvent(periodMs, m_caps.wPeriodMin, proc, procUser,
                                                platform::TIME_PERIODIC |
                                                    platform::TIME_CALLBACK_FUNCTION);
    m_timerId.store(id, std::memory_order_release);
    if (id == 0 && m_periodHeld) {
        m_service.EndPeriod(m_caps.wPeriodMin);
        m_periodHeld = false;
    }
    return id;
}

void CDxMTimer::Stop() {
    const std::uint32_t id = m_timerId.load(std::memory_order_relaxed);
    if (id != 0) {
        // The service's KillEvent returns only once a tick under way has returned, so nothing of
        // the event runs when the resolution is given back and Stop returns.
        m_service.KillEvent(id);
        if (m_periodHeld) {
            m_service.EndPeriod(m_caps.wPeriodMin);
            m_periodHeld = false;
        }
    }
    m_timerId.store(0, std::memory_order_release);
}

void CDxMTimer::DefaultTimerProc(std::uint32_t /*timerId*/, std::uint32_t /*msg*/,
                                 std::uintptr_t user, std::uintptr_t /*dw1*/,
                                 std::uintptr_t /*dw2*/) {
    reinterpret_cast<CDxMTimer*>(user)->OnTimerTick();
}
