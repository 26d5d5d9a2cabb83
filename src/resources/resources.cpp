#include "resources.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace talvane::res {

namespace {

constexpr QSize kHeaderIconSize(24, 24);
constexpr QSize kStepIconSize(16, 16);
constexpr QSize kInformationSize(36, 36);
constexpr QSize kCheckMarkSize(31, 31);
constexpr QSize kDigitSize(80, 80);

const QColor kWhite(255, 255, 255);
const QColor kLightGrey(225, 225, 225);
const QColor kDarkRed(176, 28, 28);
const QColor kInfoBlue(30, 110, 210);
const QColor kCheckGreen(40, 160, 70);
const QColor kWarningAmber(240, 170, 0);
const QColor kWarningMark(40, 40, 40);
const QColor kTriangle(60, 60, 60);
const QColor kDigitPanel(30, 144, 225);
const QColor kDigitPanelEdge(30, 120, 200);

QImage canvas(QSize size)
{
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void cross(QPainter& p, const QColor& colour)
{
    // Two strokes, 10 px long, centred in the 24 x 24 icon.
    QPen pen(colour, 2.0, Qt::SolidLine, Qt::SquareCap);
    p.setPen(pen);
    p.drawLine(QPointF(7.5, 7.5), QPointF(16.5, 16.5));
    p.drawLine(QPointF(16.5, 7.5), QPointF(7.5, 16.5));
}

void bar(QPainter& p, const QColor& colour)
{
    p.fillRect(QRect(7, 15, 10, 2), colour);
}

QImage headerIcon(bool closeIcon, bool in)
{
    QImage img = canvas(kHeaderIconSize);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    if (in)
        p.fillRect(img.rect(), kDarkRed);
    const QColor fg = in ? kLightGrey : kWhite;
    if (closeIcon)
        cross(p, fg);
    else
        bar(p, fg);
    return img;
}

QImage information()
{
    QImage img = canvas(kInformationSize);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kInfoBlue);
    p.drawEllipse(QRectF(1, 1, 34, 34));
    p.setBrush(kWhite);
    p.drawEllipse(QRectF(15.5, 7, 5, 5));          // the dot of the i
    p.drawRoundedRect(QRectF(15.5, 14, 5, 15), 1.5, 1.5);  // its stem
    return img;
}

QImage checkMark()
{
    QImage img = canvas(kCheckMarkSize);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kCheckGreen);
    p.drawEllipse(QRectF(0.5, 0.5, 30, 30));
    QPen pen(kWhite, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QPointF tick[] = {{8.5, 16.0}, {13.5, 21.0}, {22.5, 10.5}};
    p.drawPolyline(tick, 3);
    return img;
}

QImage warning(QSize size)
{
    QImage img = canvas(size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal w = size.width();
    const qreal h = size.height();
    QPainterPath shape;
    shape.moveTo(w / 2, 1.5);
    shape.lineTo(w - 1.5, h - 3);
    shape.lineTo(1.5, h - 3);
    shape.closeSubpath();
    p.setPen(QPen(kWarningAmber, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(kWarningAmber);
    p.drawPath(shape);
    p.setPen(Qt::NoPen);
    p.setBrush(kWarningMark);
    const qreal stem = w * 0.12;
    p.drawRoundedRect(QRectF(w / 2 - stem / 2, h * 0.32, stem, h * 0.32), stem / 3, stem / 3);  // the stroke of the !
    p.drawEllipse(QRectF(w / 2 - stem / 2, h * 0.7, stem, stem));                              // its dot
    return img;
}

QImage triangle(bool pointsRight)
{
    QImage img = canvas(kStepIconSize);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kTriangle);
    QPolygonF shape;
    if (pointsRight)
        shape << QPointF(5, 3) << QPointF(12, 8) << QPointF(5, 13);
    else
        shape << QPointF(11, 3) << QPointF(4, 8) << QPointF(11, 13);
    p.drawPolygon(shape);
    return img;
}

QImage digit(int value)
{
    QImage img(kDigitSize, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);  // the page's own face shows around the panel
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setPen(QPen(kDigitPanelEdge, 2));
    p.setBrush(kDigitPanel);
    p.drawRoundedRect(QRectF(4, 4, 72, 72), 10, 10);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setBold(true);
    f.setPixelSize(56);
    p.setFont(f);
    p.setPen(kWhite);
    p.drawText(QRect(0, 0, kDigitSize.width(), kDigitSize.height()), Qt::AlignCenter,
               QString::number(value));
    return img;
}

int digitOf(int resourceId)
{
    if (resourceId == BitmapDigit1)
        return 1;
    if (resourceId >= BitmapDigit2 && resourceId <= BitmapDigit8)
        return resourceId - BitmapDigit2 + 2;
    return 0;
}

QImage draw(int resourceId)
{
    switch (resourceId) {
    case IconCloseOut: return headerIcon(true, false);
    case IconCloseIn: return headerIcon(true, true);
    case IconMinimizeOut: return headerIcon(false, false);
    case IconMinimizeIn: return headerIcon(false, true);
    case BitmapInformation: return information();
    case BitmapCheckMark: return checkMark();
    case BitmapWarning: return warning(kInformationSize);
    case BitmapWarningResult: return warning(kCheckMarkSize);
    case IconNext: return triangle(true);
    case IconPrevious: return triangle(false);
    default: break;
    }
    if (const int d = digitOf(resourceId))
        return digit(d);
    return {};
}

}  // namespace

int digitBitmapId(int d)
{
    if (d == 1)
        return BitmapDigit1;
    if (d >= 2 && d <= 8)
        return BitmapDigit2 + d - 2;
    return 0;
}

QPixmap bitmap(int resourceId)
{
    const QImage img = draw(resourceId);
    return img.isNull() ? QPixmap() : QPixmap::fromImage(img);
}

QIcon icon(int resourceId)
{
    const QPixmap pm = bitmap(resourceId);
    return pm.isNull() ? QIcon() : QIcon(pm);
}

QSize naturalSize(int resourceId)
{
    const QImage img = draw(resourceId);
    return img.isNull() ? QSize() : img.size();
}

QString description(int resourceId)
{
    switch (resourceId) {
    case IconCloseOut:
    case IconCloseIn: return QStringLiteral("Close");
    case IconMinimizeOut:
    case IconMinimizeIn: return QStringLiteral("Minimize");
    case BitmapInformation: return QStringLiteral("Information");
    case BitmapCheckMark: return QStringLiteral("Done");
    case BitmapWarning:
    case BitmapWarningResult: return QStringLiteral("Warning");
    case IconNext: return QStringLiteral("Next");
    case IconPrevious: return QStringLiteral("Previous");
    default: break;
    }
    const int d = digitOf(resourceId);
    return d ? QString::number(d) : QString();
}

}  // namespace talvane::res
