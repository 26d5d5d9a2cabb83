// talvane-ctl's logic in this process, on the simulated switch and the
// manual clock: each wait lets replies arrive, then moves time on. Its
// labels and presets files live in a directory of its own.
#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include "core/clock.h"
#include "ctl/ctl.h"
#include "support/appclock.h"
#include "support/simlink.h"

namespace talvane {

struct InProcess {
    ManualClock clock;
    AppClockScope scope{&clock};
    SimLink link;
    QTemporaryDir dir;
    QStringList out, err, progress;
    ctl::Environment env;

    InProcess()
    {
        env.out = [this](const QString& l) { out << l; };
        env.err = [this](const QString& l) { err << l; };
        env.progress = [this](const QString& l) { progress << l; };
        env.clock = &clock;
        env.link = &link;
        env.linkKey = LabelStore::keyForPort(200);
        env.labelsPath = dir.filePath("labels.json");
        env.presetsPath = dir.filePath("presets.json");
        env.wait = [this](const std::function<bool()>& done) {
            for (qint64 t = 0; t < 600000 && !done(); t += 10) {
                SimLink::settle();
                if (!done())
                    clock.advance(10);
            }
        };
    }
    // A run closes the link at its end; the next finds it open again, as a
    // new process of the program finds the switch.
    int run(const QStringList& args)
    {
        link.open = true;
        return ctl::run(args, env);
    }
};

}  // namespace talvane
