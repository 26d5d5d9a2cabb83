#include "servemqtt.h"

#include <QFile>
#include <QRegularExpression>

namespace talvane {
namespace ctl {

namespace {

const QString kMqtt = QStringLiteral("mqtt");
const QString kUser = QStringLiteral("mqtt-user");
const QString kPasswordFile = QStringLiteral("mqtt-password-file");
const QString kCaFile = QStringLiteral("mqtt-cafile");
const QString kId = QStringLiteral("mqtt-id");
const QString kPrefix = QStringLiteral("mqtt-discovery-prefix");
const QString kProtocol = QStringLiteral("mqtt-protocol");
const char* const kPasswordVariable = "TALVANE_MQTT_PASSWORD";

}  // namespace

QList<QCommandLineOption> mqttOptions()
{
    return {QCommandLineOption(kMqtt,
                               QStringLiteral("serve: publish the switch on this MQTT broker, with Home Assistant "
                                              "discovery (port 1883, 8883 with --mqtt-cafile)."),
                               QStringLiteral("HOST[:PORT]")),
            QCommandLineOption(kUser, QStringLiteral("serve: the MQTT user name."), QStringLiteral("NAME")),
            QCommandLineOption(kPasswordFile,
                               QStringLiteral("serve: the MQTT password, the first line of FILE (else from "
                                              "TALVANE_MQTT_PASSWORD)."),
                               QStringLiteral("FILE")),
            QCommandLineOption(kCaFile,
                               QStringLiteral("serve: TLS to the broker, its certificate checked against FILE."),
                               QStringLiteral("FILE")),
            QCommandLineOption(kId,
                               QStringLiteral("serve: the switch's id in MQTT topics when its MAC is not known "
                                              "(default: the port or host)."),
                               QStringLiteral("ID")),
            QCommandLineOption(kPrefix,
                               QStringLiteral("serve: Home Assistant's discovery prefix (default homeassistant)."),
                               QStringLiteral("PREFIX")),
            QCommandLineOption(kProtocol,
                               QStringLiteral("serve: MQTT 5 or 3.1.1 (default: 5, else 3.1.1)."),
                               QStringLiteral("VERSION"))};
}

int readMqttOptions(Context& ctx, std::optional<mqtt::Settings>& settings)
{
    const QCommandLineParser& o = ctx.options();
    settings.reset();
    if (!o.isSet(kMqtt)) {
        for (const QString& other : {kUser, kPasswordFile, kCaFile, kId, kPrefix, kProtocol})
            if (o.isSet(other))
                return ctx.usage(QStringLiteral("--%1 needs --mqtt HOST[:PORT]").arg(other));
        return 0;
    }
    mqtt::Settings s;
    if (!mqtt::parseBrokerAddress(o.value(kMqtt), s.broker))
        return ctx.usage(QStringLiteral("--mqtt takes HOST[:PORT], e.g. 127.0.0.1:1883, not \"%1\"").arg(o.value(kMqtt)));
    s.broker.user = o.value(kUser);
    if (o.isSet(kPasswordFile)) {
        QFile file(o.value(kPasswordFile));
        if (!file.open(QIODevice::ReadOnly))
            return ctx.fail(BadFile, QStringLiteral("cannot read the MQTT password from %1: %2")
                                         .arg(file.fileName(), file.errorString()));
        s.broker.password = QString::fromUtf8(file.readLine(4096)).remove(u'\n').remove(u'\r');
    } else {
        s.broker.password = qEnvironmentVariable(kPasswordVariable);
    }
    if (!s.broker.password.isEmpty() && s.broker.user.isEmpty())
        return ctx.usage(QStringLiteral("an MQTT password needs --mqtt-user"));
    if (o.isSet(kCaFile)) {
        s.broker.caFile = o.value(kCaFile);
        if (!QFile::exists(s.broker.caFile))
            return ctx.fail(BadFile, QStringLiteral("no CA file %1").arg(s.broker.caFile));
    }
    if (o.isSet(kId)) {
        // Kept as given until the switch's key is known (startMqtt).
        s.switchId = o.value(kId);
        if (mqtt::slug(s.switchId).isEmpty())
            return ctx.usage(QStringLiteral("--mqtt-id takes letters, digits, '-' or '_', not \"%1\"").arg(s.switchId));
    }
    if (o.isSet(kPrefix)) {
        s.discoveryPrefix = o.value(kPrefix);
        if (s.discoveryPrefix.isEmpty() || s.discoveryPrefix.contains(QRegularExpression(QStringLiteral("[#+\\s]")))
            || s.discoveryPrefix.startsWith(u'/') || s.discoveryPrefix.endsWith(u'/'))
            return ctx.usage(QStringLiteral("--mqtt-discovery-prefix takes a topic without wildcards, not \"%1\"")
                                 .arg(s.discoveryPrefix));
    }
    if (o.isSet(kProtocol)) {
        const QString v = o.value(kProtocol);
        if (v == QLatin1String("5"))
            s.broker.protocol = mqtt::BrokerOptions::Protocol::V5;
        else if (v == QLatin1String("3.1.1"))
            s.broker.protocol = mqtt::BrokerOptions::Protocol::V311;
        else
            return ctx.usage(QStringLiteral("--mqtt-protocol takes 5 or 3.1.1, not \"%1\"").arg(v));
    }
    s.presetsPath = ctx.env().presetsPath;
    settings = s;
    return 0;
}

std::unique_ptr<mqtt::Bridge> startMqtt(Context& ctx, hub::Hub& hub, mqtt::Settings s)
{
    const QString given = s.switchId;
    s.switchId = mqtt::switchIdFor(hub.switchKey(), given);
    if (!given.isEmpty() && mqtt::slug(given) != s.switchId)
        ctx.env().err(QStringLiteral("talvane-ctl: --mqtt-id %1 is not used: the switch's MAC names it (%2)")
                          .arg(given, s.switchId));
    s.broker.clientId = QStringLiteral("talvane-") + s.switchId;
    auto bridge = std::make_unique<mqtt::Bridge>(hub, s, ctx.env().clock);
    const QString broker = bridge->client().brokerName();
    ctx.print(QStringLiteral("MQTT on %1%2: topics under %3/, Home Assistant discovery under %4/")
                  .arg(broker, s.broker.caFile.isEmpty() ? QString() : QStringLiteral(" (TLS)"), bridge->topics().base(),
                       s.discoveryPrefix));
    ctx.print(QStringLiteral("  anyone the broker lets publish to %1/.../set can control the switch")
                  .arg(bridge->topics().base()));
    Environment& env = ctx.env();
    QObject::connect(bridge.get(), &mqtt::Bridge::brokerConnected, [&env, broker](bool again) {
        env.err(QStringLiteral("talvane-ctl: %1 the MQTT broker at %2").arg(again ? QStringLiteral("connected again to")
                                                                                   : QStringLiteral("connected to"),
                                                                             broker));
    });
    QObject::connect(bridge.get(), &mqtt::Bridge::brokerLost, [&env, broker](const QString& why) {
        env.err(QStringLiteral("talvane-ctl: the MQTT broker at %1 went away (%2); trying again, at most 30 s "
                               "apart; the other front ends go on")
                    .arg(broker, why));
    });
    QObject::connect(bridge.get(), &mqtt::Bridge::brokerUnreachable, [&env, broker](const QString& why) {
        env.err(QStringLiteral("talvane-ctl: cannot reach the MQTT broker at %1 (%2); trying again, at most 30 s "
                               "apart; the other front ends go on")
                    .arg(broker, why));
    });
    QObject::connect(bridge.get(), &mqtt::Bridge::invalidCommand, [&env](const QString& topic, const QString& why) {
        env.err(QStringLiteral("talvane-ctl: MQTT %1: %2; nothing was sent to the switch (said once for this topic)")
                    .arg(topic, why));
    });
    QObject::connect(bridge.get(), &mqtt::Bridge::commandFailed, [&env](const QString& topic, const QString& why) {
        env.err(QStringLiteral("talvane-ctl: MQTT %1: %2; the switch's state is published again").arg(topic, why));
    });
    bridge->start();
    return bridge;
}

}  // namespace ctl
}  // namespace talvane
