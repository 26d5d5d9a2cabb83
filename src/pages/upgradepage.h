// The Upgrade page (template 144): firmware upload and device information.
// The window is created on the page's first entry and then only shown and hidden.
#pragma once

#include "controls/dialogbase.h"

namespace talvane {

class RequestEngine;

class CFWDlg : public TemplateDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 266;

    CFWDlg(RequestEngine& engine, QWidget* parent);

private:
    RequestEngine& engine_;
};

}  // namespace talvane
