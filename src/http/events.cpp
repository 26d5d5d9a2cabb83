#include "events.h"

#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>

#include "http/limits.h"
#include "ops/documents.h"
#include "ops/follow.h"
#include "ops/presets.h"

namespace talvane {
namespace http {

namespace {

// Which presets a presets document marks active, to tell a change.
QByteArray activeKey(const QJsonObject& presets)
{
    QByteArray key;
    for (const QJsonValue& p : presets.value(QStringLiteral("presets")).toArray())
        key += (p[QStringLiteral("active")].toBool() ? "1" : "0") + p[QStringLiteral("name")].toString().toUtf8() + '\n';
    return key;
}

}  // namespace

struct Events::Stream {
    std::unique_ptr<QHttpServerResponder> responder;
    QPointer<QTcpSocket> socket;
    bool dead = false;
};

QString Events::linkText(Link link)
{
    switch (link) {
    case Link::Connected:
        break;
    case Link::NoAnswer:
        return QStringLiteral("No answer");
    case Link::Lost:
        return QStringLiteral("Link lost");
    }
    return QStringLiteral("Connected");
}

Events::Events(hub::Hub& hub, QString presetsPath, QObject* parent)
    : QObject(parent), hub_(hub), presetsPath_(std::move(presetsPath)), keepAlive_(&hub.connection().clock())
{
    Connection& c = hub.connection();
    link_ = !c.isOpen() ? Link::Lost : c.answered() ? Link::Connected : Link::NoAnswer;
    connect(&c, &Connection::opened, this, [this] { setLink(Link::NoAnswer); });
    connect(&c, &Connection::answeredFirst, this, [this] { setLink(Link::Connected); });
    connect(&c, &Connection::lost, this, [this] { setLink(Link::Lost); });
    connect(&c, &Connection::closed, this, [this] { setLink(Link::Lost); });
    connect(&c.follower(), &Follower::unanswered, this, [this] { setLink(Link::NoAnswer); });
    connect(&c.follower(), &Follower::answered, this, [this] { setLink(Link::Connected); });
    connect(&hub.state(), &SwitchState::changed, this, &Events::changed);
    // Names and presets saved by any program (the hub watches their files).
    connect(&hub, &hub::Hub::labelsChanged, this, &Events::labelsChanged);
    connect(&hub, &hub::Hub::presetsChanged, this, &Events::presetsChanged);
}

Events::~Events() = default;

void Events::changeEnded(hub::Result result)
{
    if (result == hub::Result::TimedOut)
        setLink(Link::NoAnswer);
    else if (result == hub::Result::Done || result == hub::Result::Refused)
        setLink(Link::Connected);
}

void Events::setLink(Link link)
{
    if (link == link_ || (link == Link::NoAnswer && link_ == Link::Lost && !hub_.connection().isOpen()))
        return;
    link_ = link;
    send("link", {{QStringLiteral("link"), linkText(link_)}});
}

QJsonObject Events::status() const
{
    QJsonObject doc = documents::status(hub_.switchKey(), hub_.state().now(), hub_.labels().labels(hub_.switchKey()));
    doc.insert(QStringLiteral("link"), linkText(link_));
    return doc;
}

QJsonObject Events::presets(QString* why) const
{
    PresetStore store(presetsPath_);
    if (!store.load() && why)
        *why = store.error();
    return documents::presets(hub_.switchKey(), store.presets(hub_.switchKey()),
                              documents::routingOf(hub_.state().now()));
}

void Events::add(std::unique_ptr<QHttpServerResponder> responder, QTcpSocket* socket)
{
    auto s = std::make_unique<Stream>();
    s->responder = std::move(responder);
    s->socket = socket;
    s->responder->writeStatusLine();
    s->responder->writeHeader("Content-Type", "text/event-stream");
    s->responder->writeHeader("Cache-Control", "no-store");
    s->responder->writeHeader("X-Content-Type-Options", "nosniff");
    Stream& stream = *s;
    streams_.push_back(std::move(s));
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        for (auto& st : streams_)
            if (st->socket == socket)
                st->dead = true;
        reap();
    });
    const QJsonObject presetsNow = presets();
    activePresets_ = activeKey(presetsNow);
    write(stream, "retry: " + QByteArray::number(limits::RetryMs) + "\n\n");
    write(stream, "event: status\ndata: " + QJsonDocument(status()).toJson(QJsonDocument::Compact) + "\n\n");
    write(stream, "event: presets\ndata: " + QJsonDocument(presetsNow).toJson(QJsonDocument::Compact) + "\n\n");
    if (!keepAlive_.active())
        keepAlive_.start(limits::KeepAliveMs, [this] { keepAlive(); });
}

void Events::keepAlive()
{
    for (auto& s : streams_)
        write(*s, ": alive\n\n");
    if (!streams_.empty())
        keepAlive_.start(limits::KeepAliveMs, [this] { keepAlive(); });
}

void Events::write(Stream& s, const QByteArray& bytes)
{
    if (s.dead || !s.socket || s.socket->state() != QAbstractSocket::ConnectedState) {
        s.dead = true;
        reap();
        return;
    }
    if (s.socket->bytesToWrite() + bytes.size() > limits::MaxUnreadBytes) {
        // A client that does not read: dropped, so that it holds nothing.
        s.dead = true;
        s.socket->abort();
        reap();
        return;
    }
    s.responder->writeBody(bytes);
}

void Events::reap()
{
    // Streams go on a later turn: the one being written stays whole until then.
    if (reapPosted_)
        return;
    reapPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            reapPosted_ = false;
            streams_.erase(std::remove_if(streams_.begin(), streams_.end(), [](const auto& s) { return s->dead; }),
                           streams_.end());
            if (streams_.empty())
                keepAlive_.stop();
        },
        Qt::QueuedConnection);
}

void Events::send(const QByteArray& name, const QJsonObject& data)
{
    if (streams_.empty())
        return;
    const QByteArray bytes = "event: " + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) + "\n\n";
    for (auto& s : streams_)
        write(*s, bytes);
}

void Events::changed(SwitchState::Aspect aspect, int port)
{
    using Aspect = SwitchState::Aspect;
    const SwitchSnapshot& now = hub_.state().now();
    const PortLabels labels = hub_.labels().labels(hub_.switchKey());
    const auto pick = [](QJsonObject doc, std::initializer_list<const char*> keys) {
        QJsonObject part;
        for (const char* k : keys)
            part.insert(QLatin1String(k), doc.value(QLatin1String(k)));
        return part;
    };
    switch (aspect) {
    case Aspect::Route:
        send("route", pick(documents::outputDocument(now, port, labels), {"output", "input"}));
        presetsChanged();
        break;
    case Aspect::Arc:
        send("arc", pick(documents::outputDocument(now, port, labels), {"output", "arc"}));
        presetsChanged();
        break;
    case Aspect::Display:
        send("display", pick(documents::outputDocument(now, port, labels), {"output", "display"}));
        break;
    case Aspect::Source:
        send("source", pick(documents::inputDocument(now, port, labels), {"input", "source"}));
        break;
    case Aspect::Edid:
        if (port == 0) {
            for (int i = 1; i <= kPortCount; ++i)
                send("edid", pick(documents::inputDocument(now, i, labels), {"input", "edid", "edidName"}));
        } else {
            send("edid", pick(documents::inputDocument(now, port, labels), {"input", "edid", "edidName"}));
        }
        break;
    case Aspect::Power:
        send("power", {{QStringLiteral("power"), now.power ? QJsonValue(*now.power) : QJsonValue()}});
        break;
    case Aspect::Beeper:
        send("beeper", {{QStringLiteral("beeper"), now.beeper ? QJsonValue(*now.beeper) : QJsonValue()}});
        break;
    case Aspect::Device:
    case Aspect::Ident:
        break;
    }
}

void Events::labelsChanged()
{
    send("labels", documents::labels(hub_.switchKey(), hub_.labels().labels(hub_.switchKey())));
}

void Events::presetsChanged()
{
    if (streams_.empty())
        return;
    // Only when which preset is active changed (or the list did): a route
    // that keeps the switch off every preset sends nothing.
    const QJsonObject doc = presets();
    const QByteArray active = activeKey(doc);
    if (active == activePresets_)
        return;
    activePresets_ = active;
    send("presets", doc);
}

}  // namespace http
}  // namespace talvane
