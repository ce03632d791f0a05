// Carries the device's answers from the dispatcher to the update run, and the window's closing and
// the device's leaving to a waiting run.
//
// Threads: Post and PostDeviceGone run on the poll timer's thread (the dispatcher), Close and Reset
// on the window's thread, Expect, Sent, Await, AwaitLeftovers, Wait and Current on the run's worker
// thread (tests read Current from their own thread). Everything but the event is written and read
// only with m_lock held; the event signals that something was posted, so a reader that has returned
// from a wait sees at least what was posted before the signal.
//
// Which answer a wait takes. An answer carries no number of the message it answers, so the run
// pairs them by time and by count:
//   - Before each send the run names the kinds of answer that can answer its message (Expect);
//     once the send is done it tells the moment from which the device can have had the whole
//     message (Sent). The first answer of those kinds received at or after that moment is taken;
//     one received earlier can't answer this message (a repeat, a late reply to the message
//     before) and is not taken. Answers that come while the send is still under way wait until
//     the moment is known, so a device that answers at once is never missed.
//   - From the run's first answer on, the device must answer exactly once per message. Every
//     answer that is not taken for a message (it came while no message awaited one, or behind the
//     one taken) is an answer too many, and one answer too many means that the run may be one
//     answer behind: the answer it took for a message may have been the device's answer to the
//     message before. The one exception is a device that repeats itself at once: one that answers
//     ERASE twice, the second answer of the same kind and status within the repeat window after
//     the first, repeats its answers; from then on an answer of the same kind and status as the
//     one taken last, received within the window after it, is such a repeat (the run sends its
//     next message only after the window, so a repeat can never be taken for it). A device that
//     did not repeat its answer to ERASE gets no such allowance: two answers received close
//     together are then two answers (an input that was held up for a while hands on what came
//     over that while at once, so nearness alone proves nothing). Any other answer too many puts
//     the channel out of step for good (until Reset), and every wait of the run ends with
//     OutOfStep: the run does not vouch for an image whose answers it may have paired wrong.
//   - The count is checked once more after the last answer (AwaitLeftovers): an answer that the
//     device still sends behind it is the sign of a run that was one answer behind all along.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "ReplyEvent.h"
#include "RunScheduler.h"
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
// The answers that answer each message of the run. The Identity Request takes any answer: a device
// that answers it with a STATUS has not identified itself (its model counts as 0).
inline constexpr std::uint8_t ANSWERS_TO_IDENTITY_REQUEST = REPLY_KIND_IDENTITY | REPLY_KIND_STATUS | REPLY_KIND_BLOCK;
inline constexpr std::uint8_t ANSWERS_TO_ERASE_OR_BLOCK = REPLY_KIND_STATUS | REPLY_KIND_BLOCK;
inline constexpr std::uint8_t ANSWERS_TO_FINISH = REPLY_KIND_IDENTITY | REPLY_KIND_STATUS | REPLY_KIND_BLOCK;
// The kinds that the count of answers covers: an Identity Reply answers only the Identity Request,
// and one more of them can't be taken for an ERASE or a block.
inline constexpr std::uint8_t COUNTED_ANSWERS = REPLY_KIND_STATUS | REPLY_KIND_BLOCK;

using ReplyClock = std::chrono::steady_clock;

// A device that repeats an answer within this time after it repeats itself at once: the run sends
// its next message only after it, and takes such a repeat for no message. A few milliseconds of
// the device's own and the scheduling of a busy machine (seen: a repeat sent 2 ms after its
// answer received 10 ms and more after it in an emulated machine); it costs a run nothing while
// the poll tick hands answers on later than that anyway.
inline constexpr std::uint32_t REPEAT_WINDOW_MS = 20;

struct Reply {
    std::int32_t status = REPLY_OK;
    std::uint8_t model = 0;     // model byte of the device's last Identity Reply; 0 before one
    // Software revision of the device's last Identity Reply; none before one, or when that reply
    // ended before it.
    std::optional<SoftwareRevision> softwareRevision;
    std::uint32_t count = 0;    // answers posted so far (the closing marker is not counted)
    bool deviceGone = false;    // the device has left since the run started (until Reset)
    std::uint8_t kind = 0;      // ReplyKind of the answer; 0 before the first
    ReplyClock::time_point receivedAt{};  // when the input port received the message
};

// How a run's wait ended.
struct AwaitedReply {
    enum class End { Answer, Closing, OutOfStep, DeviceGone, TimedOut };
    End end = End::TimedOut;
    Reply reply;  // Answer: the answer taken
};

// Why a channel went out of step, for the run's record.
struct OutOfStepAnswer {
    std::uint8_t kind = 0;
    std::int32_t status = 0;
    ReplyClock::time_point receivedAt{};
};

class ReplyChannel {
public:
    static constexpr std::uint32_t INFINITE_WAIT = ReplyEvent::INFINITE_WAIT;
    // Answers that may come during one send before its moment is known; more than that is more
    // than any device answers one message with, and puts the channel out of step.
    static constexpr std::size_t MAX_ANSWERS_DURING_SEND = 8;

    // The run's waits hand the thread to `scheduler` (null: they block). Before the first wait.
    void UseScheduler(IRunScheduler* scheduler) { m_event.UseScheduler(scheduler); }
    // How long after an answer its repeat counts as the device repeating itself at once.
    void SetRepeatWindow(std::chrono::milliseconds window) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_repeatWindow = window;
    }

    // Records an answer of `kind`, received at `receivedAt` (with the model and the software
    // revision of an Identity Reply), pairs it with the run's message and signals the run. Once
    // the channel is closed nothing is recorded: the closing marker stays. Poll timer's thread.
    void Post(std::int32_t status, std::uint8_t kind, ReplyClock::time_point receivedAt,
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
            m_reply.receivedAt = receivedAt;
            if ((m_expectedKinds & kind) != 0 && !m_taken && !m_leftAt) {
                // The send is still under way: the answer waits for its moment.
                if (m_duringSendCount < m_duringSend.size()) {
                    m_duringSend[m_duringSendCount++] = m_reply;
                } else {
                    PutOutOfStep(m_reply);
                }
            } else {
                Pair(m_reply);
            }
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

    // The start of a run: discards an answer that no run waited for, the run's expectation, its
    // count of answers and a device's leaving.
    void Reset() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_reply.deviceGone = false;
            m_expectedKinds = 0;
            m_leftAt.reset();
            m_duringSendCount = 0;
            m_taken.reset();
            m_lastTaken.reset();
            m_counting = false;
            m_countedTaken = 0;
            m_repeater = false;
            m_outOfStep.reset();
            m_repeatsAtOnce = 0;
        }
        m_event.Reset();
    }

    // The run is about to send a message that answers of `kinds` answer. Forgets an answer kept
    // for the message before. Call before the send begins.
    void Expect(std::uint8_t kinds) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_expectedKinds = kinds;
        m_leftAt.reset();
        m_duringSendCount = 0;
        m_taken.reset();
    }

    // The run's message has gone: from `leftAt` on the device can have had it whole. Pairs the
    // answers that came during the send. Call once after each Expect, also when the send failed
    // (with the moment it failed), so that the wait takes what comes after it.
    void Sent(ReplyClock::time_point leftAt) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_leftAt = leftAt;
            for (std::size_t i = 0; i < m_duringSendCount; ++i) Pair(m_duringSend[i]);
            m_duringSendCount = 0;
        }
        m_event.Set();
    }

    // The run's wait for the answer it expects, at most `timeoutMs` in all (INFINITE_WAIT: no
    // limit): other answers wake it and it waits on for the time left. The closing comes first,
    // then a channel out of step, then an answer, then the device's leaving: a device that
    // answered and then left has answered.
    AwaitedReply Await(std::uint32_t timeoutMs) {
        const bool bounded = timeoutMs != INFINITE_WAIT;
        const auto deadline = ReplyClock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_closed) return {AwaitedReply::End::Closing, m_reply};
                if (m_outOfStep) return {AwaitedReply::End::OutOfStep, m_reply};
                if (m_taken) {
                    // Taken once: the count goes on with the message after it.
                    AwaitedReply answer{AwaitedReply::End::Answer, *m_taken};
                    m_expectedKinds = 0;
                    m_taken.reset();
                    return answer;
                }
                if (m_reply.deviceGone) return {AwaitedReply::End::DeviceGone, m_reply};
            }
            std::uint32_t left = INFINITE_WAIT;
            if (bounded) {
                const auto now = ReplyClock::now();
                if (now >= deadline) return {AwaitedReply::End::TimedOut, Current()};
                // Rounded up, so that the wait never ends before its deadline.
                left = static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            }
            m_event.Wait(left);
        }
    }

    // After the run's last answer: waits until `until`, while no message awaits an answer, and
    // says how the wait ended: TimedOut when nothing came but repeats at once (the count holds),
    // OutOfStep when an answer too many came, Closing when the window closes. The device's
    // leaving does not end it: a device that answered and then restarts has answered.
    AwaitedReply::End AwaitLeftovers(ReplyClock::time_point until) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_closed) return AwaitedReply::End::Closing;
                if (m_outOfStep) return AwaitedReply::End::OutOfStep;
            }
            const auto now = ReplyClock::now();
            if (now >= until) return AwaitedReply::End::TimedOut;
            m_event.Wait(static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
        }
    }

    // The answer too many that put the channel out of step; none while it is in step.
    std::optional<OutOfStepAnswer> OutOfStep() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_outOfStep;
    }
    // Answers judged to be a repeat at once of the answer before them, since Reset.
    std::uint32_t RepeatsAtOnce() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_repeatsAtOnce;
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
    // Takes `r` for the run's message, or counts it as an answer that no message took. With
    // m_lock held; answers come here in the order in which they were received.
    void Pair(const Reply& r) {
        if ((m_expectedKinds & r.kind) != 0 && !m_taken && m_leftAt && r.receivedAt >= *m_leftAt) {
            m_taken = r;
            m_lastTaken = r;
            m_counting = true;
            if ((r.kind & COUNTED_ANSWERS) != 0) m_countedTaken++;
            return;
        }
        if (!m_counting || (r.kind & COUNTED_ANSWERS) == 0) return;
        const bool repeatsLastAtOnce = m_lastTaken && r.kind == m_lastTaken->kind &&
                                       r.status == m_lastTaken->status &&
                                       r.receivedAt >= m_lastTaken->receivedAt &&
                                       r.receivedAt - m_lastTaken->receivedAt <= m_repeatWindow;
        // The first counted answer taken is ERASE's: a repeat of it at once shows the device as
        // one that repeats its answers.
        if (repeatsLastAtOnce && m_countedTaken == 1) m_repeater = true;
        if (repeatsLastAtOnce && m_repeater) {
            m_repeatsAtOnce++;
            return;
        }
        PutOutOfStep(r);
    }

    void PutOutOfStep(const Reply& r) {
        if (!m_outOfStep) m_outOfStep = OutOfStepAnswer{r.kind, r.status, r.receivedAt};
    }

    mutable std::mutex m_lock;
    Reply m_reply;          // guarded by m_lock
    bool m_closed = false;  // guarded by m_lock; set once, by Close
    // The pairing of answers with the run's messages (Expect, Sent, Reset: the run's and the
    // window's threads; Post: the timer's thread); all guarded by m_lock.
    std::uint8_t m_expectedKinds = 0;  // 0: no message awaits an answer
    std::optional<ReplyClock::time_point> m_leftAt;  // none while the send is under way
    std::array<Reply, MAX_ANSWERS_DURING_SEND> m_duringSend{};
    std::size_t m_duringSendCount = 0;
    std::optional<Reply> m_taken;      // the answer taken for the current message, until Await
    std::optional<Reply> m_lastTaken;  // the answer taken last in this run
    bool m_counting = false;           // from the run's first answer on
    std::uint32_t m_countedTaken = 0;  // answers of COUNTED_ANSWERS kinds taken in this run
    bool m_repeater = false;           // the device repeated its answer to ERASE at once
    std::optional<OutOfStepAnswer> m_outOfStep;
    std::uint32_t m_repeatsAtOnce = 0;
    std::chrono::milliseconds m_repeatWindow{REPEAT_WINDOW_MS};
    ReplyEvent m_event;
};
