// "Reconnect": a serial line that hangs up and comes back, and a TCP switch
// that drops the connection, are opened again without a click, greeted, and
// the page shown read again; a port another program holds is never opened.
// Also the status line until the switch answers, and the port list's first
// choice. Time-dependent steps run on the manual clock; the bytes travel
// for real, and the tests wait for them by processing events.
#include <QtTest>

#include <QCheckBox>
#include <QComboBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/networkpanel.h"
#include "app/panelsettings.h"
#include "link/portwatcher.h"
#include "link/serialport.h"
#include "link/tcplink.h"
#include "ops/limits.h"
#include "protocol/commands.h"
#include "sim/simulator.h"
#include "support/framehex.h"
#include "support/appclock.h"
#include "support/simbench.h"

using namespace talvane;

namespace {

bool matches(const QString& pattern, const QString& text) { return QRegularExpression(pattern).match(text).hasMatch(); }

// Another program with the device open, until destroyed.
struct Holder {
    QProcess process;
    bool opened = false;
    explicit Holder(const QString& path)
    {
        process.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("exec sleep 600 <") + path});
        opened = process.waitForStarted() && waitFor([&] {
            return QFileInfo(QStringLiteral("/proc/%1/fd/0").arg(process.processId())).symLinkTarget() == path;
        });
    }
    ~Holder()
    {
        process.kill();
        process.waitForFinished();
    }
};

}  // namespace

class TestReconnect : public QObject {
    Q_OBJECT
private slots:
    void serialHangUp_data();
    void serialHangUp();
    void busyPortNeverOpened();
    void tcpDropped_data();
    void tcpDropped();
    void rememberedAcrossRuns();
    void firstChoiceOfThePortList_data();
    void firstChoiceOfThePortList();
    void sameDevice_data();
    void sameDevice();
};

void TestReconnect::serialHangUp_data()
{
    QTest::addColumn<bool>("reconnect");
    QTest::addColumn<bool>("onMatrix");
    QTest::newRow("on, General page") << true << false;
    QTest::newRow("on, Matrix page") << true << true;
    QTest::newRow("off") << false << false;
}

void TestReconnect::serialHangUp()
{
    QFETCH(bool, reconnect);
    QFETCH(bool, onMatrix);
    SimBench b;
    if (reconnect)
        b.window().controlAs<QCheckBox>(ctl::Reconnect)->click();
    QVERIFY(b.connect());
    const int com = b.sim->serialCom();
    // Open at once, connected only once the switch has answered.
    QCOMPARE(b.window().linkStatus(), QStringLiteral("Port open: COM%1, no answer yet").arg(com));
    QVERIFY(waitFor([&] { return b.window().linkStatus().startsWith(QStringLiteral("Connected: COM%1 (").arg(com)); }));
    QCOMPARE(PanelSettings(b.panel->settingsPath()).lastPort(), QStringLiteral("COM%1").arg(com));
    QVERIFY(waitFor([&] { return b.window().session().idle() && b.received().size() >= 2; }));
    if (onMatrix) {
        b.window().pressAt(b.window().control(ctl::TabMatrix)->geometry().center());
        QVERIFY(waitFor([&] { return b.window().ready() && b.window().session().idle(); }));
    }
    const int before = int(b.received().size());
    // What entering the page sent: sent again after the greeting.
    const QStringList entry = b.received().mid(onMatrix ? 2 : 0, onMatrix ? before - 2 : 0);

    QVERIFY(b.sim->hangUpSerial());
    QVERIFY(waitFor([&] { return !b.window().serialPort().isOpen(); }));
    QVERIFY(matches(QStringLiteral("^Link lost: COM%1 at \\d\\d:\\d\\d:\\d\\d$").arg(com), b.window().linkStatus()));
    QCOMPARE(b.window().connection().reconnectPending(), reconnect);

    const int took = advanceUntil(b.panel->clock, [&] { return b.window().serialPort().isOpen(); });
    if (!reconnect) {
        QCOMPARE(took, -1);
        QVERIFY(b.window().linkStatus().startsWith(QStringLiteral("Link lost: ")));
        QCOMPARE(int(b.received().size()), before);
        return;
    }
    QVERIFY2(took >= 0, qPrintable(b.window().linkStatus()));
    QCOMPARE(b.sim->serialCom(), com);
    QCOMPARE(b.window().controlAs<QComboBox>(ctl::PortList)->currentText(), QStringLiteral("COM%1").arg(com));
    QVERIFY(!b.window().control(ctl::PortList)->isEnabled());
    QVERIFY(waitFor([&] {
        return matches(QStringLiteral("^Reconnected: COM%1 \\(Talvane switch simulator, /dev/pts/\\d+\\) at "
                                      "\\d\\d:\\d\\d:\\d\\d$")
                           .arg(com),
                       b.window().linkStatus());
    }));
    // The greeting, then the page's own reads again.
    const QStringList greeting = {hexOf(build::powerStateQuery()), hexOf(build::beepStateQuery())};
    QVERIFY(waitFor([&] { return b.received().size() >= before + greeting.size() + entry.size(); }));
    QVERIFY(waitFor([&] { return b.window().ready() && b.window().session().idle(); }));
    QCOMPARE(b.received().mid(before), greeting + entry);
    QVERIFY(!b.window().generalPage().isStale(ctl::PowerOn));
    QVERIFY(b.panel->messageTexts().isEmpty());
}

void TestReconnect::busyPortNeverOpened()
{
    SimBench b;
    b.window().controlAs<QCheckBox>(ctl::Reconnect)->click();
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.window().session().idle() && b.received().size() >= 2; }));
    const int before = int(b.received().size());

    QVERIFY(b.sim->hangUpSerial());
    // Another program takes the fresh line before the panel looks.
    auto holder = std::make_unique<Holder>(b.sim->serialPath());
    QVERIFY(holder->opened);
    QVERIFY(waitFor([&] { return !b.window().serialPort().isOpen(); }));
    QCOMPARE(advanceUntil(b.panel->clock, [&] { return b.window().serialPort().isOpen(); }, 3 * kReconnectWithinMs), -1);
    QVERIFY(b.window().linkStatus().startsWith(QStringLiteral("Link lost: ")));
    QCOMPARE(int(b.received().size()), before);
    QVERIFY(b.window().connection().reconnectPending());

    // It lets go: the panel has the line back.
    holder.reset();
    QVERIFY(advanceUntil(b.panel->clock, [&] { return b.window().serialPort().isOpen(); }) >= 0);
    QVERIFY(waitFor([&] { return b.window().linkStatus().startsWith(QStringLiteral("Reconnected: ")); }));
    QVERIFY(b.panel->messageTexts().isEmpty());
}

void TestReconnect::tcpDropped_data()
{
    QTest::addColumn<bool>("reconnect");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
}

void TestReconnect::tcpDropped()
{
    QFETCH(bool, reconnect);
    QTemporaryDir dir;
    PanelFixture panel(false);
    CTalvaneDlg& w = *panel.window;
    w.setLink(LinkMode::Tcp, &w.tcpLink());
    NetEndpoints e = w.networkPanel().endpoints();
    sim::SimOptions o;
    o.serial = false;
    o.udp = false;
    o.tcpPort = 0;
    o.tracePath = dir.filePath(QStringLiteral("trace.txt"));
    sim::Simulator sim(o);
    QVERIFY(sim.start());
    e.tcpPort = sim.tcpPort();
    w.networkPanel().setEndpoints(e);
    w.controlAs<QRadioButton>(ctl::TcpMode)->click();
    if (reconnect)
        w.controlAs<QCheckBox>(ctl::Reconnect)->click();
    w.controlAs<QComboBox>(ctl::DeviceList)->setEditText(QStringLiteral("127.0.0.1"));
    w.controlAs<QPushButton>(ctl::TcpConnect)->click();
    QVERIFY(waitFor([&] { return w.linkStatus() == QStringLiteral("Connected: 127.0.0.1"); }));
    QVERIFY(waitFor([&] { return w.session().idle(); }));

    sim.closeTcpConnections();
    QVERIFY(waitFor([&] { return !w.tcpLink().isOpen(); }));
    QVERIFY(w.linkStatus().startsWith(QStringLiteral("Link lost: 127.0.0.1 at ")));
    const int took = advanceUntil(panel.clock, [&] { return w.tcpLink().isOpen(); });
    if (!reconnect) {
        QCOMPARE(took, -1);
        QCOMPARE(w.controlAs<QPushButton>(ctl::TcpConnect)->text(), QStringLiteral("Connect"));
        return;
    }
    QVERIFY(took >= 0);
    QVERIFY(took <= limits::ReconnectRetryMs + kStepMs);
    QVERIFY(waitFor([&] {
        return matches(QStringLiteral("^Reconnected: 127.0.0.1 at \\d\\d:\\d\\d:\\d\\d$"), w.linkStatus());
    }));
    QCOMPARE(w.controlAs<QPushButton>(ctl::TcpConnect)->text(), QStringLiteral("Disconnect"));
    QVERIFY(waitFor([&] { return !w.generalPage().isStale(ctl::EnableBeep); }));
    QVERIFY(!w.connection().reconnectPending());

    // Lost again, and the operator turns Reconnect off: no more tries.
    sim.closeTcpConnections();
    QVERIFY(waitFor([&] { return !w.tcpLink().isOpen(); }));
    QVERIFY(w.connection().reconnectPending());
    w.controlAs<QCheckBox>(ctl::Reconnect)->click();
    QVERIFY(!w.connection().reconnectPending());
    QCOMPARE(advanceUntil(panel.clock, [&] { return w.tcpLink().isOpen() || w.tcpLink().connecting(); }), -1);
}

void TestReconnect::rememberedAcrossRuns()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("panel.json"));
    ManualClock clock;
    AppClockScope scope{&clock};
    for (bool on : {true, false}) {
        {
            CTalvaneDlg w(nullptr, path);
            auto* box = w.controlAs<QCheckBox>(ctl::Reconnect);
            QCOMPARE(box->isChecked(), !on);
            QCOMPARE(box->text(), QStringLiteral("Reconnect"));
            QVERIFY(box->focusPolicy() != Qt::NoFocus);
            box->click();
            QCOMPARE(box->isChecked(), on);
        }
        QCOMPARE(PanelSettings(path).reconnect(), on);
    }
}

void TestReconnect::firstChoiceOfThePortList_data()
{
    QTest::addColumn<QString>("lastPort");
    QTest::addColumn<QList<int>>("ports");  // negative: a USB adapter
    QTest::addColumn<QString>("chosen");
    QTest::newRow("the last connected") << "COM3" << QList<int>{1, 3, 129} << "COM3";
    QTest::newRow("the last connected, virtual") << "COM130" << QList<int>{1, 129, 130} << "COM130";
    QTest::newRow("a USB adapter before COM1") << "" << QList<int>{1, 2, -33} << "COM33";
    QTest::newRow("a registered port before COM1") << "" << QList<int>{1, 129} << "COM129";
    QTest::newRow("the last one gone") << "COM7" << QList<int>{1, -34} << "COM34";
    QTest::newRow("built-in ports only") << "" << QList<int>{1, 2} << "COM1";
}

void TestReconnect::firstChoiceOfThePortList()
{
    QFETCH(QString, lastPort);
    QFETCH(QList<int>, ports);
    QFETCH(QString, chosen);
    PanelFixture p(false);
    p.window->settings().setLastPort(lastPort);
    GeneralPage& g = p.window->generalPage();
    // Empty first, as at start-up before the first look.
    g.setEnumerator([](std::vector<SerialPortRecord>& out, QString&) {
        out.clear();
        return true;
    });
    g.refreshPortList();
    g.setEnumerator([ports](std::vector<SerialPortRecord>& out, QString&) {
        out.clear();
        for (int n : ports) {
            SerialPortRecord r;
            r.comNumber = std::abs(n);
            r.usb = n < 0;
            r.portName = QStringLiteral("COM%1").arg(r.comNumber);
            r.friendlyName = QStringLiteral("Port (%1)").arg(r.portName);
            out.push_back(r);
        }
        return true;
    });
    g.refreshPortList();
    QCOMPARE(p.window->controlAs<QComboBox>(ctl::PortList)->currentText(), chosen);
}

void TestReconnect::sameDevice_data()
{
    QTest::addColumn<int>("lostCom");
    QTest::addColumn<QString>("lostUsb");  // empty: not USB
    QTest::addColumn<int>("foundCom");
    QTest::addColumn<QString>("foundUsb");
    QTest::addColumn<bool>("same");
    QTest::newRow("a COM port at its number") << 1 << "" << 1 << "" << true;
    QTest::newRow("a registered port at its number") << 129 << "" << 129 << "" << true;
    QTest::newRow("another number") << 129 << "" << 130 << "" << false;
    QTest::newRow("USB, replugged elsewhere") << 33 << "0403:6001:A50285BI" << 34 << "0403:6001:A50285BI" << true;
    QTest::newRow("USB, another of the same make") << 33 << "0403:6001:A50285BI" << 33 << "0403:6001:B1" << false;
    QTest::newRow("USB, another make at its number") << 33 << "0403:6001:A50285BI" << 33 << "067b:2303:" << false;
    QTest::newRow("USB without serial, same place") << 33 << "1a86:7523:" << 33 << "1a86:7523:" << true;
    QTest::newRow("USB without serial, elsewhere") << 33 << "1a86:7523:" << 34 << "1a86:7523:" << false;
    QTest::newRow("USB, a built-in port at its number") << 33 << "1a86:7523:" << 33 << "" << false;
}

void TestReconnect::sameDevice()
{
    QFETCH(int, lostCom);
    QFETCH(QString, lostUsb);
    QFETCH(int, foundCom);
    QFETCH(QString, foundUsb);
    QFETCH(bool, same);
    auto record = [](int n, const QString& usb) {
        SerialPortRecord r;
        r.comNumber = n;
        r.usb = !usb.isEmpty();
        r.usbIdentity = usb;
        return r;
    };
    QCOMPARE(Connection::sameDevice(record(lostCom, lostUsb), record(foundCom, foundUsb)), same);
}

QTEST_MAIN(TestReconnect)
#include "test_reconnect.moc"
