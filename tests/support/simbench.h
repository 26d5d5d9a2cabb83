// The panel against the in-process switch simulator over a real serial line
// (a pseudo-terminal). Time-dependent steps run on the manual clock; the bytes
// travel for real, and tests wait for them by processing events, never by
// sleeping.
#pragma once

#include <QtTest>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

#include <functional>
#include <memory>

#include "app/controlids.h"
#include "support/waitfor.h"
#include "app/generalpage.h"
#include "link/serialport.h"
#include "link/tcplink.h"
#include "sim/simulator.h"
#include "support/panelfixture.h"

namespace talvane {

// How long (on the manual clock) a reconnect may take, and the steps it is
// looked for in.
constexpr int kReconnectWithinMs = 2000;
constexpr int kStepMs = 50;

// Moves the manual clock in steps, with real I/O between them, until `cond`
// holds; the time it took, or -1 past `limitMs`.
inline int advanceUntil(ManualClock& clock, const std::function<bool()>& cond, int limitMs = kReconnectWithinMs)
{
    for (int t = 0; t <= limitMs; t += kStepMs) {
        if (waitFor(cond, 20))
            return t;
        clock.advance(kStepMs);
    }
    return cond() ? limitMs : -1;
}

// A panel and a simulator joined by a pseudo-terminal; the simulator traces
// what it receives.
struct SimBench {
    QTemporaryDir registry;
    QString tracePath;
    std::unique_ptr<PanelFixture> panel;
    std::unique_ptr<sim::Simulator> sim;

    SimBench()
    {
        qputenv("TALVANE_PORT_REGISTRY", registry.path().toLocal8Bit());
        tracePath = registry.filePath(QStringLiteral("trace.txt"));
        panel = std::make_unique<PanelFixture>(false);
        // The real links write again (the fixture captures by default).
        panel->window->setLink(LinkMode::Com, &panel->window->serialPort());
        panel->window->setLink(LinkMode::Tcp, &panel->window->tcpLink());
        sim::SimOptions o;
        o.tcp = false;
        o.udp = false;
        o.registryDirectory = registry.path();
        o.tracePath = tracePath;
        sim = std::make_unique<sim::Simulator>(o);
    }
    ~SimBench()
    {
        sim.reset();  // its timers run on the panel's manual clock
        panel.reset();
        qunsetenv("TALVANE_PORT_REGISTRY");
    }

    CTalvaneDlg& window() { return *panel->window; }
    sim::SwitchModel& model() { return sim->device().model(); }
    QCheckBox* box(int id) { return window().controlAs<QCheckBox>(id); }
    // A check box's action runs once its click has returned.
    void clickBox(int id)
    {
        box(id)->click();
        QCoreApplication::sendPostedEvents();
    }
    QString label(int id) { return window().controlAs<QLabel>(id)->text(); }
    // Exchanges the panel has had answered so far.
    int answers() { return int(window().session().counters().answers); }

    // Frames the switch received, as traced.
    QStringList received()
    {
        QFile f(tracePath);
        QStringList out;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray& line : f.readAll().split('\n'))
                if (line.startsWith("< "))
                    out << QString::fromLatin1(line.mid(2));
        return out;
    }

    // Starts the simulator, picks its port from the list and connects.
    bool connect()
    {
        if (!sim->start())
            return false;
        window().generalPage().refreshPortList();
        auto* list = window().controlAs<QComboBox>(ctl::PortList);
        const int index = list->findText(QStringLiteral("COM%1").arg(sim->serialCom()));
        if (index < 0)
            return false;
        list->setCurrentIndex(index);
        window().controlAs<QPushButton>(ctl::Connect)->click();
        return panel->window->serialPort().isOpen();
    }
};

}  // namespace talvane
