// A periodic timer on the platform's timer service, at the finest resolution it offers.
// Start, Stop and the destructor run on the owner's (UI) thread; callbacks on the service's thread.
#pragma once

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
    // Ends the running event, if any; returns when no tick of it runs any more.
    void Stop();

    // Called on every tick of an event started without a callback (timer service thread).
    virtual void OnTimerTick() {}

    // Timer-service callback shape; the user value is the timer object.
    static void DefaultTimerProc(std::uint32_t timerId, std::uint32_t msg, std::uintptr_t user,
                                 std::uintptr_t dw1, std::uintptr_t dw2);

    std::uint32_t TimerId() const { return m_timerId; }

private:
    platform::ITimerService& m_service;
    std::uint32_t m_timerId = 0;
    platform::TimeCaps m_caps{};
};
