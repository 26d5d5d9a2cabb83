#include "edidpage.h"

namespace talvane {

CEDIDDlg::CEDIDDlg(RequestEngine& engine, QWidget* parent)
    : TemplateDialog(parent, Qt::Widget)
    , engine_(engine)
{
    // A page is a child of the main window, not a window of its own.
    setWindowFlags(Qt::Widget);
    resize(dluSize(kTemplateWidth, kTemplateHeight));
    installKeySwallower(this, /*swallowSpace=*/true);
}

}  // namespace talvane
