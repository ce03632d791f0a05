// Auto-reset event that wakes the update run when the dispatcher has posted an answer
// (ReplyChannel.h); it carries no data itself.
//
// Set() leaves the event signalled until one Wait() consumes it; a second Set() before that is not
// counted twice. The answer lives in ReplyChannel under its own lock: it is stored before Set()
// and read after Wait() returned true.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

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

    // Waits until the event is signalled or `timeoutMs` has passed (INFINITE_WAIT: no limit).
    // True when it was signalled; the signal is consumed.
    bool Wait(std::uint32_t timeoutMs) {
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
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_signalled = false;
};
