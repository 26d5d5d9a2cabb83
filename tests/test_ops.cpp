// The operations against the simulated switch, in-process and without a
// window: what the switch holds afterwards, what the operation reported, and
// how it ends when the switch does not answer. Time runs on the manual clock.
#include <QtTest>

#include <climits>
#include <map>
#include <optional>

#include "engine/session.h"
#include "ops/device.h"
#include "ops/edid.h"
#include "ops/firmware.h"
#include "ops/network.h"
#include "ops/power.h"
#include "ops/presets.h"
#include "ops/status.h"
#include "link/datagramsocket.h"
#include "sim/udpendpoint.h"
#include "ops/limits.h"
#include "ops/routing.h"
#include "ops/runner.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "support/simsession.h"
#include "test_sim_cases.h"

Q_DECLARE_METATYPE(talvane::CommandFrame)

using namespace talvane;

namespace {

using Bench = SimSessionBench;

// The simulated switch answering the first `answered` writes and silent from
// then on; each write is kept with its time.
struct SilencingLink : SimLink {
    explicit SilencingLink(const Clock& c)
        : clock(c)
    {
    }
    bool writeFrame(const std::uint8_t* bytes, std::size_t length) override
    {
        if (int(written.size()) >= answered)
            device.faults().silentAll = true;
        times.push_back(clock.nowMs());
        return SimLink::writeFrame(bytes, length);
    }
    const Clock& clock;
    int answered = INT_MAX;
    std::vector<qint64> times;
};

// One exchange of an operation as the wire shows it, the switch silent.
struct Measured {
    QString what;
    std::vector<std::uint8_t> bytes;
    std::optional<CommandFrame> header;  // the raw EDID block's
    qint64 firstMs = 0;
    qint64 retryMs = 0;  // the longest wait after a resend; 0: not resent
    qint64 totalMs = 0;
};

using OpFactory = std::function<std::unique_ptr<Operation>(Session&)>;

// Every operation on the session, a read with every purpose.
QList<QPair<QString, OpFactory>> everyOperation()
{
    QList<QPair<QString, OpFactory>> ops;
    const QPair<Purpose, const char*> purposes[] = {
        {Purpose::Operator, "operator"}, {Purpose::PageEntry, "page entry"}, {Purpose::Background, "background"}};
    for (const auto& [p, name] : purposes) {
        const QString n = QStringLiteral(" (%1)").arg(QLatin1String(name));
        ops.append({"power state" + n, [p = p](Session& s) { return std::make_unique<PowerStateRead>(s, p); }});
        ops.append({"matrix read" + n, [p = p](Session& s) { return std::make_unique<MatrixRead>(s, p); }});
        ops.append({"EDID read" + n, [p = p](Session& s) { return std::make_unique<EdidRead>(s, p); }});
        ops.append({"device read" + n, [p = p](Session& s) {
                        return std::make_unique<DeviceRead>(s, DeviceRead::What::InfoAndIdent, p);
                    }});
    }
    ops.append({"beeper read", [](Session& s) { return std::make_unique<BeepStateRead>(s); }});
    ops.append({"port status", [](Session& s) { return std::make_unique<PortStatusRead>(s); }});
    ops.append({"ident write", [](Session& s) { return std::make_unique<IdentWrite>(s, IdentWrite::Text{}); }});
    ops.append({"route", [](Session& s) { return std::make_unique<RouteSet>(s, 4, 2); }});
    for (bool on : {true, false}) {
        ops.append({"ARC", [on](Session& s) { return std::make_unique<ArcSet>(s, 3, on); }});
        ops.append({"power", [on](Session& s) { return std::make_unique<PowerSet>(s, on); }});
        ops.append({"beeper", [on](Session& s) { return std::make_unique<BeepSet>(s, on); }});
    }
    ops.append({"factory reset", [](Session& s) { return std::make_unique<FactoryReset>(s); }});
    ops.append({"reboot", [](Session& s) { return std::make_unique<Reboot>(s); }});
    ops.append({"extended reset", [](Session& s) { return std::make_unique<ExtendedFactoryReset>(s); }});
    for (int target : {3, 0}) {
        ops.append({"EDID preset", [target](Session& s) { return std::unique_ptr<Operation>(EdidSet::preset(s, 14, target)); }});
        ops.append({"EDID copy", [target](Session& s) { return std::unique_ptr<Operation>(EdidSet::copy(s, 2, target)); }});
        ops.append({"EDID upload", [target](Session& s) {
                        return std::unique_ptr<Operation>(EdidSet::upload(s, EdidSet::Block{}, target));
                    }});
    }
    ops.append({"firmware", [](Session& s) { return std::make_unique<FirmwareUpgrade>(s, std::vector<std::uint8_t>(3000, 0x5A)); }});
    ops.append({"preset recall", [](Session& s) {
                    Routing known, target;
                    for (std::size_t k = 0; k < known.inputs.size(); ++k) {
                        known.inputs[k] = target.inputs[k] = 1;
                        known.arc[k] = target.arc[k] = false;
                    }
                    target.inputs[4] = 6;
                    target.arc[6] = true;
                    return std::make_unique<PresetRecall>(s, target, known);
                }});
    return ops;
}

// Runs an operation with the switch answering its first `answered` writes;
// the writes, their times and when it ended.
struct SilencedRun {
    explicit SilencedRun(int answered)
    {
        link.answered = answered;
        link.device.setRebootMs(0);
        link.model().display.fill(true);
        session.setLink(&link);
    }
    Outcome run(Operation& op)
    {
        QObject::connect(&op, &Operation::finished, &op, [this] { endedAt = clock.nowMs(); });
        op.start();
        for (int s = 0; s < 120 && op.running(); ++s) {
            SimLink::settle();
            if (op.running())
                clock.advance(1000);
        }
        SimLink::settle();
        return op.outcome();
    }
    // Exchange `k`: write k, its resends (the same bytes again) and its end
    // (the next other write, or the operation's).
    Measured exchange(std::size_t k) const
    {
        const auto& w = link.written;
        Measured m;
        m.bytes = w[k];
        if (w[k].size() == kRawEdidBlockSize && k > 0)
            m.header = CommandFrame::fromBytes(w[k - 1].data());
        std::vector<qint64> sends{link.times[k]};
        std::size_t j = k + 1;
        for (; j < w.size() && w[j] == w[k]; ++j)
            sends.push_back(link.times[j]);
        const qint64 end = j < w.size() ? link.times[j] : endedAt;
        m.totalMs = end - sends.front();
        m.firstMs = (sends.size() > 1 ? sends[1] : end) - sends.front();
        for (std::size_t i = 1; i < sends.size(); ++i)
            m.retryMs = std::max(m.retryMs, (i + 1 < sends.size() ? sends[i + 1] : end) - sends[i]);
        return m;
    }

    ManualClock clock;
    AppClockScope scope{&clock};
    SilencingLink link{clock};
    Session session{&clock};
    qint64 endedAt = -1;
};

}  // namespace

class TestOps : public QObject {
    Q_OBJECT
private slots:
    void routeAndArcReachTheSwitch();
    void matrixReadReportsTheSwitch();
    void runnerHoldsAndStopsBackground();
    void edidReadReportsEveryInput();
    void edidSettings_data();
    void edidSettings();
    void edidSettingEndsWithinItsLimit_data();
    void edidSettingEndsWithinItsLimit();
    void deviceReadAndIdentWrite();
    void firmwareUpgrade_data();
    void firmwareUpgrade();
    void statusPowerAndBeeper();
    void resets();
    void silentSwitchEndsEachCommand_data();
    void silentSwitchEndsEachCommand();
    void answersToSomethingElseAreNotTheAnswer_data();
    void answersToSomethingElseAreNotTheAnswer();
    void extendedResetTakesNoLateDuplicateForItsNextStep();
    void forwardedWaitsAreTheLongestAnyOperationWaits();
    void searchAndSettingsOverUdp();
};

void TestOps::routeAndArcReachTheSwitch()
{
    Bench b;
    QList<QPair<int, int>> routed;
    RouteSet route(b.session, 4, 2);
    connect(&route, &RouteSet::routed, [&](int i, int o) { routed << qMakePair(i, o); });
    QCOMPARE(b.run(route), Outcome::Done);
    QCOMPARE(b.link.model().route[1], 4);
    QCOMPARE(routed, (QList<QPair<int, int>>{{4, 2}}));

    QList<QPair<int, bool>> arc;
    ArcSet on(b.session, 3, true);
    connect(&on, &ArcSet::arcReported, [&](int o, bool s) { arc << qMakePair(o, s); });
    QCOMPARE(b.run(on), Outcome::Done);
    QVERIFY(b.link.model().arc[2]);
    QCOMPARE(arc, (QList<QPair<int, bool>>{{3, true}}));
    QCOMPARE(int(b.link.written.size()), 2);
}

void TestOps::matrixReadReportsTheSwitch()
{
    Bench b;
    b.link.model().route = {3, 5, 1, 8, 2, 7, 4, 8};
    b.link.model().arc = {false, true, false, false, true, false, false, true};
    std::array<int, kPortCount> routes{};
    std::array<int, kPortCount> arcs{};
    MatrixRead read(b.session, Purpose::PageEntry);
    connect(&read, &MatrixRead::routeReported, [&](int o, int i) { routes[o - 1] = i; });
    connect(&read, &MatrixRead::arcReported, [&](int o, bool on) { arcs[o - 1] = on ? 1 : 2; });
    QCOMPARE(b.run(read), Outcome::Done);
    QCOMPARE(routes, b.link.model().route);
    for (int o = 0; o < kPortCount; ++o)
        QCOMPARE(arcs[o], b.link.model().arc[o] ? 1 : 2);
    QCOMPARE(b.link.count(cmd::RouteQuery), 8);
    QCOMPARE(b.link.count(cmd::ArcQuery), 8);
    QCOMPARE(int(b.session.counters().unsolicited), 0);
}

void TestOps::runnerHoldsAndStopsBackground()
{
    Bench b;
    Runner runner(b.session);
    // A background read in flight; the operator's command takes hold.
    auto* read = new MatrixRead(b.session, Purpose::PageEntry);
    int reported = 0;
    connect(read, &MatrixRead::routeReported, [&] { ++reported; });
    runner.runBackground(read);
    QCOMPARE(runner.backgroundCount(), 1);
    Hold held = runner.hold();
    QVERIFY(held);
    QVERIFY(!runner.hold());  // a second operator's operation is refused
    QCOMPARE(runner.backgroundCount(), 0);
    RouteSet route(b.session, 2, 2);
    route.start();
    QCOMPARE(int(b.link.written.size()), 2);  // at once: the read yields
    QCOMPARE(b.run(route), Outcome::Done);
    // The read's answer, late, is unsolicited; nothing of the read followed.
    QCOMPARE(reported, 0);
    QCOMPARE(b.link.count(cmd::RouteQuery), 1);
    QCOMPARE(int(b.session.counters().unsolicited), 1);
    held.end();
    QVERIFY(runner.hold());
}

void TestOps::edidReadReportsEveryInput()
{
    Bench b;
    b.link.model().edidCode = {0, 1, 14, 15, 22, 3, 4, 5};
    std::array<int, kPortCount> codes{};
    EdidRead read(b.session, Purpose::PageEntry);
    connect(&read, &EdidRead::edidReported, [&](int input, int code) { codes[input - 1] = code; });
    QCOMPARE(b.run(read), Outcome::Done);
    QCOMPARE(codes, b.link.model().edidCode);
    QCOMPARE(b.link.count(cmd::EdidQuery), 8);
}

void TestOps::edidSettings_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("target");  // 0: all inputs
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QList<int>>("codes");  // what the switch holds after
    using L = QList<int>;
    QTest::newRow("preset 4 to IN3") << "preset" << 3 << int(Outcome::Done) << L{7, 7, 4, 7, 7, 7, 7, 7};
    QTest::newRow("preset 14 to all") << "preset" << 0 << int(Outcome::Done) << L{14, 14, 14, 14, 14, 14, 14, 14};
    QTest::newRow("copy of B to IN5") << "copy" << 5 << int(Outcome::Done) << L{7, 7, 7, 7, 16, 7, 7, 7};
    // Output C has no display: nothing to copy.
    QTest::newRow("copy of C: no valid data") << "copy-c" << 5 << int(Outcome::Refused) << L{7, 7, 7, 7, 7, 7, 7, 7};
    QTest::newRow("file to IN2") << "upload" << 2 << int(Outcome::Done) << L{7, 7, 7, 7, 7, 7, 7, 7};
}

void TestOps::edidSettings()
{
    QFETCH(QString, how);
    QFETCH(int, target);
    QFETCH(int, outcome);
    QFETCH(QList<int>, codes);
    Bench b;
    b.link.model().edidCode.fill(7);
    b.link.model().display = {true, true, false, true, true, true, true, true};
    EdidSet::Block block;
    const simtest::Bytes sent = simtest::panelBlock(simtest::edidFile(256, 1));
    std::copy_n(sent.begin(), block.size(), block.begin());
    std::unique_ptr<EdidSet> op(how == "preset"   ? EdidSet::preset(b.session, target ? 4 : 14, target)
                                : how == "copy"   ? EdidSet::copy(b.session, 2, target)
                                : how == "copy-c" ? EdidSet::copy(b.session, 3, target)
                                                  : EdidSet::upload(b.session, block, target));
    QCOMPARE(int(b.run(*op)), outcome);
    for (int n = 0; n < kPortCount; ++n)
        QCOMPARE(b.link.model().edidCode[std::size_t(n)], codes[n]);
    if (how == "upload") {
        QCOMPARE(b.link.model().edidBlockTarget, target);
        QVERIFY(std::equal(block.begin(), block.end(), b.link.model().edidBlock.begin()));
        QCOMPARE(b.link.written.back().size(), kRawEdidBlockSize);
    }
    QCOMPARE(int(b.session.counters().resends), 0);
}

void TestOps::edidSettingEndsWithinItsLimit_data()
{
    QTest::addColumn<QString>("silent");  // what the switch does not answer
    QTest::addColumn<int>("writes");
    QTest::newRow("the preset") << "preset" << 1;
    QTest::newRow("the upload request") << "request" << 1;
    QTest::newRow("the block") << "block" << 4;
}

void TestOps::edidSettingEndsWithinItsLimit()
{
    QFETCH(QString, silent);
    QFETCH(int, writes);
    Bench b;
    if (silent == "preset")
        b.link.device.faults().silentCommands.insert(sim::commandKey(cmd::EdidSet));
    if (silent == "request")
        b.link.device.faults().silentCommands.insert(sim::commandKey(cmd::EdidUploadRequest));
    if (silent == "block")
        b.link.device.faults().silentOther.insert(sim::Silence::EdidBlock);
    std::unique_ptr<EdidSet> op(silent == "preset" ? EdidSet::preset(b.session, 1, 1)
                                                   : EdidSet::upload(b.session, EdidSet::Block{}, 1));
    qint64 endedAt = -1;
    connect(op.get(), &Operation::finished, [&] { endedAt = b.clock.nowMs(); });
    QCOMPARE(b.run(*op), Outcome::TimedOut);
    QCOMPARE(endedAt, qint64(limits::EdidSettingMs));  // from the first command, whatever followed
    QCOMPARE(int(b.link.written.size()), writes);
}

void TestOps::deviceReadAndIdentWrite()
{
    Bench b;
    b.link.model().kind = kDeviceKindMarbeck;
    b.link.model().versionMajor = 2;
    b.link.model().versionMinor = 7;
    QList<DeviceInfo> infos;
    QByteArrayList idents;
    auto read = [&](DeviceRead::What what) {
        DeviceRead r(b.session, what, Purpose::Background);
        connect(&r, &DeviceRead::infoReported, [&](const DeviceInfo& i) { infos << i; });
        connect(&r, &DeviceRead::identReported, [&](const QByteArray& t) { idents << t; });
        return b.run(r);
    };
    QCOMPARE(read(DeviceRead::What::InfoAndIdent), Outcome::Done);
    QCOMPARE(infos.size(), 1);
    QCOMPARE(infos[0].kind, kDeviceKindMarbeck);
    QCOMPARE(infos[0].inputs * 100 + infos[0].outputs, 808);
    QCOMPARE(infos[0].versionMajor * 10 + infos[0].versionMinor, 27);
    QCOMPARE(idents, QByteArrayList{QByteArray::fromStdString(sim::identToText(b.link.model().ident))});

    const QByteArray text("STAGE LEFT RACK 2 / MATRIX 8x8 A");
    IdentWrite::Text t;
    std::copy(text.begin(), text.end(), t.begin());
    IdentWrite write(b.session, t);
    QCOMPARE(b.run(write), Outcome::Done);
    QCOMPARE(QByteArray::fromStdString(sim::identToText(b.link.model().ident)), text);
    QCOMPARE(read(DeviceRead::What::IdentOnly), Outcome::Done);
    QCOMPARE(idents.last(), text);
    QCOMPARE(infos.size(), 1);
}

void TestOps::firmwareUpgrade_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("failure");
    QTest::addColumn<int>("blocksSent");
    using F = FirmwareUpgrade::Failure;
    QTest::newRow("through the reboot") << "" << int(Outcome::Done) << int(F::None) << 3;
    QTest::newRow("block 1 asked for again") << "resend" << int(Outcome::Done) << int(F::None) << 4;
    QTest::newRow("failed at block 1") << "fail" << int(Outcome::Refused) << int(F::BlockRefused) << 2;
    QTest::newRow("blocks never acknowledged") << "data" << int(Outcome::TimedOut) << int(F::BlockTimedOut) << 2;
    QTest::newRow("no answer to the start") << "start" << int(Outcome::TimedOut) << int(F::StartTimedOut) << 0;
    QTest::newRow("no answer to the transfer request") << "transfer" << int(Outcome::TimedOut) << int(F::TransferTimedOut) << 0;
    QTest::newRow("not back from the reboot") << "reboot" << int(Outcome::TimedOut) << int(F::RebootTimedOut) << 3;
}

void TestOps::firmwareUpgrade()
{
    QFETCH(QString, fault);
    QFETCH(int, outcome);
    QFETCH(int, failure);
    QFETCH(int, blocksSent);
    Bench b;
    sim::FaultSettings& f = b.link.device.faults();
    if (fault == "resend")
        f.resendBlock = 1;
    if (fault == "fail")
        f.failBlock = 1;
    if (fault == "data")
        f.silentOther.insert(sim::Silence::DataBlocks);
    if (fault == "start")
        f.silentCommands.insert(sim::commandKey(cmd::UpgradeStart));
    if (fault == "transfer")
        f.silentCommands.insert(sim::commandKey(cmd::UpgradeTransferRequest));
    if (fault == "reboot")
        b.link.device.setRebootMs(60000);
    std::vector<std::uint8_t> image(3000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = std::uint8_t(i * 7 + 3);
    FirmwareUpgrade up(b.session, image);
    std::vector<std::size_t> progress;
    connect(&up, &FirmwareUpgrade::progressed, [&](std::size_t p) { progress.push_back(p); });
    QCOMPARE(int(b.run(up, 120000)), outcome);
    QCOMPARE(int(up.failure()), failure);
    int blocks = 0;
    for (const auto& w : b.link.written)
        blocks += w.size() == kDataFrameSize ? 1 : 0;
    QCOMPARE(blocks, blocksSent);
    if (outcome == int(Outcome::Done)) {
        QVERIFY(std::equal(image.begin(), image.end(), b.link.model().firmware.begin()));
        QCOMPARE(progress.back(), image.size());
        QCOMPARE(up.kindAfterReboot(), b.link.model().kind);
    }
    QVERIFY(!up.transferRunning());
}

void TestOps::statusPowerAndBeeper()
{
    Bench b;
    b.link.model().source = {true, false, true, false, false, false, false, true};
    b.link.model().display = {false, true, true, false, false, true, false, false};
    QStringList order;
    std::array<int, kPortCount> sources{}, displays{};
    PortStatusRead status(b.session);
    connect(&status, &PortStatusRead::portReported, [&](bool input, int port, bool connected) {
        order << QStringLiteral("%1%2").arg(input ? "IN" : "OUT").arg(port);
        (input ? sources : displays)[std::size_t(port - 1)] = connected ? 1 : 2;
    });
    QCOMPARE(b.run(status), Outcome::Done);
    QCOMPARE(order.mid(0, 4), QStringList({"IN1", "OUT1", "IN2", "OUT2"}));
    QCOMPARE(order.size(), 16);
    for (int n = 0; n < kPortCount; ++n) {
        QCOMPARE(sources[n], b.link.model().source[n] ? 1 : 2);
        QCOMPARE(displays[n], b.link.model().display[n] ? 1 : 2);
    }

    QList<int> power;
    auto readPower = [&] {
        PowerStateRead read(b.session, Purpose::Background);
        connect(&read, &PowerStateRead::powerReported, [&](bool on) { power << on; });
        return b.run(read);
    };
    PowerSet off(b.session, false);
    QCOMPARE(b.run(off), Outcome::Done);
    QVERIFY(!b.link.model().power);
    QCOMPARE(readPower(), Outcome::Done);
    PowerSet on(b.session, true);
    QCOMPARE(b.run(on), Outcome::Done);
    QCOMPARE(readPower(), Outcome::Done);
    QCOMPARE(power, (QList<int>{0, 1}));

    QList<int> beep;
    BeepSet mute(b.session, false);
    connect(&mute, &BeepSet::beepReported, [&](bool enabled) { beep << enabled; });
    QCOMPARE(b.run(mute), Outcome::Done);
    BeepStateRead readBeep(b.session);
    connect(&readBeep, &BeepStateRead::beepReported, [&](bool enabled) { beep << enabled; });
    QCOMPARE(b.run(readBeep), Outcome::Done);
    QCOMPARE(beep, (QList<int>{0, 0}));
    QVERIFY(!b.link.model().beep);
}

void TestOps::resets()
{
    Bench b;
    b.link.model().route = {5, 5, 5, 5, 5, 5, 5, 5};
    b.link.model().edidCode.fill(9);
    b.link.model().beep = false;
    ExtendedFactoryReset extended(b.session);
    QList<int> beep;
    connect(&extended, &ExtendedFactoryReset::beepReported, [&](bool on) { beep << on; });
    QCOMPARE(b.run(extended), Outcome::Done);
    QCOMPARE(b.link.model().route, (std::array<int, kPortCount>{3, 1, 1, 1, 1, 1, 1, 1}));
    QCOMPARE(b.link.model().edidCode, (std::array<int, kPortCount>{0, 0, 0, 0, 0, 0, 0, 0}));
    QVERIFY(b.link.model().beep);
    QCOMPARE(beep, QList<int>{1});
    QCOMPARE(int(b.link.written.size()), 10);

    b.link.model().route = {5, 5, 5, 5, 5, 5, 5, 5};
    FactoryReset reset(b.session);
    QCOMPARE(b.run(reset), Outcome::Done);
    QCOMPARE(b.link.model().route[0], 1);
    Reboot reboot(b.session);
    QCOMPARE(b.run(reboot), Outcome::Done);
    QVERIFY(b.link.device.rebooting());
}

// The operation a silent-switch row names.
static std::unique_ptr<Operation> silentOp(const QString& op, Session& session)
{
    if (op == "route")
        return std::make_unique<RouteSet>(session, 1, 1);
    if (op == "arc")
        return std::make_unique<ArcSet>(session, 1, false);
    if (op == "read")
        return std::make_unique<MatrixRead>(session, Purpose::PageEntry);
    if (op == "factory")
        return std::make_unique<FactoryReset>(session);
    if (op == "reboot")
        return std::make_unique<Reboot>(session);
    if (op == "on" || op == "off")
        return std::make_unique<PowerSet>(session, op == "on");
    if (op == "beep")
        return std::make_unique<BeepSet>(session, true);
    if (op == "status")
        return std::make_unique<PortStatusRead>(session);
    return std::make_unique<ExtendedFactoryReset>(session);
}

void TestOps::silentSwitchEndsEachCommand_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("sends");
    QTest::addColumn<qint64>("endsAt");
    QTest::newRow("route: once resent") << "route" << 2 << qint64(6000);
    QTest::newRow("ARC: once resent") << "arc" << 2 << qint64(6000);
    QTest::newRow("matrix read: its first query only") << "read" << 1 << qint64(7000);
    QTest::newRow("factory reset: 5 s, then 3 s") << "factory" << 2 << qint64(8000);
    QTest::newRow("reboot") << "reboot" << 2 << qint64(6000);
    QTest::newRow("power on: 3 s, then 2 s") << "on" << 2 << qint64(5000);
    QTest::newRow("power off, not resent") << "off" << 1 << qint64(3000);
    QTest::newRow("beeper, not resent") << "beep" << 1 << qint64(3000);
    QTest::newRow("status: its first query twice") << "status" << 2 << qint64(6000);
    QTest::newRow("extended reset: its first route twice") << "extended" << 2 << qint64(6000);
}

void TestOps::silentSwitchEndsEachCommand()
{
    QFETCH(QString, op);
    QFETCH(int, sends);
    QFETCH(qint64, endsAt);
    Bench b;
    b.link.device.faults().silentAll = true;
    const std::unique_ptr<Operation> o = silentOp(op, b.session);
    qint64 endedAt = -1;
    connect(o.get(), &Operation::finished, [&] { endedAt = b.clock.nowMs(); });
    QCOMPARE(b.run(*o), Outcome::TimedOut);
    QCOMPARE(endedAt, endsAt);
    QCOMPARE(int(b.link.written.size()), sends);
    QVERIFY(b.link.written.front() == b.link.written.back());  // a resend is the same frame
    QVERIFY(b.session.idle());
}

// A reply that is not the answer (the switch refused, or it answers an
// earlier command for another port or state) ends nothing: the command is
// resent and times out, and nothing is reported as done.
void TestOps::answersToSomethingElseAreNotTheAnswer_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<CommandFrame>("stray");  // arrives while the command waits; none when the switch refuses
    QTest::addColumn<int>("sends");
    QTest::addColumn<qint64>("endsAt");
    QTest::newRow("route refused by the switch") << "route" << CommandFrame() << 2 << qint64(6000);
    QTest::newRow("route to B: a late acknowledgement for C") << "route" << reply::routeSetAck(3) << 2 << qint64(6000);
    QTest::newRow("power on: acknowledged as off") << "on" << reply::powerSetAck(false) << 2 << qint64(5000);
    QTest::newRow("power off: acknowledged as on") << "off" << reply::powerSetAck(true) << 1 << qint64(3000);
    QTest::newRow("EDID of input 1: the status of input 2") << "edid" << reply::edidStatus(2, 9) << 2 << qint64(6000);
}

void TestOps::answersToSomethingElseAreNotTheAnswer()
{
    QFETCH(QString, op);
    QFETCH(CommandFrame, stray);
    QFETCH(int, sends);
    QFETCH(qint64, endsAt);
    Bench b;
    const bool refuse = stray == CommandFrame();
    if (refuse)
        b.link.device.faults().refuseRoutes = true;
    else
        b.link.device.faults().silentAll = true;
    int reported = 0;
    std::unique_ptr<Operation> o;
    if (op == "route") {
        auto* route = new RouteSet(b.session, 4, 2);
        connect(route, &RouteSet::routed, [&] { ++reported; });
        o.reset(route);
    } else if (op == "edid") {
        auto* read = new EdidRead(b.session, Purpose::Operator);
        connect(read, &EdidRead::edidReported, [&] { ++reported; });
        o.reset(read);
    } else {
        o = std::make_unique<PowerSet>(b.session, op == "on");
    }
    qint64 endedAt = -1;
    connect(o.get(), &Operation::finished, [&] { endedAt = b.clock.nowMs(); });
    o->start();
    if (!refuse) {
        stray.seal();
        emit b.link.received(QByteArray(reinterpret_cast<const char*>(stray.data()), qsizetype(stray.size())));
    }
    QCOMPARE(b.run(*o), Outcome::TimedOut);
    QCOMPARE(endedAt, endsAt);
    QCOMPARE(int(b.link.written.size()), sends);
    QCOMPARE(reported, 0);
    QCOMPARE(b.link.model().route[1], 2);  // the switch's routing as it was
    QVERIFY(b.session.counters().unsolicited >= 1);
}

// The first route's acknowledgement is late: it comes together with the one
// to its resend. The second of them is a duplicate, not the acknowledgement
// of the route to the next output.
void TestOps::extendedResetTakesNoLateDuplicateForItsNextStep()
{
    Bench b;
    b.link.device.faults().coalesceNext = true;
    QList<CommandFrame> strays;
    connect(&b.session, &Session::unsolicited, [&](const CommandFrame& f) { strays << f; });
    ExtendedFactoryReset reset(b.session);
    QCOMPARE(b.run(reset), Outcome::Done);
    QCOMPARE(b.link.count(cmd::RouteSet), kPortCount + 1);
    QCOMPARE(strays, QList<CommandFrame>{reply::routeSetAck(1).seal()});
    QCOMPARE(b.link.model().route, (std::array<int, kPortCount>{3, 1, 1, 1, 1, 1, 1, 1}));
}

// What a hub gives a command it forwards: at least what every operation that
// sends the same bytes waits, with every purpose, and no more than the
// longest of them (a late answer then reaches no one). Each exchange of each
// operation is measured on the wire with the switch silent from it on.
void TestOps::forwardedWaitsAreTheLongestAnyOperationWaits()
{
    std::map<std::vector<std::uint8_t>, Measured> longest;  // by the bytes (the raw block's header after them)
    int exchanges = 0;
    for (const auto& [name, make] : everyOperation()) {
        SilencedRun answered(INT_MAX);
        const std::unique_ptr<Operation> whole = make(answered.session);
        QVERIFY2(answered.run(*whole) != Outcome::TimedOut, qPrintable(name));
        QCOMPARE(int(answered.session.counters().resends), 0);
        for (std::size_t k = 0; k < answered.link.written.size(); ++k) {
            SilencedRun silenced{int(k)};
            const std::unique_ptr<Operation> op = make(silenced.session);
            silenced.run(*op);
            QVERIFY2(!op->running() && silenced.link.written.size() > k, qPrintable(name));
            Measured m = silenced.exchange(k);
            m.what = QStringLiteral("%1, exchange %2: %3").arg(name).arg(k + 1).arg(QString::fromStdString(toHex(m.bytes.data(), std::min<std::size_t>(m.bytes.size(), kCommandFrameSize))));
            const std::optional<ForwardedWait> w = forwardedWait(m.bytes.data(), m.bytes.size(), m.header ? &*m.header : nullptr);
            QVERIFY2(w, qPrintable(m.what));
            QVERIFY2(w->firstMs >= m.firstMs && w->totalMs >= m.totalMs && w->retryMs >= m.retryMs,
                     qPrintable(QStringLiteral("%1: waits %2/%3/%4, forwarded %5/%6/%7")
                                    .arg(m.what).arg(m.firstMs).arg(m.retryMs).arg(m.totalMs)
                                    .arg(w->firstMs).arg(w->retryMs).arg(w->totalMs)));
            std::vector<std::uint8_t> key = m.bytes;
            if (m.header)
                key.insert(key.end(), m.header->bytes.begin(), m.header->bytes.end());
            Measured& l = longest[key];
            if (l.what.isEmpty())
                l = m;
            l.firstMs = std::max(l.firstMs, m.firstMs);
            l.retryMs = std::max(l.retryMs, m.retryMs);
            l.totalMs = std::max(l.totalMs, m.totalMs);
            ++exchanges;
        }
    }
    QVERIFY(exchanges > 150);
    for (const auto& [key, l] : longest) {
        const std::optional<ForwardedWait> w = forwardedWait(l.bytes.data(), l.bytes.size(), l.header ? &*l.header : nullptr);
        QVERIFY2(w->firstMs == l.firstMs && w->retryMs == l.retryMs && w->totalMs == l.totalMs,
                 qPrintable(QStringLiteral("%1: the longest wait %2/%3/%4, forwarded %5/%6/%7")
                                .arg(l.what).arg(l.firstMs).arg(l.retryMs).arg(l.totalMs)
                                .arg(w->firstMs).arg(w->retryMs).arg(w->totalMs)));
    }
    // A route is only an operator's command; the routing read's first query is also a page's.
    const std::vector<std::uint8_t> route = bytesOf(build::routeSet(4, 2)), query = bytesOf(build::routeQuery(1));
    QCOMPARE(forwardedWait(route.data(), route.size())->totalMs, limits::Command.firstMs + limits::Command.retryMs);
    QCOMPARE(forwardedWait(query.data(), query.size())->totalMs, limits::ChainQuery.firstMs);
}

void TestOps::searchAndSettingsOverUdp()
{
    // The simulator answers on UDP, on loopback and on ports of this test's own.
    Bench b;
    QUdpSocket probeA, probeB;
    probeA.bind(QHostAddress::AnyIPv4, 0);
    probeB.bind(QHostAddress::AnyIPv4, 0);
    NetEndpoints e;
    e.broadcast = QHostAddress(QStringLiteral("127.255.255.255"));
    e.searchPort = probeA.localPort();
    e.configPort = probeB.localPort();
    probeA.close();
    probeB.close();
    sim::UdpEndpoint switchSide(b.link.device, nullptr);
    QVERIFY(switchSide.open(e.searchPort, e.configPort, false));
    auto realIo = [](const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); };

    DatagramSocket socket;
    QList<SearchReply> found;
    DeviceSearch search(socket, e);
    connect(&search, &DeviceSearch::found, [&](const SearchReply& r) { found << r; });
    search.start();
    QVERIFY(realIo([&] { return !found.isEmpty(); }));
    QCOMPARE(found[0].mac, b.link.model().net.mac);
    search.cancel();

    // Static 192.168.7.20 and a new MAC: the switch takes them and is found again.
    const NetDevice target = NetDevice::fromReply(found[0]);
    NetSettings settings;
    settings.staticIp = true;
    settings.ip = {"192", "168", "7", "20"};
    settings.mac = {"02", "54", "4C", "56", "53", "42"};
    NetworkSettings configure(socket, e, target, settings);
    bool searching = false;
    connect(&configure, &NetworkSettings::searching, [&] { searching = true; });
    configure.start();
    QVERIFY(realIo([&] { return configure.hasFinished(); }));
    QCOMPARE(configure.outcome(), Outcome::Done);
    QVERIFY(searching);
    QCOMPARE(b.link.model().net.ip, (Ipv4Octets{192, 168, 7, 20}));
    QCOMPARE(b.link.model().net.mac, (MacAddress{0x02, 0x54, 0x4C, 0x56, 0x53, 0x42}));
}

QTEST_GUILESS_MAIN(TestOps)
#include "test_ops.moc"
