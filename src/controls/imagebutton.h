// The program's owner-drawn push button: a coloured background, an optional
// 3D edge, an icon that may change while the pointer is over the button, the
// caption, a focus rectangle and a tooltip. Used flat and borderless for the
// header Close/Minimize buttons and raised for the routing page's step buttons.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPushButton>
#include <QSize>

#include <array>

namespace talvane {

class CImageButton : public QPushButton {
    Q_OBJECT
public:
    // The six colours, in this order.
    enum ColorIndex {
        BackgroundIn = 0,  // under the pointer or pressed
        TextIn,
        BackgroundOut,  // at rest
        TextOut,
        BackgroundFocus,  // at rest with the keyboard focus
        TextFocus,
        ColorCount
    };
    enum class IconShown { None, In, Out };
    enum class Edge {
        None,
        PressedFrame,  // raised button pressed: one-pixel shadow frame
        ThinSunken,    // flat button pressed, with border
        Raised,        // raised button at rest: two-pixel 3D edge
        ThinRaised     // flat button hovered, with border
    };
    // What the next paint draws, derived from the button's current state.
    struct Look {
        bool outerFrame = false;  // black one-pixel frame of a focused/default raised button
        Edge edge = Edge::None;
        QColor background;
        QColor text;
        IconShown icon = IconShown::None;
        bool shifted = false;  // pressed: icon and caption one pixel right and down
        bool focusRect = false;
        bool greyed = false;  // disabled drawing
    };

    explicit CImageButton(QWidget* parent = nullptr);
    // Flat look (the default) is QPushButton's flat property: setFlat(false)
    // gives the raised 3D look and switches hover tracking off.

    // Flat buttons draw a thin 3D border when hovered or pressed (default on).
    void setDrawBorder(bool on);
    bool drawBorder() const { return drawBorder_; }
    // Flat buttons draw the focus rectangle too (default off).
    void setDrawFlatFocus(bool on);
    bool drawFlatFocus() const { return drawFlatFocus_; }
    // Track hover even while no window of the program is active (default on).
    void setAlwaysTrack(bool on) { alwaysTrack_ = on; }
    bool alwaysTrack() const { return alwaysTrack_; }

    // Icon in: shown while hovered or pressed; icon out: shown otherwise. With
    // no icon out the icon in is shown always. Each is drawn at its own size.
    // Returns false (and drops all icons) when the icon in has no size or a
    // given icon out has none.
    bool setIcons(const QIcon& in, const QIcon& out = QIcon());
    // The same with the program's icon resources (0 = none).
    bool setIcons(int inResourceId, int outResourceId = 0);
    QSize iconInSize() const { return inSize_; }
    QSize iconOutSize() const { return outSize_; }

    // Tooltip; also the accessible name of a button without a caption, unless
    // one was set with setAccessibleLabel().
    void setTooltipText(const QString& text);
    // Accessible name for a button that shows only an icon ("Next input B").
    void setAccessibleLabel(const QString& name);

    void setColor(ColorIndex index, const QColor& colour);
    QColor color(ColorIndex index) const { return colours_[index]; }

    bool isMouseOver() const { return mouseOver_; }
    Look look() const;
    IconShown currentIcon() const { return look().icon; }

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void track(const QPoint& pos, Qt::MouseButtons buttons);
    void clearHover();
    void updateAccessibleName();

    bool drawBorder_ = true;
    bool drawFlatFocus_ = false;
    bool alwaysTrack_ = true;
    bool mouseOver_ = false;
    std::array<QColor, ColorCount> colours_;
    QIcon iconIn_;
    QIcon iconOut_;
    QSize inSize_;
    QSize outSize_;
    QString label_;
    QString iconMeaning_;  // what a resource icon stands for, the last fallback name
};

}  // namespace talvane
