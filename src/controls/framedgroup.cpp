#include "framedgroup.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionGroupBox>

namespace talvane {

namespace {

// Everything in the style's option that the drawing depends on.
QString drawingKey(const QStyleOptionGroupBox& o, const QFont& font, const QStyle* style, qreal ratio)
{
    return QStringLiteral("%1x%2 %3 %4 %5 %6 %7 %8 %9 %10 %11 %12 %13 %14")
        .arg(o.rect.width())
        .arg(o.rect.height())
        .arg(int(o.state))
        .arg(int(o.features))
        .arg(int(o.subControls))
        .arg(int(o.activeSubControls))
        .arg(int(o.textAlignment))
        .arg(o.textColor.rgba())
        .arg(o.lineWidth)
        .arg(o.midLineWidth)
        .arg(o.palette.cacheKey())
        .arg(font.key(), QString::number(quintptr(style)), QString::number(ratio))
        + o.text;
}

}  // namespace

void FramedGroup::paintEvent(QPaintEvent*)
{
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    const qreal ratio = devicePixelRatioF();
    const QString key = drawingKey(option, font(), style(), ratio);
    if (key != drawnFor_) {
        QPixmap picture(size() * ratio);
        picture.setDevicePixelRatio(ratio);
        picture.fill(Qt::transparent);
        QPainter p(&picture);
        // What a painter on the widget starts with.
        p.setFont(font());
        p.setPen(QPen(palette().brush(foregroundRole()), 1));
        p.setBackground(palette().brush(backgroundRole()));
        style()->drawComplexControl(QStyle::CC_GroupBox, &option, &p, this);
        p.end();
        drawn_ = picture;
        drawnFor_ = key;
    }
    QPainter p(this);
    p.drawPixmap(0, 0, drawn_);
}

}  // namespace talvane
