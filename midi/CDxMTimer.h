// A periodic timer on the platform's timer service, at the finest resolution it offers.
// Start, Stop and the destructor run on the owner's (UI) thread; callbacks on the service's thread.
//
// A class derived from CDxMTimer that overrides OnTimerTick must call Stop in its own destructor:
// the base destructor is not virtual and runs after the derived part is gone, so a tick arriving
// in between would call into a destroyed object.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/TimerApi.h"

class CDxMTimer {
public:
    explicit CDxMTimer(platform::ITimerService& service = platform::DefaultTimerService());
    ~CDxMTimer();  // Stop; deliberately not virtual
    CDxMTimer(const CDxMTimer&) = delete;
    CDxMTimer& operator=(const CDxMTimer&) = delete;

    // Stops a running event, then starts a periodic one. With a null callback every tick calls
    // OnTimerTick of this object. Returns the event id, 0 when no event could be created.
    std::uint32_t Start(std::uint32_t periodMs, platform::TimerProc callback, std::uintptr_t user);
    // Ends the running event, if any; returns when no tick of it runs any more. Must not be called
    // from inside a tick.
    void Stop();

    // Called on every tick of an event started without a callback (timer service thread).
    virtual void OnTimerTick() {}

    // Timer-service callback shape; the user value is the timer object.
    static void DefaultTimerProc(std::uint32_t timerId, std::uint32_t msg, std::uintptr_t user,
                                 std::uintptr_t dw1, std::uintptr_t dw2);

    // Safe to call from a tick as well; written only by the owner thread.
    std::uint32_t TimerId() const { return m_timerId.load(std::memory_order_acquire); }
    // The capabilities in use: the service's, or the fallback when they could not be read.
    const platform::TimeCaps& Caps() const { return m_caps; }

private:
    platform::ITimerService& m_service;
    std::atomic<std::uint32_t> m_timerId{0};
    platform::TimeCaps m_caps{};
    bool m_periodHeld = false;  // a granted BeginPeriod(wPeriodMin) is outstanding (owner thread only)
};
