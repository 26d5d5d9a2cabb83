// The EDID page (template 140): choosing the EDID each input presents.
// The window is created on the page's first entry and then only shown and hidden.
#pragma once

#include "controls/dialogbase.h"

namespace talvane {

class RequestEngine;

class CEDIDDlg : public TemplateDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 274;

    CEDIDDlg(RequestEngine& engine, QWidget* parent);

private:
    RequestEngine& engine_;
};

}  // namespace talvane
