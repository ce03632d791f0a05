// Carries requests of other threads (the update worker, the timer thread) to the window's own
// thread and back.
//
// Run() returns only when the request has been carried out on the UI thread, or when it is certain
// that it never will be. Requests run in the order in which they were made. On the UI thread itself
// a request runs at once, inline (a blocking queued call from the receiver's own thread would wait
// for itself forever). Once Close() has run, every request fails at once, and a request that is
// still waiting is completed as "not run"; the caller learns for certain whether its request ran,
// which a blocking queued call whose receiver goes away does not tell.
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

#include <QObject>

class QThread;

class UiRequestPath : public std::enable_shared_from_this<UiRequestPath> {
public:
    enum class Outcome { Ran, NotRun };

    // Opens a path to the thread of `context` (which must be that thread's object and outlive the
    // path's open state): requests are delivered through a receiver object that becomes a child of
    // `context`, and whose destruction closes the path. Call on the UI thread.
    static std::shared_ptr<UiRequestPath> Open(QObject* context);

    UiRequestPath(const UiRequestPath&) = delete;
    UiRequestPath& operator=(const UiRequestPath&) = delete;
    ~UiRequestPath();

    // Any thread. Runs `request` on the UI thread and returns when it has run (Ran) or when the path
    // is or becomes closed before it started (NotRun; `request` is then never called). `request`
    // may capture the caller's locals by reference.
    Outcome Run(const std::function<void()>& request);

    // UI thread. From now on requests fail at once; waiting ones are completed as NotRun. A request
    // that is running at this moment (inside a nested event loop further down the stack) finishes
    // normally.
    void Close();

    bool IsOpen() const;
    // Requests made and not yet started.
    std::size_t WaitingCount() const;
    // True on the thread that serves the requests.
    bool IsUiThread() const;

private:
    class Receiver;
    struct Request {
        const std::function<void()>* work;
        enum class State { Waiting, Running, Ran, NotRun } state = State::Waiting;
    };

    UiRequestPath() = default;
    // UI thread: runs the oldest waiting request, if any.
    void ServeNext();

    mutable std::mutex m_lock;
    std::condition_variable m_finished;
    QThread* m_uiThread = nullptr;   // set once by Open
    Receiver* m_receiver = nullptr;  // guarded by m_lock; null once closed
    bool m_open = false;             // guarded by m_lock
    std::deque<std::shared_ptr<Request>> m_waiting;  // guarded by m_lock; oldest first
};
