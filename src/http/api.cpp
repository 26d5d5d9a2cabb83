#include "api.h"

#include <QFile>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include "http/auth.h"
#include "http/events.h"
#include "http/limits.h"
#include "ops/documents.h"
#include "ops/presets.h"

namespace talvane {
namespace http {

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

// The page's files, in the program's resources (page/http.qrc).
struct PageFile {
    QLatin1String path;
    const char* resource;
    const char* mimeType;
};
const PageFile kFiles[] = {
    {QLatin1String("/"), ":/http/index.html", "text/html; charset=utf-8"},
    {QLatin1String("/login"), ":/http/login.html", "text/html; charset=utf-8"},
    {QLatin1String("/app.js"), ":/http/app.js", "text/javascript; charset=utf-8"},
    {QLatin1String("/login.js"), ":/http/login.js", "text/javascript; charset=utf-8"},
    {QLatin1String("/app.css"), ":/http/app.css", "text/css; charset=utf-8"},
    {QLatin1String("/icon.svg"), ":/http/icon.svg", "image/svg+xml"},
    {QLatin1String("/api/v1/openapi.json"), ":/http/openapi.json", "application/json"},
};

QHttpServerResponse resource(const QString& path)
{
    for (const PageFile& f : kFiles) {
        if (f.path != path)
            continue;
        QFile file(QString::fromLatin1(f.resource));
        if (file.open(QIODevice::ReadOnly))
            return QHttpServerResponse(QByteArray(f.mimeType), file.readAll());
    }
    return QHttpServerResponse(Status::NotFound);
}

Status statusOf(hub::Result result)
{
    switch (result) {
    case hub::Result::Done:
        break;
    case hub::Result::TimedOut:
        return Status::GatewayTimeout;
    case hub::Result::Refused:
        return Status::BadGateway;
    case hub::Result::NoLink:
        return Status::ServiceUnavailable;
    case hub::Result::Locked:
        return Status::Conflict;
    }
    return Status::Ok;
}

// The keys a body may hold; the first other one, or empty.
QString unknownKey(const QJsonObject& body, std::initializer_list<const char*> known)
{
    for (auto it = body.begin(); it != body.end(); ++it) {
        bool found = false;
        for (const char* k : known)
            found = found || it.key() == QLatin1String(k);
        if (!found)
            return it.key();
    }
    return QString();
}

// A port as the API takes it: an input 1..8; an output "A".."H" (either
// case) or 1..8. 0 when it is not one.
int inputOf(const QJsonValue& v)
{
    const double d = v.toDouble(-1);
    return v.isDouble() && d == int(d) && d >= 1 && d <= kPortCount ? int(d) : 0;
}
int outputOf(const QJsonValue& v)
{
    if (v.isString()) {
        const QString s = v.toString().toUpper();
        return s.size() == 1 && s[0] >= u'A' && s[0] < QChar(u'A' + kPortCount) ? s[0].unicode() - u'A' + 1 : 0;
    }
    return inputOf(v);
}

// Every client of the web API is the web API: requests carry no identity
// of their own (one token, connections that come and go), so its locks
// belong to the front end as a whole, as MQTT's do.
hub::Who whoFor(const Request&) { return {hub::Who::Kind::Http, QString(), QStringLiteral("the web API")}; }

// An Origin header, where given, that names the server the request came to.
bool sameOrigin(const Request& r)
{
    return r.origin.isEmpty() || QUrl(QString::fromLatin1(r.origin)).authority().toLower() == QString::fromLatin1(r.host).toLower();
}

}  // namespace

Api::Api(hub::Hub& hub, Events& events, QString presetsPath, const Access& access)
    : hub_(hub), events_(events), presetsPath_(std::move(presetsPath)), access_(access)
{
}

const std::vector<Api::Endpoint>& Api::endpoints()
{
    static const std::vector<Endpoint> table{
        {Method::Get, QLatin1String("/"), &Api::page, true},
        {Method::Get, QLatin1String("/login"), &Api::loginPage, true},
        {Method::Get, QLatin1String("/app.js"), &Api::file, true},
        {Method::Get, QLatin1String("/login.js"), &Api::file, true},
        {Method::Get, QLatin1String("/app.css"), &Api::file, true},
        {Method::Get, QLatin1String("/icon.svg"), &Api::file, true},
        {Method::Post, QLatin1String("/api/v1/login"), &Api::login, true},
        {Method::Post, QLatin1String("/api/v1/logout"), &Api::logout, true},
        {Method::Get, QLatin1String("/api/v1/openapi.json"), &Api::openapi, false},
        {Method::Get, QLatin1String("/api/v1/status"), &Api::status, false},
        {Method::Get, kEventsPath, &Api::events, false},
        {Method::Post, QLatin1String("/api/v1/route"), &Api::route, false},
        {Method::Post, QLatin1String("/api/v1/arc"), &Api::arc, false},
        {Method::Get, QLatin1String("/api/v1/presets"), &Api::presets, false},
        {Method::Post, QLatin1String("/api/v1/presets/recall"), &Api::recall, false},
        {Method::Get, QLatin1String("/api/v1/labels"), &Api::labels, false},
        {Method::Put, QLatin1String("/api/v1/labels"), &Api::putLabels, false},
        {Method::Get, QLatin1String("/api/v1/locks"), &Api::locks, false},
        {Method::Post, QLatin1String("/api/v1/locks"), &Api::lock, false},
    };
    return table;
}

void Api::handle(const Request& r, const Reply& reply)
{
    const Endpoint* found = nullptr;
    QByteArrayList allowed;
    for (const Endpoint& e : endpoints()) {
        if (e.path != r.path)
            continue;
        allowed << (e.method == Method::Get ? "GET" : e.method == Method::Post ? "POST" : "PUT");
        if (e.method == r.method || (r.method == Method::Head && e.method == Method::Get))
            found = &e;
    }
    if (allowed.isEmpty()) {
        reply.error(Status::NotFound, QStringLiteral("no such resource: %1").arg(r.path));
        return;
    }
    if (!found) {
        QJsonObject body{{QStringLiteral("ok"), false},
                         {QStringLiteral("error"), QStringLiteral("%1 takes %2").arg(r.path, QString::fromLatin1(allowed.join(", ")))}};
        QHttpServerResponse response(body, Status::MethodNotAllowed);
        response.setHeader("Allow", allowed.join(", "));
        reply.send(std::move(response));
        return;
    }
    if (!found->open && !r.authorized) {
        if (r.path == QLatin1String("/")) {
            QHttpServerResponse response(Status::SeeOther);
            response.setHeader("Location", "/login");
            reply.send(std::move(response));
            return;
        }
        QJsonObject body{{QStringLiteral("ok"), false},
                         {QStringLiteral("error"), QStringLiteral("this needs the token: Authorization: Bearer <token>")}};
        QHttpServerResponse response(body, Status::Unauthorized);
        response.setHeader("WWW-Authenticate", "Bearer realm=\"talvane\"");
        reply.send(std::move(response));
        return;
    }
    QJsonObject body;
    if (r.method == Method::Post || r.method == Method::Put) {
        // Only JSON changes anything: a form or a plain-text post from
        // another site (which a browser sends without asking) is refused.
        const QByteArray type = r.contentType.split(';').value(0).trimmed().toLower();
        if (type != "application/json") {
            reply.error(Status::UnsupportedMediaType, QStringLiteral("the body must be JSON (Content-Type: application/json)"));
            return;
        }
        if (!sameOrigin(r)) {
            reply.error(Status::Forbidden, QStringLiteral("a request from another site (Origin %1)").arg(QString::fromLatin1(r.origin)));
            return;
        }
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(r.body, &error);
        if (error.error != QJsonParseError::NoError) {
            reply.error(Status::BadRequest, QStringLiteral("the body is not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset));
            return;
        }
        if (!doc.isObject()) {
            reply.error(Status::BadRequest, QStringLiteral("the body must be a JSON object"));
            return;
        }
        body = doc.object();
    }
    (this->*(found->handler))(r, body, reply);
}

// --- the page ---------------------------------------------------------------------

void Api::page(const Request& r, const QJsonObject&, const Reply& reply)
{
    if (!r.authorized) {
        QHttpServerResponse response(Status::SeeOther);
        response.setHeader("Location", "/login");
        reply.send(std::move(response));
        return;
    }
    reply.send(resource(r.path));
}

void Api::loginPage(const Request& r, const QJsonObject&, const Reply& reply)
{
    if (access_.open()) {
        QHttpServerResponse response(Status::SeeOther);
        response.setHeader("Location", "/");
        reply.send(std::move(response));
        return;
    }
    reply.send(resource(r.path));
}

void Api::file(const Request& r, const QJsonObject&, const Reply& reply) { reply.send(resource(r.path)); }
void Api::openapi(const Request& r, const QJsonObject&, const Reply& reply) { reply.send(resource(r.path)); }

void Api::login(const Request&, const QJsonObject& body, const Reply& reply)
{
    if (!unknownKey(body, {"token"}).isEmpty() || !body.value(QStringLiteral("token")).isString()) {
        reply.error(Status::BadRequest, QStringLiteral("the login takes {\"token\": \"...\"}"));
        return;
    }
    if (access_.open()) {
        reply.send(QHttpServerResponse(Status::NoContent));
        return;
    }
    if (!access_.tokenMatches(body.value(QStringLiteral("token")).toString().toUtf8())) {
        reply.error(Status::Unauthorized, QStringLiteral("that is not the token"));
        return;
    }
    QHttpServerResponse response(Status::NoContent);
    response.setHeader("Set-Cookie", access_.sessionCookie());
    reply.send(std::move(response));
}

void Api::logout(const Request&, const QJsonObject&, const Reply& reply)
{
    QHttpServerResponse response(Status::NoContent);
    response.setHeader("Set-Cookie", Access::endedCookie());
    reply.send(std::move(response));
}

// --- state --------------------------------------------------------------------------

void Api::status(const Request&, const QJsonObject&, const Reply& reply) { reply.json(Status::Ok, events_.status()); }

void Api::events(const Request&, const QJsonObject&, const Reply& reply)
{
    if (events_.count() >= limits::MaxEventStreams) {
        reply.error(Status::ServiceUnavailable, QStringLiteral("too many event streams (%1)").arg(limits::MaxEventStreams));
        return;
    }
    reply.stream();
}

void Api::presets(const Request&, const QJsonObject&, const Reply& reply)
{
    QString why;
    const QJsonObject doc = events_.presets(&why);
    if (!why.isEmpty()) {
        reply.error(Status::InternalServerError, QStringLiteral("the presets file is damaged and is left as it is: %1").arg(why));
        return;
    }
    reply.json(Status::Ok, doc);
}

void Api::labels(const Request&, const QJsonObject&, const Reply& reply)
{
    // Others (the panel, talvane-ctl labels) may have saved names since.
    LabelStore& store = hub_.labels();
    if (!store.load()) {
        reply.error(Status::InternalServerError, QStringLiteral("the labels file is damaged and is left as it is: %1").arg(store.error()));
        return;
    }
    reply.json(Status::Ok, documents::labels(hub_.switchKey(), store.labels(hub_.switchKey())));
}

void Api::putLabels(const Request&, const QJsonObject& body, const Reply& reply)
{
    const QString extra = unknownKey(body, {"inputs", "outputs", "switch"});
    if (!extra.isEmpty() || body.isEmpty()) {
        reply.error(Status::BadRequest, extra.isEmpty() ? QStringLiteral("the labels take {\"inputs\": [...], \"outputs\": [...]}")
                                                        : QStringLiteral("unknown key \"%1\"").arg(extra));
        return;
    }
    struct Name {
        bool output;
        int port;
        QString text;
    };
    std::vector<Name> names;
    for (const bool output : {false, true}) {
        const QString listKey = output ? QStringLiteral("outputs") : QStringLiteral("inputs");
        const QString portKey = output ? QStringLiteral("output") : QStringLiteral("input");
        if (!body.contains(listKey))
            continue;
        if (!body.value(listKey).isArray()) {
            reply.error(Status::BadRequest, QStringLiteral("\"%1\" must be a list").arg(listKey));
            return;
        }
        for (const QJsonValue& v : body.value(listKey).toArray()) {
            const QJsonObject o = v.toObject();
            const int port = output ? outputOf(o.value(portKey)) : inputOf(o.value(portKey));
            QString why;
            if (!v.isObject() || port == 0 || !unknownKey(o, {output ? "output" : "input", "label"}).isEmpty()
                || !o.value(QStringLiteral("label")).isString()) {
                reply.error(Status::BadRequest, QStringLiteral("each of \"%1\" is {\"%2\": %3, \"label\": \"...\"}")
                                                    .arg(listKey, portKey, output ? QStringLiteral("\"A\"") : QStringLiteral("1")));
                return;
            }
            const QString text = o.value(QStringLiteral("label")).toString();
            if (!LabelStore::cleanName(text, nullptr, &why)) {
                reply.error(Status::BadRequest, QStringLiteral("name \"%1\" refused: %2").arg(text, why));
                return;
            }
            names.push_back({output, port, text});
        }
    }
    LabelStore& store = hub_.labels();
    const QString key = hub_.switchKey();
    if (store.damaged() && !store.load()) {
        reply.error(Status::InternalServerError, QStringLiteral("the labels file is damaged and is left as it is: %1").arg(store.error()));
        return;
    }
    const PortLabels before = store.labels(key);
    for (const Name& n : names) {
        if (!(n.output ? store.setOutput(key, n.port, n.text) : store.setInput(key, n.port, n.text))) {
            const QString why = store.error();
            store.setLabels(key, before);
            reply.error(Status::BadRequest, why);
            return;
        }
    }
    if (!store.save()) {
        const QString why = store.error();
        store.setLabels(key, before);
        reply.error(Status::InternalServerError, QStringLiteral("the labels were not saved: %1").arg(why));
        return;
    }
    hub_.labelsSaved();
    reply.json(Status::Ok, documents::labels(key, store.labels(key)));
}

// --- changes ------------------------------------------------------------------------

std::shared_ptr<void> Api::ticket()
{
    ++*waiting_;
    return std::shared_ptr<void>(nullptr, [waiting = waiting_](void*) { --*waiting; });
}

bool Api::admit(const Reply& reply)
{
    if (*waiting_ < limits::MaxWaitingChanges)
        return true;
    reply.error(Status::Conflict, QStringLiteral("the switch is busy: %1 changes are waiting for it").arg(*waiting_));
    return false;
}

void Api::ended(hub::Result result, const QString& why, const Reply& reply, const QJsonObject& done)
{
    events_.changeEnded(result);
    if (result == hub::Result::Done)
        reply.json(Status::Ok, done);
    else
        reply.error(statusOf(result), why, done);
}

void Api::route(const Request& r, const QJsonObject& body, const Reply& reply)
{
    const QString extra = unknownKey(body, {"input", "outputs"});
    const int input = inputOf(body.value(QStringLiteral("input")));
    const QJsonArray list = body.value(QStringLiteral("outputs")).toArray();
    std::vector<int> outputs;
    bool valid = extra.isEmpty() && input != 0 && body.value(QStringLiteral("outputs")).isArray() && !list.isEmpty();
    for (const QJsonValue& v : list) {
        const int o = outputOf(v);
        valid = valid && o != 0 && std::find(outputs.begin(), outputs.end(), o) == outputs.end();
        outputs.push_back(o);
    }
    if (!valid) {
        reply.error(Status::BadRequest,
                    !extra.isEmpty() ? QStringLiteral("unknown key \"%1\"").arg(extra)
                                     : QStringLiteral("a route is {\"input\": 1-8, \"outputs\": [\"A\"-\"H\", ...]}, each output once"));
        return;
    }
    if (!admit(reply))
        return;
    routeStep(std::make_shared<RouteJob>(RouteJob{whoFor(r), input, outputs, {}, ticket()}), reply);
}

void Api::routeStep(std::shared_ptr<RouteJob> job, const Reply& reply)
{
    // One output after another, each confirmed before the next; the first
    // that fails ends it, with the routes made so far.
    const int output = job->outputs[job->done.size()];
    hub_.route(job->who, output, job->input, reply.context(), [this, job, reply, output](hub::Result result, const QString& why) {
        if (result == hub::Result::Done)
            job->done.emplace_back(job->input, output);
        if (result == hub::Result::Done && job->done.size() < job->outputs.size())
            routeStep(job, reply);
        else
            ended(result, why, reply, documents::routes(job->done));
    });
}

void Api::arc(const Request& r, const QJsonObject& body, const Reply& reply)
{
    const QString extra = unknownKey(body, {"output", "arc"});
    const int output = outputOf(body.value(QStringLiteral("output")));
    if (!extra.isEmpty() || output == 0 || !body.value(QStringLiteral("arc")).isBool()) {
        reply.error(Status::BadRequest, !extra.isEmpty() ? QStringLiteral("unknown key \"%1\"").arg(extra)
                                                         : QStringLiteral("ARC is {\"output\": \"A\"-\"H\", \"arc\": true|false}"));
        return;
    }
    if (!admit(reply))
        return;
    const bool on = body.value(QStringLiteral("arc")).toBool();
    hub_.setArc(whoFor(r), output, on, reply.context(), [this, reply, output, on, t = ticket()](hub::Result result, const QString& why) {
        ended(result, why, reply, result == hub::Result::Done ? documents::arc(output, on) : QJsonObject{});
    });
}

void Api::recall(const Request& r, const QJsonObject& body, const Reply& reply)
{
    const QString extra = unknownKey(body, {"name"});
    if (!extra.isEmpty() || !body.value(QStringLiteral("name")).isString()) {
        reply.error(Status::BadRequest, !extra.isEmpty() ? QStringLiteral("unknown key \"%1\"").arg(extra)
                                                         : QStringLiteral("a recall is {\"name\": \"...\"}"));
        return;
    }
    PresetStore store(presetsPath_);
    if (!store.load()) {
        reply.error(Status::InternalServerError, QStringLiteral("the presets file is damaged and is left as it is: %1").arg(store.error()));
        return;
    }
    const QString name = body.value(QStringLiteral("name")).toString();
    const QList<Preset> all = store.presets(hub_.switchKey());
    const auto it = std::find_if(all.begin(), all.end(), [&](const Preset& p) { return p.name == name; });
    if (it == all.end()) {
        reply.error(Status::NotFound, QStringLiteral("no preset named \"%1\"").arg(name));
        return;
    }
    if (!admit(reply))
        return;
    // Outputs another front end holds are left as they are: the answer lists them.
    hub_.recall(whoFor(r), it->routing, reply.context(),
                [this, reply, t = ticket()](hub::Result result, const QString& why, const std::vector<int>& skipped) {
                    events_.presetsChanged();
                    QJsonObject doc = result == hub::Result::Done ? events_.presets() : QJsonObject{};
                    if (!skipped.empty()) {
                        QJsonArray letters;
                        for (int o : skipped)
                            letters.append(QString(QLatin1Char(outputLetter(o))));
                        doc.insert(QStringLiteral("skipped"), letters);
                        doc.insert(QStringLiteral("message"), why);
                    }
                    ended(result, why, reply, doc);
                });
}

QJsonObject Api::lockList(const Request& r) const
{
    QJsonArray list;
    const hub::Who who = whoFor(r);
    for (int o = 1; o <= kPortCount; ++o)
        if (const std::optional<hub::Who> holder = hub_.lockOf(o))
            list.append(QJsonObject{{QStringLiteral("output"), QString(QLatin1Char(outputLetter(o)))},
                                    {QStringLiteral("holder"), holder->name},
                                    {QStringLiteral("mine"), *holder == who}});
    return {{QStringLiteral("locks"), list}};
}

void Api::locks(const Request& r, const QJsonObject&, const Reply& reply) { reply.json(Status::Ok, lockList(r)); }

void Api::lock(const Request& r, const QJsonObject& body, const Reply& reply)
{
    const QString extra = unknownKey(body, {"output", "locked", "force"});
    const int output = outputOf(body.value(QStringLiteral("output")));
    const QJsonValue force = body.value(QStringLiteral("force"));
    if (!extra.isEmpty() || output == 0 || !body.value(QStringLiteral("locked")).isBool()
        || !(force.isUndefined() || force.isBool())) {
        reply.error(Status::BadRequest, !extra.isEmpty() ? QStringLiteral("unknown key \"%1\"").arg(extra)
                                                         : QStringLiteral("a lock is {\"output\": \"A\"-\"H\", \"locked\": true|false, \"force\": true|false}"));
        return;
    }
    QString why;
    const bool done = body.value(QStringLiteral("locked")).toBool() ? hub_.lock(whoFor(r), output, &why)
                                                                    : hub_.unlock(whoFor(r), output, force.toBool(), &why);
    if (done)
        reply.json(Status::Ok, lockList(r));
    else
        reply.error(Status::Conflict, why);
}

}  // namespace http
}  // namespace talvane
