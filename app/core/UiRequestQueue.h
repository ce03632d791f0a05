// The toolkit-free core of the path on which other threads (the update worker, the timer thread)
// have requests carried out on the window's own thread: the queue, the hand-back of each request's
// outcome and the closing. Each window supplies how its UI thread is recognised and how that
// thread is woken to serve the queue (a posted Qt event, a posted window message).
//
// Run() returns only when the request has been carried out on the UI thread, or when it is certain
// that it never will be. Requests run in the order in which they were made. On the UI thread itself
// a request runs at once, inline (waiting for itself would never end). Once Close() has run, every
// request fails at once, and a request that is still waiting is completed as "not run"; the caller
// learns for certain whether its request ran.
//
// The UI thread never waits for the requesting threads here: it only takes the short internal lock.
// A request that runs a nested event loop (a modal message box) holds its caller until the loop
// ends, while further requests of other threads are served inside that loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class UiRequestQueue {
public:
    enum class Outcome { Ran, NotRun };

    // `isUiThread`: true on the thread that serves the requests (any thread may call it).
    // `wake`: asks the UI thread to call ServeNext() once, without waiting; called by requesting
    // threads with the queue's lock held, never after Close(). It must not call back into the queue.
    UiRequestQueue(std::function<bool()> isUiThread, std::function<void()> wake);
    UiRequestQueue(const UiRequestQueue&) = delete;
    UiRequestQueue& operator=(const UiRequestQueue&) = delete;

    // Any thread. Runs `request` on the UI thread and returns when it has run (Ran) or when the
    // queue is or becomes closed before it started (NotRun; `request` is then never called).
    // `request` may capture the caller's locals by reference.
    Outcome Run(const std::function<void()>& request);

    // UI thread: runs the oldest waiting request, if any (one per wake).
    void ServeNext();

    // UI thread. From now on requests fail at once; waiting ones are completed as NotRun. A request
    // that is running at this moment (inside a nested event loop further down the stack) finishes
    // normally.
    void Close();

    bool IsOpen() const;
    // Requests made and not yet started.
    std::size_t WaitingCount() const;
    bool IsUiThread() const { return m_isUiThread(); }

private:
    struct Request {
        const std::function<void()>* work;
        enum class State { Waiting, Running, Ran, NotRun } state = State::Waiting;
    };

    const std::function<bool()> m_isUiThread;
    const std::function<void()> m_wake;
    mutable std::mutex m_lock;
    std::condition_variable m_finished;
    bool m_open = true;                              // guarded by m_lock
    std::deque<std::shared_ptr<Request>> m_waiting;  // guarded by m_lock; oldest first
};
