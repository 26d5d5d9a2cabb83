// Real limited broadcasts (255.255.255.255), which must never leave this
// machine: the whole test runs in a network namespace of its own, with only a
// loopback interface and a route for the limited broadcast over it. Where a
// namespace cannot be made, the tests are skipped.
#include <QtTest>

#include "sim/simulator.h"
#include "support/netns.h"
#include "test_sim_cases.h"

using namespace talvane;
using namespace talvane::sim;
using namespace simtest;

namespace {
QString g_notIsolated;  // why there is no namespace of our own; empty when there is
}  // namespace

class TestSimNetns : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!g_notIsolated.isEmpty())
            QSKIP(qPrintable("no network namespace of our own: " + g_notIsolated));
        setAppClock(&clock_);
    }

    void searchAnswers_data()
    {
        QTest::addColumn<bool>("network");
        QTest::addColumn<QString>("answerTo");
        QTest::newRow("network mode") << true << "255.255.255.255";
        // The request's source reads 0.0.0.0 here; it is still a local one.
        QTest::newRow("local mode") << false << "127.255.255.255";
    }

    void searchAnswers()
    {
        QFETCH(bool, network);
        QFETCH(QString, answerTo);
        SimOptions o = onFreePorts();
        o.serial = false;
        o.network = network;
        Simulator sim(o);
        QString error;
        QVERIFY2(sim.start(&error), qPrintable(error));
        QVERIFY(sim.endpointLines().first().startsWith(network ? "tcp: 0.0.0.0:" : "tcp: 127.0.0.1:"));
        PanelSocket panel(sim.searchPort());
        QVERIFY(panel.bound);
        const QByteArray request(1, char(kSearchRequestByte));
        QCOMPARE(panel.writeDatagram(request, QHostAddress(QHostAddress::Broadcast), sim.searchPort()), qint64(1));
        const QNetworkDatagram answer = panel.await([](const QByteArray& d) { return d.size() > 1; });
        QCOMPARE(answer.destinationAddress(), QHostAddress(answerTo));
        const auto r = searchReplyOf(answer.data());
        QVERIFY(r && r->marked);
        QCOMPARE(QString::fromStdString(ipToText(r->ip)), QString("127.0.0.1"));  // only loopback here
    }

private:
    ManualClock clock_;
};

int main(int argc, char** argv)
{
    g_notIsolated = netns::enterOwn();
    QCoreApplication app(argc, argv);
    TestSimNetns test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_sim_netns.moc"
