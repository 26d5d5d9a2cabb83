#include "backup.h"

#include <QJsonArray>

#include "ops/device.h"
#include "ops/edid.h"
#include "ops/jsonfile.h"
#include "ops/power.h"
#include "ops/routing.h"
#include "ops/status.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {

namespace {

// The file's keys.
const QLatin1String kFormat("format");
const QLatin1String kFormatName("talvane-controller backup");
const QLatin1String kVersion("version");
const QLatin1String kSwitch("switch");
const QLatin1String kKey("key");
const QLatin1String kKind("kind");
const QLatin1String kInputs("inputs");
const QLatin1String kOutputs("outputs");
const QLatin1String kFirmware("firmware");
const QLatin1String kMac("mac");
const QLatin1String kRouting("routing");
const QLatin1String kArc("arc");
const QLatin1String kEdid("edid");
const QLatin1String kUploaded("uploaded");
const QLatin1String kIdent("ident");
const QLatin1String kBeeper("beeper");
const QLatin1String kNames("names");
const QLatin1String kPresets("presets");
const QLatin1String kNetwork("network");
const QLatin1String kIp("ip");

struct AreaName {
    RestoreArea area;
    const char* name;
};
constexpr AreaName kAreaNames[] = {{RestoreRouting, "routing"}, {RestoreArc, "arc"},       {RestoreEdid, "edid"},
                                   {RestoreIdent, "ident"},     {RestoreBeeper, "beeper"}, {RestoreNames, "names"},
                                   {RestorePresets, "presets"}};

bool isPort(int n) { return n >= 1 && n <= kPortCount; }
bool isEdidCode(int code) { return code >= 0 && code < kEdidCodeCount; }
QString letter(int output) { return LabelStore::outputKey(output); }

QJsonValue optionalBool(const std::optional<bool>& v) { return v ? QJsonValue(*v) : QJsonValue(); }

// The identification text as the file holds it: Latin-1, trailing spaces
// dropped (the switch pads it with spaces).
QString identText(const QByteArray& ident)
{
    QString text = QString::fromLatin1(ident);
    while (text.endsWith(u' '))
        text.chop(1);
    return text;
}

QString onOff(bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); }

QString edidText(int code)
{
    if (code == SwitchBackup::kEdidUploaded)
        return QStringLiteral("uploaded from a file");
    if (!isEdidCode(code))
        return QStringLiteral("unknown");
    const decode::EdidCode c = decode::edidCode(code);
    if (c.kind == decode::EdidCode::Kind::CopyOfOutput)
        return QStringLiteral("copy of output %1").arg(letter(c.index));
    return QStringLiteral("preset %1 (%2)").arg(c.index + 1).arg(QString::fromLatin1(kEdidPresetNames[c.index]));
}

QString routingText(const Routing& r)
{
    QStringList parts;
    QStringList arcOn;
    for (int o = 1; o <= kPortCount; ++o) {
        parts << letter(o) + QString::number(r.inputs[std::size_t(o - 1)]);
        if (r.arc[std::size_t(o - 1)].value_or(false))
            arcOn << letter(o);
    }
    return parts.join(u' ') + (arcOn.isEmpty() ? QString() : QStringLiteral(", ARC on ") + arcOn.join(u','));
}

QString quotedOrNone(const QString& text) { return text.isEmpty() ? QStringLiteral("none") : u'"' + text + u'"'; }

// The reading of the file: each part refuses what is not as written.
struct Reader {
    QString why;
    bool fail(const QString& text)
    {
        if (why.isEmpty())
            why = text;
        return false;
    }

    bool portMap(const QJsonValue& v, const char* what, bool outputs, const std::function<bool(int, const QJsonValue&)>& take)
    {
        if (v.isUndefined() || v.isNull())
            return true;
        if (!v.isObject())
            return fail(QStringLiteral("\"%1\" is not an object").arg(QLatin1String(what)));
        const QJsonObject o = v.toObject();
        for (auto it = o.begin(); it != o.end(); ++it) {
            int port = 0;
            for (int p = 1; p <= kPortCount && port == 0; ++p)
                if (it.key() == (outputs ? LabelStore::outputKey(p) : LabelStore::inputKey(p)))
                    port = p;
            if (port == 0)
                return fail(QStringLiteral("\"%1\" names no %2: \"%3\"")
                                .arg(QLatin1String(what), outputs ? QStringLiteral("output") : QStringLiteral("input"), it.key()));
            if (!it.value().isNull() && !take(port, it.value()))
                return fail(QStringLiteral("\"%1\" of %2 is not valid").arg(QLatin1String(what), it.key()));
        }
        return true;
    }

    static std::optional<int> integer(const QJsonValue& v)
    {
        if (!v.isDouble() || v.toDouble() != double(v.toInt()))
            return std::nullopt;
        return v.toInt();
    }
};

}  // namespace

QString restoreAreaName(RestoreArea area)
{
    for (const AreaName& a : kAreaNames)
        if (a.area == area)
            return QString::fromLatin1(a.name);
    return QString();
}

int parseRestoreAreas(const QString& list, QString* why)
{
    int areas = 0;
    for (const QString& word : list.split(u',')) {
        const QString w = word.trimmed().toLower();
        int found = 0;
        for (const AreaName& a : kAreaNames)
            if (w == QLatin1String(a.name))
                found = a.area;
        if (found == 0) {
            QStringList names;
            for (const AreaName& a : kAreaNames)
                names << QString::fromLatin1(a.name);
            if (why)
                *why = QStringLiteral("\"%1\" is not one of %2").arg(word.trimmed(), names.join(u','));
            return 0;
        }
        areas |= found;
    }
    return areas;
}

// ---------------------------------------------------------------- the file

QString SwitchBackup::firmware() const
{
    return versionMajor < 0 ? QString() : QStringLiteral("%1.%2").arg(versionMajor).arg(versionMinor);
}

bool SwitchBackup::sameKind(const SwitchBackup& other) const
{
    return kind == other.kind && inputs == other.inputs && outputs == other.outputs;
}

void SwitchBackup::takeStores(const LabelStore& labelStore, const PresetStore& presetStore, const QString& key)
{
    switchKey = key;
    names = labelStore.damaged() ? PortLabels{} : labelStore.labels(key);
    presets = presetStore.damaged() ? QList<Preset>{} : presetStore.presets(key);
}

QJsonObject SwitchBackup::toJson() const
{
    QJsonObject device{{kKey, switchKey},
                       {kKind, kind},
                       {kInputs, inputs},
                       {kOutputs, outputs},
                       {kFirmware, firmware().isEmpty() ? QJsonValue() : QJsonValue(firmware())},
                       {kMac, mac.isEmpty() ? QJsonValue() : QJsonValue(mac)}};
    QJsonObject routes, arcs, edids, inputNames, outputNames;
    for (int p = 1; p <= kPortCount; ++p) {
        const std::size_t k = std::size_t(p - 1);
        routes.insert(letter(p), isPort(routing.inputs[k]) ? QJsonValue(routing.inputs[k]) : QJsonValue());
        arcs.insert(letter(p), optionalBool(routing.arc[k]));
        edids.insert(LabelStore::inputKey(p), isEdidCode(edid[k])        ? QJsonValue(edid[k])
                                              : edid[k] == kEdidUploaded ? QJsonValue(kUploaded)
                                                                         : QJsonValue());
        if (!names.inputs[k].isEmpty())
            inputNames.insert(LabelStore::inputKey(p), names.inputs[k]);
        if (!names.outputs[k].isEmpty())
            outputNames.insert(letter(p), names.outputs[k]);
    }
    QJsonArray presetList;
    for (const Preset& p : presets)
        presetList.append(PresetStore::toJson(p));
    return {{kFormat, kFormatName},
            {kVersion, kFormatVersion},
            {kSwitch, device},
            {kRouting, routes},
            {kArc, arcs},
            {kEdid, edids},
            {kIdent, ident ? QJsonValue(identText(*ident)) : QJsonValue()},
            {kBeeper, optionalBool(beeper)},
            {kNames, QJsonObject{{kInputs, inputNames}, {kOutputs, outputNames}}},
            {kPresets, presetList},
            {kNetwork, ip.isEmpty() ? QJsonValue() : QJsonValue(QJsonObject{{kIp, ip}, {kMac, mac}})}};
}

SwitchBackup::ReadResult SwitchBackup::read(const QString& path, SwitchBackup* out, QString* why, bool anyVersion)
{
    const JsonFileRead file = readJsonFile(path);
    QString reason;
    const ReadResult r = file.missing()   ? ReadResult::Damaged
                         : file.damaged() ? ReadResult::Damaged
                                          : fromJson(file.object, out, &reason, anyVersion);
    if (why)
        *why = file.missing()   ? QStringLiteral("%1: no such file").arg(path)
               : file.damaged() ? file.error
               : r == ReadResult::Ok ? QString()
                                     : QStringLiteral("%1: %2").arg(path, reason);
    return r;
}

SwitchBackup::ReadResult SwitchBackup::fromJson(const QJsonObject& root, SwitchBackup* out, QString* why, bool anyVersion)
{
    auto result = [why](ReadResult r, const QString& text) {
        if (why)
            *why = text;
        return r;
    };
    if (root.value(kFormat) != QJsonValue(kFormatName))
        return result(ReadResult::NotABackup, QStringLiteral("not a backup of this program (\"format\" is not \"%1\")").arg(kFormatName));
    const std::optional<int> version = Reader::integer(root.value(kVersion));
    if (!version)
        return result(ReadResult::Damaged, QStringLiteral("\"version\" is not a number"));
    if (*version != kFormatVersion && !anyVersion)
        return result(ReadResult::UnknownVersion, QStringLiteral("format version %1, this program reads version %2")
                                                      .arg(*version)
                                                      .arg(kFormatVersion));
    SwitchBackup b;
    Reader r;
    const QJsonValue device = root.value(kSwitch);
    if (!device.isObject())
        return result(ReadResult::Damaged, QStringLiteral("\"switch\" is not an object"));
    const QJsonObject d = device.toObject();
    b.switchKey = d.value(kKey).toString();
    for (auto [key, slot] : {std::pair{kKind, &b.kind}, {kInputs, &b.inputs}, {kOutputs, &b.outputs}}) {
        const std::optional<int> n = Reader::integer(d.value(key));
        if (!n || *n < 0 || *n > 255)
            return result(ReadResult::Damaged, QStringLiteral("\"switch\": \"%1\" is not a number 0..255").arg(key));
        *slot = *n;
    }
    const QJsonValue fw = d.value(kFirmware);
    if (fw.isString()) {
        const QStringList parts = fw.toString().split(u'.');
        bool okMajor = false, okMinor = false;
        const int major = parts.value(0).toInt(&okMajor);
        const int minor = parts.value(1).toInt(&okMinor);
        if (parts.size() != 2 || !okMajor || !okMinor || major < 0 || minor < 0)
            return result(ReadResult::Damaged, QStringLiteral("\"switch\": \"firmware\" is not MAJOR.MINOR"));
        b.versionMajor = major;
        b.versionMinor = minor;
    } else if (!fw.isNull() && !fw.isUndefined()) {
        return result(ReadResult::Damaged, QStringLiteral("\"switch\": \"firmware\" is not text"));
    }
    b.mac = d.value(kMac).toString();

    const bool ok =
        r.portMap(root.value(kRouting), "routing", true,
                  [&](int o, const QJsonValue& v) {
                      const std::optional<int> in = Reader::integer(v);
                      if (!in || !isPort(*in))
                          return false;
                      b.routing.inputs[std::size_t(o - 1)] = *in;
                      return true;
                  })
        && r.portMap(root.value(kArc), "arc", true,
                     [&](int o, const QJsonValue& v) {
                         if (!v.isBool())
                             return false;
                         b.routing.arc[std::size_t(o - 1)] = v.toBool();
                         return true;
                     })
        && r.portMap(root.value(kEdid), "edid", false, [&](int i, const QJsonValue& v) {
               const std::optional<int> code = Reader::integer(v);
               if (v == QJsonValue(kUploaded))
                   b.edid[std::size_t(i - 1)] = kEdidUploaded;
               else if (code && isEdidCode(*code))
                   b.edid[std::size_t(i - 1)] = *code;
               else
                   return false;
               return true;
           });
    if (!ok)
        return result(ReadResult::Damaged, r.why);

    const QJsonValue ident = root.value(kIdent);
    if (ident.isString()) {
        const QString text = ident.toString();
        const QByteArray latin1 = text.toLatin1();
        if (text.size() > cmd::IdentTextLength || QString::fromLatin1(latin1) != text)
            return result(ReadResult::Damaged, QStringLiteral("\"ident\" is not at most %1 Latin-1 characters").arg(cmd::IdentTextLength));
        b.ident = latin1.leftJustified(cmd::IdentTextLength, ' ');
    } else if (!ident.isNull() && !ident.isUndefined()) {
        return result(ReadResult::Damaged, QStringLiteral("\"ident\" is not text"));
    }
    const QJsonValue beeper = root.value(kBeeper);
    if (beeper.isBool())
        b.beeper = beeper.toBool();
    else if (!beeper.isNull() && !beeper.isUndefined())
        return result(ReadResult::Damaged, QStringLiteral("\"beeper\" is not true or false"));

    const QJsonValue names = root.value(kNames);
    if (!names.isUndefined() && !names.isNull() && !names.isObject())
        return result(ReadResult::Damaged, QStringLiteral("\"names\" is not an object"));
    for (bool outputs : {false, true}) {
        const bool named = r.portMap(names.toObject().value(outputs ? kOutputs : kInputs), outputs ? "names of outputs" : "names of inputs",
                                     outputs, [&](int p, const QJsonValue& v) {
                                         QString clean;
                                         if (!v.isString() || !LabelStore::cleanName(v.toString(), &clean) || clean != v.toString())
                                             return false;
                                         (outputs ? b.names.outputs : b.names.inputs)[std::size_t(p - 1)] = clean;
                                         return true;
                                     });
        if (!named)
            return result(ReadResult::Damaged, r.why);
    }

    const QJsonValue presets = root.value(kPresets);
    if (!presets.isUndefined() && !presets.isNull() && !presets.isArray())
        return result(ReadResult::Damaged, QStringLiteral("\"presets\" is not a list"));
    for (const QJsonValue& entry : presets.toArray()) {
        const std::optional<Preset> p = PresetStore::fromJson(entry);
        if (!p)
            return result(ReadResult::Damaged, QStringLiteral("a preset is not valid"));
        for (const Preset& other : b.presets)
            if (other.name == p->name)
                return result(ReadResult::Damaged, QStringLiteral("two presets are named \"%1\"").arg(p->name));
        b.presets << *p;
    }
    if (b.presets.size() > PresetStore::kMaxPresets)
        return result(ReadResult::Damaged, QStringLiteral("more than %1 presets").arg(PresetStore::kMaxPresets));

    const QJsonValue network = root.value(kNetwork);
    if (network.isObject()) {
        b.ip = network.toObject().value(kIp).toString();
        if (b.mac.isEmpty())
            b.mac = network.toObject().value(kMac).toString();
    } else if (!network.isNull() && !network.isUndefined()) {
        return result(ReadResult::Damaged, QStringLiteral("\"network\" is not an object"));
    }
    if (out)
        *out = b;
    return result(ReadResult::Ok, QString());
}

// ---------------------------------------------------------------- the read

BackupRead::BackupRead(Session& session, QObject* parent)
    : Sequence(session, {}, parent)
{
    addStep([this] {
        emit reading(QStringLiteral("device"));
        auto* op = new DeviceRead(this->session(), DeviceRead::What::InfoAndIdent, Purpose::Operator);
        connect(op, &DeviceRead::infoReported, this, [this](const DeviceInfo& info) {
            backup_.kind = info.kind;
            backup_.inputs = info.inputs;
            backup_.outputs = info.outputs;
            backup_.versionMajor = info.versionMajor;
            backup_.versionMinor = info.versionMinor;
        });
        connect(op, &DeviceRead::identReported, this, [this](const QByteArray& text) { backup_.ident = text; });
        return op;
    });
    addStep([this] {
        emit reading(QStringLiteral("beeper"));
        auto* op = new BeepStateRead(this->session());
        connect(op, &BeepStateRead::beepReported, this, [this](bool on) { backup_.beeper = on; });
        return op;
    });
    addStep([this] {
        emit reading(QStringLiteral("routing"));
        auto* op = new MatrixRead(this->session(), Purpose::Operator);
        connect(op, &MatrixRead::routeReported, this,
                [this](int output, int input) { backup_.routing.inputs[std::size_t(output - 1)] = input; });
        connect(op, &MatrixRead::arcReported, this,
                [this](int output, bool on) { backup_.routing.arc[std::size_t(output - 1)] = on; });
        return op;
    });
    addStep([this] {
        emit reading(QStringLiteral("edid"));
        auto* op = new EdidRead(this->session(), Purpose::Operator);
        connect(op, &EdidRead::edidReported, this, [this](int input, int code) {
            // A code that names no preset and no copy: the switch holds an
            // EDID it cannot say more of, one uploaded from a file.
            backup_.edid[std::size_t(input - 1)] = isEdidCode(code) ? code : SwitchBackup::kEdidUploaded;
        });
        return op;
    });
}

// ---------------------------------------------------------------- the plan

QString RestoreChange::text() const
{
    QString what;
    switch (area) {
    case RestoreRouting:
        what = QStringLiteral("route of output %1").arg(letter(port));
        break;
    case RestoreArc:
        what = QStringLiteral("ARC of output %1").arg(letter(port));
        break;
    case RestoreEdid:
        what = QStringLiteral("EDID of input %1").arg(port);
        break;
    case RestoreIdent:
        what = QStringLiteral("identification text");
        break;
    case RestoreBeeper:
        what = QStringLiteral("beeper");
        break;
    case RestoreNames:
        what = output ? QStringLiteral("name of output %1").arg(letter(port)) : QStringLiteral("name of input %1").arg(port);
        break;
    case RestorePresets:
        what = QStringLiteral("preset \"%1\"").arg(preset);
        break;
    default:
        break;
    }
    return QStringLiteral("%1: %2 -> %3").arg(what, now, file);
}

QJsonObject RestoreChange::toJson() const
{
    QJsonObject o{{QStringLiteral("area"), restoreAreaName(area)},
                  {QStringLiteral("now"), now},
                  {QStringLiteral("file"), file},
                  {QStringLiteral("text"), text()}};
    if (area == RestoreRouting || area == RestoreArc || (area == RestoreNames && output))
        o.insert(QStringLiteral("output"), letter(port));
    else if (area == RestoreEdid || area == RestoreNames)
        o.insert(QStringLiteral("input"), port);
    if (area == RestorePresets)
        o.insert(QStringLiteral("preset"), preset);
    return o;
}

RestorePlan planRestore(const SwitchBackup& file, const SwitchBackup& now, int areas)
{
    RestorePlan plan;
    plan.file = file;
    plan.areas = areas;
    auto add = [&plan](RestoreChange c) { plan.changes << c; };

    if ((areas & RestoreIdent) && file.ident && now.ident != file.ident)
        add({RestoreIdent, 0, false, 0, {}, now.ident ? quotedOrNone(identText(*now.ident)) : QStringLiteral("unknown"),
             quotedOrNone(identText(*file.ident))});
    if ((areas & RestoreBeeper) && file.beeper && now.beeper != file.beeper)
        add({RestoreBeeper, 0, false, *file.beeper ? 1 : 0, {}, now.beeper ? onOff(*now.beeper) : QStringLiteral("unknown"),
             onOff(*file.beeper)});
    if (areas & RestoreEdid) {
        for (int i = 1; i <= kPortCount; ++i) {
            const int code = file.edid[std::size_t(i - 1)];
            if (code == SwitchBackup::kEdidUploaded)
                plan.leftAlone << QStringLiteral("EDID of input %1: it was uploaded from a file, which the switch cannot "
                                                 "give back, so it is left as it is")
                                      .arg(i);
            else if (isEdidCode(code) && code != now.edid[std::size_t(i - 1)])
                add({RestoreEdid, i, false, code, {}, edidText(now.edid[std::size_t(i - 1)]), edidText(code)});
        }
    }
    Routing target = file.routing;
    if (!(areas & RestoreRouting))
        target.inputs.fill(0);
    if (!(areas & RestoreArc))
        target.arc.fill(std::nullopt);
    for (const RoutingStep& step : routingSteps(target, now.routing)) {
        const std::size_t k = std::size_t(step.output - 1);
        if (step.arc)
            add({RestoreArc, step.output, true, step.value, {},
                 now.routing.arc[k] ? onOff(*now.routing.arc[k]) : QStringLiteral("unknown"), onOff(step.value != 0)});
        else
            add({RestoreRouting, step.output, true, step.value, {},
                 isPort(now.routing.inputs[k]) ? QStringLiteral("input %1").arg(now.routing.inputs[k]) : QStringLiteral("unknown"),
                 QStringLiteral("input %1").arg(step.value)});
    }
    if (areas & RestoreNames) {
        for (bool output : {false, true})
            for (int p = 1; p <= kPortCount; ++p) {
                const QString& was = (output ? now.names.outputs : now.names.inputs)[std::size_t(p - 1)];
                const QString& will = (output ? file.names.outputs : file.names.inputs)[std::size_t(p - 1)];
                if (was != will)
                    add({RestoreNames, p, output, 0, {}, quotedOrNone(was), quotedOrNone(will)});
            }
    }
    if (areas & RestorePresets) {
        auto find = [](const QList<Preset>& list, const QString& name) -> const Preset* {
            for (const Preset& p : list)
                if (p.name == name)
                    return &p;
            return nullptr;
        };
        const QString none = QStringLiteral("none");
        for (const Preset& p : file.presets) {
            const Preset* kept = find(now.presets, p.name);
            if (!kept || kept->routing != p.routing)
                add({RestorePresets, 0, false, 0, p.name, kept ? routingText(kept->routing) : none, routingText(p.routing)});
        }
        for (const Preset& p : now.presets)
            if (!find(file.presets, p.name))
                add({RestorePresets, 0, false, 0, p.name, routingText(p.routing), none});
    }
    return plan;
}

// ---------------------------------------------------------------- the restore

RestoreApply::RestoreApply(Session& session, const RestorePlan& plan, QObject* parent)
    : Sequence(session, {}, parent)
{
    const SwitchBackup file = plan.file;
    for (int index = 0; index < plan.changes.size(); ++index) {
        const RestoreChange c = plan.changes[index];
        if (!c.onSwitch())
            continue;
        changeOf_.push_back(index);
        addStep([this, c, file]() -> Operation* {
            Session& s = this->session();
            switch (c.area) {
            case RestoreIdent: {
                IdentWrite::Text text{};
                for (std::size_t k = 0; k < text.size(); ++k)
                    text[k] = std::uint8_t(file.ident->at(int(k)));
                return new IdentWrite(s, text);
            }
            case RestoreBeeper:
                return new BeepSet(s, c.value != 0);
            case RestoreEdid: {
                const decode::EdidCode code = decode::edidCode(c.value);
                if (code.kind == decode::EdidCode::Kind::CopyOfOutput)
                    return EdidSet::copy(s, code.index, c.port);
                return EdidSet::preset(s, code.index, c.port);
            }
            default:
                return routingCommand(s, RoutingStep{c.port, c.area == RestoreArc, c.value});
            }
        });
    }
    connect(this, &Sequence::stepDone, this, [this](int step) { emit applied(changeOf_[std::size_t(step)]); });
}

int RestoreApply::failedChange() const { return failedStep() >= 0 ? changeOf_[std::size_t(failedStep())] : -1; }

bool writeStores(const RestorePlan& plan, LabelStore& labels, PresetStore& presets, const QString& switchKey, QString* why)
{
    bool names = false, kept = false;
    for (const RestoreChange& c : plan.changes) {
        names = names || c.area == RestoreNames;
        kept = kept || c.area == RestorePresets;
    }
    if (names && (!labels.setLabels(switchKey, plan.file.names) || !labels.save())) {
        if (why)
            *why = QStringLiteral("the names were not saved: %1").arg(labels.error());
        return false;
    }
    if (kept && (!presets.setPresets(switchKey, plan.file.presets) || !presets.save())) {
        if (why)
            *why = QStringLiteral("the presets were not saved: %1").arg(presets.error());
        return false;
    }
    return true;
}

}  // namespace talvane
