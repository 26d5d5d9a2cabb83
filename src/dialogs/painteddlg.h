// What the program's own painted popups share (the confirmation box and the
// network settings dialog): borderless, a white surface with a translucent
// grey frame, a blue title band with its outline, a flat close image button
// in the band's right end, dragging by pressing anywhere on the surface, the
// key filter for Enter, Escape and Space, and opening centred on the owner.
#pragma once

#include "controls/dialogbase.h"

#include <QColor>

class QPainter;

namespace talvane {

class CImageButton;

class CPaintedDlg : public TemplateDialog {
    Q_OBJECT
public:
    static const QColor kBand;         // title band and close button (30, 144, 225)
    static const QColor kBandOutline;  // (30, 120, 255)
    static constexpr int kBandHeight = 25;
    static constexpr int kCloseSize = 25;
    static constexpr int kCloseRightOffset = 26;

    void setVisible(bool visible) override;  // opens centred on the owner

protected:
    // A popup of `widthDlu` x `heightDlu` dialog units; the close button is
    // registered as control `closeId` at its template rectangle and moved into
    // the band.
    CPaintedDlg(QWidget* owner, int widthDlu, int heightDlu, int closeId, const QRect& closeDlu);

    CImageButton* closeButton() const { return close_; }
    // White surface, the frame (grey at `frameAlpha`) and the title band; the
    // caller paints its body, then the band's outline.
    void paintFrame(QPainter& p, int frameAlpha) const;
    void paintBandOutline(QPainter& p) const;
    // All of it for a box of controls: the frame, a body in the button
    // colour, the band's outline and `title` in white within `titleRect`.
    void paintTitled(QPainter& p, int frameAlpha, const QString& title, const QRect& titleRect) const;

    void mousePressEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void placeCloseButton();

    CImageButton* close_;
};

}  // namespace talvane
