// Auto-reset event that wakes the update run when the dispatcher has posted an answer
// (ReplyChannel.h); it carries no data itself.
//
// Set() leaves the event signalled until one Wait() consumes it; a second Set() before that is not
// counted twice. The answer lives in ReplyChannel under its own lock: it is stored before Set()
// and read after Wait() returned true.
//
// With a run scheduler (RunScheduler.h) the event lives on the scheduler's one thread: Set() comes
// from the event loop's timer tick, and Wait() hands the thread back to that loop until it is set.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "RunScheduler.h"

class ReplyEvent {
public:
    static constexpr std::uint32_t INFINITE_WAIT = 0xFFFFFFFFu;

    void Set() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_signalled = true;
        }
        m_cv.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_signalled = false;
    }

    // Set once, before the first Wait, by the engine that owns the event; null: Wait blocks.
    void UseScheduler(IRunScheduler* scheduler) { m_scheduler = scheduler; }

    // Waits until the event is signalled or `timeoutMs` has passed (INFINITE_WAIT: no limit).
    // True when it was signalled; the signal is consumed.
    bool Wait(std::uint32_t timeoutMs) {
        if (m_scheduler != nullptr) return WaitLettingEventsRun(timeoutMs);
        std::unique_lock<std::mutex> lock(m_lock);
        if (timeoutMs == 0) {
            // Only a look: a timed wait that has already expired still costs the thread a sleep
            // of the timer's slack.
            if (!m_signalled) return false;
        } else if (timeoutMs == INFINITE_WAIT) {
            m_cv.wait(lock, [this] { return m_signalled; });
        } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return m_signalled; })) {
            return false;
        }
        m_signalled = false;
        return true;
    }

    bool IsSignalled() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_signalled;
    }

private:
    bool WaitLettingEventsRun(std::uint32_t timeoutMs) {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_signalled) {
                    m_signalled = false;
                    return true;
                }
            }
            std::chrono::milliseconds slice{1000};  // an unbounded wait looks again now and then
            if (timeoutMs != INFINITE_WAIT) {
                const auto left = std::chrono::milliseconds(timeoutMs) -
                                  std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                if (left <= std::chrono::milliseconds::zero()) return false;
                slice = std::min(slice, left);
            }
            m_scheduler->LetEventsRun(slice);
        }
    }

    IRunScheduler* m_scheduler = nullptr;  // set before the first Wait, then only read
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_signalled = false;
};
