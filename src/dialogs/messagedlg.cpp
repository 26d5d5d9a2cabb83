#include "messagedlg.h"

#include "controls/imagebutton.h"
#include "popups.h"
#include "resources/resources.h"

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

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
constexpr int kBottomBandTop = 120;
constexpr int kFrameAlpha = 150;
constexpr QPoint kQuestionPicturePos(9, 60);
// Text rectangles as left, top, right, bottom (right and bottom exclusive).
constexpr int kConnectFailedRect[] = {100, 60, 255, 100};
constexpr int kQuestionRect[] = {50, 60, 320, 100};
constexpr int kDefaultRect[] = {100, 60, 220, 100};

const QColor kText(0, 0, 0);

const QString kOkCaption = QStringLiteral("Ok");
const QString kCancelCaption = QStringLiteral("Cancel");
const QString kRemindCaption = QStringLiteral("No longer remind");

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

const char kPictureProperty[] = "resourceId";

}  // namespace

CMessageDlg::CMessageDlg(QWidget* owner, bool question)
    : CPaintedDlg(owner, kWidthDlu, kHeightDlu, kCloseId, QRect(kCloseDlu.x, kCloseDlu.y, kCloseDlu.cx, kCloseDlu.cy))
    , question_(question)
{
    ok_ = place(kOkId, new QPushButton(kOkCaption, this), kOkDlu.x, kOkDlu.y, kOkDlu.cx, kOkDlu.cy);
    picture_ = place(kPictureId, new QLabel(this), kPictureDlu.x, kPictureDlu.y, kPictureDlu.cx,
                     kPictureDlu.cy);
    cancel_ = place(kCancelId, new QPushButton(kCancelCaption, this), kCancelDlu.x, kCancelDlu.y,
                    kCancelDlu.cx, kCancelDlu.cy);
    remind_ = place(kNoLongerRemindId, new QCheckBox(kRemindCaption, this), kRemindDlu.x,
                    kRemindDlu.y, kRemindDlu.cx, kRemindDlu.cy);


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
    connect(closeButton(), &QPushButton::clicked, this, [this] { done(Popups::Cancel); });
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
    // A bitmap static takes the size of its bitmap; a failure shows a warning.
    const int picture = text::isFailure(t) ? res::BitmapWarning : res::BitmapInformation;
    if (picture_->property(kPictureProperty).toInt() != picture) {
        const QPixmap pixmap = res::bitmap(picture);
        picture_->setPixmap(pixmap);
        picture_->resize(pixmap.size());
        picture_->setAccessibleName(res::description(picture));
        picture_->setProperty(kPictureProperty, picture);
    }
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

void CMessageDlg::paintEvent(QPaintEvent*)
{
    const int w = width();
    const int h = height();
    QPainter p(this);
    paintFrame(p, kFrameAlpha);
    p.fillRect(1, kBottomBandTop, w - 2, h - kBottomBandTop - 1, bottomBandColour(palette()));
    paintBandOutline(p);

    const QRect r = textRect();
    p.setClipRect(r);
    p.setFont(font());
    p.setPen(kText);
    p.drawText(r, Qt::AlignCenter | Qt::TextSingleLine, text());
}

}  // namespace talvane
