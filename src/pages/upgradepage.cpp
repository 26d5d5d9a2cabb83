#include "upgradepage.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "protocol/replies.h"

namespace talvane {

using namespace upgrade;

namespace {

const QColor kRedText(255, 0, 0);
const QColor kBlackText(0, 0, 0);

QString deviceKindName(int kind)
{
    if (kind == kDeviceKindTalvane)
        return caption::DeviceKindTalvane;
    if (kind == kDeviceKindMarbeck)
        return caption::DeviceKindMarbeck;
    return caption::DeviceKindOther;
}

std::uint8_t blockNumberAt(std::size_t offset) { return static_cast<std::uint8_t>((offset / kDataPayloadSize) & 0xFF); }

}  // namespace

CFWDlg::CFWDlg(RequestEngine& engine, QWidget* parent)
    : PageWindow(engine, parent, kTemplateWidth, kTemplateHeight, /*swallowSpace=*/false)
    , chooseFile_([this] { return chooseWithDialog(); })
    , image_(kImageBufferSize, 0xFF)
{
    createControls();
    engine_.setReplyHandler(Page::Upgrade, this);
}

CFWDlg::~CFWDlg() { engine_.setReplyHandler(Page::Upgrade, nullptr); }

void CFWDlg::createControls()
{
    auto group = [this](const QString& title, int x, int y, int w, int h) {
        auto* box = new QGroupBox(title, this);
        box->setGeometry(dluRect(x, y, w, h));
        box->lower();
    };
    auto button = [this](int id, const QString& text, int x, int y, int w, int h) {
        return place(id, new QPushButton(text, this), x, y, w, h);
    };
    auto label = [this](int id, int x, int y, int w, int h) { return place(id, new QLabel(this), x, y, w, h); };

    group(caption::UpgradeGroup, 7, 4, 329, 78);
    auto* pathLabel = new QLabel(caption::OpenBinFile, this);
    pathLabel->setGeometry(dluRect(14, 19, 48, 8));
    path_ = place(ctl::Path, new QLineEdit(this), 64, 17, 202, 12);
    path_->setReadOnly(true);
    pathLabel->setBuddy(path_);
    path_->setAccessibleName(caption::OpenBinFile);
    QPushButton* open = button(ctl::Open, caption::Open, 272, 16, 56, 14);
    // The template's second "Open" lies beyond the page's right edge.
    button(ctl::UnusedOpen, caption::Open, 350, 16, 56, 14);
    progressBar_ = place(ctl::Progress, new QProgressBar(this), 14, 37, 252, 12);
    progressBar_->setRange(0, 1);
    progressBar_->setValue(0);
    progressBar_->setAccessibleName(caption::ProgressName);
    QPushButton* start = button(ctl::Upgrade, caption::Upgrade, 272, 36, 56, 14);
    detail_ = label(ctl::TransferDetail, 14, 54, 252, 9);
    setLabel(ctl::TransferDetail, QString(), caption::TransferDetailName);

    group(caption::Messages, 7, 86, 329, 122);
    log_ = place(ctl::Log, new QPlainTextEdit(this), 14, 98, 315, 104);
    log_->setReadOnly(true);
    log_->setAccessibleName(caption::Messages);
    setRedText(false);

    label(ctl::DeviceInfo, 14, 214, 315, 9);
    setLabel(ctl::DeviceInfo, QString(), caption::DeviceInfoName);
    label(ctl::IdentText, 14, 227, 315, 9);
    setLabel(ctl::IdentText, QString(), caption::IdentTextName);

    // Writing the identification text is not offered to the operator: the
    // two edits and their Set button stay hidden.
    auto halfEdit = [this](int id, const QString& name, int x) {
        auto* edit = place(id, new QLineEdit(this), x, 240, 90, 12);
        edit->setMaxLength(kIdentHalfLength);
        edit->setAccessibleName(name);
        edit->hide();
    };
    halfEdit(ctl::IdentFirstHalf, caption::IdentFirstHalfName, 14);
    halfEdit(ctl::IdentSecondHalf, caption::IdentSecondHalfName, 108);
    QPushButton* set = button(ctl::IdentSet, caption::Set, 202, 239, 40, 14);
    set->hide();

    connect(open, &QPushButton::clicked, this, &CFWDlg::openClicked);
    connect(start, &QPushButton::clicked, this, &CFWDlg::upgradeClicked);
    connect(set, &QPushButton::clicked, this, &CFWDlg::setClicked);
}

// --- buttons ------------------------------------------------------------------

QString CFWDlg::chooseWithDialog()
{
    QFileDialog dialog(this, caption::OpenBinFile, QString(), caption::FileFilter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setDefaultSuffix(caption::FileSuffix);
    if (runModal(dialog) != QDialog::Accepted)
        return QString();
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.constFirst();
}

void CFWDlg::openClicked()
{
    if (!engine_.isReady())
        return;
    const QString path = chooseFile_ ? chooseFile_() : QString();
    if (path.isEmpty())
        return;
    // A file that does not fit, or cannot be read, is refused and whatever
    // was loaded before stays.
    const SmallFile file = readSmallFile(path, kImageBufferSize);
    if (!file.ok()) {
        engine_.popups().showMessage(refusalText(file.refusal, text::FileTooLarge));
        return;
    }
    const QByteArray& bytes = file.bytes;
    if (bytes.isEmpty()) {
        engine_.popups().showMessage(text::EmptyFile);
        return;
    }
    std::fill(image_.begin(), image_.end(), 0xFF);
    std::copy(bytes.begin(), bytes.end(), image_.begin());
    imageSize_ = std::size_t(bytes.size());
    progressBar_->setRange(0, int(imageSize_));
    progress_ = 0;
    refreshView();
    path_->setText(path);
}

void CFWDlg::upgradeClicked()
{
    if (!engine_.acquire())
        return;
    if (state_ != State::Idle) {
        // The switch is still rebooting from the last upgrade.
        engine_.setReady();
        return;
    }
    if (path_->text().isEmpty()) {
        engine_.popups().showMessage(text::NoFirmwareFile);
        engine_.setReady();
        return;
    }
    setRedText(false);
    clearLog();
    appendLog(line::Upgrading);
    offset_ = 0;
    setProgress(0);
    state_ = State::Starting;
    sendCommand(build::upgradeStart());
    timers_.arm(timer::StartTimeout, ms::StartTimeout);
}

void CFWDlg::setClicked()
{
    // Text commands between firmware blocks or to a rebooting switch would
    // only confuse it.
    if (state_ != State::Idle)
        return;
    identWrite_.fill(' ');
    const int halves[] = {ctl::IdentFirstHalf, ctl::IdentSecondHalf};
    for (int h = 0; h < 2; ++h) {
        const QString text = controlAs<QLineEdit>(halves[h])->text().left(kIdentHalfLength);
        for (int i = 0; i < text.size(); ++i)
            identWrite_[std::size_t(h * kIdentHalfLength + i)] = static_cast<std::uint8_t>(text[i].unicode() & 0xFF);
    }
    sendIdentWritePart(0);
}

bool CFWDlg::transferRunning() const
{
    return state_ == State::Starting || state_ == State::Requesting || state_ == State::Transferring;
}

void CFWDlg::stopUpgrade()
{
    if (transferRunning())
        failUpgrade(true);
}

// --- sending ------------------------------------------------------------------

void CFWDlg::sendCommand(const CommandFrame& command)
{
    engine_.loadCommand(command);
    engine_.postSend(action::SendUpgrade);
}

void CFWDlg::sendBlock()
{
    build::firmwareBlock(engine_.dataFrame(), image_.data(), imageSize_, offset_);
    engine_.postSend(action::SendDataFrame);
    timers_.stop(timer::BlockTimeout);
    timers_.arm(timer::BlockGuard, ms::BlockGuard);
    viewChanged();
}

// --- timers -------------------------------------------------------------------

void CFWDlg::onTimer(int id)
{
    if (id >= timer::RebootPollFirst && id <= timer::RebootPollLast) {
        timers_.stop(id);
        // The query itself, whatever another page has left in the command buffer.
        sendCommand(build::upgradePageQuery(/*rebootQuery=*/true));
        timers_.arm(id + 1, ms::RebootPoll);
        return;
    }
    switch (id) {
    case timer::StartTimeout:
        timers_.stop(id);
        failUpgradeAfterTimeOut(false);
        break;
    case timer::TransferRequest:
        sendCommand(build::upgradeTransferRequest());
        if (timers_.intervalOf(id) != ms::TransferRequestRepeat)
            timers_.arm(id, ms::TransferRequestRepeat);
        break;
    case timer::TransferTimeout:
        failUpgrade(true);
        break;
    case timer::BlockGuard:
        timers_.stop(id);
        engine_.postSend(action::SendDataFrame);  // the same block once more
        timers_.arm(timer::BlockTimeout, ms::BlockGuard);
        break;
    case timer::ViewRefresh:
        timers_.stop(id);
        if (viewStale_) {
            viewStale_ = false;
            viewChanged();
        }
        break;
    case timer::BlockTimeout:
    case timer::RebootTimeout:
        timers_.stop(id);
        failUpgradeAfterTimeOut(true);
        break;
    default:
        break;
    }
}

void CFWDlg::stopUpgradeTimers()
{
    for (int id : {timer::StartTimeout, timer::TransferRequest, timer::TransferTimeout, timer::BlockGuard,
                   timer::BlockTimeout})
        timers_.stop(id);
}

void CFWDlg::stopRebootTimers()
{
    for (int id = timer::RebootPollFirst; id <= timer::RebootTimeout; ++id)
        timers_.stop(id);
}

// --- the upgrade --------------------------------------------------------------

void CFWDlg::onStartAnswered()
{
    timers_.stop(timer::StartTimeout);
    state_ = State::Requesting;
    sendCommand(build::upgradeTransferRequest());
    timers_.arm(timer::TransferRequest, ms::TransferRequestFirst);
    timers_.arm(timer::TransferTimeout, ms::TransferTimeout);
}

void CFWDlg::onTransferAnswered()
{
    timers_.stop(timer::TransferRequest);
    timers_.stop(timer::TransferTimeout);
    state_ = State::Transferring;
    offset_ = 0;
    transferStartMs_ = timers_.clock().nowMs();
    sendBlock();
}

void CFWDlg::onBlockAck(const CommandFrame& frame)
{
    if (state_ != State::Transferring)
        return;
    const decode::BlockAck ack = decode::blockAck(frame);
    if (ack.block != blockNumberAt(offset_))
        return;
    if (ack.flags == 0) {
        switch (ack.status) {
        case kBlockReceived:
            // The switch asks for a block past the last one only once: a
            // further filler block is as far as an image goes.
            if (offset_ > lastFirmwareBlockOffset(imageSize_)) {
                failUpgrade(false);
                return;
            }
            offset_ += kDataPayloadSize;
            sendBlock();
            setProgress(offset_);
            return;
        case kBlockResend:
            sendBlock();
            setProgress(offset_);
            return;
        case kBlockFailed:
            failUpgrade(false);
            return;
        default:
            return;
        }
    }
    if (engine_.dataFrame().flags() == kLastBlockFlag && ack.status == kBlockReceived)
        onLastBlockConfirmed();
}

void CFWDlg::onLastBlockConfirmed()
{
    stopUpgradeTimers();
    state_ = State::Rebooting;
    setProgress(imageSize_);
    appendLog(line::Rebooting);
    sendCommand(build::upgradePageQuery(/*rebootQuery=*/true));
    timers_.arm(timer::RebootPollFirst, ms::RebootPoll);
    offset_ = 0;
    engine_.dataFrame().bytes[dpos::Flags] = 0;
    engine_.setReady();
}

void CFWDlg::failUpgrade(bool red)
{
    stopUpgradeTimers();
    stopRebootTimers();
    state_ = State::Idle;
    if (red)
        setRedText(true);
    appendLog(line::Failed);
    engine_.setReady();
    setProgress(0);
    offset_ = 0;
    engine_.dataFrame().bytes[dpos::Flags] = 0;
}

void CFWDlg::failUpgradeAfterTimeOut(bool red)
{
    // Idle from here on, so that a late answer while the box is open is ignored;
    // the rest waits until the operator has closed the box.
    stopUpgradeTimers();
    stopRebootTimers();
    state_ = State::Idle;
    offset_ = 0;
    scheduleViewRefresh();
    engine_.popups().showMessage(text::TimeOut);
    failUpgrade(red);
}

// --- device information and identification text -------------------------------

void CFWDlg::handleReply(const CommandFrame& frame)
{
    if (decode::isBlockAck(frame)) {
        onBlockAck(frame);
        return;
    }
    const CommandId id = commandIdOf(frame);
    if (id == cmd::UpgradeStart) {
        if (state_ == State::Starting && decode::ackStatus(frame) == 0)
            onStartAnswered();
        return;
    }
    if (id == cmd::UpgradeTransferRequest) {
        if (state_ == State::Requesting && decode::ackStatus(frame) == 0)
            onTransferAnswered();
        return;
    }
    // While the switch takes an image, a late answer to a query must neither
    // send the next query between blocks nor give the ready flag back.
    if (transferRunning())
        return;
    if (id == cmd::UpgradePageQuery)
        onDeviceKind(frame);
    else if (id == cmd::DeviceInfoQuery2)
        onDevicePorts(frame);
    else if (id == cmd::DeviceInfoQuery3)
        onDeviceVersion(frame);
    else if (frame.group() == cmd::IdentGroup)
        onIdentReply(frame);
}

void CFWDlg::onDeviceKind(const CommandFrame& frame)
{
    const decode::DeviceKind kind = decode::deviceKind(frame);
    if (!kind.marked)
        return;
    // Every exchange starts its text afresh, whatever an earlier one left.
    infoText_ = deviceKindName(kind.kind);
    if (kind.afterReboot && state_ == State::Rebooting) {
        stopRebootTimers();
        state_ = State::Idle;
        appendLog(line::RebootOk);
        appendLog(line::Complete);
        appendLog(line::Success);
    }
    sendCommand(build::deviceInfoQuery2());
}

void CFWDlg::onDevicePorts(const CommandFrame& frame)
{
    const decode::DevicePorts ports = decode::devicePorts(frame);
    if (!ports.marked)
        return;
    infoText_ = caption::DevicePrefix + infoText_ + QLatin1Char(' ') + QString::number(ports.inputs) + QLatin1Char('x')
                + QString::number(ports.outputs);
    sendCommand(build::deviceInfoQuery3());
}

void CFWDlg::onDeviceVersion(const CommandFrame& frame)
{
    const decode::DeviceVersion version = decode::deviceVersion(frame);
    if (!version.marked)
        return;
    infoText_ += caption::VersionPrefix + QString::number(version.major) + QLatin1Char('.')
                 + QString::number(version.minor);
    setLabel(ctl::DeviceInfo, infoText_, caption::DeviceInfoName);
    infoText_.clear();
    sendCommand(build::identRead(0));
    engine_.setReady();
}

void CFWDlg::onIdentReply(const CommandFrame& frame)
{
    const decode::IdentText read = decode::identText(frame);
    if (read.part >= 0) {
        const QString chars = QString::fromLatin1(reinterpret_cast<const char*>(read.text.data()),
                                                  qsizetype(read.text.size()));
        identWhole_ = read.part == 0 ? chars : identWhole_ + chars;
        switch (read.part) {
        case 0:
            identFirst_ = chars;
            break;
        case 1:
            identFirst_ += chars;
            controlAs<QLineEdit>(ctl::IdentFirstHalf)->setText(identFirst_);
            identFirst_.clear();
            break;
        case 2:
            identSecond_ = chars;
            break;
        default:
            identSecond_ += chars;
            controlAs<QLineEdit>(ctl::IdentSecondHalf)->setText(identSecond_);
            setLabel(ctl::IdentText, identWhole_, caption::IdentTextName);
            identWhole_.clear();
            identFirst_.clear();
            identSecond_.clear();
            engine_.setReady();
            return;
        }
        sendCommand(build::identRead(read.part + 1));
        return;
    }
    const decode::IdentWriteAck written = decode::identWriteAck(frame);
    if (written.part >= 0 && written.status == 0) {
        if (written.part + 1 < cmd::IdentParts) {
            sendIdentWritePart(written.part + 1);
            return;
        }
        engine_.popups().showMessage(text::SetSuccessfully);
        sendCommand(build::identRead(0));  // read the text back
        return;
    }
    engine_.setReady();
}

void CFWDlg::sendIdentWritePart(int part)
{
    sendCommand(build::identWrite(part, identWrite_.data() + part * cmd::IdentPartLength));
}

// --- the view -----------------------------------------------------------------

void CFWDlg::appendLog(const QString& text)
{
    // A plain-text log: a line break is one newline.
    log_->moveCursor(QTextCursor::End);
    log_->insertPlainText(text + QLatin1Char('\n'));
}

void CFWDlg::clearLog() { log_->clear(); }

void CFWDlg::setRedText(bool red)
{
    redText_ = red;
    QPalette pal = log_->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        pal.setColor(group, QPalette::Text, red ? kRedText : kBlackText);
    log_->setPalette(pal);
    log_->viewport()->update();
}

void CFWDlg::setProgress(std::size_t position)
{
    progress_ = std::min(position, imageSize_);
    viewChanged();
}

void CFWDlg::viewChanged()
{
    if (state_ == State::Transferring) {
        if (timers_.isArmed(timer::ViewRefresh)) {
            viewStale_ = true;
            return;
        }
        timers_.arm(timer::ViewRefresh, ms::ViewRefresh);
    }
    scheduleViewRefresh();
}

void CFWDlg::scheduleViewRefresh()
{
    // Posted after the send message, so a block is on the wire before the
    // progress bar repaints; one refresh covers any number of changes.
    if (refreshPending_)
        return;
    refreshPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            refreshPending_ = false;
            refreshView();
        },
        Qt::QueuedConnection);
}

void CFWDlg::refreshView()
{
    progressBar_->setValue(int(progress_));
    setLabel(ctl::TransferDetail, transferDetailText(), caption::TransferDetailName);
}

QString CFWDlg::transferDetailText() const
{
    if (state_ != State::Transferring)
        return QString();
    const std::size_t block = offset_ / kDataPayloadSize + 1;
    const std::size_t blocks = std::max(firmwareBlockCount(imageSize_), block);
    const std::size_t done = block - 1;
    if (done == 0)
        return caption::BlockOf.arg(block).arg(blocks);
    const qint64 elapsed = timers_.clock().nowMs() - transferStartMs_;
    const qint64 leftMs = elapsed * qint64(blocks - done) / qint64(done);
    return caption::BlockOfTimeLeft.arg(block).arg(blocks).arg(std::max<qint64>(1, (leftMs + 500) / 1000));
}

void CFWDlg::setLabel(int id, const QString& text, const QString& emptyName)
{
    auto* label = controlAs<QLabel>(id);
    label->setText(text);
    label->setAccessibleName(text.isEmpty() ? emptyName : text);
}

}  // namespace talvane
