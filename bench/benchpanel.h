// What the benchmarks that drive the whole panel share: its environment, the
// paced simulator on its serial port, and the panel connected to it.
#pragma once

#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/mainwindow.h"
#include "benchsupport.h"
#include "link/serialport.h"

namespace talvane::bench {

// Offscreen unless QT_QPA_PLATFORM says otherwise, and a port registry and
// configuration directory of the benchmark's own. Made before the application.
struct PanelEnvironment {
    QTemporaryDir registry;
    QTemporaryDir config;  // the panel's settings, names and presets: never the user's
    PanelEnvironment()
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("TALVANE_PORT_REGISTRY", registry.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    }
};

// The first argument as a count of passes, or `fallback`.
inline int passesArgument(int argc, char** argv, int fallback)
{
    return argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : fallback;
}

inline int fail(const char* bench, const QString& what)
{
    std::fprintf(stderr, "%s: %s\n", bench, qPrintable(what));
    return 1;
}

// Lets the panel's own traffic (a greeting, a page's background reads) pass.
inline void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    waitUntil([&] { return t.elapsed() >= ms; });
}

// The simulator's serial port, paced as on the line.
struct PacedSerial {
    int com = 0;  // 0: the simulator did not start
    QString path;
};

inline PacedSerial startPacedSerial(SimProcess& sim)
{
    const QList<QByteArray> line = sim.start({QStringLiteral("--pace"), QStringLiteral("--no-tcp")}, "serial: COM");
    return {line.value(1).mid(3).toInt(), QString::fromLocal8Bit(line.value(2))};
}

// Shows the window and connects it to COMn as an operator would; false when
// the port did not open.
inline bool connectSerial(CTalvaneDlg& window, int com)
{
    window.show();
    window.generalPage().refreshPortList();
    auto* ports = window.controlAs<QComboBox>(ctl::PortList);
    ports->setCurrentIndex(ports->findText(QStringLiteral("COM%1").arg(com)));
    window.controlAs<QPushButton>(ctl::Connect)->click();
    return window.serialPort().isOpen();
}

}  // namespace talvane::bench
