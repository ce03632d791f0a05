#include "UiRequestQueue.h"

UiRequestQueue::UiRequestQueue(std::function<bool()> isUiThread, std::function<void()> wake)
    : m_isUiThread(std::move(isUiThread)), m_wake(std::move(wake)) {}

bool UiRequestQueue::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open;
}

std::size_t UiRequestQueue::WaitingCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_waiting.size();
}

UiRequestQueue::Outcome UiRequestQueue::Run(const std::function<void()>& request) {
    if (IsUiThread()) {
        if (!IsOpen()) return Outcome::NotRun;
        request();
        return Outcome::Ran;
    }

    auto record = std::make_shared<Request>();
    record->work = &request;
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_open) return Outcome::NotRun;
    m_waiting.push_back(record);
    // Woken with the lock held: Close() clears m_open under the same lock before whatever the wake
    // reaches can go away.
    m_wake();
    m_finished.wait(lock, [&] {
        return record->state == Request::State::Ran || record->state == Request::State::NotRun;
    });
    return record->state == Request::State::Ran ? Outcome::Ran : Outcome::NotRun;
}

void UiRequestQueue::ServeNext() {
    std::shared_ptr<Request> record;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_open || m_waiting.empty()) return;
        record = m_waiting.front();
        m_waiting.pop_front();
        record->state = Request::State::Running;
    }
    (*record->work)();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        record->state = Request::State::Ran;
    }
    m_finished.notify_all();
}

void UiRequestQueue::Close() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_open) return;
        m_open = false;
        for (const auto& record : m_waiting) record->state = Request::State::NotRun;
        m_waiting.clear();
    }
    m_finished.notify_all();
}
