// The periodic-timer service on Windows: the multimedia timer.
#if defined(_WIN32)

#include <windows.h>
#include <mmsystem.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "platform/TimerApi.h"

namespace platform {
namespace {

static_assert(TIMER_PERIODIC == TIME_PERIODIC && TIMER_ONESHOT == TIME_ONESHOT &&
              TIMER_CALLBACK_FUNCTION == TIME_CALLBACK_FUNCTION);

// timeKillEvent does not wait for a callback that is already running, but KillEvent must. Every
// callback therefore goes through Trampoline, which marks its event's slot as ticking for as long
// as the user's callback runs; KillEvent waits until that mark is gone. The system is handed a
// key, not a pointer, so a callback that still starts after the kill finds no slot and returns.
class WinMMTimerService final : public ITimerService {
public:
    // The one instance; the callbacks find it here.
    static WinMMTimerService& Instance();

    ~WinMMTimerService() override {
        std::map<std::uintptr_t, Slot> slots;
        {
            std::lock_guard lock(m_mutex);
            slots = m_slots;
        }
        for (const auto& [key, slot] : slots) KillEvent(slot.timerId);
    }

    TimerResult GetDevCaps(TimeCaps& caps) override {
        TIMECAPS tc{};
        if (timeGetDevCaps(&tc, sizeof tc) != TIMERR_NOERROR) return TIMER_ERR;
        caps = {tc.wPeriodMin, tc.wPeriodMax};
        return TIMER_OK;
    }

    TimerResult BeginPeriod(std::uint32_t periodMs) override {
        return timeBeginPeriod(periodMs) == TIMERR_NOERROR ? TIMER_OK : TIMER_ERR;
    }

    TimerResult EndPeriod(std::uint32_t periodMs) override {
        return timeEndPeriod(periodMs) == TIMERR_NOERROR ? TIMER_OK : TIMER_ERR;
    }

    // Only periodic events are offered, as by the other services: the slot of a one-shot event
    // would outlive its only tick.
    std::uint32_t SetEvent(std::uint32_t delayMs, std::uint32_t resolutionMs, TimerProc proc,
                           std::uintptr_t user, std::uint32_t flags) override {
        if (proc == nullptr || (flags & TIMER_PERIODIC) == 0) return 0;
        std::uintptr_t key = 0;
        {
            std::lock_guard lock(m_mutex);
            key = ++m_lastKey;
            Slot slot;
            slot.proc = proc;
            slot.user = user;
            m_slots[key] = slot;
        }
        // TIME_KILL_SYNCHRONOUS: no callback starts once timeKillEvent has returned.
        const MMRESULT id = timeSetEvent(delayMs, resolutionMs, &Trampoline,
                                         static_cast<DWORD_PTR>(key),
                                         TIME_PERIODIC | TIME_CALLBACK_FUNCTION |
                                             TIME_KILL_SYNCHRONOUS);
        std::lock_guard lock(m_mutex);
        if (id == 0) {
            m_slots.erase(key);
            return 0;
        }
        m_slots[key].timerId = id;
        return id;
    }

    TimerResult KillEvent(std::uint32_t timerId) override {
        std::unique_lock lock(m_mutex);
        std::uintptr_t key = 0;
        for (auto& [k, slot] : m_slots) {
            if (slot.timerId == timerId && !slot.killed) key = k;
        }
        if (key == 0) return TIMER_ERR;
        m_slots[key].killed = true;
        lock.unlock();
        const MMRESULT result = timeKillEvent(timerId);
        lock.lock();
        Slot& slot = m_slots[key];
        // From inside its own tick there is nothing to wait for: the tick is the caller.
        if (!(slot.ticking && slot.tickThread == std::this_thread::get_id())) {
            m_tickDone.wait(lock, [&] { return !m_slots[key].ticking; });
        }
        m_slots.erase(key);
        return result == TIMERR_NOERROR ? TIMER_OK : TIMER_ERR;
    }

private:
    struct Slot {
        TimerProc proc = nullptr;
        std::uintptr_t user = 0;
        std::uint32_t timerId = 0;
        bool killed = false;
        bool ticking = false;
        std::thread::id tickThread;
    };

    // Runs on the multimedia timer's thread.
    static void CALLBACK Trampoline(UINT timerId, UINT /*msg*/, DWORD_PTR key, DWORD_PTR dw1,
                                    DWORD_PTR dw2) {
        WinMMTimerService& self = Instance();
        TimerProc proc = nullptr;
        std::uintptr_t user = 0;
        {
            std::lock_guard lock(self.m_mutex);
            const auto it = self.m_slots.find(key);
            if (it == self.m_slots.end() || it->second.killed) return;
            it->second.ticking = true;
            it->second.tickThread = std::this_thread::get_id();
            proc = it->second.proc;
            user = it->second.user;
        }
        proc(timerId, 0, user, dw1, dw2);
        {
            std::lock_guard lock(self.m_mutex);
            const auto it = self.m_slots.find(key);
            if (it != self.m_slots.end()) {
                it->second.ticking = false;
                it->second.tickThread = {};
            }
        }
        self.m_tickDone.notify_all();
    }

    std::mutex m_mutex;  // guards the slots
    std::condition_variable m_tickDone;
    std::map<std::uintptr_t, Slot> m_slots;
    std::uintptr_t m_lastKey = 0;
};

WinMMTimerService& WinMMTimerService::Instance() {
    static WinMMTimerService service;
    return service;
}

}  // namespace

ITimerService& DefaultTimerService() {
    return WinMMTimerService::Instance();
}

}  // namespace platform

#endif  // _WIN32
