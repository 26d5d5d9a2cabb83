// Real limited broadcasts (255.255.255.255) between the panel and the switch
// simulator, each in a network namespace of its own, joined by a veth pair
// that exists only inside them: the search over UDP 30600, the connection to
// TCP 8000 and the network settings over UDP 30601, on the panel's own ports
// and addresses. Nothing can leave the machine: the namespaces have no other
// interface, and they vanish with the process. Needs root and iproute2;
// skipped otherwise.
#include <QtTest>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "app/controlids.h"
#include "app/networkpanel.h"
#include "dialogs/configipdlg.h"
#include "dialogs/statusdlg.h"
#include "link/tcplink.h"
#include "sim/simulator.h"
#include "support/simbench.h"

using namespace talvane;

namespace {

const char kPanelAddress[] = "10.77.0.1";
const char kSwitchAddress[] = "10.77.0.2";

QString g_notIsolated;  // why the namespaces could not be made; empty when they were
int g_panelNs = -1;
int g_switchNs = -1;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

int currentNamespace() { return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC); }

// Must run before any thread starts: setns() moves only the calling thread.
QString makeNamespaces()
{
    if (::geteuid() != 0)
        return QStringLiteral("not running as root");
    if (!run("command -v ip"))
        return QStringLiteral("iproute2 (ip) is not installed");
    if (::unshare(CLONE_NEWNET) != 0 || (g_panelNs = currentNamespace()) < 0)
        return QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (::unshare(CLONE_NEWNET) != 0 || (g_switchNs = currentNamespace()) < 0)
        return QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    // Now in the switch's namespace; the pair's other end goes to the panel's.
    const std::string panelNs = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(g_panelNs);
    const bool switchSide = run("ip link set lo up") && run("ip link add sw0 type veth peer name pn0 netns " + panelNs)
                            && run(std::string("ip addr add ") + kSwitchAddress + "/24 dev sw0")
                            && run("ip link set sw0 up") && run("ip route add default dev sw0");
    if (!switchSide)
        return QStringLiteral("cannot set up the switch's side of the veth pair");
    if (::setns(g_panelNs, CLONE_NEWNET) != 0)
        return QStringLiteral("setns: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    const bool panelSide = run("ip link set lo up") && run(std::string("ip addr add ") + kPanelAddress + "/24 dev pn0")
                           && run("ip link set pn0 up") && run("ip route add default dev pn0");
    return panelSide ? QString() : QStringLiteral("cannot set up the panel's side of the veth pair");
}

// The panel in its namespace on the real ports and the limited broadcast, the
// simulator in the other one answering with real broadcasts.
struct NetnsBench {
    std::unique_ptr<PanelFixture> panel;
    std::unique_ptr<sim::Simulator> sim;
    QString error;

    NetnsBench()
    {
        if (::setns(g_switchNs, CLONE_NEWNET) != 0) {
            error = QStringLiteral("setns");
            return;
        }
        sim::SimOptions o;
        o.serial = false;
        o.network = true;
        sim = std::make_unique<sim::Simulator>(o);
        const bool started = sim->start(&error);
        ::setns(g_panelNs, CLONE_NEWNET);
        if (!started)
            return;
        panel = std::make_unique<PanelFixture>(false);
        panel->window->setLink(LinkMode::Tcp, &window().tcpLink());
        window().networkPanel().setEndpoints(NetEndpoints{});
        window().controlAs<QRadioButton>(ctl::TcpMode)->click();
    }
    ~NetnsBench()
    {
        sim.reset();
        panel.reset();
    }

    CTalvaneDlg& window() { return *panel->window; }
    QComboBox* devices() { return window().controlAs<QComboBox>(ctl::DeviceList); }
    void click(int id) { window().controlAs<QAbstractButton>(id)->click(); }
};

}  // namespace

class TestNetnsTcp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!g_notIsolated.isEmpty())
            QSKIP(qPrintable("needs two network namespaces joined by a veth pair: " + g_notIsolated));
    }

    void searchConfigureAndConnectAcrossThePair()
    {
        NetnsBench b;
        QVERIFY2(b.panel, qPrintable(b.error));
        b.click(ctl::Search);
        QVERIFY(waitFor([&] { return b.devices()->count() > 0; }));
        QCOMPARE(b.devices()->itemText(0), QString::fromLatin1(kSwitchAddress));
        b.click(ctl::TcpConnect);
        QVERIFY(waitFor([&] { return b.window().controlAs<QCheckBox>(ctl::PowerOn)->isChecked(); }));
        QCOMPARE(b.window().linkStatus(), QStringLiteral("Connected: %1").arg(kSwitchAddress));

        // The settings go out and come back as broadcasts; the search that
        // follows finds the switch with its new address.
        QString result;
        b.panel->modal->queue([&](QDialog& d) {
            ScriptedModal::click(CConfigIPDlg::kStaticIpId)(d);
            static_cast<CConfigIPDlg&>(d).ipBox(3)->setText(QStringLiteral("50"));
            ScriptedModal::click(CConfigIPDlg::kOkId)(d);
        });
        b.panel->modal->queue([&](QDialog& d) {
            // Found again with the new address: the result follows.
            QVERIFY(waitFor([&] { return b.devices()->findText(QStringLiteral("10.77.0.50")) >= 0; }));
            b.panel->clock.advance(kConfiguredResultMs);
            result = static_cast<CStatusDlg&>(d).shownText();
            b.panel->clock.advance(kConfiguredCloseMs);
        });
        b.click(ctl::Config);
        QCOMPARE(result, text::ConfigureSuccessfully);
        QCOMPARE(b.devices()->itemText(0), QStringLiteral("10.77.0.50"));
    }
};

int main(int argc, char** argv)
{
    g_notIsolated = makeNamespaces();
    QApplication app(argc, argv);
    TestNetnsTcp test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_netns_tcp.moc"
