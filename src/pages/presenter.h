// How the pages run the operator's operations and show their results: the
// check before one starts (the link is open and no other operation holds the
// switch), the boxes that tell how it ended ("Time out!" and the rest), and
// the hold on the switch kept until the operator has closed them. The hold
// travels with the work: whoever has it last lets the switch go by letting
// it go, whichever way the work ends.
#pragma once

#include <functional>

#include "ops/connection.h"
#include "pages/ids.h"

namespace talvane {

class Popups;

class Presenter {
public:
    // `linkMode` tells which link the operator chose (for the failure text).
    Presenter(Connection& connection, Popups& popups, std::function<LinkMode()> linkMode);

    Connection& connection() const { return connection_; }
    Runner& runner() const { return connection_.runner(); }
    Session& session() const { return connection_.session(); }
    Popups& popups() const { return popups_; }
    LinkMode linkMode() const { return linkMode_(); }
    bool linkOpen() const { return connection_.isOpen(); }

    // Takes hold of the switch for an operator's command. With the link
    // closed it shows "Open COM failed!" (COM mode) or "Connect to Matrix
    // failed!" and returns an empty hold once the box is closed; while an
    // operation holds the switch it returns an empty hold and shows nothing.
    [[nodiscard]] Hold acquire();
    bool busy() const { return runner().busy(); }

    // An operation of the operator's ended without an answer: the busy popup
    // closes (unless told not to), "Time out!" is shown, and `hold` ends once
    // the box is closed.
    void timeOut(Hold hold, bool closeBusy = true);

    // Runs `op` for the operator under `hold`: `onFinished` presents its
    // result with the hold, which ends when it returns unless it passed the
    // hold on; the operation is deleted afterwards.
    using Finished = std::function<void(Outcome, Hold)>;
    void run(Hold hold, Operation* op, Finished onFinished);

private:
    Connection& connection_;
    Popups& popups_;
    std::function<LinkMode()> linkMode_;
};

}  // namespace talvane
