#include "windowmessage.h"

#include <QCoreApplication>

#include <cstdint>

namespace talvane {

void MessageSync::complete()
{
    {
        std::lock_guard<std::mutex> lock(m_);
        done_ = true;
    }
    cv_.notify_all();
}

void MessageSync::cancel()
{
    {
        std::lock_guard<std::mutex> lock(m_);
        cancelled_ = true;
    }
    cv_.notify_all();
}

bool MessageSync::cancelled() const
{
    std::lock_guard<std::mutex> lock(m_);
    return cancelled_;
}

bool MessageSync::wait()
{
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return done_ || cancelled_; });
    return done_ && !cancelled_;
}

WindowMessageEvent::WindowMessageEvent(int message_, quintptr wParam_, qintptr lParam_,
                                       std::shared_ptr<MessageSync> sync_, QByteArray payload_)
    : QEvent(eventType())
    , message(message_)
    , wParam(wParam_)
    , lParam(lParam_)
    , sync(std::move(sync_))
    , payload(std::move(payload_))
{
}

WindowMessageEvent::~WindowMessageEvent()
{
    if (sync)
        sync->complete();
}

WindowMessageEvent* WindowMessageEvent::withData(int message, quintptr wParam, qintptr lParam, QByteArray data)
{
    auto* e = new WindowMessageEvent(message, wParam, lParam, {}, std::move(data));
    e->hasData = true;
    return e;
}

QEvent::Type WindowMessageEvent::eventType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void postMessage(QObject* target, int message, quintptr wParam, qintptr lParam)
{
    QCoreApplication::postEvent(target, new WindowMessageEvent(message, wParam, lParam));
}

void postDataMessage(QObject* target, int message, quintptr wParam, qintptr lParam, QByteArray data)
{
    QCoreApplication::postEvent(target, WindowMessageEvent::withData(message, wParam, lParam, std::move(data)));
}

bool dispatchWindowMessage(QEvent* event, MessageWindow& window)
{
    if (event->type() != WindowMessageEvent::eventType())
        return false;
    auto* m = static_cast<WindowMessageEvent*>(event);
    if (m->sync && m->sync->cancelled())
        return true;
    if (m->message == msg::BytesReceived) {
        for (const char byte : m->payload) {
            if (m->sync && m->sync->cancelled())
                break;
            window.onMessage(msg::ByteReceived, static_cast<std::uint8_t>(byte), m->lParam);
        }
    } else if (m->hasData) {
        window.onDataMessage(m->message, m->wParam, m->lParam, m->payload);
    } else {
        window.onMessage(m->message, m->wParam, m->lParam);
    }
    if (m->sync) {
        m->sync->complete();
        m->sync.reset();
    }
    return true;
}

}  // namespace talvane
