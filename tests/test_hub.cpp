// The hub's control port as the programs that speak the switch's protocol
// use it: clients on loopback TCP (plain sockets that send frames, and
// connections running the panel's operations, as the panel and talvane-ctl
// do), the in-process simulated switch behind the hub, and a Videohub
// surface beside them. What reached the switch is what its link was given.
// Time on the switch's side runs on the manual clock; the tests wait for
// bytes to travel, never for time to pass.
#include <QtTest>

#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "hub/controlserver.h"
#include "hub/hub.h"
#include "hub/limits.h"
#include "ops/connection.h"
#include "ops/edid.h"
#include "ops/firmware.h"
#include "ops/labelstore.h"
#include "ops/limits.h"
#include "ops/power.h"
#include "ops/routing.h"
#include "ops/status.h"
#include "protocol/answers.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "support/hubfixture.h"
#include "support/instrumented.h"
#include "support/simlink.h"
#include "test_sim_cases.h"
#include "support/videohubclient.h"
#include "videohub/server.h"

using namespace talvane;
namespace hl = talvane::hub::limits;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::array<int, kPortCount> kStraight{1, 2, 3, 4, 5, 6, 7, 8};

Bytes sealed(CommandFrame f)
{
    f.seal();
    return {f.bytes.begin(), f.bytes.end()};
}

bool isCommand(const Bytes& b, CommandId id)
{
    return b.size() == kCommandFrameSize && b[pos::Group] == id.group && b[pos::Code] == id.code;
}

// A program that speaks the switch's protocol in plain frames.
struct RawClient {
    QTcpSocket socket;
    QByteArray in;
    std::vector<CommandFrame> replies;
    // Runs on every reply (a client that answers each reply with its next command).
    std::function<void(const CommandFrame&)> onReply;

    explicit RawClient(quint16 port, const QHostAddress& from = QHostAddress())
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            in += socket.readAll();
            while (in.size() >= qsizetype(kCommandFrameSize)) {
                replies.push_back(CommandFrame::fromBytes(reinterpret_cast<const std::uint8_t*>(in.constData())));
                in.remove(0, qsizetype(kCommandFrameSize));
                if (onReply)
                    onReply(replies.back());
            }
        });
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool waitConnected() { return waitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }); }
    void send(const Bytes& b) { socket.write(reinterpret_cast<const char*>(b.data()), qint64(b.size())); }
    void send(const CommandFrame& f) { send(sealed(f)); }
    bool waitReplies(std::size_t n) { return waitFor([&] { return replies.size() >= n; }); }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

// A program that uses the switch through the hub as the panel and
// talvane-ctl do: a connection of its own to the control port, on which
// the operations run.
struct OpClient {
    Connection connection;

    OpClient(Clock* clock, quint16 port)
        : connection(clock)
    {
        connection.setKind(Connection::LinkKind::Tcp);
        connection.connectHost(SwitchAddress::tcp(QStringLiteral("127.0.0.1"), port, true));
    }
    bool waitOpen() { return waitFor([this] { return connection.isOpen(); }); }
    Session& session() { return connection.session(); }
    const Session::Counters& counters() { return connection.session().counters(); }
};

// The switch, the hub with its control port, and what went to the switch.
struct Bench : HubFixture {
    std::unique_ptr<hub::ControlServer> control;

    Bench()
    {
        link.model().route = kStraight;
        control = std::make_unique<hub::ControlServer>(connection);
        control->listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return control->port(); }

    // The hub reads the switch as it does at start, and serves Videohub
    // clients; `follow`: its idle read goes on afterwards.
    bool serveVideohub(bool follow)
    {
        if (!start())
            return false;
        if (!follow)
            connection.follower().setEnabled(false);
        return hub->state().now().routingKnown();
    }
    // Moves the clock on `stepMs` at a time until `cond` holds, giving the
    // bytes on their way a moment to travel at each step; false once
    // `limitMs` of the clock have passed without it.
    bool runUntil(const std::function<bool()>& cond, qint64 limitMs, int stepMs)
    {
        const qint64 until = clock.nowMs() + limitMs;
        for (;;) {
            SimLink::settle();
            if (waitFor(cond, 5))
                return true;
            if (clock.nowMs() >= until)
                return false;
            clock.advance(stepMs);
        }
    }
    // The commands with `id` that reached the switch.
    int reached(CommandId id) const { return link.count(id); }
    // Where in what reached the switch the first frame equal to `bytes` is (-1: nowhere).
    int indexOf(const Bytes& bytes, int from = 0) const
    {
        for (int i = from; i < int(link.written.size()); ++i)
            if (link.written[std::size_t(i)] == bytes)
                return i;
        return -1;
    }
};

// The time on the manual clock of each command with `id` the hub put on the line.
struct SendTimes : SessionObserver {
    Session& session;
    CommandId id;
    QList<qint64> times;
    SendTimes(Session& s, CommandId which)
        : session(s)
        , id(which)
    {
        s.addObserver(this);
    }
    ~SendTimes() override { session.removeObserver(this); }
    void frameSent(const std::uint8_t* b, std::size_t n) override
    {
        if (isCommand(Bytes(b, b + n), id))
            times << session.clock().nowMs();
    }
    void frameReceived(const CommandFrame&) override {}
};

}  // namespace

class TestHub : public QObject {
    Q_OBJECT
private slots:
    void clientsShareTheSwitch();
    void lateAnswerReachesNoOne_data();
    void lateAnswerReachesNoOne();
    void resendsAtTheClientsPace_data();
    void resendsAtTheClientsPace();
    void resendOfWaitingBytesIsNotQueuedTwice();
    void staleCommandNeverReachesTheSwitch();
    void proceduresAreNotInterleaved_data();
    void proceduresAreNotInterleaved();
    void clientThatGoesAwayFreesTheLine_data();
    void clientThatGoesAwayFreesTheLine();
    void hostileClients_data();
    void hostileClients();
    void allowedRanges_data();
    void allowedRanges();
};

// Two programs on the control port at once, one routing while the other
// reads the status, and talvane-ctl routing beside them: each gets its own
// answers and nothing else, their exchanges take turns on the line, and a
// Videohub surface sees each route as soon as the switch confirmed it.
void TestHub::clientsShareTheSwitch()
{
    Bench h;
    h.link.model().source = {true, false, true, false, false, true, false, true};
    h.link.model().display = {false, true, true, false, true, false, false, false};
    QVERIFY(h.serveVideohub(true));
    Surface surface(h.server->port());
    QVERIFY(!surface.prelude().isEmpty());
    OpClient a(&h.clock, h.port()), b(&h.clock, h.port());
    QVERIFY(a.waitOpen() && b.waitOpen());

    // The switch answers each command a moment after it came, so that what
    // the three send meets at the hub.
    constexpr int kAnswerMs = 10;
    h.link.device.faults().delayMs = kAnswerMs;
    RouteSet route(a.session(), 4, 2);
    PortStatusRead status(b.session());
    std::map<std::pair<bool, int>, bool> reported;
    connect(&status, &PortStatusRead::portReported,
            [&](bool input, int port, bool connected) { reported[{input, port}] = connected; });
    const qint64 from = h.clock.nowMs();
    route.start();
    status.start();
    QTemporaryDir home;
    QProcess ctl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TALVANE_PORT_REGISTRY"), home.filePath(QStringLiteral("ports")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    ctl.setProcessEnvironment(env);
    ctl.start(QStringLiteral(TALVANE_CTL_PROGRAM),
              {QStringLiteral("--host"), QStringLiteral("127.0.0.1:%1").arg(h.port()), QStringLiteral("route"),
               QStringLiteral("5:C")});
    // The route is on the line; the status read and talvane-ctl wait their turn.
    QVERIFY(waitFor([&] { return h.runner.waiting() == 2; }, testing::realIoDeadline(20000)));

    qint64 seenAt = -1;
    const QByteArray block = "VIDEO OUTPUT ROUTING:\n1 3";
    QVERIFY(h.runUntil(
        [&] {
            if (seenAt < 0 && surface.blocks.contains(block))
                seenAt = h.clock.nowMs();
            return route.hasFinished() && status.hasFinished() && ctl.state() == QProcess::NotRunning;
        },
        5000, kAnswerMs));
    QCOMPARE(ctl.exitCode(), 0);
    QCOMPARE(route.outcome(), Outcome::Done);
    QCOMPARE(status.outcome(), Outcome::Done);
    QCOMPARE(h.link.model().route[1], 4);
    QCOMPARE(h.link.model().route[2], 5);
    QCOMPARE(int(reported.size()), 2 * kPortCount);
    for (int n = 1; n <= kPortCount; ++n) {
        const bool source = reported[std::make_pair(true, n)], display = reported[std::make_pair(false, n)];
        QCOMPARE(source, h.link.model().source[std::size_t(n - 1)]);
        QCOMPARE(display, h.link.model().display[std::size_t(n - 1)]);
    }
    // Each got its own answers and no other frame.
    QCOMPARE(int(a.counters().received), 1);
    QCOMPARE(int(a.counters().answers), 1);
    QCOMPARE(int(b.counters().received), 2 * kPortCount);
    QCOMPARE(int(b.counters().answers), 2 * kPortCount);
    QCOMPARE(int(a.counters().unsolicited + b.counters().unsolicited), 0);
    QCOMPARE(int(h.session.counters().unsolicited), 0);
    // One exchange at a time, in the order asked: talvane-ctl's route went
    // out between the status queries, not after all of them.
    const int aRoute = h.indexOf(sealed(build::routeSet(4, 2)));
    const int ctlRoute = h.indexOf(sealed(build::routeSet(5, 3)));
    QVERIFY(aRoute >= 0 && ctlRoute > aRoute);
    QVERIFY(ctlRoute < h.indexOf(sealed(build::outputStatusQuery(kPortCount)), aRoute));
    // The surface saw the route within half a second of its request, and talvane-ctl's too.
    QVERIFY2(seenAt >= 0 && seenAt - from <= 500, qPrintable(QString::number(seenAt - from)));
    QVERIFY(waitFor([&] { return surface.blocks.contains("VIDEO OUTPUT ROUTING:\n2 4"); }));
}

void TestHub::lateAnswerReachesNoOne_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("sends");  // how often the client sends it, its resends included
    QTest::newRow("route, resent once") << "route" << 1 + limits::Command.resends;
    QTest::newRow("ARC, resent once") << "arc" << 1 + limits::Command.resends;
    QTest::newRow("beeper, not resent") << "beeper" << 1;
}

// The switch answers only after the client has given up (simulator "delay
// 7000"): the answers reach no client and change nothing the hub shows.
void TestHub::lateAnswerReachesNoOne()
{
    QFETCH(QString, command);
    QFETCH(int, sends);
    Bench h;
    h.link.model().beep = true;
    QVERIFY(h.serveVideohub(false));
    Surface surface(h.server->port());
    QVERIFY(!surface.prelude().isEmpty());
    OpClient a(&h.clock, h.port());
    RawClient other(h.port());
    QVERIFY(a.waitOpen() && other.waitConnected());
    const SwitchSnapshot before = h.hub->state().now();
    QVERIFY(before.arc[1].has_value() && before.beeper.has_value());

    sim::Console console(h.link.device);
    QVERIFY(console.execute(QStringLiteral("delay 7000")).ok);
    std::unique_ptr<Operation> op;
    CommandId id = cmd::RouteSet;
    if (command == "route") {
        op = std::make_unique<RouteSet>(a.session(), 4, 2);
    } else if (command == "arc") {
        op = std::make_unique<ArcSet>(a.session(), 2, !*before.arc[1]);
        id = cmd::ArcSet;
    } else {
        op = std::make_unique<BeepSet>(a.session(), false);
        id = cmd::BeepSet;
    }
    op->start();
    QVERIFY(waitFor([&] { return h.reached(id) == 1; }));
    // The client resends at its own time, and gives up.
    for (int sent = 1; sent < sends; ++sent) {
        h.advance(limits::Command.firstMs);
        QVERIFY(waitFor([&] { return h.reached(id) == sent + 1; }));
    }
    QVERIFY(h.runUntil([&] { return op->hasFinished(); }, limits::Command.retryMs + 1000, 100));
    QCOMPARE(op->outcome(), Outcome::TimedOut);
    // The answers come 7 s after each send, to no one.
    h.advance(7000);
    QVERIFY(waitFor([&] { return int(h.session.counters().unsolicited) == sends; }));
    QCOMPARE(int(h.control->counters().answered), 0);
    QCOMPARE(int(h.control->counters().unanswered), 1);
    QCOMPARE(int(h.control->counters().forwarded), 1);
    // Nothing reached a client: what each gets next is the answer to what it asks next.
    QVERIFY(console.execute(QStringLiteral("delay 0")).ok);
    surface.send("PING:\n\n");
    QCOMPARE(surface.take(1), QByteArrayList{"ACK"});
    other.send(build::powerStateQuery());
    QVERIFY(other.waitReplies(1));
    QCOMPARE(int(other.replies.size()), 1);
    QCOMPARE(other.replies[0].code(), cmd::PowerStateQuery.code);
    PowerStateRead read(a.session(), Purpose::Operator);
    read.start();
    QVERIFY(waitFor([&] { return read.hasFinished(); }));
    QCOMPARE(read.outcome(), Outcome::Done);
    QCOMPARE(int(a.counters().received), 1);
    // What the hub shows is as before.
    const SwitchSnapshot after = h.hub->state().now();
    QCOMPARE(after.routes, before.routes);
    QCOMPARE(after.arc, before.arc);
    QCOMPARE(after.beeper, before.beeper);
}

void TestHub::resendsAtTheClientsPace_data()
{
    QTest::addColumn<bool>("operation");  // the panel's RouteSet; else a plain client
    QTest::addColumn<int>("resendAtMs");  // when the plain client sends the same bytes again (-1: never)
    QTest::addColumn<QList<qint64>>("sentAt");
    QTest::addColumn<int>("resends");  // counted as resends of the exchange on the line
    const qint64 first = limits::Command.firstMs;
    QTest::newRow("the panel's resend") << true << -1 << QList<qint64>{0, first} << 1;
    QTest::newRow("an early resend") << false << 1000 << QList<qint64>{0, 1000} << 1;
    QTest::newRow("a resend after the wait is a new command")
        << false << int(first + limits::Command.retryMs + 1000) << QList<qint64>{0, first + limits::Command.retryMs + 1000}
        << 0;
    QTest::newRow("never resent: the hub does not either") << false << -1 << QList<qint64>{0} << 0;
}

// A client's resend of the bytes on the line goes out as it sends it: the
// same bytes, at the client's pace, and the hub never resends by itself.
void TestHub::resendsAtTheClientsPace()
{
    QFETCH(bool, operation);
    QFETCH(int, resendAtMs);
    QFETCH(QList<qint64>, sentAt);
    QFETCH(int, resends);
    Bench h;
    h.link.device.faults().silentCommands.insert(sim::commandKey(cmd::RouteSet));
    SendTimes times(h.session, cmd::RouteSet);
    const Bytes route = sealed(build::routeSet(4, 2));
    std::unique_ptr<OpClient> panel;
    std::unique_ptr<RawClient> raw;
    std::unique_ptr<RouteSet> op;
    const qint64 from = h.clock.nowMs();
    if (operation) {
        panel = std::make_unique<OpClient>(&h.clock, h.port());
        QVERIFY(panel->waitOpen());
        op = std::make_unique<RouteSet>(panel->session(), 4, 2);
        op->start();
    } else {
        raw = std::make_unique<RawClient>(h.port());
        QVERIFY(raw->waitConnected());
        raw->send(route);
    }
    QVERIFY(waitFor([&] { return h.reached(cmd::RouteSet) == 1; }));
    if (operation) {
        h.advance(limits::Command.firstMs);
    } else if (resendAtMs >= 0) {
        h.advance(resendAtMs);
        raw->send(route);
    }
    QVERIFY(waitFor([&] { return h.reached(cmd::RouteSet) == int(sentAt.size()); }));
    // Long after every wait: nothing more went out.
    h.advance(20000);
    if (op)
        QVERIFY(waitFor([&] { return op->hasFinished(); }));
    SimLink::settle();
    QCOMPARE(h.reached(cmd::RouteSet), int(sentAt.size()));
    for (const auto& w : h.link.written)
        if (isCommand(w, cmd::RouteSet))
            QCOMPARE(w, route);
    QList<qint64> at;
    for (qint64 t : times.times)
        at << t - from;
    QCOMPARE(at, sentAt);
    QCOMPARE(int(h.control->counters().resends), resends);
    QCOMPARE(int(h.control->counters().forwarded), int(sentAt.size()) - resends);
    QVERIFY(h.runner.waiting() == 0 && !h.runner.busy());
}

// Bytes a client sends again while they still wait for the line go out once.
void TestHub::resendOfWaitingBytesIsNotQueuedTwice()
{
    Bench h;
    h.link.device.faults().silentCommands.insert(sim::commandKey(cmd::RouteSet));
    RawClient holder(h.port()), waiting(h.port());
    QVERIFY(holder.waitConnected() && waiting.waitConnected());
    holder.send(build::routeSet(4, 2));
    QVERIFY(waitFor([&] { return h.reached(cmd::RouteSet) == 1; }));
    waiting.send(build::powerStateQuery());
    h.advance(1000);
    waiting.send(build::powerStateQuery());
    QVERIFY(waitFor([&] { return h.control->counters().duplicates == 1; }));
    QCOMPARE(h.reached(cmd::PowerStateQuery), 0);
    // The line is free again once the route's wait is over.
    h.advance(limits::Command.firstMs + limits::Command.retryMs);
    QVERIFY(waiting.waitReplies(1));
    h.advance(10000);
    // What it gets next is the answer to its next question.
    waiting.send(build::beepStateQuery());
    QVERIFY(waiting.waitReplies(2));
    QCOMPARE(waiting.replies[1].code(), cmd::BeepStateQuery.code);
    QCOMPARE(h.reached(cmd::PowerStateQuery), 1);
}

// A command that waited for the line longer than its client waits for its
// answer never goes out: its client has reported it failed, and the switch
// would carry it out behind its back.
void TestHub::staleCommandNeverReachesTheSwitch()
{
    Bench h;
    // Another client keeps the line busy: a poll the switch does not answer, resent every 6 s.
    const CommandFrame poll = build::upgradePageQuery(/*rebootQuery=*/true);
    h.link.device.faults().silentCommands.insert(sim::commandKey(commandIdOf(poll)));
    RawClient busy(h.port());
    OpClient panel(&h.clock, h.port());
    QVERIFY(busy.waitConnected() && panel.waitOpen());
    busy.send(poll);
    QVERIFY(waitFor([&] { return h.reached(commandIdOf(poll)) == 1; }));
    RouteSet route(panel.session(), 4, 2);
    route.start();
    QVERIFY(waitFor([&] { return h.runner.waiting() == 1; }));
    for (int n = 2; n <= 3; ++n) {
        h.advance(limits::RebootPoll.firstMs);
        busy.send(poll);
        QVERIFY(waitFor([&] { return h.reached(commandIdOf(poll)) == n; }));
    }
    QVERIFY(route.hasFinished());
    QCOMPARE(route.outcome(), Outcome::TimedOut);
    // The poll's wait ends; the route is not sent late.
    h.advance(limits::RebootPoll.retryMs + 1000);
    QVERIFY(waitFor([&] { return h.runner.waiting() == 0 && !h.runner.busy(); }));
    SimLink::settle();
    QCOMPARE(h.reached(cmd::RouteSet), 0);
    QCOMPARE(h.link.model().route[1], 2);
    QCOMPARE(int(h.control->counters().expired), 1);
    // The line serves the next command at once.
    RawClient next(h.port());
    QVERIFY(next.waitConnected());
    next.send(build::powerStateQuery());
    QVERIFY(next.waitReplies(1));
}

void TestHub::proceduresAreNotInterleaved_data()
{
    QTest::addColumn<bool>("firmware");
    QTest::newRow("EDID file upload") << false;
    QTest::newRow("firmware upgrade through the reboot") << true;
}

// While one client uploads an EDID or a firmware image, another keeps asking
// for the status: none of its frames reach the switch between the first and
// the last frame of the upload.
void TestHub::proceduresAreNotInterleaved()
{
    QFETCH(bool, firmware);
    Bench h;
    OpClient uploader(&h.clock, h.port());
    RawClient asker(h.port());
    QVERIFY(uploader.waitOpen() && asker.waitConnected());
    // The asker always has a query on the line and one waiting.
    int next = 0;
    auto query = [&] {
        ++next;
        asker.send(build::inputStatusQuery(1 + next % kPortCount));
    };
    bool asking = true;
    asker.onReply = [&](const CommandFrame&) {
        if (asking)
            query();
    };
    query();
    query();
    QVERIFY(asker.waitReplies(4));

    std::unique_ptr<Operation> op;
    Bytes first, last;
    if (firmware) {
        std::vector<std::uint8_t> image(3000);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = std::uint8_t(i * 7 + 3);
        op = std::make_unique<FirmwareUpgrade>(uploader.session(), image);
        first = sealed(build::upgradeStart());
        last = sealed(build::upgradePageQuery(/*rebootQuery=*/true));
    } else {
        const simtest::Bytes file = simtest::edidFile(256, 1);
        op.reset(EdidSet::upload(uploader.session(), EdidSet::blockOf(file.data(), file.size()), 3));
        first = sealed(build::edidUploadRequest());
    }
    op->start();
    int mostWaiting = 0;
    QVERIFY(h.runUntil(
        [&] {
            if (h.indexOf(first) >= 0)
                mostWaiting = std::max(mostWaiting, h.runner.waiting());
            return op->hasFinished();
        },
        60000, 50));
    asking = false;
    QCOMPARE(op->outcome(), Outcome::Done);
    if (firmware)
        QVERIFY(h.link.model().firmware.size() >= 3000);
    // From the first frame of the upload to its last, only the upload's.
    const auto& w = h.link.written;
    const int begin = h.indexOf(first);
    int end = begin;
    for (int i = begin; i < int(w.size()); ++i)
        if (firmware ? w[std::size_t(i)] == last : w[std::size_t(i)].size() == kRawEdidBlockSize)
            end = i;
    QVERIFY(begin > 0);
    QVERIFY(end > begin + 2);
    for (int i = begin; i <= end; ++i)
        QVERIFY2(!isCommand(w[std::size_t(i)], cmd::InputStatusQuery), qPrintable(QString::number(i)));
    // The asker's queries were there before, and waited their turn while the upload went on.
    QVERIFY(isCommand(w[std::size_t(begin - 1)], cmd::InputStatusQuery));
    QVERIFY(mostWaiting >= 1);
}

enum class Leaves { WhileOutstanding, InAProcedure, WhileWaiting };
Q_DECLARE_METATYPE(Leaves)

void TestHub::clientThatGoesAwayFreesTheLine_data()
{
    QTest::addColumn<Leaves>("when");
    QTest::addColumn<bool>("reset");  // it resets the connection; else it closes it
    QTest::newRow("closes with its command on the line") << Leaves::WhileOutstanding << false;
    QTest::newRow("resets with its command on the line") << Leaves::WhileOutstanding << true;
    QTest::newRow("closes in the middle of an EDID upload") << Leaves::InAProcedure << false;
    QTest::newRow("resets in the middle of an EDID upload") << Leaves::InAProcedure << true;
    QTest::newRow("closes while its command waits") << Leaves::WhileWaiting << false;
}

// A client that goes away mid-exchange leaves nothing held: the next
// client's command goes out at once, and nothing of the one that left.
void TestHub::clientThatGoesAwayFreesTheLine()
{
    QFETCH(Leaves, when);
    QFETCH(bool, reset);
    Bench h;
    h.link.device.faults().silentCommands.insert(sim::commandKey(cmd::RouteSet));
    RawClient leaving(h.port()), staying(h.port());
    QVERIFY(leaving.waitConnected() && staying.waitConnected());
    if (when == Leaves::WhileWaiting) {
        staying.send(build::routeSet(1, 1));
        QVERIFY(waitFor([&] { return h.reached(cmd::RouteSet) == 1; }));
        leaving.send(build::routeSet(4, 2));
        QVERIFY(waitFor([&] { return h.runner.waiting() == 1; }));
    } else if (when == Leaves::WhileOutstanding) {
        leaving.send(build::routeSet(4, 2));
        QVERIFY(waitFor([&] { return h.reached(cmd::RouteSet) == 1; }));
    } else {
        leaving.send(build::edidUploadRequest());
        QVERIFY(leaving.waitReplies(1));
    }
    if (when != Leaves::WhileWaiting) {
        staying.send(build::powerStateQuery());
        QVERIFY(waitFor([&] { return h.runner.waiting() == 1; }));
    }
    if (reset)
        leaving.socket.abort();
    else
        leaving.socket.disconnectFromHost();
    QVERIFY(waitFor([&] { return h.control->clientCount() == 1; }));
    if (when == Leaves::WhileWaiting) {
        h.advance(20000);
        QVERIFY(waitFor([&] { return !h.runner.busy() && h.runner.waiting() == 0; }));
        staying.send(build::powerStateQuery());
    }
    // No time passes: the line was let go with the client.
    QVERIFY(staying.waitReplies(1));
    QCOMPARE(staying.replies[0].code(), cmd::PowerStateQuery.code);
    SimLink::settle();
    QCOMPARE(h.reached(cmd::RouteSet), when == Leaves::InAProcedure ? 0 : 1);
    if (when == Leaves::WhileWaiting)
        QCOMPARE(h.link.model().route[1], 2);
    QCOMPARE(h.control->heldBytes(), qint64(0));
}

enum class Hostile { Flood, FloodOfProcedures, ProcedureLeftOpen, NonReader, Garbage, HalfFrames, PastTheLimit };
Q_DECLARE_METATYPE(Hostile)

void TestHub::hostileClients_data()
{
    QTest::addColumn<Hostile>("kind");
    QTest::newRow("a flood of valid commands") << Hostile::Flood;
    QTest::newRow("a flood of commands that start procedures") << Hostile::FloodOfProcedures;
    QTest::newRow("an upgrade started and left") << Hostile::ProcedureLeftOpen;
    QTest::newRow("a client that never reads") << Hostile::NonReader;
    QTest::newRow("endless garbage") << Hostile::Garbage;
    QTest::newRow("half frames") << Hostile::HalfFrames;
    QTest::newRow("past the client limit") << Hostile::PastTheLimit;
}

// A hostile client beside a plain one: the plain one's route is answered
// within a second, the hub holds a bounded amount for them, and only whole,
// checksummed frames of the command index reach the switch.
void TestHub::hostileClients()
{
    QFETCH(Hostile, kind);
    Bench h;
    QVERIFY(h.serveVideohub(false));
    Surface surface(h.server->port());
    QVERIFY(!surface.prelude().isEmpty());
    // Every exchange takes the switch a moment.
    constexpr int kAnswerMs = 5;
    h.link.device.faults().delayMs = kAnswerMs;
    RawClient plain(h.port());
    QVERIFY(plain.waitConnected());
    const int clients = kind == Hostile::PastTheLimit ? hl::MaxClients : 2;
    const qint64 perClient = qint64(hl::ReadPieceBytes) + qint64(kDataFrameSize) + qint64(hl::MaxQueuedPerClient) * qint64(kDataFrameSize)
                             + hl::ReadBufferBytes + hl::MaxUnreadBytes + qint64(kCommandFrameSize);
    const qint64 bound = clients * perClient;
    qint64 most = 0;
    auto watch = [&] { most = std::max(most, h.control->heldBytes() + h.server->heldBytes()); };
    QString dropped;
    connect(h.control.get(), &hub::ControlServer::clientRefused, [&](const QString&, const QString& why) { dropped = why; });

    Bytes stream;
    auto repeat = [&](const Bytes& unit, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            stream.insert(stream.end(), unit.begin(), unit.end());
    };
    std::unique_ptr<RawClient> hostile;
    std::vector<std::unique_ptr<RawClient>> crowd;
    int fd = -1;
    switch (kind) {
    case Hostile::Flood:
        // Each one different (a client's resend of the same bytes is not queued twice).
        for (int n = 0; n < 20000; ++n) {
            std::array<std::uint8_t, cmd::IdentPartLength> text{};
            for (std::size_t i = 0; i < text.size(); ++i)
                text[i] = std::uint8_t('A' + (n >> (2 * i)) % 26);
            const Bytes write = sealed(build::identWrite(n % cmd::IdentParts, text.data()));
            stream.insert(stream.end(), write.begin(), write.end());
        }
        break;
    case Hostile::FloodOfProcedures:
        repeat(sealed(build::upgradeStart()), 2500);
        repeat(sealed(build::edidUploadRequest()), 2500);
        break;
    case Hostile::ProcedureLeftOpen:
        stream = sealed(build::upgradeStart());
        break;
    case Hostile::Garbage:
        for (int n = 0; n < 1024 * 1024; ++n)
            stream.push_back(std::uint8_t((unsigned(n) * 7919u + unsigned(n) / 13u) % 256u));
        break;
    case Hostile::HalfFrames: {
        // The first seven bytes of valid commands, over and over, and data frames cut short.
        const Bytes query = sealed(build::powerStateQuery());
        for (int n = 0; n < 40000; ++n)
            stream.insert(stream.end(), query.begin(), query.begin() + 7);
        for (int n = 0; n < 200; ++n) {
            DataFrame block;
            stream.insert(stream.end(), block.bytes.begin(), block.bytes.begin() + 500);
        }
        break;
    }
    case Hostile::NonReader: {
        // A raw socket that never reads, with a small receive buffer.
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(h.port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        repeat(sealed(build::powerStateQuery()), 2000);
        break;
    }
    case Hostile::PastTheLimit:
        break;
    }
    if (kind == Hostile::PastTheLimit) {
        for (int n = 1; n < hl::MaxClients; ++n)
            crowd.push_back(std::make_unique<RawClient>(h.port()));
        QVERIFY(waitFor([&] { return h.control->clientCount() == hl::MaxClients; }));
        RawClient extra(h.port());
        QVERIFY(waitFor([&] { return extra.closed(); }));
        extra.send(build::powerStateQuery());
        QCOMPARE(h.control->clientCount(), hl::MaxClients);
        QCOMPARE(dropped, QStringLiteral("too many clients"));
    } else if (fd < 0) {
        hostile = std::make_unique<RawClient>(h.port());
        QVERIFY(hostile->waitConnected());
        hostile->send(stream);
    }
    // The hostile one is well under way before the plain client asks.
    std::size_t sent = 0;
    auto feed = [&] {
        if (fd >= 0 && sent < stream.size()) {
            const ssize_t n = ::send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += std::size_t(n);
        }
    };
    h.runUntil(
        [&] {
            feed();
            watch();
            return false;
        },
        200, kAnswerMs);
    const qint64 asked = h.clock.nowMs();
    plain.send(build::routeSet(4, 2));
    QVERIFY(h.runUntil(
        [&] {
            feed();
            watch();
            return !plain.replies.empty();
        },
        1000, kAnswerMs));
    QVERIFY2(h.clock.nowMs() - asked <= 1000, qPrintable(QString::number(h.clock.nowMs() - asked)));
    QCOMPARE(plain.replies.front().code(), cmd::RouteSet.code);
    QVERIFY(waitFor([&] { return surface.blocks.contains("VIDEO OUTPUT ROUTING:\n1 3"); }));
    // It goes on a while longer.
    h.runUntil(
        [&] {
            feed();
            watch();
            return false;
        },
        500, kAnswerMs);
    if (kind == Hostile::Garbage || kind == Hostile::HalfFrames)
        QCOMPARE(dropped, QStringLiteral("it sends what is not the switch's protocol"));
    if (fd >= 0)
        ::close(fd);
    QVERIFY2(most <= bound, qPrintable(QStringLiteral("held %1 bytes, bound %2").arg(most).arg(bound)));
    // Only whole, checksummed commands of the index reached the switch.
    for (const Bytes& w : h.link.written) {
        QCOMPARE(int(w.size()), int(kCommandFrameSize));
        QVERIFY(verifyChecksum(w.data()));
        QVERIFY(AnswerRule::of(w.data(), w.size()).known());
    }
    QVERIFY(h.reached(cmd::RouteSet) == 1);
}

void TestHub::allowedRanges_data()
{
    QTest::addColumn<QString>("allow");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("served");
    QTest::newRow("one host, that host") << "127.0.0.1" << "127.0.0.1" << true;
    QTest::newRow("one host, another") << "127.0.0.2" << "127.0.0.1" << false;
    QTest::newRow("in a range of several") << "10.0.0.0/8,127.0.0.0/29" << "127.0.0.5" << true;
    QTest::newRow("outside every range") << "10.0.0.0/8,127.0.0.0/29" << "127.0.0.9" << false;
}

// --allow: a client outside the ranges is closed before anything it sends
// reaches the switch.
void TestHub::allowedRanges()
{
    QFETCH(QString, allow);
    QFETCH(QString, from);
    QFETCH(bool, served);
    Bench h;
    const auto ranges = hub::parseSubnets(allow);
    QVERIFY(ranges.has_value());
    h.control->setAllowed(*ranges);
    QString refused;
    connect(h.control.get(), &hub::ControlServer::clientRefused, [&](const QString&, const QString& why) { refused = why; });
    RawClient c(h.port(), QHostAddress(from));
    c.send(build::powerStateQuery());
    if (served) {
        QVERIFY(c.waitReplies(1));
        QCOMPARE(h.reached(cmd::PowerStateQuery), 1);
        QVERIFY(refused.isEmpty());
    } else {
        QVERIFY(waitFor([&] { return c.closed(); }));
        QCOMPARE(refused, QStringLiteral("its address is not allowed (--allow)"));
        SimLink::settle();
        QCOMPARE(h.reached(cmd::PowerStateQuery), 0);
        QVERIFY(c.replies.empty());
    }
}

QTEST_GUILESS_MAIN(TestHub)
#include "test_hub.moc"
