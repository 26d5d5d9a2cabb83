// How the pages run the operator's operations and show their results: the
// check before one starts (the link is open and no other operation holds the
// switch), the boxes that tell how it ended ("Time out!" and the rest), and
// the hold on the switch kept until the operator has closed them.
#pragma once

#include <functional>

#include "ops/runner.h"
#include "pages/ids.h"

namespace talvane {

class Popups;

class Presenter {
public:
    // `linkMode` tells which link the operator chose (for the failure text),
    // `linkOpen` whether it is open.
    Presenter(Runner& runner, Popups& popups, std::function<LinkMode()> linkMode, std::function<bool()> linkOpen);

    Runner& runner() const { return runner_; }
    Session& session() const { return runner_.session(); }
    Popups& popups() const { return popups_; }
    LinkMode linkMode() const { return linkMode_(); }
    bool linkOpen() const { return linkOpen_(); }

    // Takes hold of the switch for an operator's command. With the link
    // closed it shows "Open COM failed!" (COM mode) or "Connect to Matrix
    // failed!" and returns false once the box is closed; while an operation
    // holds the switch it returns false and shows nothing.
    bool acquire();
    void release();
    bool busy() const { return runner_.busy(); }

    // An operation of the operator's ended without an answer: the busy popup
    // closes (unless told not to), "Time out!" is shown, and the switch is
    // released once the box is closed.
    void timeOut(bool closeBusy = true);

    // Runs `op` for the operator (after acquire()): `onFinished` presents its
    // result and releases the switch; the operation is deleted afterwards.
    void run(Operation* op, std::function<void(Outcome)> onFinished);

private:
    Runner& runner_;
    Popups& popups_;
    std::function<LinkMode()> linkMode_;
    std::function<bool()> linkOpen_;
};

}  // namespace talvane
