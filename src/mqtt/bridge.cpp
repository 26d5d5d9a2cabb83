#include "bridge.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonDocument>
#include <QJsonObject>

#include "mqtt/limits.h"
#include "ops/documents.h"

namespace talvane {
namespace mqtt {

namespace {

Settings withWill(Settings s, const Topics& topics)
{
    s.broker.willTopic = topics.availability();
    s.broker.willPayload = kOffline;
    return s;
}

QByteArray onOffText(bool on) { return on ? kOn : kOff; }

QString resultText(hub::Result r)
{
    switch (r) {
    case hub::Result::Done:
        return QStringLiteral("done");
    case hub::Result::TimedOut:
        return QStringLiteral("timed out");
    case hub::Result::Refused:
        return QStringLiteral("refused");
    case hub::Result::NoLink:
        return QStringLiteral("no link");
    case hub::Result::Locked:
        return QStringLiteral("locked");
    }
    return QString();
}

const QString kInvalid = QStringLiteral("invalid");

}  // namespace

Bridge::Bridge(hub::Hub& hub, Settings settings, Clock* clock, QObject* parent)
    : QObject(parent)
    , hub_(hub)
    , settings_(std::move(settings))
    , topics_(settings_.switchId, settings_.discoveryPrefix)
    , client_(withWill(settings_, topics_).broker, clock)
    , who_{hub::Who::Kind::Mqtt, QString(), QStringLiteral("MQTT (%1)").arg(client_.brokerName())}
    , presets_(settings_.presetsPath)
{
    connect(&client_, &Client::connected, this, &Bridge::onConnected);
    connect(&client_, &Client::message, this, &Bridge::onMessage);
    connect(&client_, &Client::lost, this, [this](const QString& why) {
        if (!outage_) {
            outage_ = true;
            emit brokerLost(why);
        }
    });
    connect(&client_, &Client::attemptFailed, this, [this](const QString& why) {
        if (!outage_) {
            outage_ = true;
            emit brokerUnreachable(why);
        }
    });
    for (const QString& filter : topics_.commandFilters())
        client_.subscribe(filter);
    client_.subscribe(topics_.homeAssistantStatus());

    SwitchState& state = hub_.state();
    connect(&state, &SwitchState::changed, this, [this](SwitchState::Aspect aspect) {
        if (aspect == SwitchState::Aspect::Device)
            publishDiscovery(false);
        publishState();
    });
    // Locks taken or released by any front end.
    connect(&hub_, &hub::Hub::lockChanged, this, [this] { publishState(); });
    Connection& connection = hub_.connection();
    connect(&connection, &Connection::answeredFirst, this, [this] { publishState(); });
    connect(&connection, &Connection::lost, this, [this] { publishState(); });
    connect(&connection, &Connection::closed, this, [this] { publishState(); });
}

Bridge::~Bridge()
{
    if (client_.isConnected())
        client_.publish(topics_.availability(), kOffline, true);
    client_.stop();
}

void Bridge::start()
{
    reloadFiles();
    watchFiles();
    client_.start();
}

// --- The broker -------------------------------------------------------------------

void Bridge::onConnected()
{
    const bool again = everConnected_ && outage_;
    const bool report = !everConnected_ || outage_;
    everConnected_ = true;
    outage_ = false;
    // A broker that restarted has forgotten every retained message.
    published_.clear();
    reloadFiles();
    publishDiscovery(true);
    publishState(true);
    if (report)
        emit brokerConnected(again);
}

void Bridge::onMessage(const QString& topic, const QByteArray& payload, bool retained)
{
    if (topic == topics_.homeAssistantStatus()) {
        // Home Assistant (re)started: it reads every config again.
        if (payload.trimmed() == kOnline)
            publishDiscovery(true);
        return;
    }
    QString why;
    std::optional<Command> command;
    if (retained)
        // A command kept by the broker would run again at every connection.
        why = QStringLiteral("a retained command is not taken");
    else
        command = parse(topic, payload, &why);
    if (!command) {
        if (warned_.insert(topic).second)
            emit invalidCommand(topic, why);
        publishResult(topic, kInvalid, why);
        return;
    }
    if (inFlight_.count(topic)) {
        waiting_[topic] = *command;
        return;
    }
    issue(topic, *command);
}

// --- Commands ---------------------------------------------------------------------

std::optional<Bridge::Command> Bridge::parse(const QString& topic, const QByteArray& payload, QString* why) const
{
    if (payload.size() > limits::MaxCommandBytes) {
        *why = QStringLiteral("%1 bytes is too long for a command").arg(payload.size());
        return std::nullopt;
    }
    const QString text = QString::fromUtf8(payload).trimmed();
    if (text.contains(QChar::ReplacementCharacter) || text.isEmpty()) {
        *why = QStringLiteral("the payload is empty or not text");
        return std::nullopt;
    }
    Command c;
    auto onOff = [&](Command::Kind kind) -> std::optional<Command> {
        const std::optional<bool> on = onOffPayload(payload);
        if (!on) {
            *why = QStringLiteral("\"%1\" is neither ON nor OFF").arg(text.left(32));
            return std::nullopt;
        }
        c.kind = kind;
        c.value = *on ? 1 : 0;
        return c;
    };
    for (int o = 1; o <= kPortCount; ++o) {
        if (topic == topics_.routeCommand(o)) {
            c.kind = Command::Kind::Route;
            c.output = o;
            c.value = inputByName(text);
            if (c.value == 0) {
                *why = QStringLiteral("\"%1\" is not an input (1 to %2, or an input's name)").arg(text.left(32)).arg(kPortCount);
                return std::nullopt;
            }
            return c;
        }
        if (topic == topics_.arcCommand(o)) {
            c.output = o;
            return onOff(Command::Kind::Arc);
        }
        if (topic == topics_.lockCommand(o)) {
            c.output = o;
            return onOff(Command::Kind::Lock);
        }
    }
    if (topic == topics_.powerCommand())
        return onOff(Command::Kind::Power);
    if (topic == topics_.beeperCommand())
        return onOff(Command::Kind::Beeper);
    if (topic == topics_.presetCommand()) {
        for (const Preset& p : presetList_)
            if (p.name == text) {
                c.kind = Command::Kind::Preset;
                c.preset = p;
                return c;
            }
        *why = QStringLiteral("there is no preset \"%1\"").arg(text.left(32));
        return std::nullopt;
    }
    *why = QStringLiteral("not a command topic");
    return std::nullopt;
}

int Bridge::inputByName(const QString& text) const
{
    bool number = false;
    const int n = text.toInt(&number);
    if (number)
        return n >= 1 && n <= kPortCount ? n : 0;
    // The select's options first, then a name only one input has.
    const std::array<QString, kPortCount> options = inputOptions(names_.inputs);
    for (int i = 1; i <= kPortCount; ++i)
        if (options[std::size_t(i - 1)] == text)
            return i;
    int found = 0;
    for (int i = 1; i <= kPortCount; ++i)
        if (names_.inputs[std::size_t(i - 1)].compare(text, Qt::CaseInsensitive) == 0
            || options[std::size_t(i - 1)].compare(text, Qt::CaseInsensitive) == 0) {
            if (found)
                return 0;
            found = i;
        }
    return found;
}

void Bridge::issue(const QString& topic, const Command& command)
{
    inFlight_.insert(topic);
    auto done = [this, topic, command](hub::Result result, const QString& why) { ended(topic, command, result, why); };
    switch (command.kind) {
    case Command::Kind::Route:
        hub_.route(who_, command.output, command.value, this, done);
        break;
    case Command::Kind::Arc:
        hub_.setArc(who_, command.output, command.value != 0, this, done);
        break;
    case Command::Kind::Lock: {
        // The hub's table answers at once: nothing goes to the switch.
        QString why;
        const bool ok = command.value != 0 ? hub_.lock(who_, command.output, &why)
                                           : hub_.unlock(who_, command.output, false, &why);
        done(ok ? hub::Result::Done : hub::Result::Locked, why);
        break;
    }
    case Command::Kind::Power:
        hub_.setPower(who_, command.value != 0, this, done);
        break;
    case Command::Kind::Beeper:
        hub_.setBeeper(who_, command.value != 0, this, done);
        break;
    case Command::Kind::Preset:
        // Outputs others hold are skipped: the result says which.
        hub_.recall(who_, command.preset.routing, this,
                    [done](hub::Result result, const QString& why, const std::vector<int>&) { done(result, why); });
        break;
    }
}

void Bridge::ended(const QString& topic, const Command& command, hub::Result result, const QString& why)
{
    inFlight_.erase(topic);
    publishResult(topic, resultText(result), why);
    if (result != hub::Result::Done) {
        // Whatever a client shows meanwhile, the switch's own state again.
        for (const QString& t : stateTopicsOf(command))
            published_.erase(t);
        publishState();
        emit commandFailed(topic, why);
    }
    const auto next = waiting_.find(topic);
    if (next != waiting_.end()) {
        const Command c = next->second;
        waiting_.erase(next);
        issue(topic, c);
    }
}

QStringList Bridge::stateTopicsOf(const Command& command) const
{
    switch (command.kind) {
    case Command::Kind::Route:
        return {topics_.outputInput(command.output), topics_.outputInputName(command.output), topics_.preset()};
    case Command::Kind::Arc:
        return {topics_.outputArc(command.output), topics_.preset()};
    case Command::Kind::Lock:
        return {topics_.outputLock(command.output), topics_.outputLockHolder(command.output)};
    case Command::Kind::Power:
        return {topics_.power()};
    case Command::Kind::Beeper:
        return {topics_.beeper()};
    case Command::Kind::Preset:
        break;
    }
    QStringList all{topics_.preset()};
    for (int o = 1; o <= kPortCount; ++o)
        all << topics_.outputInput(o) << topics_.outputInputName(o) << topics_.outputArc(o);
    return all;
}

void Bridge::publishResult(const QString& topic, const QString& result, const QString& why)
{
    QJsonObject o{{QStringLiteral("command"), topic}, {QStringLiteral("result"), result}};
    if (!why.isEmpty())
        o.insert(QStringLiteral("why"), why);
    client_.publish(topics_.result(), QJsonDocument(o).toJson(QJsonDocument::Compact), false);
}

// --- Names and presets ------------------------------------------------------------

void Bridge::reloadFiles()
{
    LabelStore& labels = hub_.labels();
    // A damaged file keeps the names and presets as they were.
    if (labels.load())
        names_ = labels.labels(hub_.switchKey());
    if (presets_.load())
        presetList_ = presets_.presets(hub_.switchKey());
}

// Names and presets saved by another program (the panel, talvane-ctl, a
// Videohub client) reach the broker as they are written, without reading
// the files while nothing changes.
void Bridge::watchFiles()
{
    watcher_ = std::make_unique<QFileSystemWatcher>();
    QStringList dirs;
    for (const QString& file : {hub_.labels().path(), presets_.path()}) {
        const QString dir = QFileInfo(file).absolutePath();
        QDir().mkpath(dir);
        if (!dirs.contains(dir))
            dirs << dir;
    }
    watcher_->addPaths(dirs);
    connect(watcher_.get(), &QFileSystemWatcher::directoryChanged, this, [this] {
        reloadFiles();
        publishDiscovery(false);
        publishState();
    });
}

// --- What is published ------------------------------------------------------------

DeviceView Bridge::deviceView() const
{
    DeviceView d;
    d.name = settings_.deviceName;
    d.manufacturer = settings_.manufacturer;
    d.model = settings_.model;
    const SwitchSnapshot& s = hub_.state().now();
    if (s.versionMajor >= 0 && s.versionMinor >= 0)
        d.firmware = QStringLiteral("%1.%2").arg(s.versionMajor).arg(s.versionMinor);
    d.inputs = inputOptions(names_.inputs);
    for (int o = 1; o <= kPortCount; ++o)
        d.outputs[std::size_t(o - 1)] = outputTitle(o, names_.outputs[std::size_t(o - 1)]);
    for (const Preset& p : presetList_)
        d.presets << p.name;
    return d;
}

QString Bridge::activePreset() const
{
    const Routing now = documents::routingOf(hub_.state().now());
    if (!now.complete())
        return QString();
    for (const Preset& p : presetList_)
        if (p.routing == now)
            return p.name;
    return QString();
}

bool Bridge::available() const
{
    const Connection& c = hub_.connection();
    return c.isOpen() && c.answered();
}

std::map<QString, QByteArray> Bridge::stateNow() const
{
    std::map<QString, QByteArray> m;
    const SwitchSnapshot& s = hub_.state().now();
    const DeviceView d = deviceView();
    for (int o = 1; o <= kPortCount; ++o) {
        const std::size_t k = std::size_t(o - 1);
        m[topics_.outputName(o)] = d.outputs[k].toUtf8();
        if (s.routes[k] >= 1) {
            m[topics_.outputInput(o)] = QByteArray::number(s.routes[k]);
            m[topics_.outputInputName(o)] = d.inputs[std::size_t(s.routes[k] - 1)].toUtf8();
        }
        if (s.arc[k])
            m[topics_.outputArc(o)] = onOffText(*s.arc[k]);
        if (s.displays[k])
            m[topics_.outputDisplay(o)] = onOffText(*s.displays[k]);
        const std::optional<hub::Who> holder = hub_.lockOf(o);
        m[topics_.outputLock(o)] = onOffText(holder.has_value());
        m[topics_.outputLockHolder(o)] = holder ? holder->name.toUtf8() : QByteArray();
    }
    for (int i = 1; i <= kPortCount; ++i) {
        const std::size_t k = std::size_t(i - 1);
        m[topics_.inputName(i)] = d.inputs[k].toUtf8();
        if (s.sources[k])
            m[topics_.inputSource(i)] = onOffText(*s.sources[k]);
    }
    if (s.power)
        m[topics_.power()] = onOffText(*s.power);
    if (s.beeper)
        m[topics_.beeper()] = onOffText(*s.beeper);
    if (s.routingKnown()) {
        const QString active = activePreset();
        m[topics_.preset()] = active.isEmpty() ? kNoPreset : active.toUtf8();
    }
    if (!d.firmware.isEmpty())
        m[topics_.firmware()] = d.firmware.toUtf8();
    return m;
}

void Bridge::publishDiscovery(bool force)
{
    publishMap(discoveryConfigs(topics_, deviceView()), force);
}

void Bridge::publishState(bool force)
{
    if (!client_.isConnected())
        return;
    publishMap(stateNow(), force);
    // Availability last: what it makes available is there already.
    publishMap({{topics_.availability(), available() ? kOnline : kOffline}}, force);
}

void Bridge::publishMap(const std::map<QString, QByteArray>& map, bool force)
{
    if (!client_.isConnected())
        return;
    for (const auto& [topic, payload] : map) {
        const auto was = published_.find(topic);
        if (!force && was != published_.end() && was->second == payload)
            continue;
        if (client_.publish(topic, payload, true))
            published_[topic] = payload;
    }
}

}  // namespace mqtt
}  // namespace talvane
