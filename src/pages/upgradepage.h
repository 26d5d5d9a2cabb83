// The Upgrade page (template 144): firmware upload and device information.
#pragma once

#include "pages/pagewindow.h"

namespace talvane {

class CFWDlg : public PageWindow {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 266;

    CFWDlg(RequestEngine& engine, QWidget* parent)
        : PageWindow(engine, parent, kTemplateWidth, kTemplateHeight, /*swallowSpace=*/false)
    {
    }
};

}  // namespace talvane
