// A session on the simulated switch, on the manual clock, that runs
// operations to their end: what the tests of the operations share.
#pragma once

#include "core/clock.h"
#include "engine/session.h"
#include "ops/operation.h"
#include "support/appclock.h"
#include "support/simlink.h"

namespace talvane {

struct SimSessionBench {
    ManualClock clock;
    AppClockScope scope{&clock};
    SimLink link;
    Session session{&clock};

    SimSessionBench() { session.setLink(&link); }

    // Runs `op` to its end (advancing the clock when it waits), at most `ms`.
    Outcome run(Operation& op, qint64 ms = 60000)
    {
        op.start();
        for (qint64 t = 0; t < ms && op.running(); t += 10) {
            SimLink::settle();
            if (op.running())
                clock.advance(10);
        }
        SimLink::settle();
        return op.outcome();
    }
};

}  // namespace talvane
