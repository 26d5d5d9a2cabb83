#include "logview.h"

#include <QPlainTextEdit>
#include <QTextCursor>

namespace talvane {

namespace {

// Appends "XX " for a byte to `out`.
void appendHexByte(QString& out, std::uint8_t b)
{
    static const char digits[] = "0123456789ABCDEF";
    out += QLatin1Char(digits[b >> 4]);
    out += QLatin1Char(digits[b & 0xF]);
    out += QLatin1Char(' ');
}

// A log line break; the logs are plain-text widgets, so "\r\n" is one newline.
const QLatin1Char kLineBreak('\n');

}  // namespace

void LogView::setLogs(QPlainTextEdit* receiveLog, QPlainTextEdit* sendLog)
{
    receive_ = Pending();
    receive_.log = receiveLog;
    send_ = Pending();
    send_.log = sendLog;
}

void LogView::clear()
{
    for (Pending* p : {&receive_, &send_}) {
        p->text.clear();
        p->clearFirst = false;
        p->chars = 0;
        if (p->log)
            p->log->clear();
    }
}

void LogView::append(Pending& pending, QString text, int& frameCounter)
{
    if (++frameCounter >= kLogEmptyEvery) {
        // The 60th entry empties the log and is not shown.
        pending.text.clear();
        pending.clearFirst = true;
        pending.chars = 0;
        frameCounter = 0;
    } else {
        if (pending.chars + text.size() > kLogMaxChars) {
            // Too much text: the log starts afresh with this entry.
            pending.text.clear();
            pending.clearFirst = true;
            pending.chars = 0;
            frameCounter = 1;
            text.truncate(kLogMaxChars);
        }
        pending.text += text;
        pending.chars += int(text.size());
    }
    post(pending);
}

void LogView::post(Pending& pending)
{
    if (!pending.log || pending.posted)
        return;
    pending.posted = true;
    // Queued on the widget: it goes with it, and the LogView lives as long.
    QMetaObject::invokeMethod(pending.log, [&pending] { flush(pending); }, Qt::QueuedConnection);
}

void LogView::flush(Pending& pending)
{
    pending.posted = false;
    if (pending.clearFirst)
        pending.log->clear();
    pending.clearFirst = false;
    if (pending.text.isEmpty())
        return;
    // One insertion for all that came, however long.
    QTextCursor cursor(pending.log->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(pending.text);
    pending.text.clear();
}

void LogView::frameSent(const std::uint8_t* bytes, std::size_t length)
{
    QString text;
    text.reserve(int(length * 3 + length / kLogLineBytes + 4));
    for (std::size_t i = 0; i < length; ++i) {
        appendHexByte(text, bytes[i]);
        if (++sendLineBytes_ == kLogLineBytes) {
            text += kLineBreak;
            sendLineBytes_ = 0;
        }
    }
    if (length > kCommandFrameSize) {
        text += kLineBreak;
        text += kLineBreak;
        sendLineBytes_ = 0;
    }
    append(send_, text, sentFrames_);
}

void LogView::frameReceived(const CommandFrame& frame)
{
    QString text;
    text.reserve(int(kCommandFrameSize * 3 + 1));
    for (std::uint8_t b : frame.bytes)
        appendHexByte(text, b);
    text += kLineBreak;
    append(receive_, text, receivedFrames_);
}

void LogView::datagramReceived(const std::uint8_t* bytes, std::size_t count)
{
    if (!receive_.log || count == 0)
        return;
    QString text;
    text.reserve(int(count * 3 + count / kLogLineBytes + 1));
    for (std::size_t i = 0; i < count; ++i) {
        appendHexByte(text, bytes[i]);
        if ((i + 1) % kLogLineBytes == 0)
            text += kLineBreak;
    }
    append(receive_, std::move(text), receivedFrames_);
}

}  // namespace talvane
