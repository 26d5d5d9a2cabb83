// The simulated switch in-process: replies, stream cutting, EDID uploads,
// firmware upgrades, reboots, datagrams, faults and the control commands.
// Time runs on a manual clock; no sockets.
#include <QtTest>

#include <QTemporaryDir>

#include "sim/console.h"
#include "protocol/replies.h"
#include "sim/session.h"
#include "sim/switchdevice.h"
#include "test_sim_cases.h"
#include "sim/trace.h"

using namespace talvane;
using namespace talvane::sim;
using namespace simtest;

namespace {

// A device, its console and one link to it whose writes are collected.
struct Bench {
    explicit Bench(Trace* trace = nullptr)
        : session(device, [this](const QByteArray& b) { writes << b; stream += b; }, trace, &clock)
    {
    }
    ManualClock clock;
    SwitchDevice device{&clock};
    Console console{device};
    QByteArrayList writes;
    QByteArray stream;  // everything written, for the command script
    Session session;

    // Console lines separated by ';', up to the first that fails.
    Console::Result run(const QString& lines)
    {
        Console::Result r{true, "ok"};
        for (const QString& line : lines.split(';', Qt::SkipEmptyParts))
            if (!(r = console.execute(line)).ok)
                break;
        return r;
    }
    void send(const Bytes& b) { session.receive(b.data(), b.size()); }
    void send(const CommandFrame& f) { send(sealed(f)); }
    // What is written at once for what is sent.
    QByteArray reply(const Bytes& b)
    {
        writes.clear();
        send(b);
        return writes.join();
    }
    QByteArray reply(const CommandFrame& f) { return reply(sealed(f)); }
    QString ask(const CommandFrame& f) { return body(reply(f)); }
};

}  // namespace

class TestSimDevice : public QObject {
    Q_OBJECT
private slots:
    void commandScript()
    {
        Bench bench;
        bench.device.setRebootMs(0);
        runScript([&](const Bytes& b) { bench.send(b); }, [&]() -> QByteArray& { return bench.stream; });
    }

    void parser_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<QString>("kinds");        // C command, D data, E EDID block; lower case: bad
        QTest::addColumn<QByteArray>("accepted");  // the bytes of the good units, in order

        const QByteArray power = toQt(sealed(build::powerStateQuery()));
        const QByteArray header = toQt(sealed(build::edidBlockHeader(false)));
        QByteArray bad = power;
        bad[int(pos::Checksum)] = char(bad[int(pos::Checksum)] ^ 0x40);
        const QByteArray block = toQt(dataFrame(Bytes(3000, 0x11), 1024, 0));
        QByteArray badBlock = block;
        badBlock[500] = char(badBlock[500] ^ 0x01);
        const int inBlock = int(kRawEdidBlockSize / kCommandFrameSize);
        const QByteArray raw = power.repeated(inBlock).leftJustified(int(kRawEdidBlockSize), '\0');

        QTest::newRow("junk before a frame") << QByteArray::fromHex("12005BA5") + power << 100 << "C" << power;
        QTest::newRow("byte by byte") << power + power << 1 << "CC" << power + power;
        QTest::newRow("bad checksum, then a good frame") << bad + power << 100 << "cC" << power;
        QTest::newRow("header in junk hides a real frame")
            << QByteArray::fromHex("A55B01") + power << 100 << "cC" << power;
        QTest::newRow("data frame between commands") << power + block + power << 100 << "CDC" << power + block + power;
        QTest::newRow("data frame in small pieces") << block << 7 << "D" << block;
        QTest::newRow("bad data frame, then a command") << badBlock + power << 4096 << "dC" << power;
        QTest::newRow("raw block after its header, headers inside it")
            << header + raw + power << 100 << "CEC" << header + raw + power;
        QTest::newRow("no raw block without the header")
            << raw << 256 << QString(inBlock, 'C') << power.repeated(inBlock);
    }

    void parser()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, chunk);
        QFETCH(QString, kinds);
        QFETCH(QByteArray, accepted);
        StreamParser p;
        QString seen;
        QByteArray good;
        for (int at = 0; at < stream.size(); at += chunk) {
            const QByteArray part = stream.mid(at, chunk);
            p.feed(bytesOf(part), std::size_t(part.size()), [&](const StreamUnit& u) {
                seen += QLatin1Char("CDEcd"[int(u.kind)]);
                if (!u.isBad())
                    good += QByteArray(reinterpret_cast<const char*>(u.data), qsizetype(u.size));
            });
        }
        QCOMPARE(seen, kinds);
        QCOMPARE(hexOf(good), hexOf(accepted));
        QVERIFY(!p.awaitingEdidBlock());
    }

    void edidResults_data()
    {
        QTest::addColumn<QString>("setup");  // console lines run first
        QTest::addColumn<CommandFrame>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("codes");  // EDID codes of inputs 1..8 afterwards

        const QString same = "0 0 0 0 0 0 0 0";
        CommandFrame presetZero = build::edidSetPreset(0, 2);
        presetZero[pos::P1] = 0;
        QTest::newRow("preset 0 is no preset") << "" << presetZero << 0x0F << same;
        QTest::newRow("preset 16 is no preset") << "" << build::edidSetPreset(15, 2) << 0x0F << same;
        QTest::newRow("preset to input 9") << "" << build::edidSetPreset(3, 9) << 0x0F << same;
        QTest::newRow("copy from an output without a display") << "display 3 off" << build::edidCopy(3, 2) << 0x0F << same;
        QTest::newRow("copy all from an output without a display")
            << "display 3 off" << build::edidCopy(3, 0) << 0x0F << same;
        QTest::newRow("copy all from D") << "display 3 off" << build::edidCopy(4, 0) << 0x00 << "18 18 18 18 18 18 18 18";
    }

    void edidResults()
    {
        QFETCH(QString, setup);
        QFETCH(CommandFrame, command);
        QFETCH(int, status);
        QFETCH(QString, codes);
        Bench bench;
        QVERIFY(bench.run(setup).ok);
        const CommandFrame reply = frameOf(bench.reply(command));
        QCOMPARE(int(reply[pos::P1]), status);
        QCOMPARE(reply, reply::edidResult(command, status == 0).seal());
        QStringList got;
        for (int code : bench.device.model().edidCode)
            got << QString::number(code);
        QCOMPARE(got.join(' '), codes);
    }

    void edidUpload_data()
    {
        QTest::addColumn<int>("target");  // 1..8, 0 = all inputs, -1 = no target command sent
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<int>("status");

        QTest::newRow("256-byte file as the panel sends it") << 4 << toQt(panelBlock(edidFile(256, 1))) << 0x00;
        QTest::newRow("128-byte file, one extension, panel layout") << 0 << toQt(panelBlock(edidFile(128, 1))) << 0x00;
        QTest::newRow("256-byte file as it stands") << 2 << toQt(edidFile(256, 1)) << 0x00;
        QTest::newRow("bad base checksum") << 2 << toQt(panelBlock(edidFile(256, 0, false))) << 0x0F;
        QTest::newRow("bad extension checksum") << 2 << toQt(edidFile(256, 1, true, false)) << 0x0F;
        QTest::newRow("two extensions") << 2 << toQt(panelBlock(edidFile(256, 2))) << 0x0F;
        QByteArray noHeader = toQt(panelBlock(edidFile(256, 0)));
        noHeader[3] = 0x00;
        QTest::newRow("bad header") << 2 << noHeader << 0x0F;
        QTest::newRow("no target accepted") << -1 << toQt(panelBlock(edidFile(256, 1))) << 0x0F;
    }

    void edidUpload()
    {
        QFETCH(int, target);
        QFETCH(QByteArray, block);
        QFETCH(int, status);
        Bench bench;
        bench.send(build::edidUploadRequest());
        if (target >= 0) {
            const CommandFrame accept = frameOf(bench.reply(build::edidUploadTarget(target)));
            QCOMPARE(accept, reply::edidAccept(target == 0 ? cmd::EdidUploadTargetAll : cmd::EdidUploadTarget).seal());
        }
        const CommandFrame header = build::edidBlockHeader(target == 0);
        QVERIFY(bench.reply(header).isEmpty());
        // The block arrives in two pieces, as a link may deliver it.
        bench.session.receive(block.left(100));
        QVERIFY(bench.writes.isEmpty());
        bench.session.receive(block.mid(100));
        QCOMPARE(frameOf(bench.writes.join()), reply::edidResult(header, status == 0).seal());
        QCOMPARE(toQt(bench.device.model().edidBlock), status == 0 ? block : QByteArray());
        if (status == 0)
            QCOMPARE(bench.device.model().edidBlockTarget, target);
    }

    void upgrade_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("imageSize");
        QTest::addColumn<QString>("sends");  // block numbers, in order
        QTest::addColumn<QString>("acks");   // status of each acknowledgement, "+" when it completes the upgrade
        QTest::addColumn<int>("heldBlocks");

        QTest::newRow("2049 bytes") << "" << 2049 << "0 1 2" << "0 0 0+" << 3;
        QTest::newRow("ask again for block 1") << "resend-block 1" << 4096 << "0 1 1 2 3" << "0 1 0 0 0+" << 4;
        QTest::newRow("fail at block 2") << "fail-block 2" << 4096 << "0 1 2 3" << "0 0 2 none" << 2;
        QTest::newRow("fail at block 0") << "fail-block 0" << 4096 << "0 1" << "2 none" << 0;
        QTest::newRow("block out of sequence fails") << "" << 4096 << "0 2" << "0 2" << 1;
        QTest::newRow("a block sent twice is taken again") << "" << 4096 << "0 0 1 2 3" << "0 0 0 0 0+" << 4;
    }

    void upgrade()
    {
        QFETCH(QString, fault);
        QFETCH(int, imageSize);
        QFETCH(QString, sends);
        QFETCH(QString, acks);
        QFETCH(int, heldBlocks);
        Bench bench;
        bench.device.setRebootMs(4000);
        QVERIFY(bench.run(fault).ok);
        Bytes image(std::size_t(imageSize), 0);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<std::uint8_t>(i * 31 + 7);
        bench.send(build::upgradeStart());
        bench.send(build::upgradeTransferRequest());
        QStringList got;
        for (const QString& n : sends.split(' ')) {
            const std::size_t offset = n.toUInt() * kDataPayloadSize;
            const bool last = offset + kDataPayloadSize >= image.size();
            const QByteArray ack = bench.reply(dataFrame(image, offset, last ? kLastBlockFlag : 0));
            if (ack.isEmpty()) {
                got << "none";
                continue;
            }
            const CommandFrame f = frameOf(ack);
            QVERIFY(ack.size() == int(kCommandFrameSize) && f.checksumValid());
            QCOMPARE(int(f[dpos::Block]), n.toInt());
            got << QString::number(f[pos::P1]) + (f[dpos::Flags] == kLastBlockFlag ? "+" : f[dpos::Flags] ? "?" : "");
        }
        QCOMPARE(got.join(' '), acks);
        QVERIFY(!bench.device.faults().any());  // each fault acts once
        // The blocks as sent, the last one filled up with 0xFF.
        image.resize((image.size() + kDataPayloadSize - 1) / kDataPayloadSize * kDataPayloadSize, 0xFF);
        image.resize(std::size_t(heldBlocks) * kDataPayloadSize);
        QCOMPARE(toQt(bench.device.model().firmware), toQt(image));

        // Once complete, silent while it reboots, then it answers the reboot query.
        const bool complete = acks.endsWith('+');
        QCOMPARE(bench.device.rebooting(), complete);
        if (!complete)
            return;
        bench.clock.advance(3999);
        QVERIFY(bench.reply(build::upgradePageQuery(true)).isEmpty());
        bench.clock.advance(1);
        QCOMPARE(bench.ask(build::upgradePageQuery(true)), QString("A5 5B 01 01 01 00 00 00 00 00 CC CC"));
        QCOMPARE(bench.device.model().upgrade, UpgradeState::Complete);
    }

    void rebootSilence()
    {
        Bench bench;
        QVERIFY(bench.run("reboot-ms 2500").ok);
        bench.send(build::reboot());
        bench.clock.advance(2499);
        QVERIFY(bench.reply(build::powerStateQuery()).isEmpty());
        QVERIFY(!bench.device.answerSearch(&kSearchRequestByte, 1));
        bench.clock.advance(1);
        QCOMPARE(bench.ask(build::powerStateQuery()), kPowerOnReply);
    }

    void factoryReset()
    {
        Bench bench;
        QVERIFY(bench.run("route 5 all;arc all on;edid all 7;beep off;power off;display 3 off;source 6 off;"
                          "mac 001122334455;ident bench unit;ip 10.0.0.5").ok);
        bench.send(build::factoryReset());
        const QString status = bench.console.statusText();
        for (const char* line : {"power on, beep on, running", "routes: A=1 B=2 C=3 D=4 E=5 F=6 G=7 H=8",
                                 "arc: A=off B=off C=off D=off E=off F=off G=off H=off",
                                 "edid: 1=0 2=0 3=0 4=0 5=0 6=0 7=0 8=0",
                                 // What is plugged in, who it is and where it is stay as they were.
                                 "sources: 1=yes 2=yes 3=yes 4=yes 5=yes 6=no 7=yes 8=yes",
                                 "displays: A=yes B=yes C=no D=yes E=yes F=yes G=yes H=yes", "ident \"bench unit ",
                                 "network: mac 001122334455, static, reports 10.0.0.5"})
            QVERIFY2(status.contains(line), qPrintable(status));
    }

    void replies_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArrayList>("sends");  // all at time 0
        QTest::addColumn<QString>("timeline");      // "ms:sizes of the writes by then" ...
        QTest::addColumn<QStringList>("frames");    // bodies written, "!" before a wrong checksum; empty: all sound

        const auto frames = [](std::initializer_list<CommandFrame> list) {
            QByteArrayList out;
            for (const CommandFrame& f : list)
                out << toQt(sealed(f));
            return out;
        };
        const auto routeReply = [](int output, int input) {
            return QString("A5 5B 02 01 0%1 00 0%2 00 00 00 00 00").arg(output).arg(input);
        };
        // "ms-1:before ms:at"
        const auto edge = [](int ms, const QString& before, const QString& at) {
            return QString("%1:%2 %3:%4").arg(ms - 1).arg(before).arg(ms).arg(at);
        };
        const std::uint8_t text[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
        const QByteArrayList power = frames({build::powerStateQuery()});
        const QByteArrayList edid = frames({build::edidUploadTarget(1), build::edidBlockHeader(false)});
        const QByteArrayList upgrade = frames({build::upgradeStart(), build::upgradeTransferRequest()});
        const QByteArray edidBlock = toQt(panelBlock(edidFile(128, 0)));
        const QByteArray firmwareBlock = toQt(dataFrame(Bytes(2000, 1), 0, 0));

        QTest::newRow("at once") << "" << power << "0:13" << QStringList{kPowerOnReply};
        // Silenced commands are neither answered nor carried out.
        QTest::newRow("silent RouteSet") << "silent RouteSet" << frames({build::routeSet(5, 1), build::routeQuery(1)})
                                         << "0:13" << QStringList{routeReply(1, 1)};
        QTest::newRow("RouteQuery silenced as group:code")
            << "silent 02:01" << frames({build::routeQuery(1), build::routeSet(5, 1)}) << "0:13"
            << QStringList{"A5 5B 02 03 00 00 01 00 00 00 00 00"};
        QTest::newRow("two kinds, any case")
            << "silent arcset,ArcQuery" << frames({build::arcQuery(1), build::arcSet(1, true)}) << "0:" << QStringList{};
        QTest::newRow("ident reads silenced, writes answered")
            << "silent IdentRead" << frames({build::identRead(2), build::identWrite(0, text)}) << "0:13"
            << QStringList{"A5 5B FA 21 00 00 00 00 00 00 00 00"};
        QTest::newRow("silent all") << "silent all" << frames({build::reboot(), build::powerStateQuery()}) << "0:"
                                    << QStringList{};
        QTest::newRow("silence switched off again") << "silent RouteSet,all;silent RouteSet off;silent all off"
                                                    << frames({build::routeSet(2, 2)}) << "0:13"
                                                    << QStringList{"A5 5B 02 03 00 00 02 00 00 00 00 00"};
        QTest::newRow("silent none") << "silent all;silent 08:0C;silent none" << power << "0:13"
                                     << QStringList{kPowerOnReply};
        QTest::newRow("delay 500") << "delay 500" << power << edge(500, "", "13") << QStringList{};
        // 13 + 13 bytes of 11 bits at 115200 baud: 2.48 ms; a manual clock, which
        // cannot wait out a fraction of a millisecond, sends at the next whole one.
        QTest::newRow("paced command") << "pace on" << power << edge(3, "", "13") << QStringList{};
        QTest::newRow("paced and delayed") << "pace on;delay 100" << power << edge(103, "", "13") << QStringList{};
        // 1029 + 13 bytes: 99.5 ms.
        QTest::newRow("paced firmware block") << "pace on" << upgrade + QByteArrayList{firmwareBlock}
                                              << edge(100, "13,13", "13,13,13") << QStringList{};
        // 256 + 13 bytes: 25.7 ms; the command after it, due sooner, waits its turn.
        QTest::newRow("paced EDID block, then a command") << "pace on" << edid + QByteArrayList{edidBlock} + power
                                                          << "3:13 " + edge(26, "13", "13,13,13") << QStringList{};
        QTest::newRow("corrupt the next reply") << "corrupt" << frames({build::routeQuery(3), build::routeQuery(3)})
                                                << "0:13,13" << QStringList{"!" + routeReply(3, 3), routeReply(3, 3)};
        QTest::newRow("coalesce two replies") << "coalesce" << frames({build::powerStateQuery(), build::routeQuery(4)})
                                              << "0:26" << QStringList{kPowerOnReply, routeReply(4, 4)};
        QTest::newRow("a held reply goes out alone in the end")
            << "coalesce" << power << edge(Session::kHoldLimitMs, "", "13") << QStringList{};
        QTest::newRow("split, the next reply waits")
            << "split 4" << frames({build::routeQuery(5), build::routeQuery(6)})
            << "0:4 " + edge(Session::kSplitGapMs, "4", "4,9,13") << QStringList{routeReply(5, 5), routeReply(6, 6)};
        // The stall time gives up a raw block that never comes (a command waits
        // inside it till then) and a frame cut short.
        QTest::newRow("raw block never comes") << "" << edid + power << "0:13 " + edge(Session::kStallMs, "13", "13,13")
                                               << QStringList{"A5 5B 03 07 AA 00 00 00 00 00 00 00", kPowerOnReply};
        QTest::newRow("frame cut short") << "" << QByteArrayList{QByteArray::fromHex("A55B0201")}
                                         << edge(Session::kStallMs, "", "") << QStringList{};
        // Every unfinished data frame ahead of it is given up in the one stall.
        QTest::newRow("a frame behind 50 data frame headers")
            << "" << QByteArrayList{QByteArray::fromHex("FEEF").repeated(50) + power.first()}
            << edge(Session::kStallMs, "", "13") << QStringList{kPowerOnReply};
        QTest::newRow("a data frame cut short, then a frame")
            << "" << QByteArrayList{firmwareBlock.left(600) + power.first()} << edge(Session::kStallMs, "", "13")
            << QStringList{kPowerOnReply};
    }

    // Replies go out in the order their commands came, whole and unmixed,
    // whatever their delays and however they are split or held back.
    void replyOrder_data()
    {
        QTest::addColumn<QString>("script");  // "@n": RouteQuery for output n; "+ms": time passes; else a console line

        QTest::newRow("a later command with a shorter delay") << "delay 300;@1;delay 0;@2;@3";
        QTest::newRow("sent later, still after") << "delay 300;@1;+100;delay 0;@2;+150;delay 20;@3";
        QTest::newRow("while a split reply is pending") << "split 4;@1;@2;+5;@3";
        QTest::newRow("a delayed split, then quicker ones")
            << "delay 100;split 4;@1;delay 0;@2;split 9;@3;delay 50;@4;+110;delay 1;@5";
        QTest::newRow("the second part of a split still pending") << "split 12;@1;+1;delay 2;@2;+19;@3";
        QTest::newRow("held back, then delays") << "coalesce;@1;delay 200;@2;delay 0;@3;coalesce;@4";
        QTest::newRow("held, split and delayed together") << "coalesce;@1;split 3;@2;delay 40;coalesce;@3;delay 0;@4";
        QTest::newRow("paced line, varying delays") << "pace on;delay 30;@1;delay 0;@2;split 5;@3;delay 7;@4";
    }

    void replyOrder()
    {
        QFETCH(QString, script);
        Bench bench;
        QByteArray expected;
        for (const QString& step : script.split(';')) {
            if (step.startsWith('@')) {
                const int output = step.mid(1).toInt();
                bench.send(build::routeQuery(output));
                expected += toQt(sealed(reply::routeQuery(output, output)));
            } else if (step.startsWith('+')) {
                bench.clock.advance(step.mid(1).toInt());
            } else {
                QVERIFY2(bench.run(step).ok, qPrintable(step));
            }
        }
        bench.clock.advance(2 * Session::kHoldLimitMs);
        QCOMPARE(bench.session.queuedReplies(), 0);
        QCOMPARE(hexOf(bench.stream), hexOf(expected));
    }

    void replies()
    {
        QFETCH(QString, setup);
        QFETCH(QByteArrayList, sends);
        QFETCH(QString, timeline);
        QFETCH(QStringList, frames);
        Bench bench;
        QVERIFY(bench.run(setup).ok);
        for (const QByteArray& s : sends)
            bench.session.receive(s);
        int now = 0;
        for (const QString& at : timeline.split(' ')) {
            const int ms = at.section(':', 0, 0).toInt();
            bench.clock.advance(ms - now);
            now = ms;
            QStringList sizes;
            for (const QByteArray& w : bench.writes)
                sizes << QString::number(w.size());
            QCOMPARE(QString("%1:%2").arg(ms).arg(sizes.join(',')), at);
        }
        QVERIFY(!bench.session.parser().hasPartial());
        QVERIFY(!bench.device.rebooting());
        QStringList got;
        const QByteArray out = bench.writes.join();
        for (int at = 0; at < out.size(); at += int(kCommandFrameSize)) {
            const QByteArray f = out.mid(at, int(kCommandFrameSize));
            got << (frameOf(f).checksumValid() ? "" : "!") + body(f);
        }
        if (frames.isEmpty())
            QVERIFY2(!got.join(' ').contains('!'), qPrintable(got.join(", ")));
        else
            QCOMPARE(got, frames);
    }

    void searchAndConfig()
    {
        Bench bench;
        SwitchDevice& device = bench.device;
        // What a search finds: "MAC address", or empty when unanswered.
        const auto search = [&](const Bytes& request) {
            const auto a = device.answerSearch(request.data(), request.size());
            const auto r = a ? searchReplyOf(toQt(*a)) : std::nullopt;
            return r && r->marked ? QString::fromStdString(macToText(r->mac) + " " + ipToText(r->ip)) : QString();
        };
        const Bytes request{kSearchRequestByte};
        QCOMPARE(search(request), QString("02544C565301 127.0.0.1"));
        // Only the one-byte request is answered (not our own answer coming back).
        QVERIFY(search({kSearchRequestByte, kSearchRequestByte}).isEmpty());
        QVERIFY(search(*device.answerSearch(request.data(), 1)).isEmpty());

        const auto configure = [&](const Bytes& p) { return device.answerNetConfig(p.data(), p.size()); };
        NetConfigPacket p;
        p.target = {1, 2, 3, 4, 5, 6};  // another switch
        p.staticIp = true;
        p.ip = {10, 1, 2, 3};
        p.newMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
        QVERIFY(!configure(p.encode()));
        p.target = device.model().net.mac;
        Bytes damaged = p.encode();
        damaged[NetConfigPacket::kSumAt] ^= 1;
        QVERIFY(!configure(damaged));
        QCOMPARE(search(request), QString("02544C565301 127.0.0.1"));
        const auto confirm = configure(p.encode());
        QVERIFY(confirm && *confirm == p.encodeConfirmation());
        QVERIFY(!configure(*confirm));  // our own confirmation coming back is no settings
        QCOMPARE(search(request), QString("001122334455 10.1.2.3"));

        // Back to automatic addressing: the address the host gives.
        p.target = p.newMac;
        p.staticIp = false;
        QVERIFY(configure(p.encode()));
        device.setAutoAddress({192, 0, 2, 2});
        QCOMPARE(search(request), QString("001122334455 192.0.2.2"));

        QVERIFY(bench.run("silent search,config").ok);
        QVERIFY(search(request).isEmpty());
        QVERIFY(!configure(p.encode()));
    }

    void console_data()
    {
        QTest::addColumn<QString>("lines");   // separated by ';'
        QTest::addColumn<bool>("ok");         // of the last line
        QTest::addColumn<QString>("status");  // a line the status report then holds

        QTest::newRow("sources") << "source 2,4-5 off" << true
                                 << "sources: 1=yes 2=no 3=yes 4=no 5=no 6=yes 7=yes 8=yes";
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
        QTest::newRow("automatic address") << "ip 10.0.0.9;ip auto" << true
                                           << "network: mac 02544C565301, auto, reports 127.0.0.1";
        QTest::newRow("reboot and pacing") << "reboot-ms 100;pace on" << true << "reboot 100 ms, pacing on";
        QTest::newRow("faults") << "silent RouteSet,search;delay 250;corrupt;split;fail-block 0" << true
                                << "faults: silent RouteSet, silent search, delay 250 ms, corrupt next, split next at 6, "
                                   "fail block 0";
        QTest::newRow("faults off") << "silent all;coalesce;resend-block 5;faults off" << true << "faults: none";
        QTest::newRow("routes refused") << "refuse-route on" << true << "faults: refuse routes";
        QTest::newRow("routes taken again") << "refuse-route on;refuse-route off" << true << "faults: none";
        QTest::newRow("replies repeated") << "repeat 3" << true << "faults: repeat replies 3 times";
        QTest::newRow("too many repeats") << "repeat 11" << false << "faults: none";

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

    void console()
    {
        QFETCH(QString, lines);
        QFETCH(bool, ok);
        QFETCH(QString, status);
        Bench bench;
        const Console::Result r = bench.run(lines);
        QCOMPARE(r.ok, ok);
        QVERIFY(r.text.startsWith(ok ? "ok" : "error: "));
        QVERIFY2(bench.console.statusText().split('\n').contains(status), qPrintable(bench.console.statusText()));
        QVERIFY(!bench.console.quitRequested());
        QVERIFY(bench.console.execute("quit").ok && bench.console.quitRequested());
    }

    void trace()
    {
        QTemporaryDir dir;
        Trace trace;
        QVERIFY(trace.open(dir.filePath("trace.txt")));
        Bench bench(&trace);
        QVERIFY(bench.run("coalesce").ok);
        bench.send(build::powerStateQuery());    // held back...
        bench.send(build::edidUploadTarget(2));  // ...and sent with this one's reply
        bench.send(build::edidBlockHeader(false));
        const Bytes block = panelBlock(edidFile(128, 0));
        bench.send(block);

        QFile f(dir.filePath("trace.txt"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts),
                 QStringList({"< A5 5B 08 0C 00 00 00 00 00 00 00 00 EC", "< A5 5B 03 07 02 F0 00 00 00 00 00 00 04",
                              "> A5 5B 08 0C 0F 00 00 00 00 00 00 00 DD", "> A5 5B 03 07 AA 00 00 00 00 00 00 00 4C",
                              "< A5 5B 03 07 56 00 00 01 00 00 00 00 9F", "< " + hexOf(toQt(block)),
                              "> A5 5B 03 07 00 00 00 01 00 00 00 00 F5"}));
    }
};

QTEST_GUILESS_MAIN(TestSimDevice)
#include "test_sim_device.moc"
