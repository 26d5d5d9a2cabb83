// The simulated switch in-process: its replies to every command, the stream
// cutting, EDID uploads, firmware upgrades, reboots, datagrams, faults and the
// control commands. Time runs on a manual clock; no sockets.
#include <QtTest>

#include <QTemporaryDir>

#include <memory>

#include "console.h"
#include "protocol/netpackets.h"
#include "protocol/replies.h"
#include "session.h"
#include "switchdevice.h"
#include "test_sim_cases.h"
#include "trace.h"

using namespace talvane;
using namespace talvane::sim;
using namespace simtest;

namespace {

// A device and one link to it whose writes are collected.
struct Bench {
    ManualClock clock;
    std::unique_ptr<SwitchDevice> device;
    std::unique_ptr<Session> session;
    QList<QByteArray> writes;

    explicit Bench(Trace* trace = nullptr)
    {
        device = std::make_unique<SwitchDevice>(&clock);
        session = std::make_unique<Session>(*device, [this](const QByteArray& b) { writes.append(b); }, trace, &clock);
    }
    void send(const Bytes& b) { session->receive(b.data(), b.size()); }
    void send(const CommandFrame& f) { send(sealed(f)); }
    QByteArray all() const
    {
        QByteArray a;
        for (const QByteArray& w : writes)
            a += w;
        return a;
    }
    // Sends a command and returns what was written for it at once.
    QByteArray ask(const CommandFrame& f)
    {
        writes.clear();
        send(f);
        return all();
    }
};

CommandFrame frameOf(const QByteArray& a)
{
    return CommandFrame::fromBytes(reinterpret_cast<const std::uint8_t*>(a.constData()));
}

QString body(const QByteArray& reply) { return hexOf(reply.left(12)); }

}  // namespace

class TestSimDevice : public QObject {
    Q_OBJECT
private slots:
    void commandScript();

    void parser_data();
    void parser();
    void stalledUnitIsGivenUp();

    void edidResults_data();
    void edidResults();
    void edidUpload_data();
    void edidUpload();

    void upgradeOf2049Bytes();
    void upgradeFaults_data();
    void upgradeFaults();
    void rebootSilence();
    void factoryReset();

    void silence_data();
    void silence();
    void replyTiming_data();
    void replyTiming();
    void delayedRepliesKeepTheirOrder();
    void corruptNextReply();
    void coalescedReplies();
    void splitReply();

    void searchAndConfig();

    void console_data();
    void console();
    void trace();
};

void TestSimDevice::commandScript()
{
    Bench bench;
    bench.device->setRebootMs(0);
    QByteArray pending;
    for (const ScriptStep& step : simtest::commandScript()) {
        bench.writes.clear();
        bench.send(step.send);
        pending += bench.all();
        if (step.reply.isEmpty()) {
            QVERIFY2(pending.isEmpty(), qPrintable(step.name + ": unexpected " + hexOf(pending)));
            continue;
        }
        QVERIFY2(pending.size() == int(kCommandFrameSize), qPrintable(step.name + ": got " + hexOf(pending)));
        QVERIFY2(frameOf(pending).checksumValid(), qPrintable(step.name));
        QCOMPARE(body(pending) + " (" + step.name + ")", step.reply + " (" + step.name + ")");
        pending.clear();
    }
}

void TestSimDevice::parser_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QString>("kinds");  // C command, D data, E EDID block, c bad command, d bad data
    QTest::addColumn<QByteArray>("accepted");  // the bytes of the good units, in order

    const Bytes power = sealed(build::powerStateQuery());
    const Bytes header = sealed(build::edidBlockHeader(false));
    Bytes bad = power;
    bad[pos::Checksum] ^= 0x40;
    const Bytes block = dataFrame(Bytes(3000, 0x11), 1024, 0);
    Bytes badBlock = block;
    badBlock[500] ^= 0x01;
    Bytes rawWithHeaders(kRawEdidBlockSize, 0);
    for (std::size_t i = 0; i + kCommandFrameSize <= rawWithHeaders.size(); i += kCommandFrameSize)
        std::copy(power.begin(), power.end(), rawWithHeaders.begin() + static_cast<std::ptrdiff_t>(i));

    const auto cat = [](std::initializer_list<Bytes> parts) {
        QByteArray a;
        for (const Bytes& p : parts)
            a += toQt(p);
        return a;
    };
    const QByteArray p = toQt(power);
    QTest::newRow("junk before a frame") << cat({{0x12, 0x00, 0x5B, 0xA5}, power}) << 100 << "C" << p;
    QTest::newRow("byte by byte") << cat({power, power}) << 1 << "CC" << p + p;
    QTest::newRow("frame split 6 + 7") << cat({power}) << 6 << "C" << p;
    QTest::newRow("bad checksum, then a good frame") << cat({bad, power}) << 100 << "cC" << p;
    QTest::newRow("header in junk hides a real frame") << cat({{0xA5, 0x5B, 0x01}, power}) << 100 << "cC" << p;
    QTest::newRow("data frame between commands") << cat({power, block, power}) << 100 << "CDC" << cat({power, block, power});
    QTest::newRow("data frame in small pieces") << cat({block}) << 7 << "D" << toQt(block);
    QTest::newRow("bad data frame, then a command") << cat({badBlock, power}) << 4096 << "dC" << p;
    QTest::newRow("raw block after its header, headers inside it")
        << cat({header, rawWithHeaders, power}) << 100 << "CEC" << cat({header, rawWithHeaders, power});
    const int whole = int(kRawEdidBlockSize / kCommandFrameSize);
    QTest::newRow("no raw block without the header") << cat({rawWithHeaders}) << 256 << QString(whole, 'C')
                                                      << toQt(rawWithHeaders).left(whole * int(kCommandFrameSize));
}

void TestSimDevice::parser()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, chunk);
    QFETCH(QString, kinds);
    QFETCH(QByteArray, accepted);
    StreamParser p;
    QString seen;
    QByteArray goodBytes;
    for (int at = 0; at < stream.size(); at += chunk) {
        const QByteArray part = stream.mid(at, chunk);
        for (const StreamUnit& u : p.feed(reinterpret_cast<const std::uint8_t*>(part.constData()), std::size_t(part.size()))) {
            const char letters[] = {'C', 'D', 'E', 'c', 'd'};
            seen += QLatin1Char(letters[int(u.kind)]);
            if (u.kind == StreamUnit::Kind::Command || u.kind == StreamUnit::Kind::Data || u.kind == StreamUnit::Kind::EdidBlock)
                goodBytes += toQt(u.bytes);
        }
    }
    QCOMPARE(seen, kinds);
    QCOMPARE(hexOf(goodBytes), hexOf(accepted));
    QVERIFY(!p.awaitingEdidBlock());
}

void TestSimDevice::stalledUnitIsGivenUp()
{
    Bench bench;
    // A header whose raw block never comes: the next command waits inside the
    // block's 256 bytes until the stall time, then is answered.
    bench.send(build::edidUploadTarget(2));
    bench.send(build::edidBlockHeader(false));
    bench.writes.clear();
    bench.send(build::powerStateQuery());
    QVERIFY(bench.writes.isEmpty());
    bench.clock.advance(Session::kStallMs - 1);
    QVERIFY(bench.writes.isEmpty());
    bench.clock.advance(1);
    QCOMPARE(body(bench.all()), QString("A5 5B 08 0C 0F 00 00 00 00 00 00 00"));

    // A frame cut short: dropped after the stall time; the next one is answered.
    bench.writes.clear();
    bench.send(Bytes{0xA5, 0x5B, 0x02, 0x01});
    bench.clock.advance(Session::kStallMs);
    QVERIFY(bench.writes.isEmpty());
    QCOMPARE(body(bench.ask(build::routeQuery(3))), QString("A5 5B 02 01 03 00 03 00 00 00 00 00"));
    QCOMPARE(bench.session->parser().heldBytes(), std::size_t(0));
}

void TestSimDevice::edidResults_data()
{
    QTest::addColumn<QString>("setup");  // console command run first, or empty
    QTest::addColumn<CommandFrame>("command");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("codes");  // EDID codes of inputs 1..8 afterwards

    CommandFrame presetZero = build::edidSetPreset(0, 2);
    presetZero[pos::P1] = 0;
    QTest::newRow("preset 0 is no preset") << "" << presetZero << 0x0F << "0 0 0 0 0 0 0 0";
    QTest::newRow("preset 16 is no preset") << "" << build::edidSetPreset(15, 2) << 0x0F << "0 0 0 0 0 0 0 0";
    QTest::newRow("preset to input 9") << "" << build::edidSetPreset(3, 9) << 0x0F << "0 0 0 0 0 0 0 0";
    QTest::newRow("copy from an output without a display") << "display 3 off" << build::edidCopy(3, 2) << 0x0F
                                                            << "0 0 0 0 0 0 0 0";
    QTest::newRow("copy all from an output without a display") << "display 3 off" << build::edidCopy(3, 0) << 0x0F
                                                                << "0 0 0 0 0 0 0 0";
    QTest::newRow("copy all from D") << "display 3 off" << build::edidCopy(4, 0) << 0x00
                                     << "18 18 18 18 18 18 18 18";
}

void TestSimDevice::edidResults()
{
    QFETCH(QString, setup);
    QFETCH(CommandFrame, command);
    QFETCH(int, status);
    QFETCH(QString, codes);
    Bench bench;
    Console console(*bench.device);
    if (!setup.isEmpty())
        QVERIFY(console.execute(setup).ok);
    const CommandFrame reply = frameOf(bench.ask(command));
    QCOMPARE(int(reply[pos::P1]), status);
    QCOMPARE(reply, reply::edidResult(command, status == 0).seal());
    QStringList got;
    for (int code : bench.device->model().edidCode)
        got << QString::number(code);
    QCOMPARE(got.join(' '), codes);
}

void TestSimDevice::edidUpload_data()
{
    QTest::addColumn<int>("target");  // 1..8, 0 = all inputs, -1 = no target command sent
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<int>("status");

    QTest::newRow("256-byte file as the panel sends it") << 4 << toQt(panelBlock(edidFile(256, 1))) << 0x00;
    QTest::newRow("128-byte file with one extension, panel layout") << 0 << toQt(panelBlock(edidFile(128, 1))) << 0x00;
    QTest::newRow("block as it stands") << 2 << toQt(standardBlock(edidFile(256, 1))) << 0x00;
    QTest::newRow("bad base checksum") << 2 << toQt(panelBlock(edidFile(256, 0, false))) << 0x0F;
    QTest::newRow("bad extension checksum") << 2 << toQt(standardBlock(edidFile(256, 1, true, false))) << 0x0F;
    QTest::newRow("two extensions") << 2 << toQt(panelBlock(edidFile(256, 2))) << 0x0F;
    Bytes noHeader = panelBlock(edidFile(256, 0));
    noHeader[3] = 0x00;
    QTest::newRow("bad header") << 2 << toQt(noHeader) << 0x0F;
    QTest::newRow("no target accepted") << -1 << toQt(panelBlock(edidFile(256, 1))) << 0x0F;
}

void TestSimDevice::edidUpload()
{
    QFETCH(int, target);
    QFETCH(QByteArray, block);
    QFETCH(int, status);
    Bench bench;
    QCOMPARE(body(bench.ask(build::edidUploadRequest())), QString("A5 5B 03 08 00 00 00 00 00 00 00 00"));
    if (target >= 0) {
        const CommandFrame accept = frameOf(bench.ask(build::edidUploadTarget(target)));
        QCOMPARE(accept, reply::edidAccept(target == 0 ? cmd::EdidUploadTargetAll : cmd::EdidUploadTarget).seal());
    }
    const CommandFrame header = build::edidBlockHeader(target == 0);
    QVERIFY(bench.ask(header).isEmpty());
    // The block arrives in two pieces, as a link may deliver it.
    bench.session->receive(block.left(100));
    QVERIFY(bench.writes.isEmpty());
    bench.session->receive(block.mid(100));
    QCOMPARE(frameOf(bench.all()), reply::edidResult(header, status == 0).seal());
    if (status == 0) {
        QCOMPARE(toQt(bench.device->model().edidBlock), block);
        QCOMPARE(bench.device->model().edidBlockTarget, target);
    } else {
        QVERIFY(bench.device->model().edidBlock.empty());
    }
}

void TestSimDevice::upgradeOf2049Bytes()
{
    Bench bench;
    bench.device->setRebootMs(4000);
    Bytes image(2049);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 31 + 7);
    QCOMPARE(body(bench.ask(build::upgradeStart())), QString("A5 5B 08 07 00 00 00 00 00 00 00 00"));
    QCOMPARE(body(bench.ask(build::upgradeTransferRequest())), QString("A5 5B 08 08 00 00 00 00 00 00 00 00"));
    QStringList acks;
    for (std::size_t offset = 0; offset < image.size(); offset += kDataPayloadSize) {
        const bool last = offset + kDataPayloadSize >= image.size();
        bench.writes.clear();
        bench.send(dataFrame(image, offset, last ? kLastBlockFlag : 0));
        QCOMPARE(bench.writes.size(), 1);
        QVERIFY(frameOf(bench.writes[0]).checksumValid());
        acks << body(bench.writes[0]);
    }
    QCOMPARE(acks, QStringList({"FE EF 00 00 00 00 00 00 00 00 00 00", "FE EF 00 01 00 00 00 00 00 00 00 00",
                                "FE EF 80 02 00 00 00 00 00 00 00 00"}));
    // The image as sent: 2049 bytes, then the 0xFF filler of the last block.
    const std::vector<std::uint8_t>& held = bench.device->model().firmware;
    QCOMPARE(held.size(), std::size_t(3 * kDataPayloadSize));
    QVERIFY(std::equal(image.begin(), image.end(), held.begin()));
    QVERIFY(std::all_of(held.begin() + 2049, held.end(), [](std::uint8_t b) { return b == 0xFF; }));
    QCOMPARE(bench.device->model().upgrade, UpgradeState::Rebooting);

    // Silent while it reboots, then it answers the reboot query.
    QVERIFY(bench.ask(build::upgradePageQuery(true)).isEmpty());
    bench.clock.advance(3999);
    QVERIFY(bench.ask(build::upgradePageQuery(true)).isEmpty());
    bench.clock.advance(1);
    QCOMPARE(body(bench.ask(build::upgradePageQuery(true))), QString("A5 5B 01 01 01 00 00 00 00 00 CC CC"));
    QCOMPARE(bench.device->model().upgrade, UpgradeState::Complete);
}

void TestSimDevice::upgradeFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("sends");  // block numbers sent, in order
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<int>("heldBlocks");

    QTest::newRow("ask again for block 1") << "resend-block 1" << QStringList{"0", "1", "1", "2", "3"}
                                           << QStringList{"0", "1", "0", "0", "0"} << 4;
    QTest::newRow("fail at block 2") << "fail-block 2" << QStringList{"0", "1", "2", "3"}
                                     << QStringList{"0", "0", "2", "none"} << 2;
    QTest::newRow("fail at block 0") << "fail-block 0" << QStringList{"0", "1"} << QStringList{"2", "none"} << 0;
    QTest::newRow("block out of sequence fails") << "" << QStringList{"0", "2"} << QStringList{"0", "2"} << 1;
    QTest::newRow("a block sent twice is taken again") << "" << QStringList{"0", "0", "1", "2", "3"}
                                                        << QStringList{"0", "0", "0", "0", "0"} << 4;
}

void TestSimDevice::upgradeFaults()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, sends);
    QFETCH(QStringList, statuses);
    QFETCH(int, heldBlocks);
    Bench bench;
    Console console(*bench.device);
    if (!fault.isEmpty())
        QVERIFY(console.execute(fault).ok);
    const Bytes image(4 * kDataPayloadSize, 0x3C);
    bench.ask(build::upgradeStart());
    bench.ask(build::upgradeTransferRequest());
    QStringList got;
    for (const QString& n : sends) {
        const std::size_t offset = n.toUInt() * kDataPayloadSize;
        bench.writes.clear();
        bench.send(dataFrame(image, offset, offset + kDataPayloadSize >= image.size() ? kLastBlockFlag : 0));
        if (bench.writes.isEmpty()) {
            got << "none";
            continue;
        }
        const CommandFrame ack = frameOf(bench.writes[0]);
        QCOMPARE(int(ack[dpos::Block]), int(n.toUInt()));
        // Only the acknowledgement that completes the upgrade carries the flags.
        if (ack[pos::P1] != kBlockReceived)
            QCOMPARE(int(ack[dpos::Flags]), 0);
        got << QString::number(ack[pos::P1]);
    }
    QCOMPARE(got, statuses);
    QCOMPARE(int(bench.device->model().firmware.size() / kDataPayloadSize), heldBlocks);
    QCOMPARE(bench.device->faults().any(), false);  // each fault acts once
}

void TestSimDevice::rebootSilence()
{
    Bench bench;
    bench.device->setRebootMs(2500);
    int rebooted = 0;
    bench.device->onRebooted = [&] { ++rebooted; };
    QCOMPARE(body(bench.ask(build::reboot())), QString("A5 5B 08 0D 00 00 00 00 00 00 00 00"));
    QVERIFY(bench.device->rebooting());
    bench.clock.advance(2499);
    QVERIFY(bench.ask(build::powerStateQuery()).isEmpty());
    QVERIFY(!bench.device->answerSearch(&kSearchRequestByte, 1));
    QCOMPARE(rebooted, 0);
    bench.clock.advance(1);
    QCOMPARE(rebooted, 1);
    QCOMPARE(body(bench.ask(build::powerStateQuery())), QString("A5 5B 08 0C 0F 00 00 00 00 00 00 00"));
}

void TestSimDevice::factoryReset()
{
    Bench bench;
    Console console(*bench.device);
    for (const char* c : {"route 5 all", "arc all on", "edid all 7", "beep off", "power off", "display 3 off",
                          "source 6 off", "mac 001122334455", "ident bench unit", "ip 10.0.0.5"})
        QVERIFY2(console.execute(c).ok, c);
    QCOMPARE(body(bench.ask(build::factoryReset())), QString("A5 5B 08 0A 00 00 00 00 00 00 00 00"));
    const SwitchModel& m = bench.device->model();
    const SwitchModel factory;
    QCOMPARE(m.route, factory.route);
    QCOMPARE(m.arc, factory.arc);
    QCOMPARE(m.edidCode, factory.edidCode);
    QVERIFY(m.beep && m.power);
    // What is plugged in, who it is and where it is stay as they were.
    QVERIFY(!m.display[2] && !m.source[5]);
    QCOMPARE(QString::fromStdString(macToText(m.net.mac)), QString("001122334455"));
    QCOMPARE(QString::fromStdString(identToText(m.ident)).trimmed(), QString("bench unit"));
    QVERIFY(m.net.staticIp);
}

void TestSimDevice::silence_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("hasSilenced");
    QTest::addColumn<CommandFrame>("silenced");
    QTest::addColumn<CommandFrame>("probe");
    QTest::addColumn<QString>("probeReply");  // empty: no reply

    const std::uint8_t text[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    QTest::newRow("RouteSet by name: not carried out")
        << QStringList{"silent RouteSet"} << true << build::routeSet(5, 1) << build::routeQuery(1)
        << "A5 5B 02 01 01 00 01 00 00 00 00 00";
    QTest::newRow("RouteQuery as group:code") << QStringList{"silent 02:01"} << true << build::routeQuery(1)
                                              << build::routeSet(5, 1) << "A5 5B 02 03 00 00 01 00 00 00 00 00";
    QTest::newRow("two kinds, any case") << QStringList{"silent arcset,ArcQuery"} << true << build::arcQuery(1)
                                         << build::arcSet(1, true) << "";
    QTest::newRow("ident reads, writes answered") << QStringList{"silent IdentRead"} << true << build::identRead(2)
                                                  << build::identWrite(0, text) << "A5 5B FA 21 00 00 00 00 00 00 00 00";
    QTest::newRow("all") << QStringList{"silent all"} << true << build::reboot() << build::powerStateQuery() << "";
    QTest::newRow("switched off again") << QStringList{"silent RouteSet,all", "silent RouteSet off", "silent all off"}
                                        << false << CommandFrame() << build::routeSet(2, 2)
                                        << "A5 5B 02 03 00 00 02 00 00 00 00 00";
    QTest::newRow("silent none") << QStringList{"silent all", "silent 08:0C", "silent none"} << false << CommandFrame()
                                 << build::powerStateQuery() << "A5 5B 08 0C 0F 00 00 00 00 00 00 00";
}

void TestSimDevice::silence()
{
    QFETCH(QStringList, faults);
    QFETCH(bool, hasSilenced);
    QFETCH(CommandFrame, silenced);
    QFETCH(CommandFrame, probe);
    QFETCH(QString, probeReply);
    Bench bench;
    Console console(*bench.device);
    for (const QString& f : faults)
        QVERIFY2(console.execute(f).ok, qPrintable(f));
    if (hasSilenced) {
        QVERIFY(bench.ask(silenced).isEmpty());
        QVERIFY(!bench.device->rebooting());
    }
    QCOMPARE(body(bench.ask(probe)), probeReply);
}

void TestSimDevice::replyTiming_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QList<QByteArray>>("prelude");  // sent and answered first
    QTest::addColumn<QByteArray>("send");
    QTest::addColumn<int>("dueMs");

    const QByteArray power = toQt(sealed(build::powerStateQuery()));
    const QList<QByteArray> upgrade{toQt(sealed(build::upgradeStart())), toQt(sealed(build::upgradeTransferRequest()))};
    const QList<QByteArray> edid{toQt(sealed(build::edidUploadTarget(1))), toQt(sealed(build::edidBlockHeader(false)))};
    const QByteArray block = toQt(dataFrame(Bytes(2000, 1), 0, 0));
    const QByteArray edidBlock = toQt(panelBlock(edidFile(128, 0)));

    QTest::newRow("at once") << QStringList{} << QList<QByteArray>{} << power << 0;
    QTest::newRow("delay 500") << QStringList{"delay 500"} << QList<QByteArray>{} << power << 500;
    // 13 + 13 bytes of 11 bits at 115200 baud: 2.48 ms, rounded up.
    QTest::newRow("paced command") << QStringList{"pace on"} << QList<QByteArray>{} << power << 3;
    // 1029 + 13 bytes: 99.5 ms.
    QTest::newRow("paced firmware block") << QStringList{"pace on"} << upgrade << block << 100;
    // 256 + 13 bytes: 25.7 ms.
    QTest::newRow("paced EDID block") << QStringList{"pace on"} << edid << edidBlock << 26;
    QTest::newRow("paced and delayed") << QStringList{"pace on", "delay 100"} << QList<QByteArray>{} << power << 103;
}

void TestSimDevice::replyTiming()
{
    QFETCH(QStringList, setup);
    QFETCH(QList<QByteArray>, prelude);
    QFETCH(QByteArray, send);
    QFETCH(int, dueMs);
    Bench bench;
    Console console(*bench.device);
    for (const QString& c : setup)
        QVERIFY(console.execute(c).ok);
    for (const QByteArray& p : prelude) {
        bench.session->receive(p);
        bench.clock.advance(200);  // its reply is out; well short of the stall time
    }
    bench.writes.clear();
    bench.session->receive(send);
    if (dueMs > 0) {
        bench.clock.advance(dueMs - 1);
        QVERIFY(bench.writes.isEmpty());
        bench.clock.advance(1);
    }
    QCOMPARE(bench.writes.size(), 1);
    QVERIFY(frameOf(bench.writes[0]).checksumValid());
}

void TestSimDevice::delayedRepliesKeepTheirOrder()
{
    Bench bench;
    bench.device->faults().delayMs = 300;
    bench.send(build::routeQuery(1));
    bench.device->faults().delayMs = 0;
    bench.send(build::routeQuery(2));
    QVERIFY(bench.writes.isEmpty());
    bench.clock.advance(300);
    QCOMPARE(bench.writes.size(), 2);
    QCOMPARE(int(frameOf(bench.writes[0])[pos::P1]), 1);
    QCOMPARE(int(frameOf(bench.writes[1])[pos::P1]), 2);
}

void TestSimDevice::corruptNextReply()
{
    Bench bench;
    QVERIFY(Console(*bench.device).execute("corrupt").ok);
    const CommandFrame first = frameOf(bench.ask(build::routeQuery(3)));
    QVERIFY(!first.checksumValid());
    QCOMPARE(body(QByteArray(reinterpret_cast<const char*>(first.data()), 13)), QString("A5 5B 02 01 03 00 03 00 00 00 00 00"));
    QVERIFY(frameOf(bench.ask(build::routeQuery(3))).checksumValid());
}

void TestSimDevice::coalescedReplies()
{
    Bench bench;
    Console console(*bench.device);
    QVERIFY(console.execute("coalesce").ok);
    bench.send(build::powerStateQuery());
    QVERIFY(bench.writes.isEmpty());
    bench.send(build::routeQuery(4));
    QCOMPARE(bench.writes.size(), 1);
    QCOMPARE(bench.writes[0].size(), 2 * int(kCommandFrameSize));
    QCOMPARE(body(bench.writes[0].left(13)), QString("A5 5B 08 0C 0F 00 00 00 00 00 00 00"));
    QCOMPARE(body(bench.writes[0].mid(13)), QString("A5 5B 02 01 04 00 04 00 00 00 00 00"));

    // With nothing after it, a held reply goes out alone in the end.
    bench.writes.clear();
    QVERIFY(console.execute("coalesce").ok);
    bench.send(build::powerStateQuery());
    bench.clock.advance(Session::kHoldLimitMs - 1);
    QVERIFY(bench.writes.isEmpty());
    bench.clock.advance(1);
    QCOMPARE(bench.writes.size(), 1);
    QCOMPARE(bench.writes[0].size(), int(kCommandFrameSize));
}

void TestSimDevice::splitReply()
{
    Bench bench;
    QVERIFY(Console(*bench.device).execute("split 4").ok);
    bench.send(build::routeQuery(5));
    bench.send(build::routeQuery(6));  // must wait for the rest of the split one
    QCOMPARE(bench.writes.size(), 1);
    QCOMPARE(bench.writes[0].size(), 4);
    bench.clock.advance(Session::kSplitGapMs - 1);
    QCOMPARE(bench.writes.size(), 1);
    bench.clock.advance(1);
    QCOMPARE(bench.writes.size(), 3);
    QCOMPARE(bench.writes[1].size(), 9);
    QCOMPARE(body(bench.writes[0] + bench.writes[1]), QString("A5 5B 02 01 05 00 05 00 00 00 00 00"));
    QCOMPARE(body(bench.writes[2]), QString("A5 5B 02 01 06 00 06 00 00 00 00 00"));
}

void TestSimDevice::searchAndConfig()
{
    ManualClock clock;
    SwitchDevice device(&clock);
    const std::uint8_t request = kSearchRequestByte;
    auto answer = device.answerSearch(&request, 1);
    QVERIFY(answer);
    std::optional<SearchReply> r = SearchReply::decode(answer->data(), answer->size());
    QVERIFY(r && r->marked);
    QCOMPARE(QString::fromStdString(macToText(r->mac)), QString("02544C565301"));
    QCOMPARE(QString::fromStdString(ipToText(r->ip)), QString("127.0.0.1"));

    // Only the one-byte request is answered (not our own answer coming back).
    const std::uint8_t twice[2] = {kSearchRequestByte, kSearchRequestByte};
    QVERIFY(!device.answerSearch(twice, 2));
    QVERIFY(!device.answerSearch(answer->data(), answer->size()));

    NetConfigPacket p;
    p.target = {1, 2, 3, 4, 5, 6};
    p.staticIp = true;
    p.ip = {10, 1, 2, 3};
    p.newMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::vector<std::uint8_t> packet = p.encode();
    QVERIFY(!device.answerNetConfig(packet.data(), packet.size()));  // another switch's MAC
    QCOMPARE(device.model().net.staticIp, false);

    p.target = device.model().net.mac;
    packet = p.encode();
    std::vector<std::uint8_t> damaged = packet;
    damaged[NetConfigPacket::kSumAt] ^= 1;
    QVERIFY(!device.answerNetConfig(damaged.data(), damaged.size()));
    const auto confirm = device.answerNetConfig(packet.data(), packet.size());
    QVERIFY(confirm);
    QVERIFY(confirm->size() >= NetConfigPacket::kSize);
    QCOMPARE(int((*confirm)[NetConfigPacket::kEndMarkAt]), 0);
    // Our own confirmation coming back is not taken as settings.
    QVERIFY(!device.answerNetConfig(confirm->data(), confirm->size()));

    r = SearchReply::decode(device.answerSearch(&request, 1)->data(), SearchReply::kMinSize);
    QCOMPARE(QString::fromStdString(macToText(r->mac)), QString("001122334455"));
    QCOMPARE(QString::fromStdString(ipToText(r->ip)), QString("10.1.2.3"));

    // Back to automatic addressing: the address the host gives.
    p.target = p.newMac;
    p.staticIp = false;
    packet = p.encode();
    QVERIFY(device.answerNetConfig(packet.data(), packet.size()));
    device.setAutoAddress({192, 0, 2, 2});
    r = SearchReply::decode(device.answerSearch(&request, 1)->data(), SearchReply::kMinSize);
    QCOMPARE(QString::fromStdString(ipToText(r->ip)), QString("192.0.2.2"));

    Console console(device);
    QVERIFY(console.execute("silent search,config").ok);
    QVERIFY(!device.answerSearch(&request, 1));
    QVERIFY(!device.answerNetConfig(packet.data(), packet.size()));
}

void TestSimDevice::console_data()
{
    QTest::addColumn<QString>("lines");  // separated by ';'
    QTest::addColumn<bool>("ok");        // of the last line
    QTest::addColumn<QString>("status"); // a line the status report then holds

    QTest::newRow("sources") << "source 2,4-5 off" << true << "sources: 1=yes 2=no 3=yes 4=no 5=no 6=yes 7=yes 8=yes";
    QTest::newRow("displays") << "display all off;display 8 on" << true
                              << "displays: A=no B=no C=no D=no E=no F=no G=no H=yes";
    QTest::newRow("front panel route") << "route 3 1,8" << true << "routes: A=3 B=2 C=3 D=4 E=5 F=6 G=7 H=3";
    QTest::newRow("arc") << "arc 2-3 on" << true << "arc: A=off B=on C=on D=off E=off F=off G=off H=off";
    QTest::newRow("edid") << "edid 1,8 22" << true << "edid: 1=22 2=0 3=0 4=0 5=0 6=0 7=0 8=22";
    QTest::newRow("power and beep") << "power off;beep off" << true << "power off, beep off, running";
    QTest::newRow("identity") << "kind 2;version 2.15;ident Studio A  rack 3" << true
                              << "device: kind 2, 8x8, version 2.15, ident \"Studio A  rack 3                \"";
    QTest::newRow("network") << "mac 00:11:22:aa:BB:cc;ip 10.0.0.9" << true
                             << "network: mac 001122AABBCC, static, reports 10.0.0.9";
    QTest::newRow("automatic address") << "ip 10.0.0.9;ip auto" << true << "network: mac 02544C565301, auto, reports 127.0.0.1";
    QTest::newRow("reboot and pacing") << "reboot-ms 100;pace on" << true << "reboot 100 ms, pacing on";
    QTest::newRow("faults") << "silent RouteSet,search;delay 250;corrupt;split;fail-block 0" << true
                            << "faults: silent RouteSet, silent search, delay 250 ms, corrupt next, split next at 6, fail block 0";
    QTest::newRow("faults off") << "silent all;coalesce;resend-block 5;faults off" << true << "faults: none";

    const QString untouched = "sources: 1=yes 2=yes 3=yes 4=yes 5=yes 6=yes 7=yes 8=yes";
    QTest::newRow("port 9") << "source 9 off" << false << untouched;
    QTest::newRow("no state") << "source 2" << false << untouched;
    QTest::newRow("input 0") << "route 0 1" << false << "routes: A=1 B=2 C=3 D=4 E=5 F=6 G=7 H=8";
    QTest::newRow("edid code 23") << "edid 1 23" << false << "edid: 1=0 2=0 3=0 4=0 5=0 6=0 7=0 8=0";
    QTest::newRow("unknown kind changes nothing") << "silent RouteSet,bogus" << false << "faults: none";
    QTest::newRow("split past the frame") << "split 13" << false << "faults: none";
    QTest::newRow("bad address") << "ip 300.1.1.1" << false << "network: mac 02544C565301, auto, reports 127.0.0.1";
    QTest::newRow("no transports") << "close-tcp" << false << "faults: none";
    QTest::newRow("unknown command") << "frobnicate 1" << false << "faults: none";
}

void TestSimDevice::console()
{
    QFETCH(QString, lines);
    QFETCH(bool, ok);
    QFETCH(QString, status);
    ManualClock clock;
    SwitchDevice device(&clock);
    Console c(device);
    Console::Result r;
    for (const QString& line : lines.split(';'))
        r = c.execute(line);
    QCOMPARE(r.ok, ok);
    QVERIFY(r.text.startsWith(ok ? "ok" : "error: "));
    QVERIFY2(c.statusText().split('\n').contains(status), qPrintable(c.statusText()));
    QVERIFY(!c.quitRequested());
    QVERIFY(c.execute("quit").ok && c.quitRequested());
}

void TestSimDevice::trace()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("trace.txt");
    Trace trace;
    QVERIFY(trace.open(path));
    Bench bench(&trace);
    QVERIFY(Console(*bench.device).execute("coalesce").ok);
    bench.send(build::powerStateQuery());   // held back...
    bench.send(build::edidUploadTarget(2)); // ...and sent with this one's reply
    bench.send(build::edidBlockHeader(false));
    const Bytes block = panelBlock(edidFile(128, 0));
    bench.send(block);

    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines, QStringList({
                        "< A5 5B 08 0C 00 00 00 00 00 00 00 00 EC",
                        "< A5 5B 03 07 02 F0 00 00 00 00 00 00 04",
                        "> A5 5B 08 0C 0F 00 00 00 00 00 00 00 DD",
                        "> A5 5B 03 07 AA 00 00 00 00 00 00 00 4C",
                        "< A5 5B 03 07 56 00 00 01 00 00 00 00 9F",
                        "< " + hexOf(block.data(), block.size()),
                        "> A5 5B 03 07 00 00 00 01 00 00 00 00 F5",
                    }));
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "test_sim_device.moc"
