// The hub with its web remote on the in-process simulated switch, for the
// HTTP tests: the switch's time runs on a manual clock, clients are real
// sockets on loopback; and the HTTP clients the tests use.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

#include "http/server.h"
#include "hub/hub.h"
#include "ops/connection.h"
#include "ops/labelstore.h"
#include "support/appclock.h"
#include "support/simlink.h"
#include "support/waitfor.h"

namespace talvane {

struct HttpHub {
    ManualClock clock;
    AppClockScope scope{&clock};
    QTemporaryDir dir;
    SimLink link;
    Connection connection{&clock};
    LabelStore labels{dir.filePath(QStringLiteral("labels.json"))};
    QString presetsPath = dir.filePath(QStringLiteral("presets.json"));
    QString switchKey = QStringLiteral("port:COM129");
    std::unique_ptr<hub::Hub> hub;
    std::unique_ptr<http::Server> server;

    HttpHub() { connection.setLink(Connection::LinkKind::Serial, &link); }
    ~HttpHub()
    {
        server.reset();
        hub.reset();
    }

    // Starts the hub, reads the switch once and listens on `address`.
    bool start(const QHostAddress& address = QHostAddress::LocalHost, const QByteArray& token = {})
    {
        labels.load();
        hub = std::make_unique<hub::Hub>(connection, labels, switchKey);
        hub->watchFiles(presetsPath);
        server = std::make_unique<http::Server>(*hub, presetsPath);
        server->setToken(token);
        if (!server->listen(address, 0))
            return false;
        hub->start();
        for (int i = 0; i < 100 && !(connection.session().idle() && connection.runner().backgroundCount() == 0); ++i)
            advance(100);
        return connection.session().idle();
    }
    quint16 port() const { return server->port(); }
    // Moves the switch's time on in small steps, letting its answers arrive.
    void advance(qint64 ms)
    {
        for (qint64 t = 0; t < ms; t += 100) {
            SimLink::settle();
            clock.advance(100);
        }
        SimLink::settle();
    }
    // Commands of `id` the switch received so far.
    int sent(CommandId id) const { return link.count(id); }
    int changesSent() const { return sent(cmd::RouteSet) + sent(cmd::ArcSet); }
};

// An answer as a plain HTTP client (QNetworkAccessManager) got it.
struct HttpAnswer {
    int status = 0;
    QByteArray body;
    QJsonObject json;
    QList<QNetworkReply::RawHeaderPair> headers;
    QByteArray header(const QByteArray& name) const
    {
        for (const auto& [k, v] : headers)
            if (k.toLower() == name.toLower())
                return v;
        return {};
    }
};

class HttpClient {
public:
    explicit HttpClient(quint16 port, QString host = QStringLiteral("127.0.0.1")) : port_(port), host_(std::move(host)) {}
    QByteArray bearer;  // sent as Authorization: Bearer, when set
    QByteArray cookie;  // sent as Cookie, when set

    QNetworkReply* start(const QByteArray& method, const QString& path, const QByteArray& body = {},
                         const QByteArray& contentType = "application/json",
                         const QList<QPair<QByteArray, QByteArray>>& headers = {})
    {
        QNetworkRequest request(QUrl(QStringLiteral("http://%1:%2%3").arg(host_).arg(port_).arg(path)));
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        if (!contentType.isEmpty() && !body.isEmpty())
            request.setRawHeader("Content-Type", contentType);
        if (!bearer.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + bearer);
        if (!cookie.isEmpty())
            request.setRawHeader("Cookie", cookie);
        for (const auto& [k, v] : headers)
            request.setRawHeader(k, v);
        return nam_.sendCustomRequest(request, method, body);
    }
    static HttpAnswer finish(QNetworkReply* reply, const std::function<void()>& meanwhile = {})
    {
        waitFor([&] {
            if (meanwhile && !reply->isFinished())
                meanwhile();
            return reply->isFinished();
        });
        HttpAnswer a;
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.body = reply->readAll();
        a.json = QJsonDocument::fromJson(a.body).object();
        a.headers = reply->rawHeaderPairs();
        reply->deleteLater();
        return a;
    }
    HttpAnswer get(const QString& path) { return finish(start("GET", path)); }
    HttpAnswer post(const QString& path, const QByteArray& body) { return finish(start("POST", path, body)); }
    HttpAnswer put(const QString& path, const QByteArray& body) { return finish(start("PUT", path, body)); }

private:
    QNetworkAccessManager nam_;
    quint16 port_;
    QString host_;
};

// A raw connection, for what a plain client would not send, and for the
// event stream.
struct RawClient {
    QTcpSocket socket;
    QByteArray in;
    explicit RawClient(quint16 port, const QHostAddress& address = QHostAddress::LocalHost)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { in += socket.readAll(); });
        socket.connectToHost(address, port);
        talvane::waitFor([this] { return socket.state() == QAbstractSocket::ConnectedState || closed(); });
    }
    void send(const QByteArray& bytes) { socket.write(bytes); }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    bool waitClosed() { return talvane::waitFor([this] { return closed(); }); }
    bool waitText(const QByteArray& text) { return talvane::waitFor([&] { return in.contains(text) || closed(); }) && in.contains(text); }
    // The next server-sent event called `name`: its data, as JSON; the
    // stream before it is taken.
    QJsonObject event(const QByteArray& name)
    {
        const QByteArray head = "event: " + name + "\ndata: ";
        talvane::waitFor([&] {
            const qsizetype at = in.indexOf(head);
            return (at >= 0 && in.indexOf("\n\n", at) >= 0) || closed();
        });
        const qsizetype at = in.indexOf(head);
        if (at < 0)
            return {};
        const qsizetype end = in.indexOf("\n\n", at);
        if (end < 0)
            return {};
        const QByteArray data = in.mid(at + head.size(), end - at - head.size());
        in.remove(0, end + 2);
        return QJsonDocument::fromJson(data).object();
    }
};

}  // namespace talvane
