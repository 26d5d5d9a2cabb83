// The hub on a real MQTT broker (Debian's mosquitto, started by the test on
// a free loopback port) with the in-process simulated switch: what a client
// that knows only Home Assistant's discovery finds, commands on the "/set"
// topics reaching the switch, changes made elsewhere published, bad
// payloads, the broker going and coming back, the last will, and three hubs
// on one broker. The switch's time and the retries run on the manual clock;
// the tests wait only for bytes to travel.
#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include <memory>

#include "ctl/ctl.h"
#include "ctl/serve.h"
#include "hub/hub.h"
#include "mqtt/bridge.h"
#include "mqtt/limits.h"
#include "ops/labelstore.h"
#include "ops/limits.h"
#include "ops/presets.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "support/appclock.h"
#include "support/mqttbroker.h"
#include "support/mqttpeer.h"
#include "support/simlink.h"

using namespace talvane;

namespace {

const QString kPrefix = QStringLiteral("homeassistant");

// One switch and its hub on the broker.
struct Switch {
    SimLink link;
    Connection connection;
    QTemporaryDir dir;
    QString key;
    LabelStore labels{dir.filePath(QStringLiteral("labels.json"))};
    std::unique_ptr<hub::Hub> hub;
    std::unique_ptr<mqtt::Bridge> bridge;
    mqtt::Settings settings;
    QStringList invalid, lost, unreachable, failed;
    int connected = 0;

    Switch(ManualClock& clock, const QString& switchKey, quint16 brokerPort)
        : connection(&clock)
        , key(switchKey)
    {
        connection.setLink(Connection::LinkKind::Serial, &link);
        settings.broker.host = QStringLiteral("127.0.0.1");
        settings.broker.port = brokerPort;
        settings.switchId = mqtt::switchIdFor(key, QString());
        settings.deviceName = QStringLiteral("Rack ") + settings.switchId;
        settings.presetsPath = dir.filePath(QStringLiteral("presets.json"));
    }
    ~Switch()
    {
        bridge.reset();
        hub.reset();
    }
    mqtt::Topics topics() const { return mqtt::Topics(settings.switchId, settings.discoveryPrefix); }
    void startBridge()
    {
        labels.load();
        hub = std::make_unique<hub::Hub>(connection, labels, key);
        bridge = std::make_unique<mqtt::Bridge>(*hub, settings);
        QObject::connect(bridge.get(), &mqtt::Bridge::invalidCommand, [this](const QString& t) { invalid << t; });
        QObject::connect(bridge.get(), &mqtt::Bridge::brokerLost, [this](const QString& why) { lost << why; });
        QObject::connect(bridge.get(), &mqtt::Bridge::brokerUnreachable, [this](const QString& why) { unreachable << why; });
        QObject::connect(bridge.get(), &mqtt::Bridge::commandFailed, [this](const QString& t) { failed << t; });
        QObject::connect(bridge.get(), &mqtt::Bridge::brokerConnected, [this] { ++connected; });
        bridge->start();
        hub->start();
    }
};

struct Rig {
    ManualClock clock;
    AppClockScope scope{&clock};
    MqttBroker broker;
    std::vector<std::unique_ptr<Switch>> switches;
    std::unique_ptr<MqttPeer> peer;

    explicit Rig(QList<QPair<QString, QString>> users = {}) : broker(std::move(users)) {}
    ~Rig()
    {
        peer.reset();
        switches.clear();
    }

    Switch& add(const QString& key = QStringLiteral("port:COM129"))
    {
        switches.push_back(std::make_unique<Switch>(clock, key, broker.port()));
        return *switches.back();
    }
    Switch& sw(std::size_t n = 0) { return *switches[n]; }

    // The broker, a peer that reads everything, and every hub started
    // until its first read has ended and its bridge has published.
    bool start(int hubs = 1)
    {
        if (!broker.start())
            return false;
        peer = std::make_unique<MqttPeer>(broker.port(), QStringList{QStringLiteral("talvane/#"), kPrefix + QStringLiteral("/#")},
                                          &clock);
        if (!peer->connect())
            return false;
        for (int n = 0; n < hubs; ++n)
            add(QStringLiteral("port:COM%1").arg(129 + n));
        for (auto& s : switches) {
            s->settings.broker.port = broker.port();
            s->startBridge();
        }
        return firstReadsDone() && waitFor([this] {
                   for (auto& s : switches)
                       if (peer->value(s->topics().availability()) != mqtt::kOnline
                           || peer->value(s->topics().firmware()).isEmpty())
                           return false;
                   return true;
               });
    }
    bool firstReadsDone()
    {
        for (int i = 0; i < 100; ++i) {
            bool idle = true;
            for (auto& s : switches)
                idle = idle && s->connection.session().idle() && s->connection.runner().backgroundCount() == 0;
            if (idle)
                return true;
            advance(100);
        }
        return false;
    }
    // Moves the switch's time on in small steps, letting its answers arrive.
    void advance(qint64 ms)
    {
        for (qint64 t = 0; t < ms; t += 100) {
            SimLink::settle();
            clock.advance(100);
        }
        SimLink::settle();
    }
    // Moves time on (at most `limitMs`) until `cond` holds, each step once
    // the broker connections under way have got their answer.
    bool advanceUntil(const std::function<bool()>& cond, qint64 limitMs, qint64* tookMs = nullptr)
    {
        const qint64 from = clock.nowMs();
        while (!cond()) {
            if (clock.nowMs() - from > limitMs)
                return false;
            waitFor([&] {
                for (auto& s : switches)
                    if (s->bridge && s->bridge->client().attempting())
                        return cond();
                return peer && peer->client.attempting() ? cond() : true;
            }, 5000);
            if (cond())
                break;
            advance(100);
            // What the step set off (a publish, an answer) travels meanwhile.
            waitFor(cond, 5);
        }
        if (tookMs)
            *tookMs = clock.nowMs() - from;
        return true;
    }
    std::vector<DiscoveredEntity> entities(QStringList* bad = nullptr) const
    {
        return discoveredEntities(peer->last, kPrefix, bad);
    }
};

// How the last command ended, as the result topic says ("done", "invalid", ...), and why.
QString lastResult(const MqttPeer& peer, const mqtt::Topics& t, const char* key = "result")
{
    return QJsonDocument::fromJson(peer.value(t.result())).object().value(QLatin1String(key)).toString();
}

std::map<QString, int> componentCounts(const std::vector<DiscoveredEntity>& entities)
{
    std::map<QString, int> n;
    for (const auto& e : entities)
        ++n[e.component];
    return n;
}

}  // namespace

class TestMqtt : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void discoveryFindsOneDeviceWithEightOutputSelects();
    void routeByCommandTopic_data();
    void routeByCommandTopic();
    void switchWideCommands();
    void locksByCommandTopic();
    void frontPanelRouteIsPublished();
    void failedCommandRepublishesTheTrueState_data();
    void failedCommandRepublishesTheTrueState();
    void badPayloadsSendNothing_data();
    void badPayloadsSendNothing();
    void retainedCommandIsNotTaken();
    void renamesAndPresetsReachTheConfigs();
    void homeAssistantBirthRepublishesDiscovery();
    void brokerRestartBringsEverythingBack();
    void hubStartedBeforeItsBroker();
    void passwords_data();
    void passwords();
    void tls_data();
    void tls();
    void threeHubsOnOneBroker();
    void stoppingTheHubSaysOffline_data();
    void stoppingTheHubSaysOffline();
    void serveOptions_data();
    void serveOptions();
};

void TestMqtt::initTestCase()
{
    if (!MqttBroker::installed())
        QFAIL("mosquitto is not installed: scripts/setup test installs it");
}

void TestMqtt::discoveryFindsOneDeviceWithEightOutputSelects()
{
    Rig r;
    r.add();
    QVERIFY(r.sw().labels.setInput(QStringLiteral("port:COM129"), 3, QStringLiteral("Camera")));
    QVERIFY(r.sw().labels.setOutput(QStringLiteral("port:COM129"), 2, QStringLiteral("Projector")));
    QVERIFY(r.sw().labels.save());
    r.sw().link.model().route = {3, 1, 2, 4, 5, 6, 7, 8};
    QVERIFY(r.start(0));
    QStringList bad;
    const auto entities = r.entities(&bad);
    QVERIFY2(bad.isEmpty(), qPrintable(bad.join(u' ')));

    // One device, and on it a select per output with the inputs' names.
    std::set<QString> devices, uniqueIds;
    for (const auto& e : entities) {
        devices.insert(e.deviceId());
        uniqueIds.insert(e.text("unique_id"));
        QVERIFY2(!e.text("name").isEmpty() && !e.text("unique_id").isEmpty(), qPrintable(e.configTopic));
        // Every entity goes unavailable with the hub, and has a state now.
        const QString availability = e.text("availability_topic");
        QCOMPARE(r.peer->value(availability), mqtt::kOnline);
        QCOMPARE(e.text("payload_available"), QStringLiteral("online"));
        QVERIFY2(!r.peer->value(e.text("state_topic")).isEmpty(), qPrintable(e.configTopic));
    }
    QCOMPARE(devices.size(), std::size_t(1));
    QCOMPARE(uniqueIds.size(), entities.size());
    const std::map<QString, int> expected{{QStringLiteral("select"), 8},
                                          {QStringLiteral("switch"), 18},
                                          {QStringLiteral("binary_sensor"), 16},
                                          {QStringLiteral("sensor"), 1}};
    QCOMPARE(componentCounts(entities), expected);
    const QStringList inputs{QStringLiteral("Input 1"), QStringLiteral("Input 2"), QStringLiteral("Camera"),
                             QStringLiteral("Input 4"), QStringLiteral("Input 5"), QStringLiteral("Input 6"),
                             QStringLiteral("Input 7"), QStringLiteral("Input 8")};
    std::map<QString, QString> selectState;  // name -> state
    for (const auto& e : entities) {
        if (e.component != QLatin1String("select"))
            continue;
        QCOMPARE(e.options(), inputs);
        QVERIFY(!e.text("command_topic").isEmpty());
        selectState[e.text("name")] = QString::fromUtf8(r.peer->value(e.text("state_topic")));
        const QJsonObject device = e.config.value(QLatin1String("device")).toObject();
        QCOMPARE(device.value(QLatin1String("sw_version")).toString(), QStringLiteral("1.3"));
        QCOMPARE(device.value(QLatin1String("name")).toString(), QStringLiteral("Rack com129"));
    }
    QCOMPARE(selectState[QStringLiteral("Output A")], QStringLiteral("Camera"));
    QCOMPARE(selectState[QStringLiteral("Projector")], QStringLiteral("Input 1"));
    // The switches and sensors carry the payloads their state topics use.
    for (const auto& e : entities)
        if (e.component == QLatin1String("switch") || e.component == QLatin1String("binary_sensor"))
            QVERIFY2(QStringList({e.text("payload_on"), e.text("payload_off")})
                         .contains(QString::fromUtf8(r.peer->value(e.text("state_topic")))),
                     qPrintable(e.configTopic));
}

void TestMqtt::routeByCommandTopic_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("an input's name, MQTT 5") << int(mqtt::BrokerOptions::Protocol::V5) << QByteArray("Camera");
    QTest::newRow("an input's name, MQTT 3.1.1") << int(mqtt::BrokerOptions::Protocol::V311) << QByteArray("Camera");
    QTest::newRow("its number") << int(mqtt::BrokerOptions::Protocol::Auto) << QByteArray("3");
    QTest::newRow("the name in other letters") << int(mqtt::BrokerOptions::Protocol::Auto) << QByteArray(" camera ");
}

void TestMqtt::routeByCommandTopic()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, payload);
    Rig r;
    Switch& s = r.add();
    s.settings.broker.protocol = mqtt::BrokerOptions::Protocol(protocol);
    QVERIFY(s.labels.setInput(s.key, 3, QStringLiteral("Camera")));
    QVERIFY(s.labels.save());
    QVERIFY(r.start(0));
    QCOMPARE(s.bridge->client().protocol(),
             protocol == int(mqtt::BrokerOptions::Protocol::V311) ? mqtt::BrokerOptions::Protocol::V311
                                                                  : mqtt::BrokerOptions::Protocol::V5);
    const mqtt::Topics t = s.topics();
    QCOMPARE(r.peer->value(t.outputInputName(2)), QByteArray("Input 2"));
    const int before = s.link.count(cmd::RouteSet);

    r.peer->publish(t.routeCommand(2), payload);
    QVERIFY(waitFor([&] { return r.peer->value(t.outputInputName(2)) == "Camera"; }));
    QCOMPARE(s.link.count(cmd::RouteSet), before + 1);
    QCOMPARE(s.link.model().route[1], 3);
    QCOMPARE(r.peer->value(t.outputInput(2)), QByteArray("3"));
    QVERIFY(r.peer->waitForValue(t.result(), QJsonDocument(QJsonObject{{QStringLiteral("command"), t.routeCommand(2)},
                                                                         {QStringLiteral("result"), QStringLiteral("done")}})
                                                 .toJson(QJsonDocument::Compact)));
}

// ARC, power, beeper: each reaches the switch and its state topic.
void TestMqtt::switchWideCommands()
{
    Rig r;
    Switch& s = r.add();
    QVERIFY(r.start(0));
    const mqtt::Topics t = s.topics();
    QCOMPARE(r.peer->value(t.outputArc(4)), mqtt::kOff);
    r.peer->publish(t.arcCommand(4), "ON");
    QVERIFY(waitFor([&] { return r.peer->value(t.outputArc(4)) == mqtt::kOn; }));
    QCOMPARE(s.link.model().arc[3], true);

    QCOMPARE(r.peer->value(t.beeper()), mqtt::kOn);
    r.peer->publish(t.beeperCommand(), "off");
    QVERIFY(waitFor([&] { return r.peer->value(t.beeper()) == mqtt::kOff; }));
    QCOMPARE(s.link.model().beep, false);

    QCOMPARE(r.peer->value(t.power()), mqtt::kOn);
    r.peer->publish(t.powerCommand(), "OFF");
    QVERIFY(waitFor([&] { return r.peer->value(t.power()) == mqtt::kOff; }));
    QCOMPARE(s.link.model().power, false);
    QVERIFY(s.failed.isEmpty());
}

// A lock taken on the broker is the MQTT front end's; locks of others are
// published as they come and go, and refuse MQTT's commands.
void TestMqtt::locksByCommandTopic()
{
    Rig r;
    Switch& s = r.add();
    QVERIFY(r.start(0));
    const mqtt::Topics t = s.topics();
    QCOMPARE(r.peer->value(t.outputLock(3)), mqtt::kOff);
    r.peer->publish(t.lockCommand(3), "ON");
    QVERIFY(waitFor([&] { return r.peer->value(t.outputLock(3)) == mqtt::kOn && !r.peer->value(t.outputLockHolder(3)).isEmpty(); }));
    QVERIFY(r.peer->value(t.outputLockHolder(3)).startsWith("MQTT ("));
    QVERIFY(s.hub->lockOf(3).has_value());
    const QString mqttHolder = s.hub->lockOf(3)->name;
    // MQTT holds C: its route goes through.
    r.peer->publish(t.routeCommand(3), "5");
    QVERIFY(waitFor([&] { return s.link.model().route[2] == 5; }));

    const hub::Who videohub{hub::Who::Kind::Videohub, QStringLiteral("1"), QStringLiteral("Videohub client 1")};
    QString why;
    QVERIFY(!s.hub->lock(videohub, 3, &why));
    QCOMPARE(why, QStringLiteral("output C is locked by ") + mqttHolder);
    QVERIFY(s.hub->lock(videohub, 4));
    QVERIFY(waitFor([&] { return r.peer->value(t.outputLockHolder(4)) == "Videohub client 1"; }));
    QCOMPARE(r.peer->value(t.outputLock(4)), mqtt::kOn);
    const int sent = s.link.count(cmd::ArcSet);
    r.peer->publish(t.arcCommand(4), "ON");
    QVERIFY(waitFor([&] { return lastResult(*r.peer, t) == QLatin1String("locked"); }));
    QCOMPARE(s.link.count(cmd::ArcSet), sent);
    // Nor may MQTT release it: the state stays as the hub has it.
    const int published = r.peer->count(t.outputLock(4));
    r.peer->publish(t.lockCommand(4), "OFF");
    QVERIFY(waitFor([&] { return lastResult(*r.peer, t, "why") == QLatin1String("output D is locked by Videohub client 1"); }));
    QVERIFY(waitFor([&] { return r.peer->count(t.outputLock(4)) > published; }));
    QCOMPARE(r.peer->value(t.outputLock(4)), mqtt::kOn);
    QVERIFY(s.hub->unlock(videohub, 4, false));
    QVERIFY(waitFor([&] { return r.peer->value(t.outputLock(4)) == mqtt::kOff; }));
    r.peer->publish(t.lockCommand(3), "OFF");
    QVERIFY(waitFor([&] { return r.peer->value(t.outputLock(3)) == mqtt::kOff; }));
    QVERIFY(!s.hub->lockOf(3));
}

void TestMqtt::frontPanelRouteIsPublished()
{
    Rig r;
    QVERIFY(r.start(1));
    Switch& s = r.sw();
    const mqtt::Topics t = s.topics();
    sim::Console console(s.link.device);
    QVERIFY(console.execute(QStringLiteral("route 6 3")).ok);
    QVERIFY(console.execute(QStringLiteral("source 2 off")).ok);
    qint64 took = -1;
    // The idle read finds the route within its period and the read's own time.
    QVERIFY(r.advanceUntil([&] { return r.peer->value(t.outputInput(3)) == "6"; }, limits::HubFollowsWithinMs, &took));
    QVERIFY2(took <= limits::HubFollowsWithinMs, qPrintable(QString::number(took)));
    QVERIFY(r.peer->waitForValue(t.outputInputName(3), "Input 6"));
    // The sources a slice at a time with the routing: all of them within a cycle of reads.
    QVERIFY(r.advanceUntil([&] { return r.peer->value(t.inputSource(2)) == mqtt::kOff; },
                           (hub::Hub::kReadsPerCycle + 1) * limits::HubReadPeriodMs));
}

void TestMqtt::failedCommandRepublishesTheTrueState_data()
{
    QTest::addColumn<QString>("fault");
    // A refusal acknowledges nothing: the route is sent again, then given up.
    QTest::newRow("refused") << QStringLiteral("refuse-route on");
    QTest::newRow("unanswered") << QStringLiteral("silent RouteSet on");
    // Another front end holds the output: nothing is sent at all.
    QTest::newRow("locked") << QStringLiteral("lock");
}

void TestMqtt::failedCommandRepublishesTheTrueState()
{
    QFETCH(QString, fault);
    Rig r;
    QVERIFY(r.start(1));
    Switch& s = r.sw();
    const mqtt::Topics t = s.topics();
    sim::Console console(s.link.device);
    const bool locked = fault == QLatin1String("lock");
    if (locked)
        QVERIFY(s.hub->lock({hub::Who::Kind::Videohub, QStringLiteral("1"), QStringLiteral("Videohub client 1")}, 5));
    else
        QVERIFY(console.execute(fault).ok);
    const int before = r.peer->count(t.outputInputName(5));
    const int sent = s.link.count(cmd::RouteSet);
    r.peer->publish(t.routeCommand(5), "Input 2");
    QVERIFY(r.advanceUntil([&] { return lastResult(*r.peer, t) == QLatin1String(locked ? "locked" : "timed out"); },
                           10000));
    QCOMPARE(s.link.model().route[4], 5);
    if (locked) {
        QCOMPARE(s.link.count(cmd::RouteSet), sent);
        QCOMPARE(lastResult(*r.peer, t, "why"), QStringLiteral("output E is locked by Videohub client 1"));
    }
    // Published again: a client that showed the choice meanwhile shows the switch's own.
    QVERIFY(waitFor([&] { return r.peer->count(t.outputInputName(5)) > before; }));
    QCOMPARE(r.peer->value(t.outputInputName(5)), QByteArray("Input 5"));
    QCOMPARE(s.failed, QStringList{t.routeCommand(5)});
}

void TestMqtt::badPayloadsSendNothing_data()
{
    QTest::addColumn<QString>("leaf");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("unknown input name") << "output/B/input/set" << QByteArray("Satellite");
    QTest::newRow("input 9") << "output/B/input/set" << QByteArray("9");
    QTest::newRow("input 0") << "output/B/input/set" << QByteArray("0");
    QTest::newRow("input -1") << "output/B/input/set" << QByteArray("-1");
    QTest::newRow("garbage") << "output/B/input/set" << QByteArray("\xff\xfe\x00\x01", 4);
    QTest::newRow("empty") << "output/B/input/set" << QByteArray();
    QTest::newRow("1 MB") << "output/B/input/set" << QByteArray(1 << 20, '3');
    QTest::newRow("ARC maybe") << "output/B/arc/set" << QByteArray("maybe");
    QTest::newRow("power 1 MB") << "power/set" << QByteArray(1 << 20, 'x');
    QTest::newRow("no such preset") << "preset/set" << QByteArray("Evening");
}

void TestMqtt::badPayloadsSendNothing()
{
    QFETCH(QString, leaf);
    QFETCH(QByteArray, payload);
    Rig r;
    QVERIFY(r.start(1));
    Switch& s = r.sw();
    const mqtt::Topics t = s.topics();
    const QString topic = t.base() + u'/' + leaf;
    const std::size_t written = s.link.written.size();
    for (int i = 0; i < 2; ++i) {
        const int results = r.peer->count(t.result());
        r.peer->publish(topic, payload);
        QVERIFY(waitFor([&] { return r.peer->count(t.result()) > results; }));
        QCOMPARE(lastResult(*r.peer, t), QStringLiteral("invalid"));
    }
    r.advance(100);
    QCOMPARE(s.link.written.size(), written);
    // Said once for the topic, however often it comes.
    QCOMPARE(s.invalid, QStringList{topic});
}

// A command the broker kept would run again at every connection of the hub.
void TestMqtt::retainedCommandIsNotTaken()
{
    Rig r;
    QVERIFY(r.start(0));
    Switch& s = r.add();
    const mqtt::Topics t = s.topics();
    r.peer->publish(t.routeCommand(2), "7", true);
    QVERIFY(r.peer->waitForValue(t.routeCommand(2), "7"));
    s.settings.broker.port = r.broker.port();
    s.startBridge();
    QVERIFY(r.firstReadsDone());
    QVERIFY(waitFor([&] { return lastResult(*r.peer, t) == QLatin1String("invalid"); }));
    r.advance(100);
    QCOMPARE(s.link.count(cmd::RouteSet), 0);
    QCOMPARE(s.invalid, QStringList{t.routeCommand(2)});
    r.peer->publish(t.routeCommand(2), QByteArray(), true);  // the broker forgets it
}

void TestMqtt::renamesAndPresetsReachTheConfigs()
{
    Rig r;
    QVERIFY(r.start(1));
    Switch& s = r.sw();
    const mqtt::Topics t = s.topics();
    const QString outputB = t.discovery(QStringLiteral("select"), QStringLiteral("output_b"));
    const QString presetSelect = t.discovery(QStringLiteral("select"), QStringLiteral("preset"));
    auto options = [&](const QString& topic) {
        for (const auto& e : r.entities())
            if (e.configTopic == topic)
                return e.options();
        return QStringList();
    };
    QCOMPARE(r.peer->value(presetSelect), QByteArray());
    QCOMPARE(r.peer->value(t.preset()), mqtt::kNoPreset);

    // Another program renames input 2 and saves two presets.
    LabelStore other(s.labels.path());
    QVERIFY(other.load() && other.setInput(s.key, 2, QStringLiteral("Laptop")) && other.save());
    QVERIFY(waitFor([&] { return options(outputB).value(1) == QLatin1String("Laptop"); }));
    QVERIFY(r.peer->waitForValue(t.outputInputName(2), "Laptop"));
    PresetStore presets(s.settings.presetsPath);
    QVERIFY(presets.load());
    Preset evening{QStringLiteral("Evening"), {}};
    Preset service{QStringLiteral("Service"), {}};
    for (std::size_t k = 0; k < kPortCount; ++k) {
        evening.routing.inputs[k] = 2;
        evening.routing.arc[k] = k == 0;
        service.routing.inputs[k] = int(k) + 1;
        service.routing.arc[k] = false;
    }
    QVERIFY(presets.put(s.key, evening) && presets.put(s.key, service) && presets.save());
    QVERIFY(waitFor([&] { return options(presetSelect) == QStringList({QStringLiteral("Evening"), QStringLiteral("Service")}); }));
    // The routing as it stands is the service preset.
    QVERIFY(r.peer->waitForValue(t.preset(), "Service"));

    // An output another front end holds is skipped, and the result says so.
    const hub::Who videohub{hub::Who::Kind::Videohub, QStringLiteral("1"), QStringLiteral("Videohub client 1")};
    QVERIFY(s.hub->lock(videohub, 3));
    r.peer->publish(t.presetCommand(), "Evening");
    QVERIFY(waitFor([&] { return lastResult(*r.peer, t) == QLatin1String("done"); }));
    QVERIFY2(lastResult(*r.peer, t, "why").contains(QLatin1String("output C is locked by Videohub client 1")),
             qPrintable(lastResult(*r.peer, t, "why")));
    QCOMPARE(s.link.model().route, (std::array<int, kPortCount>{2, 2, 3, 2, 2, 2, 2, 2}));
    QCOMPARE(r.peer->value(t.outputInput(3)), QByteArray("3"));
    QVERIFY(s.hub->unlock(videohub, 3, false));

    // A recall by name brings the switch there.
    r.peer->publish(t.presetCommand(), "Evening");
    QVERIFY(waitFor([&] { return r.peer->value(t.preset()) == "Evening"; }));
    QCOMPARE(s.link.model().route, (std::array<int, kPortCount>{2, 2, 2, 2, 2, 2, 2, 2}));
    QCOMPARE(r.peer->value(t.outputArc(1)), mqtt::kOn);

    // Removing a preset removes its option; the last one the select.
    QVERIFY(presets.remove(s.key, QStringLiteral("Service")) && presets.save());
    QVERIFY(waitFor([&] { return options(presetSelect) == QStringList{QStringLiteral("Evening")}; }));
    QVERIFY(presets.remove(s.key, QStringLiteral("Evening")) && presets.save());
    QVERIFY(r.peer->waitForValue(presetSelect, QByteArray()));
    QVERIFY(r.peer->waitForValue(t.preset(), mqtt::kNoPreset));
}

void TestMqtt::homeAssistantBirthRepublishesDiscovery()
{
    Rig r;
    QVERIFY(r.start(1));
    const mqtt::Topics t = r.sw().topics();
    const QString config = t.discovery(QStringLiteral("select"), QStringLiteral("output_a"));
    const int before = r.peer->count(config);
    r.peer->publish(t.homeAssistantStatus(), "online");
    QVERIFY(waitFor([&] { return r.peer->count(config) > before; }));
    // Its last will ("offline") asks for nothing.
    const int now = r.peer->count(config);
    r.peer->publish(t.homeAssistantStatus(), "offline");
    r.peer->publish(t.homeAssistantStatus(), "online");
    QVERIFY(waitFor([&] { return r.peer->count(config) == now + 1; }));
}

void TestMqtt::brokerRestartBringsEverythingBack()
{
    Rig r;
    QVERIFY(r.start(1));
    Switch& s = r.sw();
    const mqtt::Topics t = s.topics();
    const QString outputA = t.discovery(QStringLiteral("select"), QStringLiteral("output_a"));
    r.broker.stop();
    QVERIFY(waitFor([&] { return !s.bridge->client().isConnected() && !r.peer->client.isConnected(); }));
    QCOMPARE(s.lost.size(), 1);

    // Meanwhile the hub goes on for its other front ends, and tries again
    // (said once).
    bool routed = false;
    s.hub->route(hub::Who{}, 1, 4, s.hub.get(), [&](hub::Result result, const QString&) { routed = result == hub::Result::Done; });
    QVERIFY(waitFor([&] { return routed; }));
    r.advance(60000);
    QVERIFY(r.advanceUntil([&] { return !s.bridge->client().attempting(); }, 1000));
    QVERIFY(s.bridge->client().attempts() > 3);
    QCOMPARE(s.lost.size(), 1);
    QVERIFY(s.unreachable.isEmpty());

    // Back: retained state and discovery again within 35 s, without a
    // restart of the hub (the new broker kept nothing).
    QVERIFY(r.broker.restart());
    r.peer->last.clear();
    qint64 took = -1;
    QVERIFY(r.advanceUntil([&] { return r.peer->client.isConnected() && !r.peer->value(outputA).isEmpty()
                                        && r.peer->value(t.outputInput(1)) == "4"
                                        && r.peer->value(t.availability()) == mqtt::kOnline; },
                           35000, &took));
    QVERIFY2(took <= 35000, qPrintable(QString::number(took)));
    QCOMPARE(r.entities().size(), std::size_t(43));
    QCOMPARE(s.connected, 2);
}

void TestMqtt::hubStartedBeforeItsBroker()
{
    Rig r;
    // A port nothing listens on yet: the broker comes later.
    QVERIFY(r.broker.start());
    r.broker.stop();
    Switch& s = r.add();
    s.startBridge();
    QVERIFY(r.firstReadsDone());
    QVERIFY(r.advanceUntil([&] { return s.bridge->client().attempts() >= 3; }, 10000));
    QCOMPARE(s.unreachable.size(), 1);
    QVERIFY(r.broker.restart());
    r.peer = std::make_unique<MqttPeer>(r.broker.port(), QStringList{QStringLiteral("talvane/#"), kPrefix + QStringLiteral("/#")},
                                        &r.clock);
    QVERIFY(r.peer->connect());
    QVERIFY(r.advanceUntil([&] { return r.peer->value(s.topics().availability()) == mqtt::kOnline; }, 35000));
    QVERIFY(waitFor([&] { return r.entities().size() == 43; }));
    QCOMPARE(s.connected, 1);
}

void TestMqtt::passwords_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("right") << QStringLiteral("s3cret pass") << true;
    QTest::newRow("wrong") << QStringLiteral("guess") << false;
}

void TestMqtt::passwords()
{
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    Rig r({{QStringLiteral("hub"), QStringLiteral("s3cret pass")}});
    QVERIFY2(r.broker.start(), qPrintable(r.broker.log()));
    Switch& s = r.add();
    s.settings.broker.user = QStringLiteral("hub");
    s.settings.broker.password = password;
    s.startBridge();
    QVERIFY(r.firstReadsDone());
    QVERIFY(waitFor([&] { return s.bridge->client().isConnected() || !s.unreachable.isEmpty(); }));
    QCOMPARE(s.bridge->client().isConnected(), accepted);
    if (!accepted)
        QVERIFY2(s.unreachable.value(0).contains(QLatin1String("authori"), Qt::CaseInsensitive), qPrintable(s.unreachable.value(0)));
}

void TestMqtt::tls_data()
{
    QTest::addColumn<bool>("ownCa");
    QTest::newRow("the broker's CA") << true;
    QTest::newRow("another CA") << false;
}

void TestMqtt::tls()
{
    QFETCH(bool, ownCa);
    Rig r;
    QVERIFY(r.broker.useTls());
    QVERIFY2(r.broker.start(), qPrintable(r.broker.log()));
    Switch& s = r.add();
    // Another broker's CA, which did not sign this one's certificate.
    MqttBroker stranger;
    QVERIFY(ownCa || stranger.useTls());
    s.settings.broker.caFile = ownCa ? r.broker.caFile() : stranger.caFile();
    s.startBridge();
    QVERIFY(r.firstReadsDone());
    QVERIFY(waitFor([&] { return s.bridge->client().isConnected() || !s.unreachable.isEmpty(); }));
    QCOMPARE(s.bridge->client().isConnected(), ownCa);
    if (!ownCa)
        QVERIFY2(s.unreachable.value(0).contains(QLatin1String("TLS")), qPrintable(s.unreachable.value(0)));
}

void TestMqtt::threeHubsOnOneBroker()
{
    Rig r;
    QVERIFY(r.start(3));
    // Each hub's command reaches its own switch only, and its own topics.
    for (std::size_t n = 0; n < 3; ++n)
        r.peer->publish(r.sw(n).topics().routeCommand(1), QByteArray::number(int(n) + 6));
    QVERIFY(waitFor([&] {
        for (std::size_t n = 0; n < 3; ++n)
            if (r.peer->value(r.sw(n).topics().outputInput(1)) != QByteArray::number(int(n) + 6))
                return false;
        return true;
    }));
    std::set<QString> bases;
    for (std::size_t n = 0; n < 3; ++n) {
        QCOMPARE(r.sw(n).link.model().route[0], int(n) + 6);
        QCOMPARE(r.sw(n).link.count(cmd::RouteSet), 1);
        bases.insert(r.sw(n).topics().base());
    }
    QCOMPARE(bases.size(), std::size_t(3));
    // Three devices, each naming only its own hub's topics.
    std::map<QString, int> perDevice;
    for (const auto& e : r.entities()) {
        ++perDevice[e.deviceId()];
        const QString state = e.text("state_topic");
        const auto owner = std::find_if(r.switches.begin(), r.switches.end(), [&](const auto& s) {
            return e.deviceId() == s->topics().nodeId();
        });
        QVERIFY2(owner != r.switches.end(), qPrintable(e.deviceId()));
        QVERIFY2(state.startsWith((*owner)->topics().base() + u'/'), qPrintable(state));
        QVERIFY(e.text("availability_topic").startsWith((*owner)->topics().base() + u'/'));
    }
    QCOMPARE(perDevice.size(), std::size_t(3));
    for (const auto& d : perDevice)
        QCOMPARE(d.second, 43);
}

void TestMqtt::stoppingTheHubSaysOffline_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("serve stops (the link to the switch goes)") << false;
    QTest::newRow("serve killed (the last will)") << true;
}

// talvane-ctl serve --mqtt with talvane-sim on TCP, as a user runs them.
void TestMqtt::stoppingTheHubSaysOffline()
{
    QFETCH(bool, killed);
    MqttBroker broker;
    QVERIFY(broker.start());
    MqttPeer peer(broker.port(), {QStringLiteral("talvane/#")});
    QVERIFY(peer.connect());
    QTemporaryDir dir;
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QString simOut;
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, [&] { simOut += QString::fromUtf8(sim.readAllStandardOutput()); });
    sim.start(QStringLiteral(TALVANE_SIM_PROGRAM),
              {QStringLiteral("--no-serial"), QStringLiteral("--no-udp"), QStringLiteral("--tcp-port"), QStringLiteral("0")});
    QVERIFY(sim.waitForStarted());
    const QRegularExpression listening(QStringLiteral("tcp: 127\\.0\\.0\\.1:(\\d+)"));
    QVERIFY2(waitFor([&] { return listening.match(simOut).hasMatch(); }), qPrintable(simOut));
    const QString simPort = listening.match(simOut).captured(1);

    QProcess serve;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
    env.insert(QStringLiteral("TALVANE_MQTT_PASSWORD"), QString());
    serve.setProcessEnvironment(env);
    QString serveErr;
    QObject::connect(&serve, &QProcess::readyReadStandardError, [&] { serveErr += QString::fromUtf8(serve.readAllStandardError()); });
    serve.start(QStringLiteral(TALVANE_CTL_PROGRAM),
                {QStringLiteral("--host"), QStringLiteral("127.0.0.1:") + simPort, QStringLiteral("serve"),
                 QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--control"), QStringLiteral("off"),
                 QStringLiteral("--mqtt"), broker.address(), QStringLiteral("--mqtt-id"), QStringLiteral("Rack 2")});
    QVERIFY(serve.waitForStarted());
    // The switch's key is its host and port; --mqtt-id names it.
    const QString availability = QStringLiteral("talvane/rack-2/availability");
    QVERIFY2(peer.waitForValue(availability, mqtt::kOnline, 30000), qPrintable(serveErr));
    QVERIFY(peer.waitForValue(QStringLiteral("talvane/rack-2/output/A/input"), "1"));
    if (killed) {
        serve.kill();
    } else {
        sim.write("close-tcp\n");
    }
    QVERIFY2(peer.waitForValue(availability, mqtt::kOffline, 30000), qPrintable(serveErr));
    // It may have ended while the offline state was awaited (waitForFinished would then say false).
    QVERIFY(waitFor([&] { return serve.state() == QProcess::NotRunning; }, 30000));
    QVERIFY2(killed || serveErr.contains(QLatin1String("connected to the MQTT broker at ") + broker.address()),
             qPrintable(serveErr));
    sim.write("quit\n");
    if (!sim.waitForFinished(10000))
        sim.kill();
}

void TestMqtt::serveOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::newRow("no broker address") << QStringList{QStringLiteral("--mqtt"), QStringLiteral(":1883")} << int(ctl::Usage);
    QTest::newRow("a port out of range") << QStringList{QStringLiteral("--mqtt"), QStringLiteral("broker:70000")} << int(ctl::Usage);
    QTest::newRow("a user without a broker") << QStringList{QStringLiteral("--mqtt-user"), QStringLiteral("hub")} << int(ctl::Usage);
    QTest::newRow("an unknown protocol") << QStringList{QStringLiteral("--mqtt"), QStringLiteral("127.0.0.1"),
                                                        QStringLiteral("--mqtt-protocol"), QStringLiteral("4")}
                                         << int(ctl::Usage);
    QTest::newRow("an id without letters") << QStringList{QStringLiteral("--mqtt"), QStringLiteral("127.0.0.1"),
                                                          QStringLiteral("--mqtt-id"), QStringLiteral("///")}
                                           << int(ctl::Usage);
    QTest::newRow("a wildcard prefix") << QStringList{QStringLiteral("--mqtt"), QStringLiteral("127.0.0.1"),
                                                      QStringLiteral("--mqtt-discovery-prefix"), QStringLiteral("ha/#")}
                                       << int(ctl::Usage);
    QTest::newRow("no password file") << QStringList{QStringLiteral("--mqtt"), QStringLiteral("127.0.0.1"),
                                                     QStringLiteral("--mqtt-user"), QStringLiteral("hub"),
                                                     QStringLiteral("--mqtt-password-file"), QStringLiteral("/nonexistent/pw")}
                                      << int(ctl::BadFile);
}

// Refused before anything is opened.
void TestMqtt::serveOptions()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    static bool added = false;
    if (!added) {
        ctl::addCommand(ctl::serveCommand());
        added = true;
    }
    ManualClock clock;
    AppClockScope scope(&clock);
    SimLink link;
    QStringList err;
    ctl::Environment env;
    env.out = [](const QString&) {};
    env.err = [&err](const QString& l) { err << l; };
    env.clock = &clock;
    env.link = &link;
    env.linkKey = QStringLiteral("port:COM129");
    env.wait = [](const std::function<bool()>&) {};
    QCOMPARE(ctl::run(QStringList{QStringLiteral("serve")} + args, env), code);
    QVERIFY(link.written.empty());
    QVERIFY(!err.isEmpty());
}

QTEST_GUILESS_MAIN(TestMqtt)
#include "test_mqtt.moc"
