// Carries the device's answers from the dispatcher to the update run, and the window's closing and
// the device's leaving to a waiting run.
//
// Threads: Post and PostDeviceGone run on the poll timer's thread (the dispatcher), Close and Reset
// on the window's thread, Wait and Current on the run's worker thread (tests read Current from
// their own thread).
// The answer is one value, written and read only with m_lock held; the event signals that a new
// value is there, so a reader that has returned from Wait sees at least the value that was posted
// before the signal.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "ReplyEvent.h"

// Reply status values with a meaning of their own (any other non-zero value: the device refused).
inline constexpr std::int32_t REPLY_OK = 0;
inline constexpr std::int32_t REPLY_NOT_IN_VERSIONUP_MODE = 11;
inline constexpr std::int32_t REPLY_CLOSING = 255;  // the window is closing; no device sends it

struct Reply {
    std::int32_t status = REPLY_OK;
    std::uint8_t model = 0;     // model byte of the device's last Identity Reply; 0 before one
    std::uint32_t count = 0;    // answers posted so far (the closing marker is not counted)
    bool deviceGone = false;    // the device has left since the run started (until Reset)
};

class ReplyChannel {
public:
    static constexpr std::uint32_t INFINITE_WAIT = ReplyEvent::INFINITE_WAIT;

    // Records an answer (with the model of an Identity Reply) and signals the run. Once the channel
    // is closed nothing is recorded: the closing marker stays. Poll timer's thread.
    void Post(std::int32_t status, std::optional<std::uint8_t> model = std::nullopt) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_closed) return;
            if (model) m_reply.model = *model;
            m_reply.status = status;
            m_reply.count++;
        }
        m_event.Set();
    }

    // The window is closing: the status becomes REPLY_CLOSING for good and a waiting run wakes.
    void Close() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_closed = true;
            m_reply.status = REPLY_CLOSING;
        }
        m_event.Set();
    }

    // The device that the run talks to has left the system: a waiting run wakes, and every later
    // wait returns at once, until Reset. Once the channel is closed nothing is recorded.
    void PostDeviceGone() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_closed) return;
            m_reply.deviceGone = true;
        }
        m_event.Set();
    }

    // Discards an answer that no run waited for, and a device's leaving (the start of a run).
    void Reset() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_reply.deviceGone = false;
        }
        m_event.Reset();
    }

    // Waits until an answer is posted, the channel closes or the device has gone, at most
    // `timeoutMs` (INFINITE_WAIT: no limit). True when woken; the signal is consumed. The answer
    // is then read with Current(). Once the device has gone it returns true at once.
    bool Wait(std::uint32_t timeoutMs) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_reply.deviceGone) return true;
        }
        return m_event.Wait(timeoutMs);
    }

    Reply Current() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_reply;
    }

private:
    mutable std::mutex m_lock;
    Reply m_reply;          // guarded by m_lock
    bool m_closed = false;  // guarded by m_lock; set once, by Close
    ReplyEvent m_event;
};
