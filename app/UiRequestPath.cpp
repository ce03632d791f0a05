#include "UiRequestPath.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace {

const QEvent::Type SERVE_REQUEST_EVENT = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

// Lives on the UI thread as a child of the path's context; one posted event per request.
class UiRequestPath::Receiver : public QObject {
public:
    Receiver(std::weak_ptr<UiRequestPath> path, QObject* parent)
        : QObject(parent), m_path(std::move(path)) {}

    ~Receiver() override {
        if (auto path = m_path.lock()) path->Close();
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() == SERVE_REQUEST_EVENT) {
            if (auto path = m_path.lock()) path->ServeNext();
            return true;
        }
        return QObject::event(e);
    }

private:
    std::weak_ptr<UiRequestPath> m_path;
};

std::shared_ptr<UiRequestPath> UiRequestPath::Open(QObject* context) {
    std::shared_ptr<UiRequestPath> path(new UiRequestPath());
    path->m_uiThread = context->thread();
    auto* receiver = new Receiver(path, context);
    std::lock_guard<std::mutex> lock(path->m_lock);
    path->m_receiver = receiver;
    path->m_open = true;
    return path;
}

UiRequestPath::~UiRequestPath() = default;

bool UiRequestPath::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open;
}

std::size_t UiRequestPath::WaitingCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_waiting.size();
}

bool UiRequestPath::IsUiThread() const {
    return QThread::currentThread() == m_uiThread;
}

UiRequestPath::Outcome UiRequestPath::Run(const std::function<void()>& request) {
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
    // Posted with the lock held: Close() clears m_receiver under the same lock before the receiver
    // can be destroyed, so the receiver is alive here. postEvent takes only Qt's own queue lock.
    QCoreApplication::postEvent(m_receiver, new QEvent(SERVE_REQUEST_EVENT));
    m_finished.wait(lock, [&] {
        return record->state == Request::State::Ran || record->state == Request::State::NotRun;
    });
    return record->state == Request::State::Ran ? Outcome::Ran : Outcome::NotRun;
}

void UiRequestPath::ServeNext() {
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

void UiRequestPath::Close() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_open) return;
        m_open = false;
        m_receiver = nullptr;
        for (const auto& record : m_waiting) record->state = Request::State::NotRun;
        m_waiting.clear();
    }
    m_finished.notify_all();
}
