// A group box that keeps its own drawing (frame and title) as a picture and
// repaints from it while nothing it is drawn from has changed. A page with
// many group boxes paints them all when it is shown, and the style draws
// each frame by stretching pieces of a picture, which the raster engine does
// line by line and hands to its thread pool; the page's first paint then
// waits for those threads.
#pragma once

#include <QGroupBox>
#include <QPixmap>
#include <QString>

namespace talvane {

class FramedGroup : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QPixmap drawn_;
    QString drawnFor_;  // what `drawn_` was drawn from
};

}  // namespace talvane
