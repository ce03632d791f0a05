// Carries the device's answers from the dispatcher to the update run, and the window's closing and
// the device's leaving to a waiting run.
//
// Threads: Post and PostDeviceGone run on the poll timer's thread (the dispatcher), Close and Reset
// on the window's thread, Expect, Await, Wait and Current on the run's worker thread (tests read
// Current from their own thread).
// Everything but the event is written and read only with m_lock held; the event signals that
// something was posted, so a reader that has returned from a wait sees at least what was posted
// before the signal.
//
// Which answer a wait takes: before each send the run names the kinds of answer that can answer
// its message and the number of the last message that the input port had received by then
// (Expect); the first answer of those kinds from a later message is kept for it, and Await returns
// it. An answer that the device sent before the send began (a repeat, an echo, a late reply to
// the message before) is left aside and the wait goes on for the time it has left. A genuine
// answer is received only after its message has begun to go out, so its number is above the mark
// even when the dispatcher posts it while the worker is still inside its send. What order alone
// cannot tell apart: a repeat that arrives while the send is already under way counts as the
// answer to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "ReplyEvent.h"
#include "UpdateHost.h"

// Reply status values with a meaning of their own (any other non-zero value: the device refused).
inline constexpr std::int32_t REPLY_OK = 0;
inline constexpr std::int32_t REPLY_NOT_IN_VERSIONUP_MODE = 11;
inline constexpr std::int32_t REPLY_CLOSING = 255;  // the window is closing; no device sends it

// What kind of device message an answer came from; a set of kinds is their bits or'ed.
enum ReplyKind : std::uint8_t {
    REPLY_KIND_IDENTITY = 1,  // an Identity Reply (with a model)
    REPLY_KIND_STATUS = 2,    // a STATUS message (with its code)
    REPLY_KIND_BLOCK = 4,     // the device's OP_BLOCK (accepted)
};
// The answers that answer each message of the run.
inline constexpr std::uint8_t ANSWERS_TO_IDENTITY_REQUEST = REPLY_KIND_IDENTITY;
inline constexpr std::uint8_t ANSWERS_TO_ERASE_OR_BLOCK = REPLY_KIND_STATUS | REPLY_KIND_BLOCK;
inline constexpr std::uint8_t ANSWERS_TO_FINISH = REPLY_KIND_IDENTITY | REPLY_KIND_STATUS | REPLY_KIND_BLOCK;

struct Reply {
    std::int32_t status = REPLY_OK;
    std::uint8_t model = 0;     // model byte of the device's last Identity Reply; 0 before one
    // Software revision of the device's last Identity Reply; none before one, or when that reply
    // ended before it.
    std::optional<SoftwareRevision> softwareRevision;
    std::uint32_t count = 0;    // answers posted so far (the closing marker is not counted)
    bool deviceGone = false;    // the device has left since the run started (until Reset)
    std::uint8_t kind = 0;      // ReplyKind of the answer; 0 before the first
    std::uint64_t sequence = 0; // the input port's number of the message it came from
};

// How a run's wait ended.
struct AwaitedReply {
    enum class End { Answer, Closing, DeviceGone, TimedOut };
    End end = End::TimedOut;
    Reply reply;  // Answer: the answer taken
};

class ReplyChannel {
public:
    static constexpr std::uint32_t INFINITE_WAIT = ReplyEvent::INFINITE_WAIT;

    // The run's waits hand the thread to `scheduler` (null: they block). Before the first wait.
    void UseScheduler(IRunScheduler* scheduler) { m_event.UseScheduler(scheduler); }

    // Records an answer of `kind` from the received message numbered `sequence` (with the model
    // and the software revision of an Identity Reply) and signals the run; an answer that the run
    // expects is kept for it. Once the channel is closed nothing is recorded: the closing marker
    // stays. Poll timer's thread.
    void Post(std::int32_t status, std::uint8_t kind, std::uint64_t sequence,
              std::optional<std::uint8_t> model = std::nullopt,
              std::optional<SoftwareRevision> softwareRevision = std::nullopt) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_closed) return;
            if (model) {
                m_reply.model = *model;
                m_reply.softwareRevision = softwareRevision;
            }
            m_reply.status = status;
            m_reply.count++;
            m_reply.kind = kind;
            m_reply.sequence = sequence;
            if (!m_taken && (m_expectedKinds & kind) != 0 && sequence > m_mark) m_taken = m_reply;
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

    // Discards an answer that no run waited for, the run's expectation, and a device's leaving
    // (the start of a run).
    void Reset() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_reply.deviceGone = false;
            m_expectedKinds = 0;
            m_taken.reset();
        }
        m_event.Reset();
    }

    // The run is about to send a message that answers of `kinds` answer; `mark` is the input
    // port's number of the last message received before the send. Forgets an answer kept for the
    // message before. Call before the send begins.
    void Expect(std::uint64_t mark, std::uint8_t kinds) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mark = mark;
        m_expectedKinds = kinds;
        m_taken.reset();
    }

    // The run's wait for the answer it expects, at most `timeoutMs` in all (INFINITE_WAIT: no
    // limit): other answers wake it and it waits on for the time left. The closing comes first,
    // then an answer, then the device's leaving: a device that answered and then left has
    // answered.
    AwaitedReply Await(std::uint32_t timeoutMs) {
        using Clock = std::chrono::steady_clock;
        const bool bounded = timeoutMs != INFINITE_WAIT;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_closed) return {AwaitedReply::End::Closing, m_reply};
                if (m_taken) return {AwaitedReply::End::Answer, *m_taken};
                if (m_reply.deviceGone) return {AwaitedReply::End::DeviceGone, m_reply};
            }
            std::uint32_t left = INFINITE_WAIT;
            if (bounded) {
                const auto now = Clock::now();
                if (now >= deadline) return {AwaitedReply::End::TimedOut, Current()};
                // Rounded up, so that the wait never ends before its deadline.
                const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
                left = static_cast<std::uint32_t>(ms);
            }
            m_event.Wait(left);
        }
    }

    // Waits until anything is posted, the channel closes or the device has gone, at most
    // `timeoutMs` (INFINITE_WAIT: no limit). True when woken; the signal is consumed. The answer
    // is then read with Current(). Once the device has gone it returns true at once. For tools
    // and tests that play the dispatcher's counterpart; the run uses Await.
    bool Wait(std::uint32_t timeoutMs) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_reply.deviceGone) return true;
        }
        return m_event.Wait(timeoutMs);
    }

    // The last answer posted (or the closing marker).
    Reply Current() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_reply;
    }

private:
    mutable std::mutex m_lock;
    Reply m_reply;          // guarded by m_lock
    bool m_closed = false;  // guarded by m_lock; set once, by Close
    // What the run's current message expects (Expect, Reset: the run's and the window's threads;
    // read by Post on the timer's thread), and the answer kept for it; all guarded by m_lock.
    std::uint64_t m_mark = 0;
    std::uint8_t m_expectedKinds = 0;  // 0: no answer is kept
    std::optional<Reply> m_taken;
    ReplyEvent m_event;
};
