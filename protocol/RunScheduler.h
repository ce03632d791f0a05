// Where an update run's worker runs and how the engine's waits wait.
//
// The desktop programs have no scheduler (null): every run's worker is a thread of its own, and its
// waits block that thread while the MIDI system's threads and the poll timer's thread go on. A
// platform that has one thread only (the web edition's WebAssembly, whose event loop delivers the
// MIDI input and runs the poll timer) runs the worker on that thread instead, and each wait of the
// worker hands the thread back to the event loop until its time is up or something has come.
#pragma once

#include <chrono>
#include <functional>

class IRunScheduler {
public:
    virtual ~IRunScheduler() = default;
    // Has `body` run as an update run's worker, on the scheduler's thread, soon after this call
    // returns and never from inside it. False when it can't (nothing will run then).
    virtual bool StartWorker(std::function<void()> body) = 0;
    // Called by the worker while it waits: lets the event loop deliver MIDI input, run timer ticks
    // and serve the window for at most `atMost`; returns sooner once something was delivered.
    virtual void LetEventsRun(std::chrono::milliseconds atMost) = 0;
};
