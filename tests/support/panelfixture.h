// A main window on the manual clock with every popup answered by a script and
// every frame the engine writes captured (in either link mode), for driving
// the panel without a user and without waiting. Searches and settings go to
// the loopback broadcast on ports of their own, never beyond this machine.
#pragma once

#include <QAccessible>
#include <QByteArray>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <memory>
#include <vector>

#include "app/mainwindow.h"
#include "app/networkpanel.h"
#include "core/clock.h"
#include "dialogs/popups.h"
#include "protocol/frame.h"
#include "support/capturelink.h"
#include "support/scriptedmodal.h"

namespace talvane {

struct PanelFixture {
    ManualClock clock;
    // The panel's own files (settings, presets) live here, never in the user's directory.
    QTemporaryDir configDir;
    std::unique_ptr<ScriptedModal> modal;
    std::unique_ptr<CTalvaneDlg> window;
    std::vector<std::vector<std::uint8_t>> sent;  // every write, in order
    CaptureLink capture{sent};

    explicit PanelFixture(bool linkOpen = true)
    {
        setAppClock(&clock);
        modal = std::make_unique<ScriptedModal>(clock);
        window = std::make_unique<CTalvaneDlg>(nullptr, settingsPath());
        window->setPresetsPath(presetsPath());
        window->setLabelsPath(labelsPath());
        window->networkPanel().setEndpoints(loopbackEndpoints());
        window->setLink(LinkMode::Com, &capture);
        window->setLink(LinkMode::Tcp, &capture);
        capture.open = linkOpen;
    }
    QString labelsPath() const { return configDir.filePath(QStringLiteral("labels.json")); }
    QString presetsPath() const { return configDir.filePath(QStringLiteral("presets.json")); }

    ~PanelFixture()
    {
        window.reset();
        modal.reset();
        Popups::instance().closeBusy();
        setAppClock(nullptr);
    }


    QString settingsPath() const { return configDir.filePath(QStringLiteral("panel.json")); }

    // The loopback broadcast and UDP ports no other program uses (each bound
    // once to find a free one); TCP port 1, where nothing listens on loopback.
    static NetEndpoints loopbackEndpoints()
    {
        NetEndpoints e;
        e.broadcast = QHostAddress(QStringLiteral("127.255.255.255"));
        e.tcpPort = 1;
        QUdpSocket a, b;
        a.bind(QHostAddress::AnyIPv4, 0);
        b.bind(QHostAddress::AnyIPv4, 0);
        e.searchPort = a.localPort();
        e.configPort = b.localPort();
        return e;
    }

    // Hex of every write so far ("A5 5B ..."), one entry per write.
    QStringList sentHex() const
    {
        QStringList out;
        for (const auto& w : sent)
            out << QString::fromStdString(toHex(w.data(), w.size()));
        return out;
    }
    QString lastSent() const { return sent.empty() ? QString() : sentHex().last(); }

    // Delivers posted events (the send message among them).
    static void deliverPosted() { QCoreApplication::sendPostedEvents(); }

    // What a log control shows once the text on its way has reached it.
    QString logText(int id) const
    {
        deliverPosted();
        return window->controlAs<QPlainTextEdit>(id)->toPlainText();
    }

    // Plays the switch: the reply arrives byte by byte on the link.
    void receive(CommandFrame frame, bool seal = true)
    {
        if (seal)
            frame.seal();
        for (std::uint8_t b : frame.bytes)
            emit capture.received(QByteArray(1, char(b)));
        deliverPosted();
    }

    QStringList messageTexts() const
    {
        QStringList out;
        for (const auto& r : modal->records())
            if (r.kind == ScriptedModal::Kind::Message)
                out << r.textAtOpen;
        return out;
    }
};

// An accessibility action on a control, as a screen reader or a test tool
// does it.
inline void act(QWidget* w, const QString& action)
{
    QAccessible::queryAccessibleInterface(w)->actionInterface()->doAction(action);
}

}  // namespace talvane
