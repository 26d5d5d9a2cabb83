// The hub as the tests of its front ends run it: the in-process simulated
// switch on a SimLink, the connection and the hub on the manual clock, a
// labels file of the test's own, and the Videohub server.
#pragma once

#include <QTemporaryDir>

#include <algorithm>
#include <memory>

#include "hub/hub.h"
#include "ops/connection.h"
#include "ops/labelstore.h"
#include "support/appclock.h"
#include "support/simlink.h"
#include "videohub/server.h"

namespace talvane {

struct HubFixture {
    ManualClock clock;
    AppClockScope scope{&clock};
    QTemporaryDir dir;
    SimLink link;
    Connection connection{&clock};
    Session& session = connection.session();
    Runner& runner = connection.runner();
    LabelStore labels{dir.filePath(QStringLiteral("labels.json"))};
    std::unique_ptr<hub::Hub> hub;
    std::unique_ptr<videohub::Server> server;

    // How the labels store names the simulated switch.
    static QString switchKey() { return QStringLiteral("port:COM129"); }

    HubFixture() { connection.setLink(Connection::LinkKind::Serial, &link); }
    ~HubFixture()
    {
        server.reset();
        hub.reset();
    }

    // Loads the labels, serves Videohub clients on a free loopback port, and
    // starts the hub: its first read of the switch, to its end.
    bool start()
    {
        labels.load();
        hub = std::make_unique<hub::Hub>(connection, labels, switchKey());
        hub->watchFiles(dir.filePath(QStringLiteral("presets.json")));
        server = std::make_unique<videohub::Server>(
            *hub, videohub::DeviceIdentity{QStringLiteral("Talvane HDMI Matrix 8x8"), QStringLiteral("Rack 2"),
                                           QStringLiteral("02544C565301")});
        if (!server->listen(QHostAddress::LocalHost, 0))
            return false;
        hub->start();
        for (int i = 0; i < 100 && !(session.idle() && runner.backgroundCount() == 0); ++i)
            advance(100);
        return session.idle();
    }
    // Moves the switch's time on in small steps, letting its answers arrive.
    void advance(qint64 ms)
    {
        for (qint64 t = 0; t < ms; t += 100) {
            SimLink::settle();
            clock.advance(std::min<qint64>(100, ms - t));
        }
        SimLink::settle();
    }
};

}  // namespace talvane
