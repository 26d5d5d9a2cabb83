#include "edidpage.h"

namespace talvane {

CEDIDDlg::CEDIDDlg(RequestEngine& engine, QWidget* parent)
    : TemplateDialog(parent, Qt::Widget)
    , engine_(engine)
{
    resize(dluSize(kTemplateWidth, kTemplateHeight));
    installKeySwallower(this, /*swallowSpace=*/true);
}

}  // namespace talvane
