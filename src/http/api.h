// The endpoints of the web remote: the page and its files, the login, and
// the API under /api/v1/ with the keys of talvane-ctl --json. Changes go to
// the hub (which queues them with every other front end's, checks the
// locks and reports how they ended); state comes from the hub's.
#pragma once

#include <QJsonObject>
#include <QLatin1String>
#include <QString>

#include <memory>
#include <vector>

#include "hub/hub.h"
#include "http/server.h"

namespace talvane {
namespace http {

class Access;
class Events;

class Api {
public:
    static constexpr QLatin1String kEventsPath{"/api/v1/events"};

    Api(hub::Hub& hub, Events& events, QString presetsPath, const Access& access);
    void handle(const Request& request, const Reply& reply);

private:
    using Handler = void (Api::*)(const Request&, const QJsonObject& body, const Reply&);
    struct Endpoint {
        QHttpServerRequest::Method method;
        QLatin1String path;
        Handler handler;
        bool open;  // served without the token
    };
    static const std::vector<Endpoint>& endpoints();

    void page(const Request&, const QJsonObject&, const Reply&);
    void loginPage(const Request&, const QJsonObject&, const Reply&);
    void file(const Request&, const QJsonObject&, const Reply&);
    void openapi(const Request&, const QJsonObject&, const Reply&);
    void login(const Request&, const QJsonObject&, const Reply&);
    void logout(const Request&, const QJsonObject&, const Reply&);
    void status(const Request&, const QJsonObject&, const Reply&);
    void events(const Request&, const QJsonObject&, const Reply&);
    void route(const Request&, const QJsonObject&, const Reply&);
    void arc(const Request&, const QJsonObject&, const Reply&);
    void presets(const Request&, const QJsonObject&, const Reply&);
    void recall(const Request&, const QJsonObject&, const Reply&);
    void labels(const Request&, const QJsonObject&, const Reply&);
    void putLabels(const Request&, const QJsonObject&, const Reply&);
    void locks(const Request&, const QJsonObject&, const Reply&);
    void lock(const Request&, const QJsonObject&, const Reply&);
    QJsonObject lockList(const Request& r) const;

    // A change for the hub, counted while it waits or runs; false (and the
    // answer given: busy) when too many wait already.
    bool admit(const Reply& reply);
    std::shared_ptr<void> ticket();
    struct RouteJob {
        hub::Who who;
        int input;
        std::vector<int> outputs;
        std::vector<std::pair<int, int>> done;
        std::shared_ptr<void> ticket;
    };
    void routeStep(std::shared_ptr<RouteJob> job, const Reply& reply);
    void ended(hub::Result result, const QString& why, const Reply& reply, const QJsonObject& done);

    hub::Hub& hub_;
    Events& events_;
    QString presetsPath_;
    const Access& access_;
    std::shared_ptr<int> waiting_ = std::make_shared<int>(0);
};

}  // namespace http
}  // namespace talvane
