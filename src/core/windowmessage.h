// Numbered window messages between the links and the main window. A posted
// message is queued and handled after the current handler returns; a sent one
// is handled before the sender goes on.
#pragma once

#include <QByteArray>
#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace talvane {

namespace msg {
constexpr int WmUser = 0x400;
constexpr int LineBreak = WmUser + 1;      // 0x401 serial break
constexpr int LineCts = WmUser + 2;        // 0x402 clear-to-send changed
constexpr int LineError = WmUser + 4;      // 0x404 line-status error
constexpr int LineRing = WmUser + 5;       // 0x405 ring
constexpr int ByteReceived = WmUser + 7;   // 0x407 one received byte in wParam, port number in lParam
constexpr int LineEventChar = WmUser + 8;  // 0x408 event character
constexpr int LinkLost = WmUser + 11;      // 0x40B the serial line died, wParam 1
constexpr int Send = WmUser + 12;          // 0x40C send request, action code in wParam
constexpr int SearchReply = WmUser + 13;   // 0x40D discovery socket
constexpr int TcpSocket = WmUser + 14;     // 0x40E control connection
constexpr int ConfigReply = WmUser + 15;   // 0x40F configuration socket
// 0x410 the bytes of one read of the serial line, in the event's payload, port
// number in lParam. The window never sees it: dispatchWindowMessage() hands it
// over as one ByteReceived per byte, in order.
constexpr int BytesReceived = WmUser + 16;
}  // namespace msg

// Network events of the socket messages 0x40D..0x40F: the low word of lParam
// is the event, the high word an error code (0: none). wParam names the
// socket, so a notification of a socket closed meanwhile can be told apart.
namespace netevent {
constexpr int Read = 1;
constexpr int Connect = 16;
constexpr int Close = 32;
constexpr qintptr lParam(int event, int error = 0) { return qintptr(event & 0xFFFF) | qintptr(error & 0xFFFF) << 16; }
constexpr int eventOf(qintptr lParam) { return int(lParam & 0xFFFF); }
constexpr int errorOf(qintptr lParam) { return int((lParam >> 16) & 0xFFFF); }
}  // namespace netevent

// Completion of a message sent synchronously from another thread. The sender
// waits until the receiver has handled it, or until the send is cancelled
// (the port is shutting down), so the user-interface thread never has to wait
// for a sender that is itself waiting for it.
class MessageSync {
public:
    void complete();
    void cancel();
    bool cancelled() const;
    // Returns true when handled, false when cancelled.
    bool wait();

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    bool cancelled_ = false;
};

class WindowMessageEvent : public QEvent {
public:
    WindowMessageEvent(int message, quintptr wParam, qintptr lParam,
                       std::shared_ptr<MessageSync> sync = {}, QByteArray payload = {});
    // A message that carries data (a datagram, the bytes of one TCP read).
    static WindowMessageEvent* withData(int message, quintptr wParam, qintptr lParam, QByteArray data);
    ~WindowMessageEvent() override;  // completes a pending synchronous send
    static QEvent::Type eventType();

    const int message;
    const quintptr wParam;
    const qintptr lParam;
    std::shared_ptr<MessageSync> sync;
    const QByteArray payload;  // BytesReceived: the bytes; a data message: its data
    bool hasData = false;
};

class MessageWindow {
public:
    virtual ~MessageWindow() = default;
    virtual qintptr onMessage(int message, quintptr wParam, qintptr lParam) = 0;
    // A message with data; a window that takes none handles it as a plain one.
    virtual qintptr onDataMessage(int message, quintptr wParam, qintptr lParam, const QByteArray& data)
    {
        Q_UNUSED(data);
        return onMessage(message, wParam, lParam);
    }
};

void postMessage(QObject* target, int message, quintptr wParam = 0, qintptr lParam = 0);
void postDataMessage(QObject* target, int message, quintptr wParam, qintptr lParam, QByteArray data);
// Call from QObject::event(): handles a window message for `window`; returns
// false for any other event. A cancelled cross-thread send is dropped unhandled;
// a BytesReceived whose send is cancelled part-way (a handler of one of its
// bytes ran a nested event loop that stopped the port) delivers no further byte.
bool dispatchWindowMessage(QEvent* event, MessageWindow& window);

}  // namespace talvane
