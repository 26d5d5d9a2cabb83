#include "upgradepage.h"

namespace talvane {

CFWDlg::CFWDlg(RequestEngine& engine, QWidget* parent)
    : TemplateDialog(parent, Qt::Widget)
    , engine_(engine)
{
    resize(dluSize(kTemplateWidth, kTemplateHeight));
    installKeySwallower(this, /*swallowSpace=*/false);
}

}  // namespace talvane
