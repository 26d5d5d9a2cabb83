// Where the General page's controls sit on the main window (template 102),
// in its dialog units: the link, power, beeper, reset and reboot controls in
// the left column, the device information on the right, and beyond the
// window's right edge the logs and the extended factory reset, which exist
// and are written to but are not shown.
#pragma once

#include <QRect>

#include <vector>

class QWidget;

namespace talvane {
namespace mainlayout {

enum class Kind { Group, Label, Button, Radio, CheckBox, List, Log };

struct Placement {
    int id;            // the control's ctl:: id
    Kind kind;
    const char* text;  // UTF-8: a group's title, a label's, button's or box's text
    QRect rect;        // in dialog units
    bool offscreen = false;
};

// Every control of the General page, in the order they are made: the order
// the keyboard's focus goes through them.
std::vector<Placement> generalControls();

// The control a placement describes, not yet placed (a log is read-only).
QWidget* makeControl(const Placement& placement, QWidget* parent);

}  // namespace mainlayout
}  // namespace talvane
