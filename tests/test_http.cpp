// The web remote's API as scripts and browsers use it: plain HTTP clients
// on loopback (raw sockets for what no polite client sends) against the hub
// on the in-process simulated switch, whose time runs on the manual clock.
// What reached the switch is counted at the simulator.
#include <QtTest>

#include <QFile>

#include <sys/stat.h>

#include "ctl/ctl.h"
#include "ctl/serve.h"
#include "http/limits.h"
#include "ops/limits.h"
#include "ops/presets.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "support/httphub.h"
#include "support/netns.h"

using namespace talvane;
namespace lim = talvane::http::limits;

namespace {

const QByteArray kToken = "correct-horse-battery-staple";

// Why the test could not listen beyond loopback in a namespace of its own
// (empty when it could): made in main(), before any thread starts.
QString g_noNamespace;


QByteArray json(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

Preset preset(const QString& name, std::array<int, kPortCount> inputs, std::array<bool, kPortCount> arc = {})
{
    Preset p{name, {}};
    p.routing.inputs = inputs;
    for (std::size_t k = 0; k < kPortCount; ++k)
        p.routing.arc[k] = arc[k];
    return p;
}

}  // namespace

class TestHttp : public QObject {
    Q_OBJECT
private slots:
    void routeArcAndStatus();
    void badRequestsSendNothing_data();
    void badRequestsSendNothing();
    void failuresMapToStatuses_data();
    void failuresMapToStatuses();
    void busyWhenTooManyWait();
    void eventsFollowTheSwitch();
    void presetsAndRecall();
    void labels();
    void locksOfTheWebApi_data();
    void locksOfTheWebApi();
    void hostileClients_data();
    void hostileClients();
    void tooManyConnections();
    void beyondLoopbackNeedsTheToken();
    void serveChecksTheTokenFirst_data();
    void serveChecksTheTokenFirst();
};

void TestHttp::routeArcAndStatus()
{
    HttpHub h;
    QVERIFY(h.start());
    HttpClient c(h.port());
    HttpAnswer a = c.post(QStringLiteral("/api/v1/route"), R"({"input": 4, "outputs": ["B"]})");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json, QJsonObject({{"routes", QJsonArray{QJsonObject{{"input", 4}, {"output", "B"}}}}}));
    QCOMPARE(h.link.model().route[1], 4);
    // Several outputs, named either way, one command each.
    a = c.post(QStringLiteral("/api/v1/route"), R"({"input": 7, "outputs": ["c", 8]})");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json.value("routes").toArray().size(), 2);
    QCOMPARE(h.link.model().route[2], 7);
    QCOMPARE(h.link.model().route[7], 7);
    QCOMPARE(h.sent(cmd::RouteSet), 3);

    a = c.post(QStringLiteral("/api/v1/arc"), R"({"output": "B", "arc": true})");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json, QJsonObject({{"output", "B"}, {"arc", true}}));

    // The status shows what the switch confirmed, with talvane-ctl's keys.
    a = c.get(QStringLiteral("/api/v1/status"));
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json.value("switch").toString(), h.switchKey);
    QCOMPARE(a.json.value("link").toString(), QStringLiteral("Connected"));
    const QJsonObject b = a.json.value("outputs").toArray().at(1).toObject();
    QCOMPARE(b.value("output").toString(), QStringLiteral("B"));
    QCOMPARE(b.value("input").toInt(), 4);
    QCOMPARE(b.value("arc").toBool(), true);
    QCOMPARE(a.json.value("inputs").toArray().size(), kPortCount);
    QVERIFY(a.header("Content-Type").startsWith("application/json"));
    QCOMPARE(a.header("Access-Control-Allow-Origin"), QByteArray());

    // The description of it all.
    a = c.get(QStringLiteral("/api/v1/openapi.json"));
    QCOMPARE(a.status, 200);
    QVERIFY(a.json.value("paths").toObject().contains("/api/v1/route"));
}

void TestHttp::badRequestsSendNothing_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    const QString route = QStringLiteral("/api/v1/route");
    const QByteArray js = "application/json";
    QTest::newRow("not JSON") << QByteArray("POST") << route << js << QByteArray(R"({"input":4,"outputs":["B"])") << 400 << "not JSON";
    QTest::newRow("not an object") << QByteArray("POST") << route << js << QByteArray("[4]") << 400 << "JSON object";
    QTest::newRow("unknown key") << QByteArray("POST") << route << js << QByteArray(R"({"input":4,"output":["B"]})") << 400 << "unknown key";
    QTest::newRow("input 0") << QByteArray("POST") << route << js << QByteArray(R"({"input":0,"outputs":["B"]})") << 400 << "a route is";
    QTest::newRow("input 9") << QByteArray("POST") << route << js << QByteArray(R"({"input":9,"outputs":["B"]})") << 400 << "a route is";
    QTest::newRow("input as text") << QByteArray("POST") << route << js << QByteArray(R"({"input":"4","outputs":["B"]})") << 400 << "a route is";
    QTest::newRow("input 4.5") << QByteArray("POST") << route << js << QByteArray(R"({"input":4.5,"outputs":["B"]})") << 400 << "a route is";
    QTest::newRow("no outputs") << QByteArray("POST") << route << js << QByteArray(R"({"input":4,"outputs":[]})") << 400 << "a route is";
    QTest::newRow("output I") << QByteArray("POST") << route << js << QByteArray(R"({"input":4,"outputs":["B","I"]})") << 400 << "a route is";
    QTest::newRow("output twice") << QByteArray("POST") << route << js << QByteArray(R"({"input":4,"outputs":["B","b"]})") << 400 << "each output once";
    QTest::newRow("text/plain") << QByteArray("POST") << route << QByteArray("text/plain") << QByteArray(R"({"input":4,"outputs":["B"]})") << 415 << "must be JSON";
    QTest::newRow("form") << QByteArray("POST") << route << QByteArray("application/x-www-form-urlencoded") << QByteArray("input=4&outputs=B") << 415 << "must be JSON";
    QTest::newRow("GET a change") << QByteArray("GET") << route << QByteArray() << QByteArray() << 405 << "takes POST";
    QTest::newRow("unknown path") << QByteArray("POST") << QStringLiteral("/api/v1/routes") << js << QByteArray("{}") << 404 << "no such resource";
    QTest::newRow("ARC not a flag") << QByteArray("POST") << QStringLiteral("/api/v1/arc") << js << QByteArray(R"({"output":"B","arc":"on"})") << 400 << "ARC is";
    QTest::newRow("recall without a name") << QByteArray("POST") << QStringLiteral("/api/v1/presets/recall") << js << QByteArray("{}") << 400 << "a recall is";
    QTest::newRow("recall of no preset") << QByteArray("POST") << QStringLiteral("/api/v1/presets/recall") << js << QByteArray(R"({"name":"Nope"})") << 404 << "no preset named";
    QTest::newRow("label too long") << QByteArray("PUT") << QStringLiteral("/api/v1/labels") << js
                                    << QByteArray(R"({"outputs":[{"output":"A","label":"Projector"},{"output":"B","label":")") + QByteArray(40, 'x') + "\"}]}"
                                    << 400 << "refused";
    QTest::newRow("label of input 9") << QByteArray("PUT") << QStringLiteral("/api/v1/labels") << js
                                      << QByteArray(R"({"inputs":[{"input":9,"label":"Cam"}]})") << 400 << "each of";
}

void TestHttp::badRequestsSendNothing()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, reason);
    HttpHub h;
    QVERIFY(h.start());
    const std::size_t before = h.link.written.size();
    HttpClient c(h.port());
    const HttpAnswer a = HttpClient::finish(c.start(method, path, body, contentType));
    QCOMPARE(a.status, status);
    QCOMPARE(a.json.value("ok").toBool(true), false);
    QVERIFY2(a.json.value("error").toString().contains(reason), qPrintable(a.json.value("error").toString()));
    // Nothing went to the switch, and no name was kept.
    QCOMPARE(h.link.written.size(), before);
    QVERIFY(!QFile::exists(h.labels.path()));
}

void TestHttp::failuresMapToStatuses_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("sent");  // RouteSet commands that went out
    QTest::addColumn<QString>("reason");
    // The first attempt and its resend go unanswered: 504 once both have waited.
    QTest::newRow("silent switch") << QStringLiteral("silent RouteSet") << 504 << 2 << "did not answer";
    // A refusal (a non-zero status) acknowledges no route: it ends as a
    // time-out, as it does for talvane-ctl route.
    QTest::newRow("route refused") << QStringLiteral("refuse-route on") << 504 << 2 << "did not answer";
    QTest::newRow("no link") << QStringLiteral("unplug") << 503 << 0 << "no link";
    QTest::newRow("locked") << QStringLiteral("lock") << 409 << 0 << "locked by";
}

void TestHttp::failuresMapToStatuses()
{
    QFETCH(QString, fault);
    QFETCH(int, status);
    QFETCH(int, sent);
    QFETCH(QString, reason);
    HttpHub h;
    QVERIFY(h.start());
    sim::Console console(h.link.device);
    if (fault == QLatin1String("unplug"))
        h.connection.close();
    else if (fault == QLatin1String("lock"))
        QVERIFY(h.hub->lock({hub::Who::Kind::Videohub, QStringLiteral("7"), QStringLiteral("Videohub client 7")}, 2));
    else
        QVERIFY(console.execute(fault).ok);
    const int before = h.sent(cmd::RouteSet);
    HttpClient c(h.port());
    // The switch's time moves only once the command is out, a step at a time.
    const HttpAnswer a = HttpClient::finish(c.start("POST", QStringLiteral("/api/v1/route"), R"({"input":4,"outputs":["B"]})"),
                                            [&] {
                                                if (h.sent(cmd::RouteSet) > before)
                                                    h.advance(100);
                                            });
    QCOMPARE(a.status, status);
    QVERIFY2(a.json.value("error").toString().contains(reason), qPrintable(a.json.value("error").toString()));
    QCOMPARE(a.json.value("routes").toArray().size(), 0);
    QCOMPARE(h.sent(cmd::RouteSet) - before, sent);
    QCOMPARE(h.link.model().route[1], 2);
    if (status == 504) {
        // The page shows it too.
        QCOMPARE(HttpClient(h.port()).get(QStringLiteral("/api/v1/status")).json.value("link").toString(),
                 QStringLiteral("No answer"));
    }
}

void TestHttp::busyWhenTooManyWait()
{
    HttpHub h;
    QVERIFY(h.start());
    // The panel's operator holds the switch: changes wait their turn.
    Hold held = h.connection.runner().hold();
    QVERIFY(held);
    std::vector<std::unique_ptr<RawClient>> waiting;
    const QByteArray body = R"({"input":5,"outputs":["A"]})";
    const QByteArray request = "POST /api/v1/route HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    for (int i = 0; i < lim::MaxWaitingChanges; ++i) {
        waiting.push_back(std::make_unique<RawClient>(h.port()));
        waiting.back()->send(request);
    }
    QVERIFY(waitFor([&] { return h.connection.runner().waiting() == lim::MaxWaitingChanges; }));
    HttpClient c(h.port());
    const HttpAnswer a = c.post(QStringLiteral("/api/v1/route"), body);
    QCOMPARE(a.status, 409);
    QVERIFY(a.json.value("error").toString().contains(QStringLiteral("busy")));
    QCOMPARE(h.sent(cmd::RouteSet), 0);
    // Once the switch is free they go, one after another.
    held.end();
    QVERIFY(waitFor([&] {
        SimLink::settle();
        return std::all_of(waiting.begin(), waiting.end(), [](const auto& w) { return w->in.contains("200 OK"); });
    }));
    QCOMPARE(h.sent(cmd::RouteSet), lim::MaxWaitingChanges);

    // Requests sent ahead of their answers are bounded per connection; a
    // connection that goes takes its changes that wait with it.
    held = h.connection.runner().hold();
    RawClient eager(h.port());
    eager.send(request.repeated(lim::MaxPipelined + 1));
    QVERIFY(eager.waitClosed());
    QVERIFY(eager.in.isEmpty());
    held.end();
    SimLink::settle();
    QCOMPARE(HttpClient(h.port()).get(QStringLiteral("/api/v1/status")).status, 200);
    QCOMPARE(h.sent(cmd::RouteSet), lim::MaxWaitingChanges);
}

void TestHttp::eventsFollowTheSwitch()
{
    HttpHub h;
    h.link.model().route = {1, 2, 3, 4, 5, 6, 7, 8};
    QVERIFY(h.start());
    RawClient stream(h.port());
    stream.send("GET /api/v1/events HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\n\r\n");
    const QJsonObject first = stream.event("status");
    QCOMPARE(first.value("outputs").toArray().at(2).toObject().value("input").toInt(), 3);
    QCOMPARE(first.value("link").toString(), QStringLiteral("Connected"));
    QVERIFY(stream.in.startsWith("event: presets") || stream.event("presets").contains("presets"));
    QVERIFY(stream.in.isEmpty() || !stream.in.contains("event: route"));

    // A route made at the switch's front panel: the hub's idle read finds it.
    sim::Console console(h.link.device);
    QVERIFY(console.execute(QStringLiteral("route 6 3")).ok);
    const qint64 from = h.clock.nowMs();
    while (!stream.in.contains("event: route") && h.clock.nowMs() - from <= talvane::limits::HubFollowsWithinMs) {
        h.advance(100);
        QCoreApplication::processEvents();
    }
    QCOMPARE(stream.event("route"), QJsonObject({{"output", "C"}, {"input", 6}}));

    // One asked through the API reaches the stream as the switch confirms it.
    HttpClient c(h.port());
    QCOMPARE(c.post(QStringLiteral("/api/v1/arc"), R"({"output":"H","arc":true})").status, 200);
    QCOMPARE(stream.event("arc"), QJsonObject({{"output", "H"}, {"arc", true}}));
    // Names and presets another program saves (the panel, talvane-ctl).
    LabelStore other(h.labels.path());
    QVERIFY(other.load());
    QVERIFY(other.setOutput(h.switchKey, 3, QStringLiteral("Monitor")));
    QVERIFY(other.save());
    QCOMPARE(stream.event("labels").value("outputs").toArray().at(2).toObject().value("label").toString(),
             QStringLiteral("Monitor"));
    PresetStore presets(h.presetsPath);
    QVERIFY(presets.put(h.switchKey, preset(QStringLiteral("Lecture"), {1, 2, 6, 4, 5, 6, 7, 8}, {false, false, false, false, false, false, false, true})));
    QVERIFY(presets.save());
    const QJsonArray listed = stream.event("presets").value("presets").toArray();
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.at(0).toObject().value("name").toString(), QStringLiteral("Lecture"));
    // The link's state.
    h.connection.close();
    QCOMPARE(stream.event("link"), QJsonObject({{"link", "Link lost"}}));
    // An idle stream hears that the hub is alive.
    h.advance(lim::KeepAliveMs);
    QVERIFY(stream.waitText(": alive"));
}

void TestHttp::presetsAndRecall()
{
    HttpHub h;
    h.link.model().route = {1, 2, 3, 4, 5, 6, 7, 8};
    PresetStore store(h.presetsPath);
    QVERIFY(store.put(h.switchKey, preset(QStringLiteral("Service"), {2, 2, 3, 4, 5, 6, 7, 8}, {false, true})));
    QVERIFY(store.put(h.switchKey, preset(QStringLiteral("Default"), {1, 2, 3, 4, 5, 6, 7, 8})));
    QVERIFY(store.save());
    QVERIFY(h.start());
    HttpClient c(h.port());
    HttpAnswer a = c.get(QStringLiteral("/api/v1/presets"));
    QCOMPARE(a.status, 200);
    const auto active = [](const HttpAnswer& a) {
        QStringList names;
        for (const QJsonValue& p : a.json.value("presets").toArray())
            if (p[QStringLiteral("active")].toBool())
                names << p[QStringLiteral("name")].toString();
        return names;
    };
    QCOMPARE(active(a), QStringList{QStringLiteral("Default")});
    QCOMPARE(a.json.value("presets").toArray().at(0).toObject().value("inputs").toObject().value("A").toInt(), 2);

    const int before = h.changesSent();
    a = c.post(QStringLiteral("/api/v1/presets/recall"), R"({"name":"Service"})");
    QCOMPARE(a.status, 200);
    QCOMPARE(active(a), QStringList{QStringLiteral("Service")});
    // Only what differs was sent: output A's route and output B's ARC.
    QCOMPARE(h.changesSent() - before, 2);
    QCOMPARE(h.link.model().route[0], 2);

    // A recall leaves a locked output as it is and says so: only B's ARC is sent.
    QVERIFY(h.hub->lock({hub::Who::Kind::Videohub, QStringLiteral("7"), QStringLiteral("Videohub client 7")}, 1));
    a = c.post(QStringLiteral("/api/v1/presets/recall"), R"({"name":"Default"})");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json.value("skipped").toArray(), QJsonArray{QStringLiteral("A")});
    QVERIFY(a.json.value("message").toString().contains(QStringLiteral("output A is locked by Videohub client 7")));
    QCOMPARE(h.changesSent() - before, 3);
    QCOMPARE(h.link.model().route[0], 2);
}

void TestHttp::locksOfTheWebApi_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("holderOfC");  // after it; empty: C free
    QTest::newRow("take a free output") << QByteArray(R"({"output":"d","locked":true})") << 200 << QString()
                                        << QStringLiteral("Videohub client 7");
    QTest::newRow("take another's") << QByteArray(R"({"output":"C","locked":true})") << 409
                                    << QStringLiteral("output C is locked by Videohub client 7") << QStringLiteral("Videohub client 7");
    QTest::newRow("release another's") << QByteArray(R"({"output":3,"locked":false})") << 409
                                       << QStringLiteral("output C is locked by Videohub client 7") << QStringLiteral("Videohub client 7");
    QTest::newRow("force it open") << QByteArray(R"({"output":"C","locked":false,"force":true})") << 200 << QString() << QString();
    QTest::newRow("no output") << QByteArray(R"({"locked":true})") << 400 << QStringLiteral("a lock is") << QStringLiteral("Videohub client 7");
    QTest::newRow("not a boolean") << QByteArray(R"({"output":"C","locked":"yes"})") << 400 << QStringLiteral("a lock is")
                                   << QStringLiteral("Videohub client 7");
    QTest::newRow("unknown key") << QByteArray(R"({"output":"C","locked":true,"who":"me"})") << 400
                                 << QStringLiteral("unknown key \"who\"") << QStringLiteral("Videohub client 7");
}

// The web API's locks are the front end's as a whole (every client of it
// shares them); they are the hub's, so other front ends are refused.
void TestHttp::locksOfTheWebApi()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, reason);
    QFETCH(QString, holderOfC);
    HttpHub h;
    QVERIFY(h.start());
    const hub::Who videohub{hub::Who::Kind::Videohub, QStringLiteral("7"), QStringLiteral("Videohub client 7")};
    QVERIFY(h.hub->lock(videohub, 3));
    HttpClient c(h.port());
    const HttpAnswer a = c.post(QStringLiteral("/api/v1/locks"), body);
    QCOMPARE(a.status, status);
    QVERIFY2(a.json.value("error").toString().contains(reason), qPrintable(a.json.value("error").toString()));
    QCOMPARE(h.hub->lockOf(3) ? h.hub->lockOf(3)->name : QString(), holderOfC);
    if (status != 200)
        return;
    const HttpAnswer list = c.get(QStringLiteral("/api/v1/locks"));
    QCOMPARE(list.json, a.json);
    if (!body.contains("\"d\""))
        return;
    QCOMPARE(a.json.value("locks").toArray().at(1).toObject(),
             QJsonObject({{"output", "D"}, {"holder", "the web API"}, {"mine", true}}));
    // Another client of the web API routes D; the Videohub client may not.
    HttpClient other(h.port());
    QCOMPARE(other.post(QStringLiteral("/api/v1/route"), R"({"input":6,"outputs":["D"]})").status, 200);
    QCOMPARE(h.link.model().route[3], 6);
    hub::Result refused = hub::Result::Done;
    QString why;
    h.hub->route(videohub, 4, 1, h.hub.get(), [&](hub::Result r, const QString& w) {
        refused = r;
        why = w;
    });
    QVERIFY(waitFor([&] { return refused != hub::Result::Done; }));
    QCOMPARE(refused, hub::Result::Locked);
    QCOMPARE(why, QStringLiteral("output D is locked by the web API"));
}

void TestHttp::labels()
{
    HttpHub h;
    QVERIFY(h.start());
    HttpClient c(h.port());
    HttpAnswer a = c.put(QStringLiteral("/api/v1/labels"),
                         R"({"inputs":[{"input":1,"label":"  Stage camera "}],"outputs":[{"output":"b","label":"Projector"}]})");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.json.value("inputs").toArray().at(0).toObject().value("label").toString(), QStringLiteral("Stage camera"));
    QCOMPARE(a.json.value("outputs").toArray().at(1).toObject().value("label").toString(), QStringLiteral("Projector"));
    // Kept in the labels file every front end reads.
    LabelStore other(h.labels.path());
    QVERIFY(other.load());
    QCOMPARE(other.labels(h.switchKey).outputs[1], QStringLiteral("Projector"));
    // Names another program saves show at the next read.
    QVERIFY(other.setOutput(h.switchKey, 3, QStringLiteral("Monitor")));
    QVERIFY(other.save());
    a = c.get(QStringLiteral("/api/v1/labels"));
    QCOMPARE(a.json.value("outputs").toArray().at(2).toObject().value("label").toString(), QStringLiteral("Monitor"));
    // The GET document can be sent back as it is; an empty name removes one.
    QJsonObject doc = a.json;
    QJsonArray inputs = doc.value("inputs").toArray();
    inputs[0] = QJsonObject{{"input", 1}, {"label", ""}};
    doc.insert("inputs", inputs);
    QCOMPARE(c.put(QStringLiteral("/api/v1/labels"), json(doc)).status, 200);
    QCOMPARE(c.get(QStringLiteral("/api/v1/labels")).json.value("inputs").toArray().at(0).toObject().value("label").toString(), QString());
}

void TestHttp::hostileClients_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("advanceMs");    // the switch's time moved on afterwards
    QTest::addColumn<QByteArray>("answer"); // what comes back first (empty: nothing)
    const QByteArray get = "GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    QByteArray headers = "GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 0; i <= lim::MaxHeaders; ++i)
        headers += "X-Filler-" + QByteArray::number(i) + ": 1\r\n";
    headers += "\r\n";
    const QByteArray big(lim::MaxRequestBytes + 1, 'x');
    QTest::newRow("request too large") << "POST /api/v1/route HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                                              + QByteArray::number(big.size()) + "\r\n\r\n" + big
                                       << 0 << QByteArray("HTTP/1.1 413");
    QTest::newRow("too many headers") << headers << 0 << QByteArray("HTTP/1.1 431");
    QTest::newRow("slow client") << QByteArray("GET /api/v1/status HTTP/1.1\r\nHost: 127.") << lim::RequestMs << QByteArray();
    QTest::newRow("idle client") << QByteArray() << lim::IdleMs << QByteArray();
    QTest::newRow("WebSocket upgrade")
        << QByteArray("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        << 0 << QByteArray("HTTP/1.1 400");
    QTest::newRow("another site's name") << QByteArray("GET /api/v1/status HTTP/1.1\r\nHost: rebound.example:8080\r\n\r\n")
                                         << 0 << QByteArray("HTTP/1.1 403");
    static const char tls[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 not HTTP\r\n\r\n";
    QTest::newRow("garbage") << QByteArray(tls, sizeof tls - 1) << 0 << QByteArray();
}

void TestHttp::hostileClients()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, advanceMs);
    QFETCH(QByteArray, answer);
    HttpHub h;
    QVERIFY(h.start());
    RawClient bad(h.port());
    HttpClient good(h.port());
    QStringList refused;
    connect(h.server.get(), &http::Server::clientRefused, [&](const QString&, const QString& why) { refused << why; });
    bad.send(bytes);
    if (!answer.isEmpty())
        QVERIFY2(bad.waitText(answer), qPrintable(QString::fromLatin1(bad.in.left(200)) + refused.join(u',')));
    // The connection goes at its time limit from its last byte, not before;
    // nothing of it reached the switch, and others are served. The switch's
    // time moves in steps, each after the sockets have had their turn.
    const qint64 from = h.clock.nowMs();
    constexpr int kStepMs = 500;
    while (!bad.closed() && h.clock.nowMs() - from < advanceMs + 1000) {
        waitFor([&] { return bad.closed(); }, 5);
        if (!bad.closed())
            h.advance(kStepMs);
    }
    QVERIFY2(h.clock.nowMs() - from >= advanceMs, qPrintable(QString::number(h.clock.nowMs() - from)));
    QVERIFY(bad.waitClosed());
    QVERIFY(!bad.in.contains("101 Switching"));
    QVERIFY(waitFor([&] { return h.server->connectionCount() == 0; }));
    QCOMPARE(h.changesSent(), 0);
    QCOMPARE(good.get(QStringLiteral("/api/v1/status")).status, 200);
}

void TestHttp::tooManyConnections()
{
    HttpHub h;
    QVERIFY(h.start());
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < lim::MaxConnections; ++i)
        clients.push_back(std::make_unique<RawClient>(h.port()));
    QVERIFY(waitFor([&] { return h.server->connectionCount() == lim::MaxConnections; }));
    RawClient late(h.port());
    QVERIFY(late.waitClosed());
    QCOMPARE(h.server->connectionCount(), lim::MaxConnections);
    clients.pop_back();
    QVERIFY(waitFor([&] { return h.server->connectionCount() == lim::MaxConnections - 1; }));
    QCOMPARE(HttpClient(h.port()).get(QStringLiteral("/api/v1/status")).status, 200);
}

void TestHttp::beyondLoopbackNeedsTheToken()
{
    {
        // Refused before it listens at all.
        HttpHub h;
        QVERIFY(!h.start(QHostAddress::AnyIPv4));
        QVERIFY(h.server->errorString().contains(QStringLiteral("--http-token-file")));
    }
    if (!g_noNamespace.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no network namespace of its own: %1").arg(g_noNamespace)));
    // In this test's own namespace every address is on its loopback alone.
    HttpHub h;
    QVERIFY(h.start(QHostAddress::AnyIPv4, kToken));
    HttpClient anonymous(h.port());
    HttpAnswer a = anonymous.post(QStringLiteral("/api/v1/route"), R"({"input":4,"outputs":["B"]})");
    QCOMPARE(a.status, 401);
    QCOMPARE(a.header("WWW-Authenticate"), QByteArray("Bearer realm=\"talvane\""));
    QCOMPARE(anonymous.get(QStringLiteral("/api/v1/status")).status, 401);
    QCOMPARE(anonymous.get(QStringLiteral("/api/v1/events")).status, 401);
    QCOMPARE(h.changesSent(), 0);
    // The page sends a browser to its login form, which needs no token itself.
    a = anonymous.get(QStringLiteral("/"));
    QCOMPARE(a.status, 303);
    QCOMPARE(a.header("Location"), QByteArray("/login"));
    QCOMPARE(anonymous.get(QStringLiteral("/login")).status, 200);

    HttpClient wrong(h.port());
    wrong.bearer = "correct-horse-battery-stapler";
    QCOMPARE(wrong.post(QStringLiteral("/api/v1/route"), R"({"input":4,"outputs":["B"]})").status, 401);
    QCOMPARE(anonymous.post(QStringLiteral("/api/v1/login"), R"({"token":"guess-guess-guess-guess"})").status, 401);
    QCOMPARE(h.changesSent(), 0);

    HttpClient script(h.port());
    script.bearer = kToken;
    QCOMPARE(script.post(QStringLiteral("/api/v1/route"), R"({"input":4,"outputs":["B"]})").status, 200);
    QCOMPARE(h.link.model().route[1], 4);

    // The login sets a session cookie for the page, never the token itself.
    a = anonymous.post(QStringLiteral("/api/v1/login"), "{\"token\":\"" + kToken + "\"}");
    QCOMPARE(a.status, 204);
    const QByteArray cookie = a.header("Set-Cookie");
    QVERIFY2(cookie.contains("HttpOnly") && cookie.contains("SameSite=Strict") && !cookie.contains(kToken), cookie.constData());
    HttpClient page(h.port());
    page.cookie = cookie.left(cookie.indexOf(';'));
    QCOMPARE(page.get(QStringLiteral("/")).status, 200);
    QCOMPARE(page.post(QStringLiteral("/api/v1/arc"), R"({"output":"B","arc":true})").status, 200);
}

void TestHttp::serveChecksTheTokenFirst_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QByteArray>("token");  // the token file's content; empty: no file
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("message");
    QTest::newRow("beyond loopback without a token file") << QStringLiteral("0.0.0.0:0") << QByteArray() << 0600 << int(ctl::Usage) << "--http-token-file";
    QTest::newRow("a file others can read") << QStringLiteral("0.0.0.0:0") << kToken << 0644 << int(ctl::BadFile) << "other users can read";
    QTest::newRow("a short token") << QStringLiteral("0.0.0.0:0") << QByteArray("short\n") << 0600 << int(ctl::BadFile) << "fewer than";
    QTest::newRow("not an address") << QStringLiteral("remote:8080") << QByteArray() << 0600 << int(ctl::Usage) << "--http takes";
}

void TestHttp::serveChecksTheTokenFirst()
{
    QFETCH(QString, listen);
    QFETCH(QByteArray, token);
    QFETCH(int, mode);
    QFETCH(int, exit);
    QFETCH(QString, message);
    ManualClock clock;
    AppClockScope scope(&clock);
    QTemporaryDir dir;
    SimLink link;
    QStringList out, err;
    ctl::Environment env;
    env.out = [&](const QString& l) { out << l; };
    env.err = [&](const QString& l) { err << l; };
    env.clock = &clock;
    env.link = &link;
    env.linkKey = QStringLiteral("port:COM129");
    env.labelsPath = dir.filePath(QStringLiteral("labels.json"));
    env.presetsPath = dir.filePath(QStringLiteral("presets.json"));
    env.wait = [&](const std::function<bool()>& done) {
        // It must end before serving: time moving on ends a command that waits for the switch.
        while (!done())
            if (!waitFor(done, 2000))
                clock.advance(60000);
    };
    static bool added = false;
    if (!added) {
        ctl::addCommand(ctl::serveCommand());
        added = true;
    }
    QStringList args{QStringLiteral("serve"), QStringLiteral("--control"), QStringLiteral("off"), QStringLiteral("--listen"),
                     QStringLiteral("127.0.0.1:0"), QStringLiteral("--http"), listen};
    if (!token.isEmpty()) {
        const QString path = dir.filePath(QStringLiteral("token"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(token);
        f.close();
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
        args << QStringLiteral("--http-token-file") << path;
    }
    QCOMPARE(ctl::run(args, env), exit);
    QVERIFY2(err.join(u'\n').contains(message), qPrintable(err.join(u'\n')));
    // Refused before anything reached the switch or anything listened.
    QVERIFY(link.written.empty());
    QVERIFY(out.filter(QStringLiteral(" on ")).isEmpty());
}

int main(int argc, char** argv)
{
    g_noNamespace = netns::enterOwn();
    QCoreApplication app(argc, argv);
    TestHttp test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_http.moc"
