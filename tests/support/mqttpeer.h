// An MQTT client of the tests on the test's broker, and what a client that
// knows only Home Assistant's discovery conventions makes of the configs it
// reads: devices and their entities, with the long or the abbreviated keys
// and the "~" base.
#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>
#include <vector>

#include "mqtt/client.h"
#include "support/waitfor.h"

namespace talvane {

struct MqttPeer {
    mqtt::Client client;
    // The last payload of every topic seen (an empty one: removed).
    std::map<QString, QByteArray> last;
    std::vector<std::pair<QString, QByteArray>> seen;

    MqttPeer(quint16 port, const QStringList& filters, Clock* clock = nullptr)
        : client(options(port), clock)
    {
        for (const QString& f : filters)
            client.subscribe(f);
        QObject::connect(&client, &mqtt::Client::message, [this](const QString& topic, const QByteArray& payload) {
            last[topic] = payload;
            seen.emplace_back(topic, payload);
        });
    }
    static mqtt::BrokerOptions options(quint16 port)
    {
        mqtt::BrokerOptions o;
        o.host = QStringLiteral("127.0.0.1");
        o.port = port;
        return o;
    }
    bool connect()
    {
        client.start();
        return waitFor([this] { return client.isConnected(); }, 20000);
    }
    QByteArray value(const QString& topic) const
    {
        const auto it = last.find(topic);
        return it == last.end() ? QByteArray() : it->second;
    }
    bool waitForValue(const QString& topic, const QByteArray& payload, int deadlineMs = 20000)
    {
        return waitFor([&] { return value(topic) == payload; }, deadlineMs);
    }
    // Messages on `topic` seen so far.
    int count(const QString& topic) const
    {
        int n = 0;
        for (const auto& s : seen)
            n += s.first == topic ? 1 : 0;
        return n;
    }
    void publish(const QString& topic, const QByteArray& payload, bool retain = false)
    {
        client.publish(topic, payload, retain);
    }
};

// An entity as Home Assistant's discovery describes it.
struct DiscoveredEntity {
    QString component;
    QString configTopic;
    QJsonObject config;  // the keys in their long form, "~" expanded

    QString text(const char* key) const { return config.value(QLatin1String(key)).toString(); }
    QStringList options() const
    {
        QStringList out;
        for (const QJsonValue& v : config.value(QLatin1String("options")).toArray())
            out << v.toString();
        return out;
    }
    QString deviceId() const
    {
        return config.value(QLatin1String("device")).toObject().value(QLatin1String("identifiers")).toArray().at(0).toString();
    }
};

// Every entity of the retained configs under `prefix`, read as the
// conventions say: <prefix>/<component>/[<node_id>/]<object_id>/config, a
// JSON object, the abbreviations and "~" allowed. Configs that are not
// JSON objects are listed in `bad`.
inline std::vector<DiscoveredEntity> discoveredEntities(const std::map<QString, QByteArray>& retained,
                                                        const QString& prefix, QStringList* bad = nullptr)
{
    static const std::map<QString, QString> longKeys{
        {QStringLiteral("cmd_t"), QStringLiteral("command_topic")},
        {QStringLiteral("stat_t"), QStringLiteral("state_topic")},
        {QStringLiteral("avty_t"), QStringLiteral("availability_topic")},
        {QStringLiteral("uniq_id"), QStringLiteral("unique_id")},
        {QStringLiteral("dev"), QStringLiteral("device")},
        {QStringLiteral("ops"), QStringLiteral("options")},
        {QStringLiteral("pl_on"), QStringLiteral("payload_on")},
        {QStringLiteral("pl_off"), QStringLiteral("payload_off")},
        {QStringLiteral("pl_avail"), QStringLiteral("payload_available")},
        {QStringLiteral("pl_not_avail"), QStringLiteral("payload_not_available")},
        {QStringLiteral("dev_cla"), QStringLiteral("device_class")},
        {QStringLiteral("ent_cat"), QStringLiteral("entity_category")},
    };
    std::vector<DiscoveredEntity> out;
    for (const auto& [topic, payload] : retained) {
        if (!topic.startsWith(prefix + u'/') || !topic.endsWith(QLatin1String("/config")) || payload.isEmpty())
            continue;
        const QStringList parts = topic.mid(prefix.size() + 1).split(u'/');
        if (parts.size() != 3 && parts.size() != 4)
            continue;
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            if (bad)
                *bad << topic;
            continue;
        }
        QJsonObject config;
        const QJsonObject raw = doc.object();
        const QString base = raw.value(QLatin1String("~")).toString();
        for (auto it = raw.begin(); it != raw.end(); ++it) {
            const auto l = longKeys.find(it.key());
            const QString key = l == longKeys.end() ? it.key() : l->second;
            QJsonValue v = it.value();
            if (v.isString() && key.endsWith(QLatin1String("_topic")) && v.toString().startsWith(u'~'))
                v = base + v.toString().mid(1);
            config.insert(key, v);
        }
        out.push_back({parts.front(), topic, config});
    }
    return out;
}

}  // namespace talvane
