#include "pagewindow.h"

#include <QMouseEvent>

#include "dialogs/popups.h"
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

QString PageWindow::refusalText(FileRefusal why, const QString& tooLarge)
{
    switch (why) {
    case FileRefusal::None:
        break;
    case FileRefusal::Missing:
        return text::FileNotFound;
    case FileRefusal::NotRegular:
        return text::NotRegularFile;
    case FileRefusal::Unreadable:
        return text::CannotReadFile;
    case FileRefusal::TooLarge:
        return tooLarge;
    case FileRefusal::Changed:
        return text::FileChanged;
    }
    return QString();
}

}  // namespace talvane
