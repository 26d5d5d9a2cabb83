#include "serve.h"

#include <QCryptographicHash>

#include "ops/device.h"
#include "ops/limits.h"
#include "ops/runner.h"
#include "videohub/server.h"

namespace talvane {
namespace ctl {

namespace {

const QString kModelName = QStringLiteral("Talvane HDMI Matrix 8x8");
const QString kDefaultListen = QStringLiteral("127.0.0.1:%1").arg(videohub::kDefaultPort);

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

int serve(Context& ctx, const QStringList& args)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("serve takes no arguments (--listen ADDR:PORT sets where it listens)"));
    const QString listenText =
        ctx.options().isSet(QStringLiteral("listen")) ? ctx.options().value(QStringLiteral("listen")) : kDefaultListen;
    const auto listen = parseListenAddress(listenText);
    if (!listen)
        return ctx.usage(QStringLiteral("--listen takes ADDR:PORT, e.g. 127.0.0.1:9990, not \"%1\"").arg(listenText));

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
    videohub::DeviceIdentity identity{kModelName, name.isEmpty() ? kModelName : name, uniqueIdFor(ctx.switchKey())};

    videohub::Server server(ctx.runner(), *labels, ctx.switchKey(), identity);
    if (!server.listen(listen->first, listen->second))
        return ctx.fail(Failed, QStringLiteral("cannot listen on %1: %2").arg(listenText, server.errorString()));
    const QString where = endpoint(listen->first, server.port());
    ctx.print(QStringLiteral("Serving %1 to Videohub clients on %2").arg(ctx.switchName(), where));
    if (listen->first.isLoopback())
        ctx.print(QStringLiteral("Only programs on this machine can connect (--listen ADDR:PORT for others)."));
    else
        ctx.print(QStringLiteral("Listening beyond this machine: anyone who reaches %1 can route the switch and "
                                 "rename its ports; there is no password.")
                      .arg(where));
    ctx.print(QStringLiteral("Stop with Ctrl+C."));

    QObject::connect(&server, &videohub::Server::clientCountChanged, [&ctx](int count) {
        ctx.print(QStringLiteral("%1 client(s) connected").arg(count));
    });
    QObject::connect(&server, &videohub::Server::clientRefused, [&ctx](const QString& peer, const QString& why) {
        ctx.env().err(QStringLiteral("talvane-ctl: client %1 dropped: %2").arg(peer, why));
    });
    QObject::connect(&server, &videohub::Server::routeFailed, [&ctx](int output, int input) {
        ctx.env().err(QStringLiteral("talvane-ctl: input %1 to output %2 was not confirmed by the switch; clients "
                                     "get the routing as the switch reports it")
                          .arg(input + 1)
                          .arg(outputLetter(output + 1)));
    });
    // Serves until the link to the switch goes.
    ctx.waitUntil([&ctx] { return !ctx.session().linkOpen(); });
    return ctx.fail(NoSwitch, QStringLiteral("the link to %1 was lost").arg(ctx.switchName()),
                    QJsonObject{{QStringLiteral("listen"), where}});
}

}  // namespace

Command serveCommand()
{
    return {QStringLiteral("serve"), QStringLiteral("[--listen ADDR:PORT]"),
            QStringLiteral("Answers Videohub control surfaces for the switch (default %1).").arg(kDefaultListen), serve};
}

std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString& text)
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
    quint16 number = videohub::kDefaultPort;
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
