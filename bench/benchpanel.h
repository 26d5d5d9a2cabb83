// What the benchmarks that drive the whole panel share: its environment, the
// paced simulator on its serial port, the panel connected to it (or to a
// TCP control port), and a firmware upload from its Upgrade page.
#pragma once

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/mainwindow.h"
#include "app/networkpanel.h"
#include "benchsupport.h"
#include "link/serialport.h"
#include "link/tcplink.h"
#include "pages/upgradepage.h"
#include "protocol/commands.h"

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

// Connects the window in TCP Control Mode to `host`:`port`, as an operator
// types the address; false when it did not connect within `deadlineMs`.
inline bool connectTcp(CTalvaneDlg& window, const QString& host, quint16 port, int deadlineMs)
{
    NetEndpoints endpoints = window.networkPanel().endpoints();
    endpoints.tcpPort = port;
    window.networkPanel().setEndpoints(endpoints);
    window.networkPanel().setLinkMode(LinkMode::Tcp);
    window.controlAs<QComboBox>(ctl::DeviceList)->setEditText(host);
    window.networkPanel().tcpConnectClicked();
    return waitUntil([&] { return window.tcpLink().isOpen(); }, deadlineMs);
}

// Bytes on the line for one upload, at 11 bits a byte: start command and
// its answer, transfer request and its answer, then each block and its
// acknowledgement.
inline double upgradeWireMs(std::size_t imageSize)
{
    return lineMs(2.0 * (2 * kCommandFrameSize)
                  + double(firmwareBlockCount(imageSize)) * double(kDataFrameSize + kCommandFrameSize));
}

// Enters the Upgrade page, waits for the switch's information on it, and
// opens a random image of `size` bytes written to `dir` (and kept in
// `image`); nullptr (with `error`) when one of these fails.
inline CFWDlg* openRandomImage(CTalvaneDlg& window, const QTemporaryDir& dir, int size, int settleMs, QString& error,
                               QByteArray* image = nullptr)
{
    namespace up = talvane::upgrade;
    window.pressAt(window.control(ctl::TabUpgrade)->geometry().center());
    auto* page = qobject_cast<CFWDlg*>(window.pageWindow(Page::Upgrade));
    if (!page || !waitUntil([&] { return !page->controlAs<QLabel>(up::ctl::IdentText)->text().isEmpty(); })) {
        error = QStringLiteral("the Upgrade page got no device information");
        return nullptr;
    }
    settle(settleMs);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        error = QStringLiteral("cannot write the image file");
        return nullptr;
    }
    file.close();
    page->setFileChooser([path] { return path; });
    page->openClicked();
    if (image)
        *image = bytes;
    return page;
}

// One upload from pressing Upgrade on `page` (its file opened) to the last
// acknowledgement, in ms, once the switch is back from its reboot and
// `settleMs` more have passed; < 0 on failure, with `error` saying why.
inline double uploadOnce(CFWDlg* page, QString& error, int settleMs)
{
    namespace up = talvane::upgrade;
    auto* log = page->controlAs<QPlainTextEdit>(up::ctl::Log);
    QElapsedTimer clock;
    qint64 lastAckNs = -1;
    // The moment the last acknowledgement is handled, taken as it happens.
    const QMetaObject::Connection watch = QObject::connect(log, &QPlainTextEdit::textChanged, [&] {
        if (lastAckNs < 0 && log->toPlainText().contains(up::line::Rebooting))
            lastAckNs = clock.nsecsElapsed();
    });
    clock.start();
    page->controlAs<QPushButton>(up::ctl::Upgrade)->click();
    const bool ended = waitUntil([&] { return lastAckNs >= 0 || page->state() == up::State::Idle; });
    QObject::disconnect(watch);
    if (!ended || lastAckNs < 0) {
        error = QStringLiteral("the upload failed:\n") + log->toPlainText();
        return -1;
    }
    // The switch reboots at once here; the page reads its information again.
    if (!waitUntil([&] { return log->toPlainText().contains(up::line::Success); })) {
        error = QStringLiteral("the switch did not come back after its reboot");
        return -1;
    }
    settle(settleMs);
    return double(lastAckNs) / 1e6;
}

}  // namespace talvane::bench
