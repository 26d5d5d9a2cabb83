#include "matrixpage.h"

namespace talvane {

CMatrixDlg::CMatrixDlg(RequestEngine& engine, QWidget* parent)
    : TemplateDialog(parent, Qt::Widget)
    , engine_(engine)
{
    resize(dluSize(kTemplateWidth, kTemplateHeight));
    installKeySwallower(this, /*swallowSpace=*/true);
}

}  // namespace talvane
