// The web edition's one thread: its event loop takes the page's messages, runs the poll timer's
// ticks and the update run's worker (IRunScheduler), all on that thread.
//
// The program enters Run once and never leaves it. A worker that StartWorker was given runs from
// Run itself, never from inside the call that started it. Every wait of the worker (the reply
// waits, the pause after a block, a modal error box) goes through LetEventsRun, which hands the thread
// back to the loop: the page's messages are dispatched and due ticks run from inside LetEventsRun, until
// something was delivered or the time is up. Nothing runs the program from outside: between two
// of its own steps the loop only waits (IPageLink::Wait), so a wait may suspend the whole program
// and resume it where it stopped.
#pragma once

#include <chrono>
#include <deque>
#include <functional>

#include "PageLink.h"
#include "RunScheduler.h"
#include "platform/webmidi/LoopTimerService.h"

class EventLoop final : public IRunScheduler {
public:
    // Called with each message from the page, in order.
    using Dispatch = std::function<void(const PageEvent& event)>;
    // Called after every pass that dispatched something, outside any handler.
    using AfterPass = std::function<void()>;

    // The longest an idle loop waits without looking again.
    static constexpr std::chrono::milliseconds IDLE_WAIT{1000};

    EventLoop(IPageLink& page, platform::LoopTimerService& timers, Dispatch dispatch, AfterPass afterPass = {});

    bool StartWorker(std::function<void()> body) override;
    // Dispatches the page's messages and runs the due ticks; if nothing came, waits at most
    // `atMost` (no longer than the next tick is due) and does it once more.
    void LetEventsRun(std::chrono::milliseconds atMost) override;

    // One pass: every message from the page that waits, then the due ticks. True when anything ran.
    bool Pump();
    // The loop: workers in the order they were started, passes, and waits until the next tick or
    // message. Returns only when `until` says so (checked between steps); the program passes none.
    void Run(const std::function<bool()>& until = {});
    // A nested loop that serves the page and the ticks until `done` holds (a modal box). `done` is
    // checked after every step.
    void RunUntil(const std::function<bool()>& done);

    // Workers started and not yet run.
    std::size_t PendingWorkers() const { return m_pending.size(); }
    // True while a worker runs (its waits included).
    bool InWorker() const { return m_workerDepth > 0; }

private:
    // How long a wait of at most `atMost` may last before the next tick is due.
    std::chrono::milliseconds WaitLimit(std::chrono::milliseconds atMost);

    IPageLink& m_page;
    platform::LoopTimerService& m_timers;
    const Dispatch m_dispatch;
    const AfterPass m_afterPass;
    std::deque<std::function<void()>> m_pending;
    int m_workerDepth = 0;
};
