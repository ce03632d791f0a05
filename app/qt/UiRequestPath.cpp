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
            if (auto path = m_path.lock()) path->m_queue->ServeNext();
            return true;
        }
        return QObject::event(e);
    }

private:
    std::weak_ptr<UiRequestPath> m_path;
};

std::shared_ptr<UiRequestPath> UiRequestPath::Open(QObject* context) {
    std::shared_ptr<UiRequestPath> path(new UiRequestPath());
    QThread* const uiThread = context->thread();
    auto* receiver = new Receiver(path, context);
    // The queue wakes the receiver only while it is open, and the receiver closes it before it
    // goes: the pointer is valid whenever the wake runs. postEvent takes only Qt's own queue lock.
    path->m_queue = std::make_unique<UiRequestQueue>(
        [uiThread] { return QThread::currentThread() == uiThread; },
        [receiver] { QCoreApplication::postEvent(receiver, new QEvent(SERVE_REQUEST_EVENT)); });
    return path;
}

UiRequestPath::~UiRequestPath() = default;
