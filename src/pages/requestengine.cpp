#include "requestengine.h"

#include "dialogs/popups.h"
#include "protocol/commands.h"

namespace talvane {

namespace {

bool inRange(int id, int first, int last) { return id >= first && id <= last; }

}  // namespace

RequestEngine::RequestEngine(QObject* mainWindow, Session& session, Presenter& presenter, Clock* clock)
    : mainWindow_(mainWindow)
    , session_(session)
    , presenter_(presenter)
    , popups_(presenter.popups())
    , timers_([this](int id) { onTimer(id); }, clock)
{
    QObject::connect(&session_, &Session::unsolicited, mainWindow_, [this](const CommandFrame& f) { dispatch(f); });
}

void RequestEngine::setLinkMode(LinkMode m)
{
    linkMode_ = m;
    session_.setLink(link(m));
}

void RequestEngine::setLink(LinkMode mode, Link* l)
{
    (mode == LinkMode::Com ? comLink_ : tcpLink_) = l;
    if (mode == linkMode_)
        session_.setLink(l);
}

RequestEngine::~RequestEngine() = default;

bool RequestEngine::acquire() { return presenter_.acquire(); }

void RequestEngine::send(std::uint8_t* bytes, std::size_t length)
{
    // The checksum also stays in the buffer, as the send routine writes it there.
    computeChecksum(bytes, length);
    session_.sendUnguarded(std::vector<std::uint8_t>(bytes, bytes + length));
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

void RequestEngine::postSend(int actionCode)
{
    // Handled after the poster has returned, as a posted window message is.
    QMetaObject::invokeMethod(mainWindow_, [this, actionCode] { onSendMessage(actionCode); }, Qt::QueuedConnection);
}

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

void RequestEngine::dispatch(const CommandFrame& frame)
{
    auto it = handlers_.find(page_);
    if (it != handlers_.end() && it->second)
        it->second->handleReply(frame);
}

void RequestEngine::setReplyHandler(Page page, ReplyHandler* handler) { handlers_[page] = handler; }

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
    setReady();
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
        setReady();
        break;
    case mtimer::ExtResetResult:
        timers_.stop(id);
        setReady();
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
        setReady();
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
        setReady();
        break;
    default:
        break;
    }
}

}  // namespace talvane
