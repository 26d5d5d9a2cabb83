#include "messagedlg.h"

#include "controls/imagebutton.h"
#include "popups.h"
#include "resources/resources.h"

#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QWindow>

namespace talvane {

namespace {

// Template 135, dialog units.
constexpr int kWidthDlu = 182;
constexpr int kHeightDlu = 73;
struct DluRect {
    int x, y, cx, cy;
};
constexpr DluRect kCloseDlu{157, 7, 21, 18};
constexpr DluRect kOkDlu{137, 60, 41, 11};
constexpr DluRect kPictureDlu{26, 29, 21, 17};
constexpr DluRect kCancelDlu{94, 60, 41, 11};
constexpr DluRect kRemindDlu{257, 41, 69, 10};
// The template puts "No longer remind" beyond the box's right edge, where it
// can be neither seen nor clicked. Question mode shows it here instead: at the
// left of the button row, clear of Ok and Cancel.
constexpr DluRect kRemindVisibleDlu{6, 60, 69, 11};

// Client pixels.
constexpr int kBandHeight = 25;
constexpr int kBottomBandTop = 120;
constexpr int kCloseSize = 25;
constexpr int kCloseRightOffset = 26;
constexpr QPoint kQuestionPicturePos(9, 60);
// Text rectangles as left, top, right, bottom (right and bottom exclusive).
constexpr int kConnectFailedRect[] = {100, 60, 255, 100};
constexpr int kQuestionRect[] = {50, 60, 320, 100};
constexpr int kDefaultRect[] = {100, 60, 220, 100};

const QColor kBackground(255, 255, 255);
const QColor kFrame(128, 128, 128, 150);
const QColor kBand(30, 144, 225);
const QColor kBandOutline(30, 120, 255);
const QColor kText(0, 0, 0);

const QString kOkCaption = QStringLiteral("Ok");
const QString kCancelCaption = QStringLiteral("Cancel");
const QString kRemindCaption = QStringLiteral("No longer remind");
const QString kCloseTip = QStringLiteral("Close");

QRect fromEdges(const int (&e)[4]) { return QRect(QPoint(e[0], e[1]), QPoint(e[2] - 1, e[3] - 1)); }

bool isQuestionText(const QString& t)
{
    return t == text::AskFactoryReset || t == text::AskPowerOff || t == text::AskStopUpgrade;
}

// The system button face with 5 added to red and 10 to green (each mod 256).
QColor bottomBandColour(const QPalette& pal)
{
    const QColor face = pal.color(QPalette::Button);
    return QColor((face.red() + 5) % 256, (face.green() + 10) % 256, face.blue());
}

}  // namespace

CMessageDlg::CMessageDlg(QWidget* owner, bool question)
    : TemplateDialog(owner, Qt::Dialog | Qt::FramelessWindowHint)
    , question_(question)
{
    setFixedSize(dluSize(kWidthDlu, kHeightDlu));
    installKeySwallower(this, true);

    close_ = place(kCloseId, new CImageButton(this), kCloseDlu.x, kCloseDlu.y, kCloseDlu.cx, kCloseDlu.cy);
    ok_ = place(kOkId, new QPushButton(kOkCaption, this), kOkDlu.x, kOkDlu.y, kOkDlu.cx, kOkDlu.cy);
    picture_ = place(kPictureId, new QLabel(this), kPictureDlu.x, kPictureDlu.y, kPictureDlu.cx,
                     kPictureDlu.cy);
    cancel_ = place(kCancelId, new QPushButton(kCancelCaption, this), kCancelDlu.x, kCancelDlu.y,
                    kCancelDlu.cx, kCancelDlu.cy);
    remind_ = place(kNoLongerRemindId, new QCheckBox(kRemindCaption, this), kRemindDlu.x,
                    kRemindDlu.y, kRemindDlu.cx, kRemindDlu.cy);

    // A bitmap static takes the size of its bitmap.
    const QPixmap info = res::bitmap(res::BitmapInformation);
    picture_->setPixmap(info);
    picture_->resize(info.size());
    picture_->setAccessibleName(res::description(res::BitmapInformation));

    close_->setDrawBorder(false);
    close_->setIcons(res::IconCloseIn, res::IconCloseOut);
    close_->setTooltipText(kCloseTip);
    close_->setColor(CImageButton::BackgroundOut, kBand);
    close_->setColor(CImageButton::BackgroundFocus, kBand);
    close_->setColor(CImageButton::BackgroundIn, kBand);
    placeCloseButton();

    cancel_->hide();
    remind_->hide();
    if (question_) {
        const QPoint okPos = ok_->pos();
        ok_->move(cancel_->pos());
        cancel_->move(okPos);
        remind_->setGeometry(dluRect(kRemindVisibleDlu.x, kRemindVisibleDlu.y, kRemindVisibleDlu.cx,
                                     kRemindVisibleDlu.cy));
        remind_->setChecked(Popups::instance().noLongerRemind());
        cancel_->show();
        // "No longer remind" answers the factory-reset question only; another
        // question must not switch that question off.
        remind_->setVisible(text() == text::AskFactoryReset);
    }

    connect(ok_, &QPushButton::clicked, this, [this] { done(Popups::Ok); });
    connect(cancel_, &QPushButton::clicked, this, [this] { done(Popups::Cancel); });
    connect(close_, &QPushButton::clicked, this, [this] { done(Popups::Cancel); });
    connect(remind_, &QCheckBox::clicked, this,
            [](bool checked) { Popups::instance().setNoLongerRemind(checked); });

    refreshText();
}

QString CMessageDlg::text() const { return Popups::instance().messageText(); }

QRect CMessageDlg::textRect() const
{
    const QString t = text();
    if (t == text::ConnectFailed)
        return fromEdges(kConnectFailedRect);
    if (isQuestionText(t))
        return fromEdges(kQuestionRect);
    return fromEdges(kDefaultRect);
}

void CMessageDlg::refreshText()
{
    const QString t = text();
    // A question's layout moves the picture left; it stays there for the rest
    // of this showing, whatever text comes next.
    if (isQuestionText(t))
        picture_->move(kQuestionPicturePos);
    if (accessibleName() != t) {
        setWindowTitle(t);
        setAccessibleName(t);
        setAccessibleDescription(t);
    }
    update();
}

void CMessageDlg::done(int result)
{
    Popups::instance().messageBoxEnded();
    TemplateDialog::done(result);
}

void CMessageDlg::reject() { done(Popups::Cancel); }

void CMessageDlg::placeCloseButton()
{
    close_->setGeometry(width() - kCloseRightOffset, 1, kCloseSize, kCloseSize);
}

void CMessageDlg::resizeEvent(QResizeEvent* e)
{
    placeCloseButton();
    TemplateDialog::resizeEvent(e);
}

void CMessageDlg::setVisible(bool visible)
{
    if (visible && !isVisible())
        centreOnOwner(this);
    TemplateDialog::setVisible(visible);
}

void CMessageDlg::paintEvent(QPaintEvent*)
{
    const int w = width();
    const int h = height();
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    p.setPen(kFrame);
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, w - 1, h - 1);
    p.fillRect(1, 1, w - 2, kBandHeight, kBand);
    p.fillRect(1, kBottomBandTop, w - 2, h - kBottomBandTop - 1, bottomBandColour(palette()));
    p.setPen(kBandOutline);
    p.drawLine(0, 0, w - 2, 0);
    p.drawLine(0, 0, 0, kBandHeight);
    p.drawLine(w - 1, 0, w - 1, kBandHeight);

    const QRect r = textRect();
    p.setClipRect(r);
    p.setFont(font());
    p.setPen(kText);
    p.drawText(r, Qt::AlignCenter | Qt::TextSingleLine, text());
}

void CMessageDlg::mousePressEvent(QMouseEvent* e)
{
    // Pressing on the box itself drags it, as a title bar would.
    if (e->button() == Qt::LeftButton && !childAt(e->position().toPoint()) && windowHandle())
        windowHandle()->startSystemMove();
    TemplateDialog::mousePressEvent(e);
}

}  // namespace talvane
