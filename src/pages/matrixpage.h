// The Matrix page (template 134): routing and audio return channel of each output.
#pragma once

#include "pages/pagewindow.h"

namespace talvane {

class CMatrixDlg : public PageWindow {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 274;

    CMatrixDlg(RequestEngine& engine, QWidget* parent)
        : PageWindow(engine, parent, kTemplateWidth, kTemplateHeight, /*swallowSpace=*/true)
    {
    }
};

}  // namespace talvane
