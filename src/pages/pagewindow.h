// What the EDID, routing and upgrade pages share: a child window of the main
// window at its template size, a view of the operations it starts through the
// presenter. The window is created on the page's first entry and then only
// shown and hidden.
#pragma once

#include "controls/dialogbase.h"
#include "link/smallfile.h"

namespace talvane {

class Presenter;

class PageWindow : public TemplateDialog {
    Q_OBJECT
public:
    // Template size in dialog units; `swallowSpace`: whether the key filter
    // takes Space as well as Enter and Escape.
    PageWindow(Presenter& presenter, QWidget* parent, int templateWidth, int templateHeight, bool swallowSpace);

protected:
    // A press on the page's surface ends here: it neither drags the main
    // window nor reaches the main window's tab handling.
    void mousePressEvent(QMouseEvent* e) override;
    // The confirmation box text for a chosen file that was refused;
    // `tooLarge` is the page's own text for a file past its bound.
    static QString refusalText(FileRefusal why, const QString& tooLarge);

    Presenter& presenter_;
};

}  // namespace talvane
