// The Matrix page (template 134): routing and audio return channel of each output.
// The window is created on the page's first entry and then only shown and hidden.
#pragma once

#include "controls/dialogbase.h"

namespace talvane {

class RequestEngine;

class CMatrixDlg : public TemplateDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 274;

    CMatrixDlg(RequestEngine& engine, QWidget* parent);

private:
    RequestEngine& engine_;
};

}  // namespace talvane
