#include "statusdlg.h"

#include "popups.h"
#include "resources/resources.h"

#include <QLabel>
#include <QPainter>

namespace talvane {

namespace {

// Template 142, dialog units.
constexpr int kWidthDlu = 164;
constexpr int kHeightDlu = 58;
constexpr int kTextDlu[] = {61, 25, 87, 8};
constexpr int kPictureDlu[] = {31, 21, 18, 15};

const QString kDots1 = QStringLiteral(" .");
const QString kDots2 = QStringLiteral(" . .");
const QString kDots3 = QStringLiteral(" . . .");

const QColor kBackground(255, 255, 255);
const QColor kFrame(30, 144, 225, 150);

}  // namespace

CStatusDlg::CStatusDlg(QWidget* owner)
    : TemplateDialog(owner, Qt::Dialog | Qt::FramelessWindowHint)
    , timers_([this](int id) { onTimer(id); })
{
    setFixedSize(dluSize(kWidthDlu, kHeightDlu));
    // Enter and Escape would end the popup behind the program's back and leave
    // its shown flag set; the popup is ended only by the program.
    installKeySwallower(this, false);

    text_ = place(kTextId, new QLabel(this), kTextDlu[0], kTextDlu[1], kTextDlu[2], kTextDlu[3]);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QPalette pal = text_->palette();
    pal.setColor(QPalette::Window, kBackground);
    text_->setPalette(pal);
    text_->setAutoFillBackground(true);

    picture_ = place(kResultPictureId, new QLabel(this), kPictureDlu[0], kPictureDlu[1],
                     kPictureDlu[2], kPictureDlu[3]);
    const QPixmap check = res::bitmap(res::BitmapCheckMark);
    picture_->setPixmap(check);
    picture_->resize(check.size());
    picture_->setAccessibleName(res::description(res::BitmapCheckMark));
    picture_->hide();

    setShownText(Popups::instance().busyText() + kDots3);
    timers_.arm(kDotTimer1, kDotStepMs);
}

void CStatusDlg::onTimer(int id)
{
    // The busy text is read afresh at every step, so a changed text shows at
    // the next one.
    const QString busy = Popups::instance().busyText();
    switch (id) {
    case kDotTimer1:
        timers_.stop(kDotTimer1);
        setShownText(busy + kDots1);
        timers_.arm(kDotTimer2, kDotStepMs);
        break;
    case kDotTimer2:
        timers_.stop(kDotTimer2);
        setShownText(busy + kDots2);
        timers_.arm(kDotTimer3, kDotStepMs);
        break;
    case kDotTimer3:
        timers_.stop(kDotTimer3);
        setShownText(busy + kDots3);
        timers_.arm(kDotTimer1, kDotStepMs);
        break;
    default: break;
    }
}

void CStatusDlg::setShownText(const QString& shown)
{
    text_->setText(shown);
    // Screen readers get the text without the animated dots, so the name
    // changes when the message does, not every 300 ms.
    const QString name = Popups::instance().busyText();
    if (text_->accessibleName() != name)
        text_->setAccessibleName(name);
    if (accessibleName() != name) {
        setWindowTitle(name);
        setAccessibleName(name);
        setAccessibleDescription(name);
    }
}

void CStatusDlg::showResult()
{
    timers_.stop(kDotTimer1);
    timers_.stop(kDotTimer2);
    timers_.stop(kDotTimer3);
    // The result's picture: the tick for a success, a warning for a failure.
    const int picture = text::isFailure(Popups::instance().busyText()) ? res::BitmapWarningResult : res::BitmapCheckMark;
    const QPixmap pixmap = res::bitmap(picture);
    picture_->setPixmap(pixmap);
    picture_->resize(pixmap.size());
    picture_->setAccessibleName(res::description(picture));
    picture_->show();
    setShownText(Popups::instance().busyText());
}

QString CStatusDlg::shownText() const { return text_->text(); }

bool CStatusDlg::resultShown() const { return picture_->isVisibleTo(this); }

bool CStatusDlg::animating() const
{
    return timers_.isArmed(kDotTimer1) || timers_.isArmed(kDotTimer2) || timers_.isArmed(kDotTimer3);
}

void CStatusDlg::done(int result)
{
    timers_.stopAll();
    Popups::instance().busyPopupEnded();
    TemplateDialog::done(result);
}

void CStatusDlg::reject() { done(Popups::Ok); }

void CStatusDlg::setVisible(bool visible)
{
    if (visible && !isVisible())
        centreOnOwner(this);
    TemplateDialog::setVisible(visible);
}

void CStatusDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    p.setPen(kFrame);
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, width() - 1, height() - 1);
}

}  // namespace talvane
