// What the Matrix page shows for one output, as one line a test can compare:
// the checked input buttons, the picture's name and the ARC boxes, e.g.
// "IN3 Input 3 ON" ("?" while ARC is unknown).
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QStringList>

#include "pages/matrixpage.h"
#include "resources/resources.h"

namespace talvane {

inline QString shownOnMatrix(CMatrixDlg& m, int o)
{
    namespace ids = matrix::ctl;
    QStringList parts;
    QStringList checked;
    for (int i = 1; i <= matrix::kInputs; ++i)
        if (m.controlAs<QPushButton>(ids::Input[o - 1][i - 1])->isChecked())
            checked << QStringLiteral("IN%1").arg(i);
    if (!checked.isEmpty())
        parts << checked.join(QLatin1Char(','));
    auto* picture = m.controlAs<QLabel>(ids::Picture[o - 1]);
    const int digit = picture->accessibleName().mid(6).toInt();
    // The name must say what the picture shows.
    if (picture->pixmap().toImage() != res::bitmap(res::digitBitmapId(digit)).toImage())
        return QStringLiteral("picture differs from its name");
    parts << picture->accessibleName();
    const bool on = m.controlAs<QCheckBox>(ids::ArcOn[o - 1])->isChecked();
    const bool off = m.controlAs<QCheckBox>(ids::ArcOff[o - 1])->isChecked();
    parts << (on == off ? (on ? QStringLiteral("both") : QStringLiteral("?")) : on ? QStringLiteral("ON") : QStringLiteral("OFF"));
    return parts.join(QLatin1Char(' '));
}

}  // namespace talvane
