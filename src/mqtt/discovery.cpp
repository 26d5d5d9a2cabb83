#include "discovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace talvane {
namespace mqtt {

namespace {

QString letter(int output) { return QString(QChar(outputLetter(output))); }

QString objectSuffix(int output) { return QStringLiteral("output_") + letter(output).toLower(); }

// The keys every entity of the switch carries.
QJsonObject entity(const Topics& t, const DeviceView& d, const QString& objectId, const QString& name)
{
    QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{t.nodeId()}},
                       {QStringLiteral("name"), d.name},
                       {QStringLiteral("manufacturer"), d.manufacturer},
                       {QStringLiteral("model"), d.model}};
    if (!d.firmware.isEmpty())
        device.insert(QStringLiteral("sw_version"), d.firmware);
    const QString unique = t.nodeId() + u'_' + objectId;
    return QJsonObject{{QStringLiteral("name"), name},
                       {QStringLiteral("unique_id"), unique},
                       {QStringLiteral("object_id"), unique},
                       {QStringLiteral("availability_topic"), t.availability()},
                       {QStringLiteral("payload_available"), QString::fromLatin1(kOnline)},
                       {QStringLiteral("payload_not_available"), QString::fromLatin1(kOffline)},
                       {QStringLiteral("device"), device}};
}

void onOff(QJsonObject& o)
{
    o.insert(QStringLiteral("payload_on"), QString::fromLatin1(kOn));
    o.insert(QStringLiteral("payload_off"), QString::fromLatin1(kOff));
}

QJsonObject switchEntity(const Topics& t, const DeviceView& d, const QString& objectId, const QString& name,
                         const QString& state)
{
    QJsonObject o = entity(t, d, objectId, name);
    o.insert(QStringLiteral("state_topic"), state);
    o.insert(QStringLiteral("command_topic"), Topics::commandOf(state));
    onOff(o);
    return o;
}

QJsonObject sensorEntity(const Topics& t, const DeviceView& d, const QString& objectId, const QString& name,
                         const QString& state, const char* deviceClass)
{
    QJsonObject o = entity(t, d, objectId, name);
    o.insert(QStringLiteral("state_topic"), state);
    o.insert(QStringLiteral("device_class"), QLatin1String(deviceClass));
    onOff(o);
    return o;
}

QByteArray json(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

}  // namespace

std::array<QString, kPortCount> inputOptions(const std::array<QString, kPortCount>& labels)
{
    std::array<QString, kPortCount> names;
    for (int i = 1; i <= kPortCount; ++i) {
        const QString& label = labels[std::size_t(i - 1)];
        names[std::size_t(i - 1)] = label.isEmpty() ? QStringLiteral("Input %1").arg(i) : label;
    }
    std::array<QString, kPortCount> options = names;
    for (std::size_t k = 0; k < names.size(); ++k)
        if (std::count(names.begin(), names.end(), names[k]) > 1)
            options[k] = QStringLiteral("%1 (%2)").arg(names[k]).arg(k + 1);
    return options;
}

QString outputTitle(int output, const QString& label)
{
    return label.isEmpty() ? QStringLiteral("Output ") + letter(output) : label;
}

std::map<QString, QByteArray> discoveryConfigs(const Topics& t, const DeviceView& d)
{
    std::map<QString, QByteArray> configs;
    QJsonArray inputs;
    for (const QString& name : d.inputs)
        inputs.append(name);
    for (int o = 1; o <= kPortCount; ++o) {
        const QString title = d.outputs[std::size_t(o - 1)];
        const QString id = objectSuffix(o);
        QJsonObject route = entity(t, d, id, title);
        route.insert(QStringLiteral("state_topic"), t.outputInputName(o));
        route.insert(QStringLiteral("command_topic"), t.routeCommand(o));
        route.insert(QStringLiteral("options"), inputs);
        route.insert(QStringLiteral("icon"), QStringLiteral("mdi:video-input-hdmi"));
        configs[t.discovery(QStringLiteral("select"), id)] = json(route);
        configs[t.discovery(QStringLiteral("switch"), id + QStringLiteral("_arc"))] =
            json(switchEntity(t, d, id + QStringLiteral("_arc"), title + QStringLiteral(" ARC"), t.outputArc(o)));
        configs[t.discovery(QStringLiteral("switch"), id + QStringLiteral("_lock"))] =
            json(switchEntity(t, d, id + QStringLiteral("_lock"), title + QStringLiteral(" lock"), t.outputLock(o)));
        configs[t.discovery(QStringLiteral("binary_sensor"), id + QStringLiteral("_display"))] =
            json(sensorEntity(t, d, id + QStringLiteral("_display"), title + QStringLiteral(" display"),
                              t.outputDisplay(o), "plug"));
    }
    for (int i = 1; i <= kPortCount; ++i) {
        const QString id = QStringLiteral("input_%1_source").arg(i);
        configs[t.discovery(QStringLiteral("binary_sensor"), id)] = json(
            sensorEntity(t, d, id, d.inputs[std::size_t(i - 1)] + QStringLiteral(" source"), t.inputSource(i), "plug"));
    }
    configs[t.discovery(QStringLiteral("switch"), QStringLiteral("power"))] =
        json(switchEntity(t, d, QStringLiteral("power"), QStringLiteral("Power"), t.power()));
    configs[t.discovery(QStringLiteral("switch"), QStringLiteral("beeper"))] =
        json(switchEntity(t, d, QStringLiteral("beeper"), QStringLiteral("Beeper"), t.beeper()));

    QByteArray presets;
    if (!d.presets.isEmpty()) {
        QJsonObject o = entity(t, d, QStringLiteral("preset"), QStringLiteral("Preset"));
        o.insert(QStringLiteral("state_topic"), t.preset());
        o.insert(QStringLiteral("command_topic"), t.presetCommand());
        o.insert(QStringLiteral("options"), QJsonArray::fromStringList(d.presets));
        presets = json(o);
    }
    configs[t.discovery(QStringLiteral("select"), QStringLiteral("preset"))] = presets;

    QJsonObject firmware = entity(t, d, QStringLiteral("firmware"), QStringLiteral("Firmware"));
    firmware.insert(QStringLiteral("state_topic"), t.firmware());
    firmware.insert(QStringLiteral("entity_category"), QStringLiteral("diagnostic"));
    configs[t.discovery(QStringLiteral("sensor"), QStringLiteral("firmware"))] = json(firmware);
    return configs;
}

}  // namespace mqtt
}  // namespace talvane
