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

void appendAtEnd(QPlainTextEdit* log, const QString& text)
{
    // One insertion per frame, however long the frame.
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
}

}  // namespace

void LogView::setLogs(QPlainTextEdit* receiveLog, QPlainTextEdit* sendLog)
{
    receiveLog_ = receiveLog;
    sendLog_ = sendLog;
}

void LogView::clear()
{
    if (receiveLog_)
        receiveLog_->clear();
    if (sendLog_)
        sendLog_->clear();
}

void LogView::append(QPlainTextEdit* log, const QString& text, int& frameCounter)
{
    if (log)
        appendAtEnd(log, text);
    if (++frameCounter >= kLogEmptyEvery) {
        if (log)
            log->clear();
        frameCounter = 0;
    }
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
    append(sendLog_, text, sentFrames_);
}

void LogView::frameReceived(const CommandFrame& frame)
{
    QString text;
    text.reserve(int(kCommandFrameSize * 3 + 1));
    for (std::uint8_t b : frame.bytes)
        appendHexByte(text, b);
    text += kLineBreak;
    append(receiveLog_, text, receivedFrames_);
}

void LogView::datagramReceived(const std::uint8_t* bytes, std::size_t count)
{
    if (!receiveLog_ || count == 0)
        return;
    QString text;
    text.reserve(int(count * 3 + count / kLogLineBytes + 1));
    for (std::size_t i = 0; i < count; ++i) {
        appendHexByte(text, bytes[i]);
        if ((i + 1) % kLogLineBytes == 0)
            text += kLineBreak;
    }
    appendAtEnd(receiveLog_, text);
}

}  // namespace talvane
