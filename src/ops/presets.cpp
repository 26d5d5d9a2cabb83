#include "presets.h"

#include <QJsonArray>
#include <QStandardPaths>

#include "ops/jsonfile.h"
#include "ops/labelstore.h"
#include "ops/routing.h"

namespace talvane {

namespace {

const QLatin1String kFileName("/talvane-controller/presets.json");
const QLatin1String kVersion("version");
const QLatin1String kSwitches("switches");
const QLatin1String kPresets("presets");
const QLatin1String kName("name");
const QLatin1String kInputs("inputs");
const QLatin1String kArc("arc");
constexpr int kFileVersion = 1;

QString outputKey(int output) { return LabelStore::outputKey(output); }

bool isPort(int n) { return n >= 1 && n <= kPortCount; }

// The preset a file entry holds; empty when the entry is not one.
std::optional<Preset> presetOf(const QJsonValue& v)
{
    if (!v.isObject())
        return std::nullopt;
    const QJsonObject o = v.toObject();
    Preset p;
    p.name = PresetStore::cleanName(o.value(kName).toString());
    if (p.name.isEmpty() || p.name != o.value(kName).toString())
        return std::nullopt;
    const QJsonValue inputs = o.value(kInputs);
    const QJsonValue arc = o.value(kArc);
    if (!inputs.isObject() || !arc.isObject())
        return std::nullopt;
    for (int out = 1; out <= kPortCount; ++out) {
        const QJsonValue in = inputs.toObject().value(outputKey(out));
        const QJsonValue on = arc.toObject().value(outputKey(out));
        if (!in.isDouble() || !isPort(in.toInt()) || in.toDouble() != in.toInt() || !on.isBool())
            return std::nullopt;
        p.routing.inputs[std::size_t(out - 1)] = in.toInt();
        p.routing.arc[std::size_t(out - 1)] = on.toBool();
    }
    return p;
}

void writePreset(QJsonObject& o, const Preset& p)
{
    QJsonObject inputs;
    QJsonObject arc;
    for (int out = 1; out <= kPortCount; ++out) {
        inputs.insert(outputKey(out), p.routing.inputs[std::size_t(out - 1)]);
        arc.insert(outputKey(out), bool(p.routing.arc[std::size_t(out - 1)].value_or(false)));
    }
    o.insert(kName, p.name);
    o.insert(kInputs, inputs);
    o.insert(kArc, arc);
}

}  // namespace

bool Routing::complete() const
{
    for (std::size_t k = 0; k < inputs.size(); ++k)
        if (!isPort(inputs[k]) || !arc[k])
            return false;
    return true;
}

// --- the recall ----------------------------------------------------------------------

std::vector<RoutingStep> routingSteps(const Routing& target, const Routing& known)
{
    std::vector<RoutingStep> steps;
    for (int out = 1; out <= kPortCount; ++out) {
        const std::size_t k = std::size_t(out - 1);
        if (isPort(target.inputs[k]) && target.inputs[k] != known.inputs[k])
            steps.push_back({out, false, target.inputs[k]});
        if (target.arc[k] && target.arc[k] != known.arc[k])
            steps.push_back({out, true, *target.arc[k] ? 1 : 0});
    }
    return steps;
}

Operation* routingCommand(Session& session, const RoutingStep& step, QObject* parent)
{
    if (step.arc)
        return new ArcSet(session, step.output, step.value != 0, parent);
    return new RouteSet(session, step.value, step.output, parent);
}

PresetRecall::PresetRecall(Session& session, const Routing& target, const Routing& known, QObject* parent)
    : Sequence(session, {}, parent)
    , commands_(routingSteps(target, known))
{
    for (const RoutingStep& step : commands_)
        addStep([this, step] {
            Operation* op = routingCommand(this->session(), step);
            if (auto* set = qobject_cast<ArcSet*>(op))
                connect(set, &ArcSet::arcReported, this, &PresetRecall::arcReported);
            if (auto* set = qobject_cast<RouteSet*>(op))
                connect(set, &RouteSet::routed, this, &PresetRecall::routed);
            return op;
        });
}

int PresetRecall::stoppedAt() const
{
    return failedStep() >= 0 ? commands_[std::size_t(failedStep())].output : 0;
}

// --- the file ------------------------------------------------------------------------

QString PresetStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + kFileName;
}

PresetStore::PresetStore(QString path)
    : path_(std::move(path))
{
}

bool PresetStore::fail(const QString& why)
{
    error_ = why;
    return false;
}

bool PresetStore::load()
{
    root_ = QJsonObject();
    damaged_ = false;
    error_.clear();
    const JsonFileRead read = readJsonFile(path_);
    if (read.missing())
        return true;
    damaged_ = true;
    if (read.damaged())
        return fail(read.error);
    const QJsonObject root = read.object;
    if (root.value(kVersion) != QJsonValue(kFileVersion))
        return fail(QStringLiteral("%1 has an unknown version").arg(path_));
    const QJsonValue switches = root.value(kSwitches);
    if (!switches.isUndefined() && !switches.isObject())
        return fail(QStringLiteral("%1: \"switches\" is not an object").arg(path_));
    const QJsonObject all = switches.toObject();
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (!it.value().isObject())
            return fail(QStringLiteral("%1: switch \"%2\" is not an object").arg(path_, it.key()));
        const QJsonValue list = it.value().toObject().value(kPresets);
        if (list.isUndefined())
            continue;
        if (!list.isArray())
            return fail(QStringLiteral("%1: the presets of \"%2\" are not a list").arg(path_, it.key()));
        for (const QJsonValue& entry : list.toArray())
            if (!presetOf(entry))
                return fail(QStringLiteral("%1: a preset of \"%2\" is not valid").arg(path_, it.key()));
    }
    root_ = root;
    damaged_ = false;
    return true;
}

QList<Preset> PresetStore::presets(const QString& switchKey) const
{
    QList<Preset> out;
    const QJsonArray list = root_.value(kSwitches).toObject().value(switchKey).toObject().value(kPresets).toArray();
    for (const QJsonValue& entry : list)
        if (std::optional<Preset> p = presetOf(entry))
            out << *p;
    return out;
}

QString PresetStore::cleanName(const QString& name)
{
    // The same rule as the names of the ports.
    QString clean;
    return LabelStore::cleanName(name, &clean) && !clean.isEmpty() ? clean : QString();
}

bool PresetStore::put(const QString& switchKey, const Preset& preset)
{
    Preset p = preset;
    p.name = cleanName(preset.name);
    if (damaged_)
        return fail(error_.isEmpty() ? QStringLiteral("the file is damaged") : error_);
    if (p.name.isEmpty())
        return fail(QStringLiteral("\"%1\" is not a preset name").arg(preset.name));
    if (!p.routing.complete())
        return fail(QStringLiteral("the routing of every output is not known"));
    QJsonObject switches = root_.value(kSwitches).toObject();
    QJsonObject device = switches.value(switchKey).toObject();
    QJsonArray list = device.value(kPresets).toArray();
    int found = -1;
    for (int k = 0; k < list.size() && found < 0; ++k)
        if (list.at(k).toObject().value(kName).toString() == p.name)
            found = k;
    if (found < 0 && list.size() >= kMaxPresets)
        return fail(QStringLiteral("%1 presets are kept for a switch at most").arg(kMaxPresets));
    QJsonObject entry = found >= 0 ? list.at(found).toObject() : QJsonObject();
    writePreset(entry, p);
    if (found >= 0)
        list.replace(found, entry);
    else
        list.append(entry);
    device.insert(kPresets, list);
    switches.insert(switchKey, device);
    root_.insert(kSwitches, switches);
    root_.insert(kVersion, kFileVersion);
    return true;
}

QJsonObject PresetStore::toJson(const Preset& preset)
{
    QJsonObject o;
    writePreset(o, preset);
    return o;
}

std::optional<Preset> PresetStore::fromJson(const QJsonValue& entry) { return presetOf(entry); }

bool PresetStore::setPresets(const QString& switchKey, const QList<Preset>& presets)
{
    if (damaged_)
        return fail(error_.isEmpty() ? QStringLiteral("the file is damaged") : error_);
    if (presets.size() > kMaxPresets)
        return fail(QStringLiteral("%1 presets are kept for a switch at most").arg(kMaxPresets));
    const QJsonObject before = root_;
    QJsonObject switches = root_.value(kSwitches).toObject();
    QJsonObject device = switches.value(switchKey).toObject();
    device.insert(kPresets, QJsonArray());
    switches.insert(switchKey, device);
    root_.insert(kSwitches, switches);
    for (const Preset& p : presets) {
        if (!put(switchKey, p)) {
            root_ = before;
            return false;
        }
    }
    root_.insert(kVersion, kFileVersion);
    return true;
}

bool PresetStore::remove(const QString& switchKey, const QString& name)
{
    if (damaged_)
        return false;
    QJsonObject switches = root_.value(kSwitches).toObject();
    QJsonObject device = switches.value(switchKey).toObject();
    QJsonArray list = device.value(kPresets).toArray();
    for (int k = 0; k < list.size(); ++k) {
        if (list.at(k).toObject().value(kName).toString() != name)
            continue;
        list.removeAt(k);
        device.insert(kPresets, list);
        switches.insert(switchKey, device);
        root_.insert(kSwitches, switches);
        return true;
    }
    return false;
}

bool PresetStore::save()
{
    if (damaged_)
        return fail(error_.isEmpty() ? QStringLiteral("the file is damaged") : error_);
    QJsonObject root = root_;
    root.insert(kVersion, kFileVersion);
    QString why;
    if (!writeJsonFile(path_, root, &why))
        return fail(why);
    error_.clear();
    return true;
}

}  // namespace talvane
