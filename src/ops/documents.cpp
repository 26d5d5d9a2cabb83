#include "documents.h"

#include <QJsonArray>

#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {
namespace documents {

namespace {

template <typename T>
QJsonValue optional(const std::optional<T>& v)
{
    return v ? QJsonValue(*v) : QJsonValue();
}

QJsonValue known(int value, int unknown) { return value == unknown ? QJsonValue() : QJsonValue(value); }

}  // namespace

QString outputKey(int output) { return QString(QLatin1Char(outputLetter(output))); }

QString edidName(int code)
{
    const decode::EdidCode c = decode::edidCode(code);
    if (c.kind == decode::EdidCode::Kind::Preset)
        return QString::fromLatin1(kEdidPresetNames[c.index]);
    if (c.kind == decode::EdidCode::Kind::CopyOfOutput)
        return QStringLiteral("copy of output %1").arg(outputKey(c.index));
    return QString();
}

QJsonObject inputDocument(const SwitchSnapshot& state, int input, const PortLabels& labels)
{
    const std::size_t k = std::size_t(input - 1);
    const int edid = state.edid[k];
    const bool coded = edid >= 0;
    const QString name = coded ? edidName(edid) : QString();
    return {{QStringLiteral("input"), input},
            {QStringLiteral("source"), optional(state.sources[k])},
            {QStringLiteral("edid"), coded ? QJsonValue(edid) : QJsonValue()},
            {QStringLiteral("edidName"), name.isEmpty() ? QJsonValue() : QJsonValue(name)},
            {QStringLiteral("label"), labels.inputs[k]}};
}

QJsonObject outputDocument(const SwitchSnapshot& state, int output, const PortLabels& labels)
{
    const std::size_t k = std::size_t(output - 1);
    return {{QStringLiteral("output"), outputKey(output)},
            {QStringLiteral("display"), optional(state.displays[k])},
            {QStringLiteral("input"), known(state.routes[k], 0)},
            {QStringLiteral("arc"), optional(state.arc[k])},
            {QStringLiteral("label"), labels.outputs[k]}};
}

QJsonObject status(const QString& switchKey, const SwitchSnapshot& state, const PortLabels& labels)
{
    QJsonArray inputs, outputs;
    for (int p = 1; p <= kPortCount; ++p) {
        inputs.append(inputDocument(state, p, labels));
        outputs.append(outputDocument(state, p, labels));
    }
    return {{QStringLiteral("switch"), switchKey},
            {QStringLiteral("power"), optional(state.power)},
            {QStringLiteral("beeper"), optional(state.beeper)},
            {QStringLiteral("inputs"), inputs},
            {QStringLiteral("outputs"), outputs}};
}

QJsonObject labels(const QString& switchKey, const PortLabels& labels)
{
    QJsonArray inputs, outputs;
    for (int p = 1; p <= kPortCount; ++p) {
        const std::size_t k = std::size_t(p - 1);
        inputs.append(QJsonObject{{QStringLiteral("input"), p}, {QStringLiteral("label"), labels.inputs[k]}});
        outputs.append(QJsonObject{{QStringLiteral("output"), outputKey(p)}, {QStringLiteral("label"), labels.outputs[k]}});
    }
    return {{QStringLiteral("switch"), switchKey}, {QStringLiteral("inputs"), inputs}, {QStringLiteral("outputs"), outputs}};
}

QJsonObject routes(const std::vector<std::pair<int, int>>& done)
{
    QJsonArray list;
    for (const auto& [input, output] : done)
        list.append(QJsonObject{{QStringLiteral("input"), input}, {QStringLiteral("output"), outputKey(output)}});
    return {{QStringLiteral("routes"), list}};
}

QJsonObject arc(int output, bool on) { return {{QStringLiteral("output"), outputKey(output)}, {QStringLiteral("arc"), on}}; }

QJsonObject presets(const QString& switchKey, const QList<Preset>& presets, const Routing& now)
{
    QJsonArray list;
    for (const Preset& p : presets) {
        QJsonObject inputs, arc;
        for (int o = 1; o <= kPortCount; ++o) {
            const std::size_t k = std::size_t(o - 1);
            inputs.insert(outputKey(o), p.routing.inputs[k]);
            arc.insert(outputKey(o), p.routing.arc[k].value_or(false));
        }
        list.append(QJsonObject{{QStringLiteral("name"), p.name},
                                {QStringLiteral("inputs"), inputs},
                                {QStringLiteral("arc"), arc},
                                {QStringLiteral("active"), now.complete() && now == p.routing}});
    }
    return {{QStringLiteral("switch"), switchKey}, {QStringLiteral("presets"), list}};
}

Routing routingOf(const SwitchSnapshot& state)
{
    Routing r;
    r.inputs = state.routes;
    r.arc = state.arc;
    return r;
}

}  // namespace documents
}  // namespace talvane
