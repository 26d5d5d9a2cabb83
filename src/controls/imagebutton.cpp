#include "imagebutton.h"

#include "resources/resources.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

namespace talvane {

namespace {

// Pixels between the left edge and an icon that sits beside a caption, and
// between the button's edge and its focus rectangle.
constexpr int kIconMargin = 3;
constexpr int kFocusInset = 3;

QSize naturalIconSize(const QIcon& icon)
{
    if (icon.isNull())
        return {};
    const QList<QSize> sizes = icon.availableSizes();
    return sizes.isEmpty() ? QSize() : sizes.first();
}

// One-pixel 3D rectangle: `topLeft` on the top and left edges, `bottomRight`
// on the bottom and right edges.
void draw3dRect(QPainter& p, const QRect& r, const QColor& topLeft, const QColor& bottomRight)
{
    if (r.width() < 2 || r.height() < 2)
        return;
    p.fillRect(QRect(r.left(), r.top(), r.width() - 1, 1), topLeft);
    p.fillRect(QRect(r.left(), r.top(), 1, r.height() - 1), topLeft);
    p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), bottomRight);
    p.fillRect(QRect(r.right(), r.top(), 1, r.height()), bottomRight);
}

}  // namespace

CImageButton::CImageButton(QWidget* parent)
    : QPushButton(parent)
{
    setFlat(true);
    setMouseTracking(true);
    const QPalette pal = QApplication::palette();
    const QColor face = pal.color(QPalette::Button);
    const QColor text = pal.color(QPalette::ButtonText);
    colours_ = {face, text, face, text, face, text};
}

void CImageButton::setDrawBorder(bool on)
{
    drawBorder_ = on;
    update();
}

void CImageButton::setDrawFlatFocus(bool on)
{
    drawFlatFocus_ = on;
    update();
}

bool CImageButton::setIcons(const QIcon& in, const QIcon& out)
{
    iconIn_ = QIcon();
    iconOut_ = QIcon();
    inSize_ = outSize_ = QSize();
    const QSize inSize = naturalIconSize(in);
    const QSize outSize = naturalIconSize(out);
    const bool ok = inSize.isValid() && (out.isNull() || outSize.isValid());
    if (ok) {
        iconIn_ = in;
        iconOut_ = out;
        inSize_ = inSize;
        outSize_ = outSize;
    }
    update();
    return ok;
}

bool CImageButton::setIcons(int inResourceId, int outResourceId)
{
    const bool ok = setIcons(res::icon(inResourceId),
                             outResourceId ? res::icon(outResourceId) : QIcon());
    iconMeaning_ = ok ? res::description(inResourceId) : QString();
    updateAccessibleName();
    return ok;
}

void CImageButton::setTooltipText(const QString& text)
{
    setToolTip(text);
    updateAccessibleName();
}

void CImageButton::setAccessibleLabel(const QString& name)
{
    label_ = name;
    updateAccessibleName();
}

void CImageButton::setColor(ColorIndex index, const QColor& colour)
{
    if (index < 0 || index >= ColorCount)
        return;
    colours_[index] = colour;
    update();
}

void CImageButton::updateAccessibleName()
{
    // A caption names the button by itself; an icon-only button needs a name
    // for screen readers and UI automation.
    QString name = label_;
    if (name.isEmpty() && text().isEmpty())
        name = toolTip().isEmpty() ? iconMeaning_ : toolTip();
    // An empty result leaves alone a name the caller gave through Qt itself.
    if (!name.isEmpty() && name != accessibleName())
        setAccessibleName(name);
}

CImageButton::Look CImageButton::look() const
{
    Look l;
    const bool flat = isFlat();
    const bool pressed = isDown();
    const bool focused = hasFocus();
    const bool hot = mouseOver_ || pressed;

    l.outerFrame = !flat && (focused || isDefault());
    l.background = colours_[hot ? BackgroundIn : focused ? BackgroundFocus : BackgroundOut];
    l.text = colours_[hot ? TextIn : TextOut];
    if (pressed)
        l.edge = !flat ? Edge::PressedFrame : drawBorder_ ? Edge::ThinSunken : Edge::None;
    else if (!flat)
        l.edge = Edge::Raised;
    else if (mouseOver_ && drawBorder_)
        l.edge = Edge::ThinRaised;
    if (!iconIn_.isNull())
        l.icon = (!iconOut_.isNull() && !hot) ? IconShown::Out : IconShown::In;
    l.shifted = pressed;
    l.focusRect = focused && (!flat || drawFlatFocus_);
    l.greyed = !isEnabled();
    return l;
}

void CImageButton::paintEvent(QPaintEvent*)
{
    const Look l = look();
    const QPalette& pal = palette();
    QPainter p(this);
    QRect r = rect();

    if (l.outerFrame) {
        p.setPen(Qt::black);
        p.setBrush(Qt::NoBrush);
        p.drawRect(r.adjusted(0, 0, -1, -1));
        r.adjust(1, 1, -1, -1);
    }
    p.fillRect(r, l.background);

    const QColor highlight = pal.color(QPalette::Light);
    const QColor light3d = pal.color(QPalette::Midlight);
    const QColor shadow = pal.color(QPalette::Dark);
    const QColor darkShadow = pal.color(QPalette::Shadow);
    switch (l.edge) {
    case Edge::PressedFrame:
        p.setPen(shadow);
        p.drawRect(r.adjusted(0, 0, -1, -1));
        break;
    case Edge::ThinSunken: draw3dRect(p, r, shadow, highlight); break;
    case Edge::Raised:
        draw3dRect(p, r, highlight, darkShadow);
        draw3dRect(p, r.adjusted(1, 1, -1, -1), light3d, shadow);
        break;
    case Edge::ThinRaised: draw3dRect(p, r, highlight, shadow); break;
    case Edge::None: break;
    }

    const int shift = l.shifted ? 1 : 0;
    QRect captionArea = r;
    if (l.icon != IconShown::None) {
        const bool out = l.icon == IconShown::Out;
        const QIcon& icon = out ? iconOut_ : iconIn_;
        const QSize size = out ? outSize_ : inSize_;
        const QPixmap pm = icon.pixmap(size, l.greyed ? QIcon::Disabled : QIcon::Normal);
        QPoint at;
        if (text().isEmpty()) {
            at = QPoint(r.left() + (r.width() - size.width()) / 2,
                        r.top() + (r.height() - size.height()) / 2);
        } else {
            at = QPoint(r.left() + kIconMargin, r.top() + (r.height() - size.height()) / 2);
            captionArea.setLeft(at.x() + size.width());
        }
        p.drawPixmap(at + QPoint(shift, shift), pm);
    }

    if (!text().isEmpty()) {
        const int flags = Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;
        p.setFont(font());
        const QRect area = captionArea.translated(shift, shift);
        if (l.greyed) {
            p.setPen(highlight);
            p.drawText(area.translated(1, 1), flags, text());
            p.setPen(shadow);
        } else {
            p.setPen(l.text);
        }
        p.drawText(area, flags, text());
    }

    if (l.focusRect) {
        QPen dotted(pal.color(QPalette::ButtonText), 1, Qt::DotLine);
        p.setPen(dotted);
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(kFocusInset, kFocusInset, -kFocusInset - 1, -kFocusInset - 1));
    }
}

void CImageButton::track(const QPoint& pos, Qt::MouseButtons buttons)
{
    if (!isFlat())
        return;
    // Sliding onto the button with the left button held does not light it up.
    if ((buttons & Qt::LeftButton) && !mouseOver_)
        return;
    const bool over = rect().contains(pos) && isEnabled()
                      && (alwaysTrack_ || QApplication::activeWindow() != nullptr);
    if (over && !mouseOver_) {
        mouseOver_ = true;
        update();
    } else if (!over) {
        clearHover();
    }
}

void CImageButton::clearHover()
{
    if (!mouseOver_)
        return;
    mouseOver_ = false;
    update();
}

bool CImageButton::event(QEvent* e)
{
    switch (e->type()) {
    case QEvent::Polish: updateAccessibleName(); break;
    // A modal box over the button's window, or the button going away, ends
    // the hover as a cancelled mouse mode would.
    case QEvent::WindowBlocked:
    case QEvent::Hide: clearHover(); break;
    default: break;
    }
    return QPushButton::event(e);
}

void CImageButton::mouseMoveEvent(QMouseEvent* e)
{
    track(e->position().toPoint(), e->buttons());
    QPushButton::mouseMoveEvent(e);
}

void CImageButton::mouseDoubleClickEvent(QMouseEvent* e)
{
    // The second click of a double click is one more press.
    mousePressEvent(e);
}

void CImageButton::enterEvent(QEnterEvent* e)
{
    track(e->position().toPoint(), QApplication::mouseButtons());
    QPushButton::enterEvent(e);
}

void CImageButton::leaveEvent(QEvent* e)
{
    clearHover();
    QPushButton::leaveEvent(e);
}

void CImageButton::focusOutEvent(QFocusEvent* e)
{
    clearHover();
    QPushButton::focusOutEvent(e);
}

void CImageButton::changeEvent(QEvent* e)
{
    if ((e->type() == QEvent::ActivationChange && !isActiveWindow())
        || (e->type() == QEvent::EnabledChange && !isEnabled()))
        clearHover();
    QPushButton::changeEvent(e);
}

}  // namespace talvane
