#include "dialogbase.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>

namespace talvane {

int dluX(int units) { return (units * kDluBaseX + 2) / 4; }
int dluY(int units) { return (units * kDluBaseY + 4) / 8; }
QRect dluRect(int x, int y, int w, int h) { return QRect(dluX(x), dluY(y), dluX(w), dluY(h)); }
QSize dluSize(int w, int h) { return QSize(dluX(w), dluY(h)); }

QFont templateFont()
{
    QFont f;
    f.setFamilies({QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"),
                   QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    f.setPointSize(9);
    return f;
}

void ControlMap::add(int id, QWidget* widget)
{
    widget->setProperty("controlId", id);
    map_.insert(id, widget);
}

TemplateDialog::TemplateDialog(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
{
    setFont(templateFont());
}

namespace {

const char kKeyFilterProperty[] = "talvaneKeyFilter";

// The nearest window at or above `w` that has a key filter of its own: a page
// inside the main window keeps its own rules (the Upgrade page lets Space
// through) instead of the main window's. The search ends at `w`'s own
// window, so a dialog opened over a filtered window (an open-file dialog)
// keeps its keys.
QWidget* keyFilterWindowOf(QWidget* w)
{
    for (; w; w = w->isWindow() ? nullptr : w->parentWidget())
        if (w->property(kKeyFilterProperty).toBool())
            return w;
    return nullptr;
}

class KeySwallower : public QObject {
public:
    KeySwallower(QWidget* window, bool swallowSpace)
        : QObject(window)
        , window_(window)
        , swallowSpace_(swallowSpace)
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride
            && event->type() != QEvent::KeyRelease)
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        const int k = key->key();
        const bool swallowed = k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape
                               || (swallowSpace_ && k == Qt::Key_Space);
        if (!swallowed || !window_)
            return false;
        auto* w = qobject_cast<QWidget*>(watched);
        if (!w || keyFilterWindowOf(w) != window_)
            return false;
        // Enter, Escape and Space keep nothing from happening: swallow them
        // before the dialog or a focused button acts on them. A key release of
        // Space would click a pressed button, so releases go too.
        return true;
    }

private:
    QPointer<QWidget> window_;
    bool swallowSpace_;
};

}  // namespace

void centreOnOwner(QWidget* window)
{
    QWidget* owner = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    QScreen* screen = owner ? owner->screen() : window->screen();
    const QRect area = screen ? screen->availableGeometry() : QRect();
    const QRect around = owner ? owner->frameGeometry() : area;
    QRect r(QPoint(0, 0), window->size());
    r.moveCenter(around.center());
    if (area.isValid()) {
        r.moveRight(qMin(r.right(), area.right()));
        r.moveBottom(qMin(r.bottom(), area.bottom()));
        r.moveLeft(qMax(r.left(), area.left()));
        r.moveTop(qMax(r.top(), area.top()));
    }
    window->move(r.topLeft());
}

void installKeySwallower(QWidget* window, bool swallowSpace)
{
    window->setProperty(kKeyFilterProperty, true);
    qApp->installEventFilter(new KeySwallower(window, swallowSpace));
}

}  // namespace talvane
