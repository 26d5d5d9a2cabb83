// What every window of the program shares: controls addressed by their numeric
// ids, geometry given in dialog units (the 9-point template font's base units),
// the template font, and the key filter that swallows Enter, Escape and Space.
#pragma once

#include <QDialog>
#include <QFont>
#include <QMap>
#include <QRect>

namespace talvane {

// Dialog units to pixels: 4 horizontal units are one average character width
// (7 px), 8 vertical units one character height (15 px).
constexpr int kDluBaseX = 7;
constexpr int kDluBaseY = 15;
int dluX(int units);
int dluY(int units);
QRect dluRect(int x, int y, int w, int h);
QSize dluSize(int w, int h);

// "微软雅黑" 9 pt, falling back to a YaHei-style CJK font where it is absent.
QFont templateFont();

// Numbered controls of one window.
class ControlMap {
public:
    void add(int id, QWidget* widget);
    QWidget* control(int id) const { return map_.value(id, nullptr); }
    template <class W>
    W* as(int id) const { return qobject_cast<W*>(control(id)); }

private:
    QMap<int, QWidget*> map_;
};

class TemplateDialog : public QDialog {
    Q_OBJECT
public:
    explicit TemplateDialog(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

    QWidget* control(int id) const { return controls_.control(id); }
    template <class W>
    W* controlAs(int id) const { return controls_.as<W>(id); }

protected:
    // Creates nothing; registers `w` (a child of this dialog) under `id` at a
    // template rectangle in dialog units.
    template <class W>
    W* place(int id, W* w, int x, int y, int cx, int cy)
    {
        w->setGeometry(dluRect(x, y, cx, cy));
        controls_.add(id, w);
        return w;
    }
    void registerControl(int id, QWidget* w) { controls_.add(id, w); }
    ControlMap controls_;
};

// Centres a frameless top-level window on its owner's window (on the screen
// when it has none), kept on the screen. Done by hand because the toolkit's
// own placement allows for a title bar these windows do not have.
void centreOnOwner(QWidget* window);

// Swallows key presses of Enter, Escape and (optionally) Space addressed to
// `window` or any of its children, so these keys never close it or press a
// button. A child window with a filter of its own follows only its own. The
// filter lives as long as the window.
void installKeySwallower(QWidget* window, bool swallowSpace = true);

}  // namespace talvane
