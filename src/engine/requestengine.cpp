#include "requestengine.h"

#include <QPlainTextEdit>
#include <QTextCursor>

#include "core/windowmessage.h"
#include "dialogs/popups.h"
#include "protocol/commands.h"

namespace talvane {

namespace {

bool inRange(int id, int first, int last) { return id >= first && id <= last; }

// Appends "XX " for each byte to `out`.
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

RequestEngine::RequestEngine(QObject* mainWindow, Popups& popups, Clock* clock)
    : mainWindow_(mainWindow)
    , popups_(popups)
    , timers_([this](int id) { onTimer(id); }, clock)
    , assembler_([this](const CommandFrame& f) { dispatch(f); })
{
}

RequestEngine::~RequestEngine() = default;

bool RequestEngine::acquire()
{
    if (!linkOpen()) {
        popups_.showMessage(linkMode_ == LinkMode::Com ? text::OpenComFailed : text::ConnectFailed);
        return false;
    }
    if (ready_ != 1)
        return false;
    ready_ = 0;
    return true;
}

void RequestEngine::send(std::uint8_t* bytes, std::size_t length)
{
    computeChecksum(bytes, length);
    // A refused write shows as a missing reply: the timers report it.
    if (Link* l = link(linkMode_))
        l->writeFrame(bytes, length);
    echoSent(bytes, length);
}

void RequestEngine::loadCommand(const CommandFrame& command)
{
    command_.clearBody();
    command_.loadBody(command);
}

void RequestEngine::sendCommand(const CommandFrame& command)
{
    loadCommand(command);
    resendCommandBuffer();
}

void RequestEngine::resendCommandBuffer() { send(command_.data(), command_.size()); }

void RequestEngine::postSend(int actionCode) { postMessage(mainWindow_, msg::Send, quintptr(actionCode), 0); }

qintptr RequestEngine::onSendMessage(int actionCode)
{
    switch (actionCode) {
    case action::SendEdidPage:
    case action::SendMatrix:
    case action::SendUpgrade:
        resendCommandBuffer();
        break;
    case action::SendRawEdid:
        send(edid_.data(), kRawEdidBlockSize);
        break;
    case action::SendDataFrame:
        send(data_.data(), data_.size());
        break;
    case action::StopPageEntryTimer:
        timers_.stop(mtimer::PageEntry);
        break;
    default:
        break;
    }
    return 1;
}

void RequestEngine::onByteReceived(std::uint8_t byte) { assembler_.feed(byte, timers_.clock().nowMs()); }

void RequestEngine::onBytesReceived(const std::uint8_t* bytes, std::size_t count)
{
    assembler_.receive(bytes, count, timers_.clock().nowMs());
}

void RequestEngine::dispatch(const CommandFrame& frame)
{
    echoReceived(frame);
    const Page page = page_;
    if (!frame.checksumValid())
        return;
    auto it = handlers_.find(page);
    if (it != handlers_.end() && it->second)
        it->second->handleReply(frame);
}

void RequestEngine::setReplyHandler(Page page, ReplyHandler* handler) { handlers_[page] = handler; }

void RequestEngine::setLogs(QPlainTextEdit* receiveLog, QPlainTextEdit* sendLog)
{
    receiveLog_ = receiveLog;
    sendLog_ = sendLog;
}

void RequestEngine::clearLogs()
{
    if (receiveLog_)
        receiveLog_->clear();
    if (sendLog_)
        sendLog_->clear();
}

void RequestEngine::appendLog(QPlainTextEdit* log, const QString& text, int& frameCounter)
{
    if (log) {
        // One insertion per frame, however long the frame.
        QTextCursor cursor(log->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text);
    }
    if (++frameCounter >= kLogEmptyEvery) {
        if (log)
            log->clear();
        frameCounter = 0;
    }
}

void RequestEngine::echoSent(const std::uint8_t* bytes, std::size_t length)
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
    appendLog(sendLog_, text, sentFrames_);
}

void RequestEngine::echoDatagram(const std::uint8_t* bytes, std::size_t count)
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
    QTextCursor cursor(receiveLog_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
}

void RequestEngine::echoReceived(const CommandFrame& frame)
{
    QString text;
    text.reserve(int(kCommandFrameSize * 3 + 1));
    for (std::uint8_t b : frame.bytes)
        appendHexByte(text, b);
    text += kLineBreak;
    appendLog(receiveLog_, text, receivedFrames_);
}

int RequestEngine::pairStart(int id) const
{
    if (inRange(id, mtimer::StatusInputFirst, mtimer::StatusInputLast)
        || inRange(id, mtimer::StatusOutputFirst, mtimer::StatusOutputLast)
        || inRange(id, mtimer::ExtResetFirst, mtimer::ExtResetLast))
        return id & ~1;
    for (int first : {mtimer::FactoryReset, mtimer::Reboot, mtimer::PowerOn})
        if (id == first || id == first + 1)
            return first;
    return 0;
}

void RequestEngine::reportTimeout(bool closeBusy)
{
    if (closeBusy)
        popups_.closeBusy();
    popups_.showMessage(text::TimeOut);
    ready_ = 1;
}

void RequestEngine::showResult(const QString& text)
{
    popups_.setBusyText(text);
    popups_.busyResult();
}

void RequestEngine::onTimer(int id)
{
    // The command pairs: the even timer resends once, the odd one times out.
    if (const int first = pairStart(id)) {
        timers_.stop(id);
        if (id == first) {
            resendCommandBuffer();
            timers_.arm(id + 1, id == mtimer::PowerOn ? mtime::PowerOnRetry : mtime::Retry);
        } else {
            reportTimeout();
        }
        return;
    }

    switch (id) {
    case mtimer::PortListRefresh:
        if (portListRefresh_)
            portListRefresh_();
        break;
    case mtimer::PageEntry:
        timers_.stop(id);
        reportTimeout(false);
        break;
    case mtimer::SearchSuccess:
        timers_.stop(id);
        timers_.stop(mtimer::ConfigWatchdog);
        popups_.setBusyText(text::ConfigureSuccessfully);
        if (popups_.busyShown())
            popups_.busyResult();
        timers_.arm(mtimer::SearchClose, mtime::SearchClose);
        break;
    case mtimer::SearchClose:
        timers_.stop(id);
        popups_.closeBusy();
        break;
    case mtimer::ExtResetClose:
    case mtimer::FactoryResetClose:
    case mtimer::RebootClose:
        timers_.stop(id);
        popups_.closeBusy();
        ready_ = 1;
        break;
    case mtimer::ExtResetResult:
        timers_.stop(id);
        ready_ = 1;
        showResult(text::SetSuccessfully);
        timers_.arm(mtimer::ExtResetClose, mtime::ExtResetClose);
        break;
    case mtimer::ConfigWatchdog:
        timers_.stop(id);
        reportTimeout();
        break;
    case mtimer::FactoryResetResult:
        timers_.stop(id);
        showResult(text::SetSuccessfully);
        ready_ = 1;
        timers_.arm(mtimer::FactoryResetClose, mtime::FactoryResetClose);
        break;
    case mtimer::RebootResult:
        timers_.stop(id);
        showResult(text::RebootSuccessfully);
        timers_.arm(mtimer::RebootClose, mtime::RebootClose);
        break;
    case mtimer::PowerOnResult:
        timers_.stop(id);
        showResult(text::InitializingSuccessfully);
        timers_.arm(mtimer::PowerOnClose, mtime::PowerOnClose);
        break;
    case mtimer::PowerOnClose:
        timers_.stop(id);
        popups_.closeBusy();
        sendCommand(build::beepStateQuery());
        ready_ = 1;
        break;
    default:
        break;
    }
}

}  // namespace talvane
