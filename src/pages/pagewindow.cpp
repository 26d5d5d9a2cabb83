#include "pagewindow.h"

#include <QMouseEvent>

namespace talvane {

PageWindow::PageWindow(RequestEngine& engine, QWidget* parent, int templateWidth, int templateHeight,
                       bool swallowSpace)
    : TemplateDialog(parent, Qt::Widget)
    , engine_(engine)
{
    // A page is a child of the main window, not a window of its own.
    setWindowFlags(Qt::Widget);
    resize(dluSize(templateWidth, templateHeight));
    installKeySwallower(this, swallowSpace);
}

void PageWindow::mousePressEvent(QMouseEvent* e) { e->accept(); }

}  // namespace talvane
