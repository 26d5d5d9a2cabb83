#include "serve.h"
#include "servemqtt.h"

#include <QCoreApplication>
#include <QCryptographicHash>

#include <csignal>

#include "ctl/stopsignals.h"
#include "hub/controlserver.h"
#include "http/auth.h"
#include "http/server.h"
#include "hub/hub.h"
#include "hub/manageserver.h"
#include "link/hubchannel.h"
#include "link/hubregistry.h"
#include "link/serialport.h"
#include "ops/device.h"
#include "ops/limits.h"
#include "ops/runner.h"
#include "protocol/netpackets.h"
#include "videohub/server.h"
#include "http/limits.h"

namespace talvane {
namespace ctl {

namespace {

const QString kModelName = QStringLiteral("Talvane HDMI Matrix 8x8");
const QString kDefaultListen = QStringLiteral("127.0.0.1:%1").arg(videohub::kDefaultPort);
const QString kDefaultControl = QStringLiteral("127.0.0.1:%1").arg(kControlTcpPort);
const QString kOff = QStringLiteral("off");

const QString kListenOption = QStringLiteral("listen");
const QString kControlOption = QStringLiteral("control");
const QString kAllowOption = QStringLiteral("allow");
const QString kReconnectOption = QStringLiteral("reconnect");
const QString kRestoreLockedOption = QStringLiteral("restore-locked");
const QString kHttpOption = QStringLiteral("http");
const QString kHttpTokenOption = QStringLiteral("http-token-file");
constexpr quint16 kDefaultHttpPort = 8080;

// The device block's unique ID: the switch's MAC where it is known, else
// twelve hex digits that stay the same for the same port or address.
QString uniqueIdFor(const QString& switchKey)
{
    static const QString macPrefix = QStringLiteral("mac:");
    if (switchKey.startsWith(macPrefix))
        return switchKey.mid(macPrefix.size()).remove(u'-').toUpper();
    return QString::fromLatin1(QCryptographicHash::hash(switchKey.toUtf8(), QCryptographicHash::Sha1).toHex().left(12))
        .toUpper();
}

// The identification text as a friendly name: printable characters only, trimmed.
QString friendlyName(const QByteArray& ident)
{
    QString text;
    for (char c : ident) {
        const auto u = static_cast<unsigned char>(c);
        text += u >= 0x20 && u < 0x7F ? QChar(u) : QChar(u' ');
    }
    return text.simplified();
}

QString endpoint(const QHostAddress& address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

// Where one of the hub's ports listens, as given (or its default).
struct Listen {
    bool on = true;
    QHostAddress address;
    quint16 port = 0;
    QString text;
};

std::optional<Listen> listenOption(Context& ctx, const QString& option, const QString& fallback, quint16 defaultPort,
                                   bool mayBeOff)
{
    Listen l;
    l.text = ctx.options().isSet(option) ? ctx.options().value(option) : fallback;
    if (mayBeOff && l.text == kOff) {
        l.on = false;
        return l;
    }
    const auto parsed = parseListenAddress(l.text, defaultPort);
    if (!parsed)
        return std::nullopt;
    l.address = parsed->first;
    l.port = parsed->second;
    return l;
}

// Registers the hub where the panel and talvane-ctl look, once its control
// port listens: what it holds and where programs on this machine reach it.
void registerHub(Context& ctx, HubRegistry& registry, const hub::ControlServer& control, const QString& managePath)
{
    Connection& connection = ctx.connection();
    const SwitchAddress& at = connection.address();
    HubEntry entry;
    if (at.isSerial()) {
        entry.devicePath = connection.serialPort().devicePath();
        entry.comNumber = at.comNumber;
    } else if (at.isHost()) {
        entry.host = QStringLiteral("%1:%2").arg(at.host).arg(at.port);
    } else {
        return;  // a link of a test's own: nothing to find
    }
    const QHostAddress listening = control.address();
    entry.controlAddress = listening == QHostAddress::AnyIPv6 ? QHostAddress(QHostAddress::LocalHostIPv6)
                           : listening == QHostAddress::Any || listening == QHostAddress::AnyIPv4
                               ? QHostAddress(QHostAddress::LocalHost)
                               : listening;
    entry.controlPort = control.port();
    entry.managePath = managePath;
    QString why;
    if (!registry.add(entry, &why))
        ctx.env().err(QStringLiteral("talvane-ctl: the panel and talvane-ctl will not find this hub: %1").arg(why));
}

// Says where a port listens and who can reach it.
void announce(Context& ctx, const QString& what, const QHostAddress& address, quint16 port, const QString& risk,
              const QString& guard = QStringLiteral("there is no password"))
{
    const QString where = endpoint(address, port);
    ctx.print(QStringLiteral("%1 on %2").arg(what, where));
    if (address.isLoopback())
        ctx.print(QStringLiteral("  only programs on this machine can connect"));
    else
        ctx.print(QStringLiteral("  listening beyond this machine: anyone who reaches %1 %2; %3").arg(where, risk, guard));
}

int serve(Context& ctx, const QStringList& args)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("serve takes no arguments (see --help for its options)"));
    const auto videohubAt = listenOption(ctx, kListenOption, kDefaultListen, videohub::kDefaultPort, false);
    if (!videohubAt)
        return ctx.usage(QStringLiteral("--listen takes ADDR:PORT, e.g. 127.0.0.1:9990, not \"%1\"")
                             .arg(ctx.options().value(kListenOption)));
    const auto controlAt = listenOption(ctx, kControlOption, kDefaultControl, kControlTcpPort, true);
    if (!controlAt)
        return ctx.usage(QStringLiteral("--control takes ADDR:PORT (e.g. 127.0.0.1:8000) or off, not \"%1\"")
                             .arg(ctx.options().value(kControlOption)));
    // The web remote: beyond this machine only with a token, checked before
    // anything else happens.
    std::optional<Listen> httpAt;
    QByteArray httpToken;
    if (ctx.options().isSet(kHttpOption)) {
        httpAt = listenOption(ctx, kHttpOption, QString(), kDefaultHttpPort, false);
        if (!httpAt)
            return ctx.usage(QStringLiteral("--http takes ADDR:PORT, e.g. 127.0.0.1:%1, not \"%2\"")
                                 .arg(kDefaultHttpPort)
                                 .arg(ctx.options().value(kHttpOption)));
        if (ctx.options().isSet(kHttpTokenOption)) {
            QString why;
            const auto token = http::readTokenFile(ctx.options().value(kHttpTokenOption), &why);
            if (!token)
                return ctx.fail(BadFile, QStringLiteral("the token file %1 is refused: %2")
                                             .arg(ctx.options().value(kHttpTokenOption), why));
            httpToken = *token;
        } else if (!httpAt->address.isLoopback()) {
            return ctx.usage(QStringLiteral("--http %1 listens beyond this machine: give --http-token-file FILE (a "
                                            "token of at least %2 characters that only you can read), or listen on "
                                            "127.0.0.1")
                                 .arg(httpAt->text)
                                 .arg(http::limits::MinTokenLength));
        }
    }
    std::vector<hub::Subnet> allowed;
    if (ctx.options().isSet(kAllowOption)) {
        const auto parsed = hub::parseSubnets(ctx.options().value(kAllowOption));
        if (!parsed)
            return ctx.usage(QStringLiteral("--allow takes addresses or ranges, e.g. 192.168.1.0/24,10.0.0.5, not \"%1\"")
                                 .arg(ctx.options().value(kAllowOption)));
        allowed = *parsed;
    }
    std::optional<mqtt::Settings> mqttSettings;
    if (int rc = readMqttOptions(ctx, mqttSettings))
        return rc;

    // One hub per switch: a second would only stand in the first one's queue.
    if (int rc = ctx.resolveTarget())
        return rc;
    if (const std::optional<HubEntry>& other = ctx.servingHub())
        return ctx.fail(PortBusy, QStringLiteral("%1 is served already by the hub (talvane-ctl serve, pid %2) at %3: "
                                                 "its clients connect there")
                                      .arg(other->holds())
                                      .arg(other->pid)
                                      .arg(other->control()));
    if (int rc = ctx.connect())
        return rc;
    LabelStore* labels = nullptr;
    if (ctx.loadLabels(labels) != 0) {
        // Reported; the switch is served all the same, without taking names.
        ctx.env().err(QStringLiteral("talvane-ctl: names from clients are refused until the labels file is repaired"));
    }

    // Who the switch is, and that it answers at all.
    DeviceRead read(ctx.session(), DeviceRead::What::InfoAndIdent, Purpose::Operator);
    QByteArray ident;
    QObject::connect(&read, &DeviceRead::identReported, [&](const QByteArray& t) { ident = t; });
    if (int rc = ctx.result(ctx.run(read), QStringLiteral("reading the device information")))
        return rc;
    const QString name = friendlyName(ident);

    Connection& connection = ctx.connection();
    const bool reconnect = ctx.options().isSet(kReconnectOption);
    connection.setReconnect(reconnect);
    connection.setWatchPorts(reconnect);
    hub::Hub hub(connection, *labels, ctx.switchKey());
    hub.watchFiles(ctx.env().presetsPath);

    hub.setRestoreLocked(ctx.options().isSet(kRestoreLockedOption));
    hub::ControlServer control(connection);
    control.setAllowed(allowed);
    control.setLocks(&hub);
    if (controlAt->on && !control.listen(controlAt->address, controlAt->port)) {
        return ctx.fail(Failed, QStringLiteral("cannot listen on %1 for the switch's control protocol: %2 (another "
                                               "program, or a simulator's TCP port, may have it: start the simulator "
                                               "with --tcp-port 0 or --no-tcp, or give --control 127.0.0.1:8001, or "
                                               "--control off; the panel and talvane-ctl find the hub wherever it "
                                               "listens)")
                                    .arg(controlAt->text, control.errorString()));
    }
    videohub::DeviceIdentity identity{kModelName, name.isEmpty() ? kModelName : name, uniqueIdFor(ctx.switchKey())};
    videohub::Server server(hub, identity);
    server.setAllowed(allowed);
    if (!server.listen(videohubAt->address, videohubAt->port))
        return ctx.fail(Failed, QStringLiteral("cannot listen on %1: %2").arg(videohubAt->text, server.errorString()));
    http::Server web(hub, ctx.env().presetsPath);
    web.setToken(httpToken);
    web.setAllowed(allowed);
    if (httpAt && !web.listen(httpAt->address, httpAt->port))
        return ctx.fail(Failed, QStringLiteral("cannot listen on %1 for the web remote: %2").arg(httpAt->text, web.errorString()));
    hub.start();
    // Stopped by a signal, it still removes its registration and closes its ports.
    StopSignals stop;
    HubRegistry registry;
    // Locks and changes for talvane-ctl and the panel of this user, beside the hub's entry.
    hub::ManageServer manage(hub, &control);
    QObject::connect(&manage, &hub::ManageServer::clientRefused, [&ctx](const QString& peer, const QString& why) {
        ctx.env().err(QStringLiteral("talvane-ctl: management client %1 dropped: %2").arg(peer, why));
    });
    if (controlAt->on) {
        QString why;
        const QString place = registry.ownPlace(&why);
        const QString socket = place.isEmpty() ? QString()
                                               : QStringLiteral("%1/locks-%2.sock").arg(place).arg(QCoreApplication::applicationPid());
        if (socket.isEmpty() || !manage.listen(socket))
            ctx.env().err(QStringLiteral("talvane-ctl: locks cannot be taken from talvane-ctl or the panel: %1")
                              .arg(socket.isEmpty() ? why : manage.errorString()));
        registerHub(ctx, registry, control, manage.path());
    }

    ctx.print(QStringLiteral("Serving %1").arg(ctx.switchName()));
    std::unique_ptr<mqtt::Bridge> mqtt;
    if (controlAt->on)
        announce(ctx, QStringLiteral("The switch's control protocol (the panel, talvane-ctl --host)"),
                 controlAt->address, control.port(), QStringLiteral("can control the switch"));
    announce(ctx, QStringLiteral("Videohub clients"), videohubAt->address, server.port(),
             QStringLiteral("can route the switch and rename its ports"));
    if (httpAt) {
        announce(ctx, QStringLiteral("The web remote and HTTP API"), httpAt->address, web.port(),
                 QStringLiteral("and holds the token can route the switch and rename its ports"),
                 QStringLiteral("requests without the token (%1) are refused").arg(ctx.options().value(kHttpTokenOption)));
        if (!httpToken.isEmpty() && httpAt->address.isLoopback())
            ctx.print(QStringLiteral("  every request needs the token all the same"));
    }
    if (!allowed.empty())
        ctx.print(QStringLiteral("  only from %1").arg(ctx.options().value(kAllowOption)));
    if (mqttSettings) {
        mqttSettings->deviceName = QStringLiteral("%1 (%2)").arg(name.isEmpty() ? kModelName : name,
                                                                 mqtt::switchIdFor(ctx.switchKey(), mqttSettings->switchId));
        mqtt = startMqtt(ctx, hub, *mqttSettings);
    }
    ctx.print(QStringLiteral("Stop with Ctrl+C (or SIGTERM)."));

    QObject::connect(&server, &videohub::Server::clientCountChanged, [&ctx](int count) {
        ctx.print(QStringLiteral("%1 Videohub client(s) connected").arg(count));
    });
    QObject::connect(&server, &videohub::Server::clientRefused, [&ctx](const QString& peer, const QString& why) {
        ctx.env().err(QStringLiteral("talvane-ctl: client %1 dropped: %2").arg(peer, why));
    });
    QObject::connect(&web, &http::Server::clientRefused, [&ctx](const QString& peer, const QString& why) {
        ctx.env().err(QStringLiteral("talvane-ctl: web client %1 dropped: %2").arg(peer, why));
    });
    QObject::connect(&control, &hub::ControlServer::clientRefused, [&ctx](const QString& peer, const QString& why) {
        ctx.env().err(QStringLiteral("talvane-ctl: control client %1 dropped: %2").arg(peer, why));
    });
    QObject::connect(&server, &videohub::Server::routeFailed, [&ctx](int output, int input) {
        ctx.env().err(QStringLiteral("talvane-ctl: input %1 to output %2 was not confirmed by the switch; clients "
                                     "get the routing as the switch reports it")
                          .arg(input + 1)
                          .arg(outputLetter(output + 1)));
    });
    QObject::connect(&hub, &hub::Hub::lockedRouteChanged, [&ctx](int output, int input, const hub::Who& holder, bool restoring) {
        ctx.env().err(QStringLiteral("talvane-ctl: ")
                      + hubchannel::frontPanelText(outputLetter(output), holder.name, input, restoring));
    });
    if (reconnect) {
        QObject::connect(&connection, &Connection::lost, [&ctx](const QString& why) {
            ctx.env().err(QStringLiteral("talvane-ctl: the link to %1 was lost%2; waiting for it to come back")
                              .arg(ctx.switchName(), why.isEmpty() ? QString() : QStringLiteral(" (") + why + u')'));
        });
        QObject::connect(&connection, &Connection::opened, [&ctx] {
            ctx.env().err(QStringLiteral("talvane-ctl: %1 is back").arg(ctx.switchName()));
        });
    }
    // Serves until stopped, or without --reconnect until the link to the switch goes.
    ctx.waitUntil([&] { return stop.received() != 0 || (!reconnect && !ctx.session().linkOpen()); });
    if (stop.received()) {
        ctx.env().err(QStringLiteral("talvane-ctl: stopped by %1").arg(stop.received() == SIGINT ? QStringLiteral("SIGINT")
                                                                                                 : QStringLiteral("SIGTERM")));
        return Done;
    }
    return ctx.fail(NoSwitch, QStringLiteral("the link to %1 was lost").arg(ctx.switchName()),
                    QJsonObject{{QStringLiteral("listen"), endpoint(videohubAt->address, server.port())}});
}

}  // namespace

Command serveCommand()
{
    return {QStringLiteral("serve"),
            QStringLiteral("[--control ADDR:PORT|off] [--listen ADDR:PORT] [--http ADDR:PORT [--http-token-file FILE]] "
                           "[--mqtt HOST[:PORT] ...] [--allow RANGES] [--restore-locked] [--reconnect]"),
            QStringLiteral("Holds the switch and shares it: its own control protocol on TCP (default %1), Videohub "
                           "control surfaces (default %2), with --http the web remote and HTTP API, and with --mqtt an "
                           "MQTT broker with Home Assistant discovery.")
                .arg(kDefaultControl, kDefaultListen),
            serve,
            QList<QCommandLineOption>{QCommandLineOption(kListenOption,
                                QStringLiteral("serve: where Videohub clients connect (default %1).").arg(kDefaultListen),
                                QStringLiteral("ADDR:PORT")),
             QCommandLineOption(kControlOption,
                                QStringLiteral("serve: where programs that speak the switch's own protocol connect "
                                               "(default %1; off: nowhere).")
                                    .arg(kDefaultControl),
                                QStringLiteral("ADDR:PORT")),
             QCommandLineOption(kHttpOption,
                                QStringLiteral("serve: where the web remote and the HTTP API listen, e.g. 127.0.0.1:%1 "
                                               "(beyond this machine only with --http-token-file).")
                                    .arg(kDefaultHttpPort),
                                QStringLiteral("ADDR:PORT")),
             QCommandLineOption(kHttpTokenOption,
                                QStringLiteral("serve: the web remote's access token, the first line of FILE (at least "
                                               "%1 characters; a regular file other users cannot read).")
                                    .arg(http::limits::MinTokenLength),
                                QStringLiteral("FILE")),
             QCommandLineOption(kAllowOption,
                                QStringLiteral("serve: only clients from these addresses or ranges (A.B.C.D/N,...)."),
                                QStringLiteral("RANGES")),
             QCommandLineOption(kRestoreLockedOption,
                                QStringLiteral("serve: a route changed at the switch's front panel on a locked output "
                                               "is put back.")),
             QCommandLineOption(kReconnectOption,
                                QStringLiteral("serve: keep serving when the link to the switch is lost, and open it "
                                               "again once it is back."))}
                + mqttOptions()};
}

std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString& text, quint16 defaultPort)
{
    QString host = text;
    QString port;
    bool hasPort = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            port = rest.mid(1);
            hasPort = true;
        }
    } else if (text.count(u':') == 1) {
        host = text.section(u':', 0, 0);
        port = text.section(u':', 1);
        hasPort = true;
    }
    quint16 number = defaultPort;
    if (hasPort) {
        bool ok = false;
        const uint n = port.toUInt(&ok);
        if (!ok || n > 65535 || port.isEmpty() || !port.front().isDigit())
            return std::nullopt;
        number = quint16(n);
    }
    QHostAddress address;
    if (host.isEmpty() || !address.setAddress(host))
        return std::nullopt;
    return std::make_pair(address, number);
}

}  // namespace ctl
}  // namespace talvane
