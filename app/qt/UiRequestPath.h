// Carries requests of other threads (the update worker, the timer thread) to the Qt window's own
// thread and back: UiRequestQueue (the toolkit-free queue, shared with the native Windows dialog)
// woken by a posted Qt event. See UiRequestQueue.h for the guarantees: requests run on the UI
// thread in order, inline on the UI thread itself, and fail at once once the path is closed.
#pragma once

#include <functional>
#include <memory>

#include <QObject>

#include "UiRequestQueue.h"

class QThread;

class UiRequestPath : public std::enable_shared_from_this<UiRequestPath> {
public:
    using Outcome = UiRequestQueue::Outcome;

    // Opens a path to the thread of `context` (which must be that thread's object and outlive the
    // path's open state): requests are delivered through a receiver object that becomes a child of
    // `context`, and whose destruction closes the path. Call on the UI thread.
    static std::shared_ptr<UiRequestPath> Open(QObject* context);

    UiRequestPath(const UiRequestPath&) = delete;
    UiRequestPath& operator=(const UiRequestPath&) = delete;
    ~UiRequestPath();

    // Any thread. Runs `request` on the UI thread and returns when it has run (Ran) or when the path
    // is or becomes closed before it started (NotRun; `request` is then never called).
    Outcome Run(const std::function<void()>& request) { return m_queue->Run(request); }

    // UI thread. From now on requests fail at once; waiting ones are completed as NotRun.
    void Close() { m_queue->Close(); }

    bool IsOpen() const { return m_queue->IsOpen(); }
    // Requests made and not yet started.
    std::size_t WaitingCount() const { return m_queue->WaitingCount(); }
    // True on the thread that serves the requests.
    bool IsUiThread() const { return m_queue->IsUiThread(); }
    // The queue itself, for a window that drives it on its own; the pointer keeps the path alive.
    std::shared_ptr<UiRequestQueue> Queue() { return {shared_from_this(), m_queue.get()}; }

private:
    class Receiver;

    UiRequestPath() = default;

    std::unique_ptr<UiRequestQueue> m_queue;  // set once by Open
};
