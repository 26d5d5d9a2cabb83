// The hub's side of its management channel (link/hubchannel.h): talvane-ctl
// and the panel of the same user take and release output locks, list them,
// say which of the control port's connections is theirs, and follow every
// change the hub sees. Only processes of the hub's own user are served (the
// socket's peer credentials are checked); a client that sends lines too long
// or does not read what it is sent is dropped, and there are at most
// limits::MaxManageClients at once.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

#include "hub/hub.h"

namespace talvane {
namespace hub {

class ControlServer;

class ManageServer : public QObject {
    Q_OBJECT
public:
    // `hub` and `control` (may be nullptr) outlive the server.
    ManageServer(Hub& hub, ControlServer* control, QObject* parent = nullptr);
    ~ManageServer() override;

    // Listens at `path` (a socket file of this process's, made for its user only).
    bool listen(const QString& path);
    QString errorString() const { return listener_.errorString(); }
    QString path() const { return listener_.fullServerName(); }
    int clientCount() const;

signals:
    // A client was refused or dropped, and why.
    void clientRefused(const QString& peer, const QString& why);

private:
    struct Client;

    void onNewConnection();
    void readFrom(int id);
    QJsonObject handle(Client& c, const QJsonObject& request);
    void send(Client& c, const QJsonObject& message);
    void broadcast(const QJsonObject& event);
    void drop(Client& c, const QString& why);
    void reap();

    Hub& hub_;
    ControlServer* control_;
    QLocalServer listener_;
    std::map<int, std::unique_ptr<Client>> clients_;
    int nextId_ = 1;
    bool reapPosted_ = false;
};

}  // namespace hub
}  // namespace talvane
