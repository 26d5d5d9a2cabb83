#include "pagewindow.h"

#include <QMouseEvent>

#include "pages/presenter.h"

namespace talvane {

PageWindow::PageWindow(Presenter& presenter, QWidget* parent, int templateWidth, int templateHeight,
                       bool swallowSpace)
    : TemplateDialog(parent, Qt::Widget)
    , presenter_(presenter)
{
    // A page is a child of the main window, not a window of its own.
    setWindowFlags(Qt::Widget);
    resize(dluSize(templateWidth, templateHeight));
    installKeySwallower(this, swallowSpace);
}

void PageWindow::mousePressEvent(QMouseEvent* e) { e->accept(); }

}  // namespace talvane
