#include "painteddlg.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include "controls/imagebutton.h"
#include "resources/resources.h"

namespace talvane {

const QColor CPaintedDlg::kBand(30, 144, 225);
const QColor CPaintedDlg::kBandOutline(30, 120, 255);

namespace {
const QColor kBackground(255, 255, 255);
const QString kCloseTip = QStringLiteral("Close");
}  // namespace

CPaintedDlg::CPaintedDlg(QWidget* owner, int widthDlu, int heightDlu, int closeId, const QRect& closeDlu)
    : TemplateDialog(owner, Qt::Dialog | Qt::FramelessWindowHint)
{
    setFixedSize(dluSize(widthDlu, heightDlu));
    installKeySwallower(this, true);

    close_ = place(closeId, new CImageButton(this), closeDlu.x(), closeDlu.y(), closeDlu.width(), closeDlu.height());
    close_->setDrawBorder(false);
    close_->setIcons(res::IconCloseIn, res::IconCloseOut);
    close_->setTooltipText(kCloseTip);
    for (auto slot : {CImageButton::BackgroundOut, CImageButton::BackgroundFocus, CImageButton::BackgroundIn})
        close_->setColor(slot, kBand);
    placeCloseButton();
}

void CPaintedDlg::placeCloseButton()
{
    close_->setGeometry(width() - kCloseRightOffset, 1, kCloseSize, kCloseSize);
}

void CPaintedDlg::resizeEvent(QResizeEvent* e)
{
    placeCloseButton();
    TemplateDialog::resizeEvent(e);
}

void CPaintedDlg::setVisible(bool visible)
{
    if (visible && !isVisible())
        centreOnOwner(this);
    TemplateDialog::setVisible(visible);
}

void CPaintedDlg::paintFrame(QPainter& p, int frameAlpha) const
{
    const int w = width();
    const int h = height();
    p.fillRect(rect(), kBackground);
    p.setPen(QColor(128, 128, 128, frameAlpha));
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, w - 1, h - 1);
    p.fillRect(1, 1, w - 2, kBandHeight, kBand);
}

void CPaintedDlg::paintTitled(QPainter& p, int frameAlpha, const QString& title, const QRect& titleRect) const
{
    paintFrame(p, frameAlpha);
    p.fillRect(1, kBandHeight + 1, width() - 2, height() - kBandHeight - 2, palette().color(QPalette::Button));
    paintBandOutline(p);
    p.setFont(font());
    p.setPen(Qt::white);
    p.drawText(titleRect, Qt::AlignCenter | Qt::TextSingleLine, title);
}

void CPaintedDlg::paintBandOutline(QPainter& p) const
{
    const int w = width();
    p.setPen(kBandOutline);
    p.drawLine(0, 0, w - 2, 0);
    p.drawLine(0, 0, 0, kBandHeight);
    p.drawLine(w - 1, 0, w - 1, kBandHeight);
}

void CPaintedDlg::mousePressEvent(QMouseEvent* e)
{
    // Pressing on the surface itself drags the window, as a title bar would.
    if (e->button() == Qt::LeftButton && !childAt(e->position().toPoint()) && windowHandle())
        windowHandle()->startSystemMove();
    TemplateDialog::mousePressEvent(e);
}

}  // namespace talvane
