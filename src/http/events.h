// The stream of changes at /api/v1/events, as server-sent events: each
// client gets the whole state first ("status", "presets"), then every
// change the hub learns, whoever made it ("route", "arc", "power",
// "beeper", "source", "display", "edid", "link", "labels", "presets").
// Also keeps the link state the page shows.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <vector>

#include "core/oneshot.h"
#include "hub/hub.h"

class QHttpServerResponder;
class QTcpSocket;

namespace talvane {
namespace http {

class Events : public QObject {
    Q_OBJECT
public:
    enum class Link { Connected, NoAnswer, Lost };
    static QString linkText(Link link);

    Events(hub::Hub& hub, QString presetsPath, QObject* parent = nullptr);
    ~Events() override;

    // A client's stream: the answer's head, then the whole state.
    void add(std::unique_ptr<QHttpServerResponder> responder, QTcpSocket* socket);
    int count() const { return int(streams_.size()); }

    Link link() const { return link_; }
    // What a change asked through the API showed of the link.
    void changeEnded(hub::Result result);
    // The whole state, as GET /api/v1/status answers it.
    QJsonObject status() const;
    // The presets of the switch, as GET /api/v1/presets answers it; the
    // reason in `why` when the presets file is damaged.
    QJsonObject presets(QString* why = nullptr) const;
    // The names changed (through the API): every client gets them.
    void labelsChanged();
    // The presets may have changed (a recall): every client gets them.
    void presetsChanged();

private:
    struct Stream;
    void send(const QByteArray& name, const QJsonObject& data);
    void write(Stream& s, const QByteArray& bytes);
    void changed(SwitchState::Aspect aspect, int port);
    void setLink(Link link);
    void reap();
    void keepAlive();

    hub::Hub& hub_;
    QString presetsPath_;
    std::vector<std::unique_ptr<Stream>> streams_;
    Link link_ = Link::Connected;
    QByteArray activePresets_;  // what the clients were told is active
    OneShot keepAlive_;
    bool reapPosted_ = false;
};

}  // namespace http
}  // namespace talvane
