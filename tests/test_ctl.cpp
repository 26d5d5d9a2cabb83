// talvane-ctl as a user and a script meet it: the program against the
// simulator over its pseudo-terminal and TCP (what the switch holds after
// a command, the exit code, the JSON document), and its logic in-process on
// the manual clock where time matters (a silent switch, an upgrade through
// the reboot).
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include "core/clock.h"
#include "ctl/ctl.h"
#include "protocol/commands.h"
#include "protocol/netpackets.h"
#include "sim/simulator.h"
#include "sim/udpendpoint.h"
#include "support/appclock.h"
#include "support/programrun.h"
#include "support/simlink.h"
#include "support/waitfor.h"

using namespace talvane;

namespace {

QString routesOf(const sim::SwitchModel& m)
{
    QString s;
    for (int input : m.route)
        s += QString::number(input);
    return s;
}

// The simulator in this process (serial pty and TCP on a free port), and
// talvane-ctl started as a user starts it, with its own configuration and
// port registry.
struct WireBench {
    QTemporaryDir dir;
    std::unique_ptr<sim::Simulator> sim;

    WireBench()
    {
        sim::SimOptions o;
        o.tcpPort = 0;
        o.udp = false;
        o.registryDirectory = dir.filePath("ports");
        o.tracePath = dir.filePath("trace.txt");
        sim = std::make_unique<sim::Simulator>(o);
    }
    bool start() { return sim->start(); }
    sim::SwitchModel& model() { return sim->device().model(); }
    QString labelsPath() const { return dir.filePath("config/talvane-controller/labels.json"); }
    // Frames the switch received.
    int received()
    {
        QFile f(dir.filePath("trace.txt"));
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        int n = 0;
        for (const QByteArray& line : f.readAll().split('\n'))
            n += line.startsWith("< ") ? 1 : 0;
        return n;
    }
    // %1 the simulator's COM number, %2 its TCP port, %3 its pty, %4 the test's directory.
    QStringList expand(const QStringList& args)
    {
        QStringList out;
        for (QString a : args)
            out << a.replace("%1", QString::number(sim->serialCom()))
                       .replace("%2", QString::number(sim->tcpPort()))
                       .replace("%3", sim->serialPath())
                       .replace("%4", dir.path());
        return out;
    }
    Run ctl(const QStringList& args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TALVANE_PORT_REGISTRY", dir.filePath("ports"));
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        return runProgram(QStringLiteral(TALVANE_CTL_PROGRAM), expand(args), env);
    }
};

// The program's logic in this process, on the simulated switch and the
// manual clock: each wait lets replies arrive, then moves time on.
struct InProcess {
    ManualClock clock;
    AppClockScope scope{&clock};
    SimLink link;
    QTemporaryDir dir;
    QStringList out, err, progress;
    ctl::Environment env;

    InProcess()
    {
        env.out = [this](const QString& l) { out << l; };
        env.err = [this](const QString& l) { err << l; };
        env.progress = [this](const QString& l) { progress << l; };
        env.clock = &clock;
        env.link = &link;
        env.linkKey = LabelStore::keyForPort(200);
        env.labelsPath = dir.filePath("labels.json");
        env.wait = [this](const std::function<bool()>& done) {
            for (qint64 t = 0; t < 600000 && !done(); t += 10) {
                SimLink::settle();
                if (!done())
                    clock.advance(10);
            }
        };
    }
    int run(const QStringList& args) { return ctl::run(args, env); }
};

}  // namespace

class TestCtl : public QObject {
    Q_OBJECT
private slots:
    void overTheWire_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("routes");  // the switch's routing afterwards, outputs A..H
        QTest::addColumn<bool>("reached");    // whether the switch received anything
        QTest::newRow("route by COM number") << QStringList{"--port", "COM%1", "route", "4:B"} << 0 << "14345678" << true;
        QTest::newRow("several pairs, by device path")
            << QStringList{"--port", "%3", "route", "3:A", "2:b,C", "8:4"} << 0 << "32285678" << true;
        QTest::newRow("over TCP") << QStringList{"--host", "127.0.0.1:%2", "route", "3:H"} << 0 << "12345673" << true;
        QTest::newRow("the only switch found") << QStringList{"route", "5:D"} << 0 << "12355678" << true;
        QTest::newRow("no output I") << QStringList{"--port", "COM%1", "route", "1:A", "1:I"} << 2 << "12345678" << false;
        QTest::newRow("no input 9") << QStringList{"--port", "COM%1", "route", "9:A"} << 2 << "12345678" << false;
        QTest::newRow("not an EDID file")
            << QStringList{"--port", "COM%1", "edid", "upload", "%4/trace.txt", "all"} << 7 << "12345678" << false;
        QTest::newRow("EDID file is a directory")
            << QStringList{"--port", "COM%1", "edid", "upload", "%4", "2"} << 7 << "12345678" << false;
        QTest::newRow("no firmware file") << QStringList{"--port", "COM%1", "upgrade", "%4/none.bin"} << 7 << "12345678" << false;
        QTest::newRow("no such port") << QStringList{"--port", "COM250", "route", "1:A"} << 3 << "12345678" << false;
        QTest::newRow("nothing listens") << QStringList{"--host", "127.0.0.1:1", "route", "1:A"} << 3 << "12345678" << false;
        QTest::newRow("port and host") << QStringList{"--port", "COM%1", "--host", "127.0.0.1", "reboot"} << 2 << "12345678"
                                       << false;
        QTest::newRow("unknown command") << QStringList{"--port", "COM%1", "teleport"} << 2 << "12345678" << false;
        QTest::newRow("netconfig, a multicast MAC")
            << QStringList{"netconfig", "--mac", "01:00:5E:00:00:01", "--auto"} << 2 << "12345678" << false;
        QTest::newRow("netconfig, a gateway the switch cannot take")
            << QStringList{"netconfig", "--mac", "02544C565309", "--ip", "10.0.0.7", "--gateway", "10.0.0.254"} << 2
            << "12345678" << false;
    }

    void overTheWire()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, routes);
        QFETCH(bool, reached);
        WireBench b;
        QVERIFY(b.start());
        const Run run = b.ctl(args);
        QVERIFY2(run.exitCode == exitCode, qPrintable(QString("exit %1: %2").arg(run.exitCode).arg(run.err)));
        QCOMPARE(routesOf(b.model()), routes);
        QCOMPARE(b.received() > 0, reached);
        if (exitCode != 0)
            QVERIFY(run.err.startsWith("talvane-ctl: "));
    }

    // EDID settings as the switch then holds them: the code of each input
    // (0..14 the presets 1..15, 15..22 a copy of output A..H), and the document.
    void edidOverTheWire_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("codes");  // inputs 1..8 afterwards
        QTest::addColumn<QString>("json");   // the document of a command that was done
        QTest::newRow("preset 3 for all")
            << QStringList{"set", "3", "all"} << 0 << "2,2,2,2,2,2,2,2"
            << R"({"command":"edid","ok":true,"action":"set","target":"all","preset":3,"presetName":"1080p,HD Audio 7.1"})";
        QTest::newRow("the last preset for input 4")
            << QStringList{"set", "15", "4"} << 0 << "9,9,9,14,9,9,9,9"
            << R"({"command":"edid","ok":true,"action":"set","target":4,"preset":15,"presetName":"4K2K60,HD Audio 7.1"})";
        QTest::newRow("the first preset for input 8")
            << QStringList{"set", "1", "8"} << 0 << "9,9,9,9,9,9,9,0"
            << R"({"command":"edid","ok":true,"action":"set","target":8,"preset":1,"presetName":"1080p,Stereo Audio 2.0"})";
        QTest::newRow("output A's EDID for input 2")
            << QStringList{"copy", "A", "2"} << 0 << "9,15,9,9,9,9,9,9"
            << R"({"command":"edid","ok":true,"action":"copy","target":2,"output":"A"})";
        QTest::newRow("output h's EDID for all, by number")
            << QStringList{"copy", "8", "all"} << 0 << "22,22,22,22,22,22,22,22"
            << R"({"command":"edid","ok":true,"action":"copy","target":"all","output":"H"})";
        QTest::newRow("no preset 16") << QStringList{"set", "16", "1"} << 2 << "9,9,9,9,9,9,9,9" << "";
        QTest::newRow("no preset 0") << QStringList{"set", "0", "all"} << 2 << "9,9,9,9,9,9,9,9" << "";
        QTest::newRow("no output I") << QStringList{"copy", "I", "1"} << 2 << "9,9,9,9,9,9,9,9" << "";
        QTest::newRow("no input 9") << QStringList{"copy", "A", "9"} << 2 << "9,9,9,9,9,9,9,9" << "";
    }

    void edidOverTheWire()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, codes);
        QFETCH(QString, json);
        WireBench b;
        QVERIFY(b.start());
        b.model().edidCode.fill(9);  // a preset no row sets
        const Run run = b.ctl(QStringList{"--json", "--port", "COM%1", "edid"} + args);
        QVERIFY2(run.exitCode == exitCode, qPrintable(QString("exit %1: %2").arg(run.exitCode).arg(run.err)));
        QStringList held;
        for (int code : b.model().edidCode)
            held << QString::number(code);
        QCOMPARE(held.join(','), codes);
        if (exitCode == 0)
            QCOMPARE(QJsonDocument::fromJson(run.out.toUtf8()).object(), QJsonDocument::fromJson(json.toUtf8()).object());
        else
            QCOMPARE(b.received(), 0);
    }

    // The identification text: up to 32 printable Latin-1 characters, padded
    // with spaces on the switch; anything else refused before sending.
    void identOverTheWire_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("held");  // the switch's 32 bytes afterwards
        const QByteArray before = QByteArray("TALVANE HDMI MATRIX 8X8").leftJustified(32, ' ');
        const QString full = "Studio 2 matrix, rack 4, slot 17";
        QTest::newRow("32 characters") << full << 0 << full.toLatin1();
        QTest::newRow("a short text, padded") << "Studio 2" << 0 << QByteArray("Studio 2").leftJustified(32, ' ');
        QTest::newRow("Latin-1 letters") << QString::fromUtf8("Régie Süd") << 0
                                         << QByteArray("R\xE9gie S\xFC" "d").leftJustified(32, ' ');
        QTest::newRow("33 characters") << full + "8" << 2 << before;
        QTest::newRow("a tab") << "Studio\t2" << 2 << before;
        QTest::newRow("a line end") << "Studio 2\n" << 2 << before;
        QTest::newRow("DEL") << "Studio\x7f" << 2 << before;
        QTest::newRow("a C1 control") << QString("Studio") + QChar(0x85) << 2 << before;
        QTest::newRow("beyond Latin-1") << QString::fromUtf8("Studio ☃") << 2 << before;
    }

    void identOverTheWire()
    {
        QFETCH(QString, text);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, held);
        WireBench b;
        QVERIFY(b.start());
        const Run run = b.ctl({"--json", "--port", "COM%1", "ident", "set", text});
        QVERIFY2(run.exitCode == exitCode, qPrintable(QString("exit %1: %2").arg(run.exitCode).arg(run.err)));
        const sim::IdentText& ident = b.model().ident;
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(ident.data()), qsizetype(ident.size())), held);
        if (exitCode != 0) {
            QCOMPARE(b.received(), 0);
            return;
        }
        const QJsonObject expected{{"command", "ident"}, {"ok", true}, {"ident", text}};
        QCOMPARE(QJsonDocument::fromJson(run.out.toUtf8()).object(), expected);
        // And read back as `info` shows it.
        const Run info = b.ctl({"--json", "--port", "COM%1", "info"});
        QCOMPARE(info.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(info.out.toUtf8()).object().value("ident").toString(), text);
    }

    // A port another program holds is refused, and the holder named.
    void busyPort()
    {
        WireBench b;
        QVERIFY(b.start());
        QProcess holder;
        holder.start("sh", {"-c", "exec 3<>\"$1\"; echo held; read x", "sh", b.sim->serialPath()});
        QVERIFY(waitFor([&] { return holder.canReadLine() || holder.state() == QProcess::NotRunning; }));
        QCOMPARE(holder.readLine(), QByteArray("held\n"));
        const qint64 pid = holder.processId();
        const Run run = b.ctl({"--port", "COM%1", "route", "4:B"});
        holder.closeWriteChannel();
        QVERIFY(waitFor([&] { return holder.state() == QProcess::NotRunning; }));
        QCOMPARE(run.exitCode, 4);
        QVERIFY2(run.err.contains(QString("is in use by sh (pid %1)").arg(pid)), qPrintable(run.err));
        QCOMPARE(b.received(), 0);
        QCOMPARE(routesOf(b.model()), QString("12345678"));
    }

    // The whole status as a script reads it: stable keys, the switch's state, the labels.
    void jsonStatus()
    {
        WireBench b;
        QVERIFY(b.start());
        sim::SwitchModel& m = b.model();
        m.route = {3, 1, 1, 8, 5, 6, 7, 2};
        m.arc[1] = true;
        m.source[2] = false;
        m.display[5] = false;
        m.edidCode[4] = edidCopyCode(2);
        m.edidCode[0] = 14;
        m.beep = false;
        QVERIFY(b.ctl({"--port", "COM%1", "labels", "input", "1", "Stage camera"}).exitCode == 0);
        QVERIFY(b.ctl({"--port", "COM%1", "labels", "output", "b", "Projector"}).exitCode == 0);

        const Run run = b.ctl({"--json", "--port", "COM%1", "status"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out.count('\n'), 1);  // one document
        QJsonParseError error{};
        const QJsonObject doc = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);

        QJsonArray inputs, outputs;
        for (int i = 1; i <= 8; ++i) {
            const int code = m.edidCode[std::size_t(i - 1)];
            inputs.append(QJsonObject{{"input", i},
                                      {"source", i != 3},
                                      {"edid", code},
                                      {"edidName", i == 1   ? "4K2K60,HD Audio 7.1"
                                                   : i == 5 ? "copy of output B"
                                                            : "1080p,Stereo Audio 2.0"},
                                      {"label", i == 1 ? "Stage camera" : ""}});
        }
        const QString letters = "ABCDEFGH";
        for (int o = 1; o <= 8; ++o)
            outputs.append(QJsonObject{{"output", QString(letters[o - 1])},
                                       {"display", o != 6},
                                       {"input", m.route[std::size_t(o - 1)]},
                                       {"arc", o == 2},
                                       {"label", o == 2 ? "Projector" : ""}});
        const QJsonObject expected{{"command", "status"},
                                   {"ok", true},
                                   {"switch", QString("port:COM%1").arg(b.sim->serialCom())},
                                   {"power", true},
                                   {"beeper", false},
                                   {"inputs", inputs},
                                   {"outputs", outputs}};
        QCOMPARE(doc, expected);
    }

    // A damaged labels file is reported and left as it was; the switch's
    // status is still shown, without names.
    void damagedLabels()
    {
        WireBench b;
        QVERIFY(b.start());
        QVERIFY(QDir().mkpath(QFileInfo(b.labelsPath()).path()));
        const QByteArray damaged = "{\"version\": 1, \"switches\": {\"port:COM1\": {\"inputs\": [";
        {
            QFile f(b.labelsPath());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(damaged);
        }
        for (const QStringList& args : {QStringList{"--port", "COM%1", "labels", "input", "3", "Stage camera"},
                                        QStringList{"--port", "COM%1", "labels"},
                                        QStringList{"--json", "--port", "COM%1", "labels"}}) {
            const Run run = b.ctl(args);
            QCOMPARE(run.exitCode, 7);
            QVERIFY2(run.err.contains("labels file is damaged") && run.err.contains("not valid JSON"), qPrintable(run.err));
        }
        QFile f(b.labelsPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), damaged);

        const Run status = b.ctl({"--port", "COM%1", "status"});
        QCOMPARE(status.exitCode, 0);
        QVERIFY(status.err.contains("labels not shown"));
        QVERIFY(status.out.contains("Output B  display"));
        QCOMPARE(b.received() > 0, true);
    }

    // A name set is in the labels file, or the command says it is not and
    // fails; it never reports a name it did not save.
    void labelsSaved_data()
    {
        QTest::addColumn<QString>("place");  // what stands where the labels file's directory goes
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("error");
        QTest::newRow("saved") << "" << 0 << "";
        QTest::newRow("a file where the directory goes") << "file" << int(ctl::Failed) << "cannot make the directory";
        QTest::newRow("a directory that takes no file") << "proc" << int(ctl::Failed) << "cannot write";
    }

    void labelsSaved()
    {
        QFETCH(QString, place);
        QFETCH(int, exitCode);
        QFETCH(QString, error);
        WireBench b;
        QVERIFY(b.start());
        const QString dir = QFileInfo(b.labelsPath()).path();
        QVERIFY(QDir().mkpath(QFileInfo(dir).path()));
        if (place == "file") {
            QFile f(dir);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (place == "proc") {
            QVERIFY(QFile::link("/proc", dir));  // nobody, root included, makes a file there
        }
        const Run run = b.ctl({"--port", "COM%1", "labels", "input", "3", "Stage camera"});
        QVERIFY2(run.exitCode == exitCode, qPrintable(QString("exit %1: %2").arg(run.exitCode).arg(run.err)));
        QVERIFY2(run.err.contains(error), qPrintable(run.err));
        if (exitCode != 0) {
            QVERIFY(run.err.contains("the labels were not saved"));
            QVERIFY(!run.out.contains("Stage camera"));
            return;
        }
        QFile f(b.labelsPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().contains("\"3\": \"Stage camera\""));
    }

    void silentSwitch_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("sends");
        QTest::addColumn<qint64>("endsAt");
        QTest::addColumn<bool>("refuses");  // the switch acknowledges routes with a non-zero status instead
        QTest::newRow("route") << QStringList{"route", "4:B"} << 2 << qint64(6000) << false;
        QTest::newRow("route, JSON") << QStringList{"--json", "route", "4:B", "5:C"} << 2 << qint64(6000) << false;
        QTest::newRow("route refused, JSON") << QStringList{"--json", "route", "4:B"} << 2 << qint64(6000) << true;
        QTest::newRow("ARC") << QStringList{"arc", "B", "on"} << 2 << qint64(6000) << false;
        QTest::newRow("power on: 3 s, then 2 s") << QStringList{"power", "on"} << 2 << qint64(5000) << false;
        QTest::newRow("status: its first query") << QStringList{"status"} << 2 << qint64(6000) << false;
    }

    // The time-out code once the command went out again once and was not
    // answered either; nothing after it is sent. A refused route is not
    // acknowledged: it ends the same way, and no route is reported.
    void silentSwitch()
    {
        QFETCH(QStringList, args);
        QFETCH(int, sends);
        QFETCH(qint64, endsAt);
        QFETCH(bool, refuses);
        InProcess p;
        if (refuses)
            p.link.device.faults().refuseRoutes = true;
        else
            p.link.device.faults().silentAll = true;
        QCOMPARE(p.run(args), int(ctl::TimedOut));
        QCOMPARE(int(p.link.written.size()), sends);
        QVERIFY(p.link.written.front() == p.link.written.back());
        QVERIFY(p.clock.nowMs() >= endsAt && p.clock.nowMs() < endsAt + 20);
        QVERIFY(p.err.join('\n').contains("time out"));
        if (args.contains("--json")) {
            QCOMPARE(p.out.size(), 1);
            const QJsonObject doc = QJsonDocument::fromJson(p.out[0].toUtf8()).object();
            QCOMPARE(doc.value("ok").toBool(true), false);
            QCOMPARE(doc.value("exit").toInt(), int(ctl::TimedOut));
            QCOMPARE(doc.value("routes").toArray().size(), 0);
        }
    }

    // A link that goes while a command waits for its answer ends it at once,
    // as a lost switch, not as a time-out.
    void linkLost()
    {
        InProcess p;
        p.link.device.faults().silentAll = true;
        const auto inner = p.env.wait;
        p.env.wait = [&](const std::function<bool()>& done) {
            if (p.link.open) {
                p.link.open = false;
                emit p.link.lost(QStringLiteral("device removed"));
            }
            inner(done);
        };
        QCOMPARE(p.run({"route", "4:B"}), int(ctl::NoSwitch));
        QVERIFY2(p.err.join('\n').contains("the link to the switch was lost (device removed)"), qPrintable(p.err.join('\n')));
        QCOMPARE(int(p.link.written.size()), 1);
        QCOMPARE(p.clock.nowMs(), qint64(0));
    }

    // A firmware upgrade from the command line, through the reboot, with
    // its progress line.
    void upgradeThroughTheReboot()
    {
        InProcess p;
        QByteArray image(2500, Qt::Uninitialized);
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 13 + 1);
        const QString path = p.dir.filePath("fw.bin");
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(image);
        }
        QCOMPARE(p.run({"upgrade", path}), 0);
        const std::vector<std::uint8_t>& got = p.link.model().firmware;
        QVERIFY(got.size() >= std::size_t(image.size()));
        QVERIFY(std::equal(image.begin(), image.end(), got.begin(),
                           [](char a, std::uint8_t b) { return std::uint8_t(a) == b; }));
        QVERIFY(p.progress.contains("upgrade: 2500/2500 bytes (100%)"));
        QVERIFY(p.progress.contains("upgrade: 2500 bytes sent, the switch is rebooting"));
        QCOMPARE(p.progress.last(), QString());  // the line is ended
        QCOMPARE(p.out, QStringList{"Firmware upgraded (2500 bytes); the switch is back"});
    }

    // A failed upgrade says where it stopped: the stage by its name, and the
    // block when it was the transfer.
    void upgradeFailure_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stage");
        QTest::addColumn<int>("block");  // -1: none named
        QTest::newRow("start unanswered") << "silent start" << int(ctl::TimedOut) << "start" << -1;
        QTest::newRow("transfer request unanswered") << "silent request" << int(ctl::TimedOut) << "request" << -1;
        QTest::newRow("the switch fails block 5") << "fail-block 5" << int(ctl::Refused) << "transfer" << 5;
        QTest::newRow("blocks unanswered") << "silent data" << int(ctl::TimedOut) << "transfer" << 0;
        QTest::newRow("no answer after the reboot") << "silent poll" << int(ctl::TimedOut) << "reboot" << -1;
    }

    void upgradeFailure()
    {
        QFETCH(QString, fault);
        QFETCH(int, exitCode);
        QFETCH(QString, stage);
        QFETCH(int, block);
        InProcess p;
        sim::FaultSettings& f = p.link.device.faults();
        if (fault == "silent start")
            f.silentCommands.insert(sim::commandKey(cmd::UpgradeStart));
        else if (fault == "silent request")
            f.silentCommands.insert(sim::commandKey(cmd::UpgradeTransferRequest));
        else if (fault == "fail-block 5")
            f.failBlock = 5;
        else if (fault == "silent data")
            f.silentOther.insert(sim::Silence::DataBlocks);
        else if (fault == "silent poll")
            f.silentCommands.insert(sim::commandKey(cmd::UpgradePageQuery));
        const QString path = p.dir.filePath("fw.bin");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8 * int(kDataPayloadSize), 'x'));
        }
        QCOMPARE(p.run({"--json", "upgrade", path}), exitCode);
        QCOMPARE(p.out.size(), 1);
        const QJsonObject doc = QJsonDocument::fromJson(p.out[0].toUtf8()).object();
        QCOMPARE(doc.value("ok").toBool(true), false);
        QCOMPARE(doc.value("exit").toInt(), exitCode);
        QCOMPARE(doc.value("stage").toString(), stage);
        QCOMPARE(doc.contains("block"), block >= 0);
        if (block >= 0)
            QCOMPARE(doc.value("block").toInt(-1), block);
    }

    // The same as a script meets it: the program against a switch that
    // fails the upgrade at block 5.
    void upgradeFailsAtBlockFive()
    {
        WireBench b;
        QVERIFY(b.start());
        b.sim->device().faults().failBlock = 5;
        {
            QFile file(b.dir.filePath("fw.bin"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8 * int(kDataPayloadSize), 'x'));
        }
        const Run run = b.ctl({"--json", "--port", "COM%1", "upgrade", "%4/fw.bin"});
        QCOMPARE(run.exitCode, int(ctl::Refused));
        const QJsonObject expected{{"command", "upgrade"},
                                   {"ok", false},
                                   {"exit", int(ctl::Refused)},
                                   {"error", "upgrade: the switch reported the upgrade failed: refused by the switch"},
                                   {"stage", "transfer"},
                                   {"block", 5}};
        QCOMPARE(QJsonDocument::fromJson(run.out.toUtf8()).object(), expected);
    }

    // Which switch netconfig sets: the only one that answers the search, the
    // one --target or --host names; with several answering and neither
    // given, none, and it asks for --target. Two simulated switches answer
    // on loopback ports of the test's own; time runs on the manual clock and
    // moves on only once every request on the air has had its answers.
    void netconfigChoosesTheSwitch_data()
    {
        QTest::addColumn<int>("switches");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("changed");  // the switch set: 0 the first, 1 the second, -1 none
        QTest::addColumn<QString>("error");
        const QStringList settings{"--mac", "02-54-4C-56-53-42", "--ip", "192.168.7.20"};
        QTest::newRow("the only one answering") << 1 << settings << 0 << 0 << "";
        QTest::newRow("two answering: --target asked for")
            << 2 << settings << int(ctl::NoSwitch) << -1 << "several switches answered; name one with --target MAC";
        QTest::newRow("two answering, --target names the second")
            << 2 << settings + QStringList{"--target", "02:54:4C:56:53:02"} << 0 << 1 << "";
        QTest::newRow("two answering, --host names the second")
            << 2 << QStringList{"--host", "192.168.1.51"} + settings << 0 << 1 << "";
        QTest::newRow("none answering") << 0 << settings << int(ctl::NoSwitch) << -1 << "no switch answered the search";
    }

    void netconfigChoosesTheSwitch()
    {
        QFETCH(int, switches);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(int, changed);
        QFETCH(QString, error);
        ManualClock clock;
        AppClockScope scope{&clock};
        ctl::Environment env;
        env.clock = &clock;
        {
            QUdpSocket probeA, probeB;
            probeA.bind(QHostAddress::AnyIPv4, 0);
            probeB.bind(QHostAddress::AnyIPv4, 0);
            env.endpoints.broadcast = QHostAddress(QStringLiteral("127.255.255.255"));
            env.endpoints.searchPort = probeA.localPort();
            env.endpoints.configPort = probeB.localPort();
        }
        // Every datagram on the two ports, as the switches and the program see them.
        struct Air : QUdpSocket {
            int requests = 0, answers = 0;
            explicit Air(quint16 port)
            {
                bind(QHostAddress::AnyIPv4, port, ShareAddress | ReuseAddressHint);
                connect(this, &QUdpSocket::readyRead, [this] {
                    while (hasPendingDatagrams()) {
                        const QByteArray d = receiveDatagram().data();
                        const auto* bytes = reinterpret_cast<const std::uint8_t*>(d.constData());
                        const bool request = (d.size() == 1 && std::uint8_t(d[0]) == kSearchRequestByte)
                                             || NetConfigPacket::decode(bytes, std::size_t(d.size()));
                        ++(request ? requests : answers);
                    }
                });
            }
        } search(env.endpoints.searchPort), config(env.endpoints.configPort);
        std::vector<std::unique_ptr<sim::SwitchDevice>> devices;
        std::vector<std::unique_ptr<sim::UdpEndpoint>> ends;
        for (int i = 0; i < switches; ++i) {
            devices.push_back(std::make_unique<sim::SwitchDevice>(&clock));
            sim::NetworkSettings& net = devices.back()->model().net;
            net.mac[5] = std::uint8_t(0x01 + i);
            net.staticIp = true;
            net.ip = Ipv4Octets{192, 168, 1, std::uint8_t(50 + i)};
            ends.push_back(std::make_unique<sim::UdpEndpoint>(*devices.back(), nullptr));
            QVERIFY(ends.back()->open(env.endpoints.searchPort, env.endpoints.configPort, false));
        }
        // Only the switch a settings packet names confirms it.
        const int confirming = changed >= 0 ? 1 : 0;
        env.wait = [&](const std::function<bool()>& done) {
            while (!done()) {
                const bool answered = waitFor([&] {
                    return done()
                           || (search.answers >= search.requests * switches && config.answers >= config.requests * confirming);
                });
                if (!answered)
                    return;
                QCoreApplication::processEvents();
                if (!done())
                    clock.advance(100);
            }
        };
        QStringList out, err;
        env.out = [&](const QString& l) { out << l; };
        env.err = [&](const QString& l) { err << l; };
        QTemporaryDir dir;
        env.labelsPath = dir.filePath("labels.json");

        QCOMPARE(ctl::run(QStringList{"netconfig"} + args, env), exitCode);
        QVERIFY2(err.join('\n').contains(error), qPrintable(err.join('\n')));
        QCOMPARE(config.requests > 0, changed >= 0);  // settings went out only to a switch chosen
        for (int i = 0; i < switches; ++i) {
            const sim::NetworkSettings& net = devices[std::size_t(i)]->model().net;
            const bool set = i == changed;
            QCOMPARE(net.ip, set ? (Ipv4Octets{192, 168, 7, 20}) : (Ipv4Octets{192, 168, 1, std::uint8_t(50 + i)}));
            QCOMPARE(net.mac[4] == 0x53 && net.mac[5] == 0x42, set);
        }
    }

    // Network settings from the command line reach the switch named by its
    // MAC, and the command ends once it answers with them. On loopback and
    // ports of the test's own; it ends on the switch's answers, not on time.
    void netconfig()
    {
        QUdpSocket probeA, probeB;
        probeA.bind(QHostAddress::AnyIPv4, 0);
        probeB.bind(QHostAddress::AnyIPv4, 0);
        ctl::Environment env;
        env.endpoints.broadcast = QHostAddress(QStringLiteral("127.255.255.255"));
        env.endpoints.searchPort = probeA.localPort();
        env.endpoints.configPort = probeB.localPort();
        probeA.close();
        probeB.close();
        sim::SwitchDevice device;
        sim::UdpEndpoint switchSide(device, nullptr);
        QVERIFY(switchSide.open(env.endpoints.searchPort, env.endpoints.configPort, false));
        QStringList out, err;
        env.out = [&](const QString& l) { out << l; };
        env.err = [&](const QString& l) { err << l; };
        QTemporaryDir dir;
        env.labelsPath = dir.filePath("labels.json");

        const int rc = ctl::run({"--json", "netconfig", "--target", "02:54:4C:56:53:01", "--mac", "02-54-4c-56-53-42",
                                 "--ip", "192.168.7.20", "--mask", "255.255.255.0", "--gateway", "192.168.7.1"},
                                env);
        QVERIFY2(rc == 0, qPrintable(err.join('\n')));
        QCOMPARE(device.model().net.ip, (Ipv4Octets{192, 168, 7, 20}));
        QVERIFY(device.model().net.staticIp);
        QCOMPARE(device.model().net.mac, (MacAddress{0x02, 0x54, 0x4C, 0x56, 0x53, 0x42}));
        QCOMPARE(out.size(), 1);
        const QJsonObject expected{{"command", "netconfig"}, {"ok", true},           {"auto", false},
                                   {"mac", "02-54-4C-56-53-42"}, {"ip", "192.168.7.20"}, {"mask", "255.255.255.0"},
                                   {"gateway", "192.168.7.1"}};
        QCOMPARE(QJsonDocument::fromJson(out[0].toUtf8()).object(), expected);
    }
};

QTEST_GUILESS_MAIN(TestCtl)
#include "test_ctl.moc"
