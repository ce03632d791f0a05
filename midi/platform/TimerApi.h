// The periodic-timer service beneath CDxMTimer, shaped after the multimedia timer: capabilities,
// resolution requests, periodic events with a plain callback.
#pragma once

#include <cstdint>

namespace platform {

using TimerResult = std::uint32_t;
constexpr TimerResult TIMER_OK = 0;
constexpr TimerResult TIMER_ERR = 97;  // TIMERR_NOCANDO

// Event types, with the values of the multimedia TIME_* flags (which <mmsystem.h> defines as
// macros, hence the spelling).
constexpr std::uint32_t TIMER_ONESHOT = 0;           // TIME_ONESHOT
constexpr std::uint32_t TIMER_PERIODIC = 1;          // TIME_PERIODIC
constexpr std::uint32_t TIMER_CALLBACK_FUNCTION = 0; // TIME_CALLBACK_FUNCTION

struct TimeCaps {
    std::uint32_t wPeriodMin;  // finest period/resolution in ms
    std::uint32_t wPeriodMax;  // longest period in ms
};

// Timer callback: event id, message (unused, 0), the user value given to SetEvent, two reserved
// values. Runs on a thread of the timer service; ticks of one event never overlap.
using TimerProc = void (*)(std::uint32_t timerId, std::uint32_t msg, std::uintptr_t user,
                           std::uintptr_t dw1, std::uintptr_t dw2);

class ITimerService {
public:
    virtual ~ITimerService() = default;
    virtual TimerResult GetDevCaps(TimeCaps& caps) = 0;
    virtual TimerResult BeginPeriod(std::uint32_t periodMs) = 0;
    virtual TimerResult EndPeriod(std::uint32_t periodMs) = 0;
    // Creates an event that calls `proc` every `delayMs` (TIMER_PERIODIC) with `user`. Returns its
    // id, 0 on failure.
    virtual std::uint32_t SetEvent(std::uint32_t delayMs, std::uint32_t resolutionMs, TimerProc proc,
                                   std::uintptr_t user, std::uint32_t flags) = 0;
    // Cancels the event. Returns only when no tick of it runs any more and none will start.
    // Must not be called from inside a tick of the same event.
    virtual TimerResult KillEvent(std::uint32_t timerId) = 0;
};

// The service of the running platform (own POSIX service, or WinMM); lives for the whole process.
ITimerService& DefaultTimerService();

}  // namespace platform
