// Helpers of the window tests: waits that keep the UI thread's event loop running, and a way to
// deal with the modal boxes that a test opens.
#pragma once

#include <chrono>
#include <functional>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include "TestSupport.h"

namespace apptest {

// Processes UI events until `condition` holds or `timeout` has passed; returns whether it held.
inline bool PumpUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Processes UI events for `duration`.
inline void PumpFor(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Calls `handle` with the modal widget as soon as one is shown (checked every 10 ms); after
// `timeout` without one it gives up. Arm it before the call that opens the box.
inline void OnNextModal(std::function<void(QWidget*)> handle,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    auto* timer = new QTimer();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    QObject::connect(timer, &QTimer::timeout, [timer, handle, deadline] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            handle(modal);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

}  // namespace apptest
