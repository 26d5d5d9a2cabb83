// The panel against the in-process switch simulator over TCP on loopback,
// with the search on the loopback broadcast: search, connect, the status
// chain with every reply split across two writes, and a firmware upload
// through the control connection. The simulator's split replies wait on the
// manual clock, so the clock moves in small steps while the real bytes are
// awaited.
#include <QtTest>

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/networkpanel.h"
#include "link/tcplink.h"
#include "pages/upgradepage.h"
#include "protocol/commands.h"
#include "sim/simulator.h"
#include "support/simbench.h"

using namespace talvane;

namespace {

struct TcpBench {
    QTemporaryDir dir;
    std::unique_ptr<PanelFixture> panel = std::make_unique<PanelFixture>(false);
    std::unique_ptr<sim::Simulator> sim;

    TcpBench()
    {
        panel->window->setLink(LinkMode::Tcp, &window().tcpLink());
        NetEndpoints e = window().networkPanel().endpoints();
        sim::SimOptions o;
        o.serial = false;
        o.tcpPort = 0;
        o.searchPort = e.searchPort;
        o.configPort = e.configPort;
        o.tracePath = dir.filePath(QStringLiteral("trace.txt"));
        sim = std::make_unique<sim::Simulator>(o);
        if (!sim->start())
            return;
        e.tcpPort = sim->tcpPort();
        window().networkPanel().setEndpoints(e);
        window().controlAs<QRadioButton>(ctl::TcpMode)->click();
    }
    ~TcpBench()
    {
        sim.reset();  // its timers run on the panel's manual clock
        panel.reset();
    }

    CTalvaneDlg& window() { return *panel->window; }
    QComboBox* devices() { return window().controlAs<QComboBox>(ctl::DeviceList); }
    QString text(int id) { return window().control(id)->property("text").toString(); }

    // Real I/O until `cond`, the manual clock moving `stepMs` a step.
    bool runUntil(const std::function<bool()>& cond, int steps = 2000, int stepMs = 10)
    {
        for (int i = 0; i < steps; ++i) {
            if (waitFor(cond, 20))
                return true;
            panel->clock.advance(stepMs);
        }
        return cond();
    }

    bool searchAndConnect()
    {
        window().controlAs<QPushButton>(ctl::Search)->click();
        if (!runUntil([&] { return devices()->count() > 0; }))
            return false;
        window().controlAs<QPushButton>(ctl::TcpConnect)->click();
        return runUntil([&] { return window().tcpLink().isOpen() && window().ready(); });
    }
};

}  // namespace

class TestE2ETcp : public QObject {
    Q_OBJECT
private slots:
    void searchConnectAndStatusWithSplitReplies();
    void firmwareUploadOverTcp();
};

void TestE2ETcp::searchConnectAndStatusWithSplitReplies()
{
    TcpBench b;
    QVERIFY(b.sim->tcpPort() != 0);
    QVERIFY(b.searchAndConnect());
    QCOMPARE(b.devices()->itemText(0), QStringLiteral("127.0.0.1"));
    QCOMPARE(b.text(ctl::TcpConnect), QStringLiteral("Disconnect"));
    QVERIFY(b.runUntil([&] { return b.window().controlAs<QCheckBox>(ctl::PowerOn)->isChecked(); }));
    QCOMPARE(b.window().linkStatus(), QStringLiteral("Connected: 127.0.0.1"));

    sim::SwitchModel& m = b.sim->device().model();
    m.source = {true, false, true, false, true, false, false, true};
    m.display = {false, true, false, false, false, false, true, true};
    sim::FaultSettings& f = b.sim->device().faults();
    int splits = 0;
    b.panel->modal->queue([&](QDialog&) {
        QVERIFY(b.runUntil([&] {
            // Every reply goes out in two writes, 6 bytes first.
            if (f.splitNextAt == 0) {
                f.splitNextAt = 6;
                ++splits;
            }
            return !Popups::instance().busyShown();
        }));
    });
    b.window().controlAs<QPushButton>(ctl::Status)->click();
    QVERIFY(splits >= 16);
    for (int n = 1; n <= 8; ++n) {
        QCOMPARE(b.window().controlAs<QLabel>(ctl::StatusInput1 + n - 1)->text(), GeneralPage::inputStatusText(n, m.source[n - 1]));
        QCOMPARE(b.window().controlAs<QLabel>(ctl::StatusOutputA + n - 1)->text(),
                 GeneralPage::outputStatusText(n, m.display[n - 1]));
    }
    QVERIFY(b.panel->messageTexts().isEmpty());
    QVERIFY(b.window().ready());
}

void TestE2ETcp::firmwareUploadOverTcp()
{
    TcpBench b;
    QVERIFY(b.searchAndConnect());
    b.window().pressAt(b.window().control(ctl::TabUpgrade)->geometry().center());
    auto* page = qobject_cast<CFWDlg*>(b.window().pageWindow(Page::Upgrade));
    QVERIFY(page);
    QVERIFY(b.runUntil([&] { return b.window().ready(); }));

    QByteArray image(20000, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 13 + i / 256);
    const QString path = b.dir.filePath(QStringLiteral("image.bin"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(image) == image.size());
    f.close();
    page->setFileChooser([path] { return path; });
    page->openClicked();
    page->controlAs<QPushButton>(upgrade::ctl::Upgrade)->click();
    auto log = [&] { return page->controlAs<QPlainTextEdit>(upgrade::ctl::Log)->toPlainText(); };
    // Every 1029-byte block went out whole: the switch holds the image, and
    // it reboots and is found back.
    QVERIFY(b.runUntil([&] { return log().contains(upgrade::line::Success); }, 2000, 100));
    const std::vector<std::uint8_t>& held = b.sim->device().model().firmware;
    QVERIFY(held.size() >= std::size_t(image.size()));
    QVERIFY(std::equal(image.begin(), image.end(), held.begin(), [](char a, std::uint8_t c) { return std::uint8_t(a) == c; }));
}

QTEST_MAIN(TestE2ETcp)
#include "test_e2e_tcp.moc"
