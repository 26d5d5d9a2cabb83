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
#include "ops/limits.h"
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

}  // namespace

CFWDlg::CFWDlg(Presenter& presenter, QWidget* parent)
    : PageWindow(presenter, parent, kTemplateWidth, kTemplateHeight, /*swallowSpace=*/false)
    , chooseFile_([this] { return chooseWithDialog(); })
    , image_(kImageBufferSize, 0xFF)
{
    createControls();
}

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
    if (presenter_.busy())
        return;
    const QString path = chooseFile_ ? chooseFile_() : QString();
    if (path.isEmpty())
        return;
    // A file that does not fit, or cannot be read, is refused and whatever
    // was loaded before stays.
    const SmallFile file = readSmallFile(path, kImageBufferSize);
    if (!file.ok()) {
        presenter_.popups().showMessage(refusalText(file.refusal, text::FileTooLarge));
        return;
    }
    const QByteArray& bytes = file.bytes;
    if (bytes.isEmpty()) {
        presenter_.popups().showMessage(text::EmptyFile);
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
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    if (path_->text().isEmpty()) {
        presenter_.popups().showMessage(text::NoFirmwareFile);
        return;
    }
    setRedText(false);
    clearLog();
    appendLog(line::Upgrading);
    setProgress(0);
    auto* op = new FirmwareUpgrade(presenter_.session(),
                                   std::vector<std::uint8_t>(image_.begin(), image_.begin() + qsizetype(imageSize_)));
    upgrade_ = op;
    connect(op, &FirmwareUpgrade::stageChanged, this, [this](upgrade::State stage) {
        if (stage == upgrade::State::Transferring)
            transferStartMs_ = presenter_.session().clock().nowMs();
        if (stage == upgrade::State::Rebooting)
            appendLog(line::Rebooting);
    });
    connect(op, &FirmwareUpgrade::blockSent, this, [this] { viewChanged(); });
    connect(op, &FirmwareUpgrade::progressed, this, &CFWDlg::setProgress);
    // Held through the reboot, until the result has been shown.
    presenter_.run(std::move(hold), op, [this](Outcome outcome, Hold) { upgradeEnded(outcome); });
}

void CFWDlg::upgradeEnded(Outcome outcome)
{
    const FirmwareUpgrade::Failure failure = upgrade_ ? upgrade_->failure() : FirmwareUpgrade::Failure::None;
    const int kind = upgrade_ ? upgrade_->kindAfterReboot() : 0;
    if (outcome == Outcome::Done) {
        appendLog(line::RebootOk);
        appendLog(line::Complete);
        appendLog(line::Success);
        // The switch is back: what it now says about itself.
        readDevice(DeviceRead::What::InfoAndIdent, kind);
        return;
    }
    switch (failure) {
    case FirmwareUpgrade::Failure::StartTimedOut:
    case FirmwareUpgrade::Failure::BlockTimedOut:
    case FirmwareUpgrade::Failure::RebootTimedOut:
        // Reported in the box first; the rest once the operator has closed it.
        scheduleViewRefresh();
        presenter_.popups().showMessage(text::TimeOut);
        failUpgrade(failure != FirmwareUpgrade::Failure::StartTimedOut);
        break;
    case FirmwareUpgrade::Failure::TransferTimedOut:
        failUpgrade(true);
        break;
    default:  // refused by the switch, or stopped
        failUpgrade(outcome == Outcome::Cancelled);
        break;
    }
}

void CFWDlg::failUpgrade(bool red)
{
    if (red)
        setRedText(true);
    appendLog(line::Failed);
    setProgress(0);
}

void CFWDlg::setClicked()
{
    // The text goes to a switch that is not busy with anything else.
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    IdentWrite::Text text;
    text.fill(' ');
    const int halves[] = {ctl::IdentFirstHalf, ctl::IdentSecondHalf};
    for (int h = 0; h < 2; ++h) {
        const QString half = controlAs<QLineEdit>(halves[h])->text().left(kIdentHalfLength);
        for (int i = 0; i < half.size(); ++i)
            text[std::size_t(h * kIdentHalfLength + i)] = static_cast<std::uint8_t>(half[i].unicode() & 0xFF);
    }
    presenter_.run(std::move(hold), new IdentWrite(presenter_.session(), text), [this](Outcome outcome, Hold held) {
        if (outcome == Outcome::TimedOut) {
            presenter_.timeOut(std::move(held), /*closeBusy=*/false);
            return;
        }
        if (outcome == Outcome::Done)
            presenter_.popups().showMessage(text::SetSuccessfully);
        held.end();
        // The text as the switch now holds it.
        if (outcome == Outcome::Done)
            readDevice(DeviceRead::What::IdentOnly);
    });
}

bool CFWDlg::transferRunning() const { return upgrade_ && upgrade_->transferRunning(); }

void CFWDlg::stopUpgrade()
{
    if (transferRunning())
        upgrade_->cancel();
}

// --- device information and identification text -------------------------------

void CFWDlg::enter(Hold hold)
{
    // The page's read runs in the background: the switch is free at once.
    hold.end();
    readDevice(DeviceRead::What::InfoAndIdent);
}

void CFWDlg::readDevice(DeviceRead::What what, std::optional<int> knownKind)
{
    auto* read = new DeviceRead(presenter_.session(), what, Purpose::Background);
    if (knownKind)
        read->setKnownKind(*knownKind);
    connect(read, &DeviceRead::infoReported, this, &CFWDlg::showInfo);
    connect(read, &DeviceRead::identReported, this, &CFWDlg::showIdent);
    presenter_.runner().runBackground(read);
}

void CFWDlg::showInfo(const DeviceInfo& info)
{
    const QString text = caption::DevicePrefix + deviceKindName(info.kind) + QLatin1Char(' ') + QString::number(info.inputs) + QLatin1Char('x')
                         + QString::number(info.outputs) + caption::VersionPrefix + QString::number(info.versionMajor)
                         + QLatin1Char('.') + QString::number(info.versionMinor);
    setLabel(ctl::DeviceInfo, text, caption::DeviceInfoName);
}

void CFWDlg::showIdent(const QByteArray& text)
{
    const QString whole = QString::fromLatin1(text);
    controlAs<QLineEdit>(ctl::IdentFirstHalf)->setText(whole.left(kIdentHalfLength));
    controlAs<QLineEdit>(ctl::IdentSecondHalf)->setText(whole.mid(kIdentHalfLength));
    setLabel(ctl::IdentText, whole, caption::IdentTextName);
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
    if (state() == upgrade::State::Transferring) {
        if (viewRefresh_.active()) {
            viewStale_ = true;
            return;
        }
        viewRefresh_.start(kViewRefreshMs, [this] {
            if (viewStale_) {
                viewStale_ = false;
                viewChanged();
            }
        });
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
    if (state() != upgrade::State::Transferring)
        return QString();
    const std::size_t block = offset() / kDataPayloadSize + 1;
    const std::size_t blocks = std::max(firmwareBlockCount(imageSize_), block);
    const std::size_t done = block - 1;
    if (done == 0)
        return caption::BlockOf.arg(block).arg(blocks);
    const qint64 elapsed = presenter_.session().clock().nowMs() - transferStartMs_;
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
