// The EDID page (template 140): choosing the EDID each input presents.
#pragma once

#include "pages/pagewindow.h"

namespace talvane {

class CEDIDDlg : public PageWindow {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 274;

    CEDIDDlg(RequestEngine& engine, QWidget* parent)
        : PageWindow(engine, parent, kTemplateWidth, kTemplateHeight, /*swallowSpace=*/true)
    {
    }
};

}  // namespace talvane
