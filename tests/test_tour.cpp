// A whole tour of the panel against the in-process simulator, as an operator
// would make it: connect over the serial line, read the status, enter every
// page, route, step, switch ARC on, set an EDID preset and upload an EDID
// file, read the identification, upload a 3,000-byte firmware image through
// the reboot, power off and on, switch the beeper, then search and configure
// the switch over UDP. Everything the switch received and sent (its --trace)
// must equal the recorded tour in tests/data/tour.trace, frame for frame.
// The same tour through the hub (the panel in TCP Control Mode on the hub's
// control port, the hub on the simulator's serial line) must give the same.
//
// To record the tour anew (only when a change of the wire is intended):
//   TALVANE_RECORD_TOUR=1 build/bin/test_tour
#include <QtTest>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include "app/controlids.h"
#include "app/networkpanel.h"
#include "dialogs/configipdlg.h"
#include "hub/controlserver.h"
#include "hub/hub.h"
#include "ops/connection.h"
#include "ops/labelstore.h"
#include "ops/limits.h"
#include "pages/edidpage.h"
#include "pages/matrixpage.h"
#include "pages/upgradepage.h"
#include "protocol/commands.h"
#include "support/framehex.h"
#include "support/simbench.h"
#include "test_sim_cases.h"

using namespace talvane;

namespace {

constexpr int kOkButton = 1058;  // the confirmation box's Ok
constexpr int kConfigOk = 1070;  // the network settings dialog's OK
constexpr int kImageSize = 3000;

QStringList traceLines(const QString& path)
{
    QFile f(path);
    QStringList out;
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray& line : f.readAll().split('\n'))
            if (!line.isEmpty())
                out << QString::fromLatin1(line);
    return out;
}

// The panel and the simulator, joined by a pseudo-terminal and by UDP on the
// loopback broadcast.
struct TourBench {
    SimBench b;

    TourBench()
    {
        // A simulator that also answers searches and settings, on the panel's ports.
        const NetEndpoints e = b.window().networkPanel().endpoints();
        sim::SimOptions o = b.sim->options();
        o.udp = true;
        o.searchPort = e.searchPort;
        o.configPort = e.configPort;
        b.sim.reset();
        b.sim = std::make_unique<sim::Simulator>(o);
    }

    ~TourBench()
    {
        control.reset();
        hub.reset();
        connection.reset();
    }

    // The hub on the simulator's serial line, and the panel connected to its
    // control port in TCP Control Mode. The hub is not started: it neither
    // greets the switch nor reads it while idle, so only the panel's frames
    // go to the switch.
    bool connectThroughHub()
    {
        if (!b.sim->start())
            return false;
        connection = std::make_unique<Connection>(&b.panel->clock);
        if (connection->openSerial(SwitchAddress::serial(b.sim->serialCom())) != Connection::OpenResult::Opened)
            return false;
        labels = std::make_unique<LabelStore>(b.registry.filePath(QStringLiteral("hub-labels.json")));
        hub = std::make_unique<hub::Hub>(*connection, *labels, connection->address().key());
        control = std::make_unique<hub::ControlServer>(*connection);
        if (!control->listen(QHostAddress::LocalHost, 0))
            return false;
        NetEndpoints e = w().networkPanel().endpoints();
        e.tcpPort = control->port();
        w().networkPanel().setEndpoints(e);
        w().controlAs<QRadioButton>(ctl::TcpMode)->click();
        w().controlAs<QComboBox>(ctl::DeviceList)->setEditText(QStringLiteral("127.0.0.1"));
        w().controlAs<QPushButton>(ctl::TcpConnect)->click();
        return waitFor([&] { return w().tcpLink().isOpen(); });
    }

    CTalvaneDlg& w() { return b.window(); }
    bool ready() { return w().ready(); }
    void tab(int id) { w().pressAt(w().control(id)->geometry().center()); }
    int received(const CommandFrame& f) { return int(b.received().count(hexOf(f))); }
    int searchesReceived() { return int(traceLines(b.tracePath).count(QStringLiteral("< 61"))); }

    std::unique_ptr<Connection> connection;
    std::unique_ptr<LabelStore> labels;
    std::unique_ptr<hub::Hub> hub;
    std::unique_ptr<hub::ControlServer> control;
};

// From the greeting to the network settings, once connected.
void tour(TourBench& t);
// What the switch saw and said, against the recorded tour.
void compareWithRecording(TourBench& t);

}  // namespace

class TestTour : public QObject {
    Q_OBJECT
private slots:
    void tourGivesTheRecordedFrames();
    void tourThroughTheHubGivesTheRecordedFrames();
};

void TestTour::tourGivesTheRecordedFrames()
{
    TourBench t;
    QVERIFY(t.b.connect());
    tour(t);
    if (!QTest::currentTestFailed())
        compareWithRecording(t);
}

void TestTour::tourThroughTheHubGivesTheRecordedFrames()
{
    TourBench t;
    QVERIFY(t.connectThroughHub());
    tour(t);
    if (QTest::currentTestFailed())
        return;
    compareWithRecording(t);
    // Every frame on the line was the panel's, forwarded by the hub: its
    // resend of the reboot poll as a resend, and nothing waited in vain.
    int lineFrames = 0;
    for (const QString& line : traceLines(QStringLiteral(TALVANE_TOUR_TRACE))) {
        const qsizetype bytes = (line.size() - 1) / 3;
        lineFrames += line.startsWith(u'<') && (bytes == qsizetype(kCommandFrameSize) || bytes == qsizetype(kDataFrameSize)
                                                 || bytes == qsizetype(kRawEdidBlockSize));
    }
    const hub::ControlServer::Counters& c = t.control->counters();
    QCOMPARE(int(c.forwarded + c.resends), lineFrames);
    QCOMPARE(int(c.resends), 1);
    QCOMPARE(int(c.unanswered + c.expired + c.duplicates + c.refusedFrames), 0);
}

namespace {

void tour(TourBench& t)
{
    SimBench& b = t.b;
    ScriptedModal& modal = *b.panel->modal;
    ManualClock& clock = b.panel->clock;

    // The greeting reads power and beeper.
    QVERIFY(waitFor([&] { return t.ready() && t.received(build::beepStateQuery()) == 1; }));

    // Status: the sixteen port queries.
    modal.queue([&](QDialog&) { QVERIFY(waitFor([] { return !Popups::instance().busyShown(); })); });
    t.w().controlAs<QPushButton>(ctl::Status)->click();
    QVERIFY(t.ready());
    QCOMPARE(b.label(ctl::StatusOutputA + 7), GeneralPage::outputStatusText(8, b.model().display[7]));

    // EDID page: the sweep, a preset, a file.
    t.tab(ctl::TabEdid);
    auto* edid = qobject_cast<CEDIDDlg*>(t.w().pageWindow(Page::Edid));
    QVERIFY(edid);
    QVERIFY(waitFor([&] { return t.ready() && t.received(build::edidQuery(8)) == 1; }));
    auto setting = [&](const CommandFrame* header) {
        return [&, header](QDialog&) {
            if (header) {
                QVERIFY(waitFor([&] { return t.received(*header) == 1; }));
                clock.advance(limits::EdidBlockPauseMs);
            }
            QVERIFY(waitFor([] { return Popups::instance().busyText() == text::SetSuccessfully; }));
            clock.advance(edid::kResultShownMs);
        };
    };
    edid->controlAs<QComboBox>(edid::ctl::PresetList)->setCurrentIndex(4);
    edid->controlAs<QComboBox>(edid::ctl::PresetTarget)->setCurrentIndex(2);
    modal.queue(setting(nullptr));
    edid->controlAs<QPushButton>(edid::ctl::PresetSet)->click();
    QVERIFY(t.ready());
    QCOMPARE(b.model().edidCode[2], 4);

    const simtest::Bytes file = simtest::edidFile(256, 1);
    const QString path = b.registry.filePath(QStringLiteral("display.bin"));
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(file.data()), qint64(file.size()));
    }
    edid->setFileChooser([path] { return path; });
    edid->controlAs<QPushButton>(edid::ctl::FileChoose)->click();
    edid->controlAs<QComboBox>(edid::ctl::FileTarget)->setCurrentIndex(1);
    const CommandFrame header = build::edidBlockHeader(false);
    modal.queue(setting(&header));
    edid->controlAs<QPushButton>(edid::ctl::FileSet)->click();
    QVERIFY(t.ready());
    QCOMPARE(b.model().edidBlockTarget, 2);

    // Matrix page: the route and ARC chains, a route, a step, ARC on.
    t.tab(ctl::TabMatrix);
    auto* matrixPage = qobject_cast<CMatrixDlg*>(t.w().pageWindow(Page::Matrix));
    QVERIFY(matrixPage);
    QVERIFY(waitFor([&] { return t.ready() && t.received(build::arcQuery(8)) == 1; }));
    QVERIFY(waitFor([&] { return matrixPage->controlAs<QCheckBox>(matrix::ctl::ArcOff[7])->isChecked(); }));
    matrixPage->controlAs<QPushButton>(matrix::ctl::Input[1][3])->click();
    QVERIFY(waitFor([&] { return t.ready() && b.model().route[1] == 4; }));
    QVERIFY(waitFor([&] { return matrixPage->controlAs<QPushButton>(matrix::ctl::Input[1][3])->isChecked(); }));
    matrixPage->controlAs<QPushButton>(matrix::ctl::Next[3])->click();
    QVERIFY(waitFor([&] { return t.ready() && b.model().route[3] == 5; }));
    matrixPage->controlAs<QCheckBox>(matrix::ctl::ArcOn[0])->click();
    QVERIFY(waitFor([&] { return t.ready() && b.model().arc[0]; }));
    QVERIFY(waitFor([&] { return matrixPage->controlAs<QCheckBox>(matrix::ctl::ArcOn[0])->isChecked(); }));

    // Upgrade page: the device information and identification, then a
    // 3,000-byte image through the reboot.
    t.tab(ctl::TabUpgrade);
    auto* upgradePage = qobject_cast<CFWDlg*>(t.w().pageWindow(Page::Upgrade));
    QVERIFY(upgradePage);
    const QString ident = QString::fromStdString(sim::identToText(b.model().ident));
    auto identShown = [&] { return upgradePage->controlAs<QLabel>(upgrade::ctl::IdentText)->text() == ident; };
    QVERIFY(waitFor([&] { return identShown() && t.ready(); }));
    QByteArray image(kImageSize, Qt::Uninitialized);
    for (int i = 0; i < kImageSize; ++i)
        image[i] = char((i * 7 + 3) & 0xFF);
    const QString imagePath = b.registry.filePath(QStringLiteral("image.bin"));
    {
        QFile f(imagePath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(image);
    }
    upgradePage->setFileChooser([imagePath] { return imagePath; });
    upgradePage->controlAs<QPushButton>(upgrade::ctl::Open)->click();
    upgradePage->controlAs<QPushButton>(upgrade::ctl::Upgrade)->click();
    auto log = [&] { return upgradePage->controlAs<QPlainTextEdit>(upgrade::ctl::Log)->toPlainText(); };
    QVERIFY(waitFor([&] { return log().contains(upgrade::line::Rebooting); }));
    // The switch, rebooting, does not answer the first query; the poll's next one finds it back.
    const CommandFrame rebootQuery = build::upgradePageQuery(/*rebootQuery=*/true);
    QVERIFY(waitFor([&] { return t.received(rebootQuery) == 1; }));
    const int identReads = t.received(build::identRead(3));
    clock.advance(limits::RebootPoll.firstMs);
    QVERIFY(waitFor([&] { return log().contains(upgrade::line::Success) && t.ready(); }));
    QVERIFY(waitFor([&] { return t.received(build::identRead(3)) == identReads + 1 && t.ready(); }));
    QCOMPARE(t.received(rebootQuery), 2);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(b.model().firmware.data()), kImageSize), image);

    // General page: power off and on, the beeper.
    t.tab(ctl::TabGeneral);
    QVERIFY(waitFor([&] { return t.ready() && t.received(build::beepStateQuery()) == 2; }));
    modal.queue(ScriptedModal::click(kOkButton));
    b.clickBox(ctl::PowerOn);
    QVERIFY(waitFor([&] { return !b.box(ctl::PowerOn)->isChecked() && !b.model().power; }));
    modal.queue([&](QDialog&) {
        QVERIFY(waitFor([&] { return b.box(ctl::PowerOn)->isChecked(); }));
        clock.advance(general::PowerOnResultMs);
        QCOMPARE(Popups::instance().busyText(), text::InitializingSuccessfully);
        clock.advance(general::PowerOnCloseMs);
    });
    b.clickBox(ctl::PowerOn);
    QVERIFY(waitFor([&] { return t.ready() && t.received(build::beepStateQuery()) == 3; }));
    QVERIFY(waitFor([&] { return b.box(ctl::EnableBeep)->isChecked(); }));
    b.clickBox(ctl::EnableBeep);
    QVERIFY(waitFor([&] { return !b.box(ctl::EnableBeep)->isChecked() && !b.model().beep; }));

    // TCP mode: search, then the network settings.
    t.w().controlAs<QRadioButton>(ctl::TcpMode)->click();
    auto* devices = t.w().controlAs<QComboBox>(ctl::DeviceList);
    t.w().controlAs<QPushButton>(ctl::Search)->click();
    QVERIFY(waitFor([&] { return devices->count() == 1; }));
    modal.queue(ScriptedModal::click(kConfigOk));
    modal.queue([&](QDialog&) {
        // The confirmation starts a second search, whose answer reports success.
        QVERIFY(waitFor([&] { return t.searchesReceived() == 2 && devices->count() == 1; }));
        clock.advance(kConfiguredResultMs);
        QCOMPARE(Popups::instance().busyText(), text::ConfigureSuccessfully);
        clock.advance(kConfiguredCloseMs);
    });
    t.w().networkPanel().configClicked();
    QVERIFY(!Popups::instance().busyShown());
    QCOMPARE(b.panel->messageTexts(), QStringList{text::AskPowerOff});
    QVERIFY(modal.failures().isEmpty());
}

void compareWithRecording(TourBench& t)
{
    const QStringList trace = traceLines(t.b.tracePath);
    const QString golden = QStringLiteral(TALVANE_TOUR_TRACE);
    if (qEnvironmentVariableIsSet("TALVANE_RECORD_TOUR")) {
        QFile f(golden);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(trace.join(QLatin1Char('\n')).toLatin1() + '\n');
        qWarning("recorded %d lines to %s", int(trace.size()), qPrintable(golden));
    }
    const QStringList recorded = traceLines(golden);
    QVERIFY2(!recorded.isEmpty(), qPrintable(QStringLiteral("no recorded tour at %1").arg(golden)));
    for (int i = 0; i < std::min(trace.size(), recorded.size()); ++i)
        QVERIFY2(trace[i] == recorded[i], qPrintable(QStringLiteral("line %1: got\n  %2\nrecorded\n  %3")
                                                         .arg(i + 1)
                                                         .arg(trace[i], recorded[i])));
    QCOMPARE(trace.size(), recorded.size());
}

}  // namespace

QTEST_MAIN(TestTour)
#include "test_tour.moc"
