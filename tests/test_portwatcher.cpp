// The port list's change watcher against a temporary directory standing in
// for /dev, /dev/serial/by-id and the virtual port registry: one changed() per
// burst of events, kSettleMs after it; a slow refresh without events; nothing
// at all while inactive. Time runs on a manual clock. The kernel queues an
// event before the call that caused it returns, so one pass of the event loop
// afterwards shows whether the watcher saw one.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/clock.h"
#include "link/portwatcher.h"

using namespace talvane;

namespace {

// Processes events until `cond` holds (the deadline only ends a failing test).
bool waitFor(const std::function<bool()>& cond, int deadlineMs = 10000)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer wake;
    wake.start(50);
    while (!cond()) {
        if (elapsed.elapsed() >= deadlineMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool touch(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

struct Fixture {
    QTemporaryDir root;
    ManualClock clock;
    QString dev, byId, registry, hubs;
    std::unique_ptr<PortWatcher> watcher;
    std::unique_ptr<QSignalSpy> spy;

    Fixture()
    {
        dev = root.filePath("dev");
        byId = dev + "/serial/by-id";
        registry = root.filePath("talvane-ports");
        hubs = root.filePath("talvane-hubs");
        QDir().mkpath(dev);
        QDir().mkpath(registry);
        QDir().mkpath(hubs);
        watcher = std::make_unique<PortWatcher>(QStringList{dev, dev + "/serial", byId, registry}, &clock, nullptr,
                                                QStringList{hubs});
        spy = std::make_unique<QSignalSpy>(watcher.get(), &PortWatcher::changed);
    }
    // Activates, and lets the change that activation counts as go by.
    bool activate()
    {
        watcher->setActive(true);
        clock.advance(PortWatcher::kSettleMs);
        const bool once = spy->count() == 1;
        spy->clear();
        return once;
    }
};

}  // namespace

class TestPortWatcher : public QObject {
    Q_OBJECT
private slots:
    void oneChangePerBurst_data()
    {
        QTest::addColumn<QString>("burst");
        QTest::newRow("adapter plugged in") << "node";
        QTest::newRow("adapter with its by-id link") << "node+link";
        QTest::newRow("adapter unplugged") << "remove";
        QTest::newRow("group given after the node") << "chmod";
        QTest::newRow("virtual port registered") << "register";
        QTest::newRow("hub service started: its instance directory") << "hub-instance";
        QTest::newRow("first adapter: by-id appears") << "first-by-id";
        QTest::newRow("several adapters at once") << "many";
    }

    void oneChangePerBurst()
    {
        QFETCH(QString, burst);
        Fixture fx;
        const QString node = fx.dev + "/ttyUSB0";
        if (burst == "remove" || burst == "chmod")
            QVERIFY(touch(node));
        if (burst != "first-by-id" && burst != "node")
            QVERIFY(QDir().mkpath(fx.byId));
        QVERIFY(fx.activate());

        if (burst == "node") {
            QVERIFY(touch(node));
        } else if (burst == "node+link") {
            QVERIFY(touch(node));
            QVERIFY(QFile::link(node, fx.byId + "/usb-FTDI_FT232R-if00-port0"));
        } else if (burst == "remove") {
            QVERIFY(QFile::remove(node));
        } else if (burst == "chmod") {
            QVERIFY(::chmod(QFile::encodeName(node).constData(), 0660) == 0);
        } else if (burst == "register") {
            QVERIFY(touch(fx.registry + "/COM129"));
        } else if (burst == "first-by-id") {
            QVERIFY(QDir().mkpath(fx.byId));
        } else if (burst == "hub-instance") {
            QVERIFY(QDir().mkpath(fx.hubs + "/COM1"));
        } else {
            for (int i = 0; i < 4; ++i)
                QVERIFY(touch(fx.dev + QStringLiteral("/ttyACM%1").arg(i)));
            QVERIFY(QFile::remove(fx.dev + "/ttyACM3"));
        }
        QVERIFY(waitFor([&] { return fx.watcher->changePending(); }));
        fx.clock.advance(PortWatcher::kSettleMs - 1);
        QCOMPARE(fx.spy->count(), 0);
        fx.clock.advance(1);
        QCOMPARE(fx.spy->count(), 1);
        QCoreApplication::processEvents();
        QVERIFY(!fx.watcher->changePending());

        const bool appeared = burst == "first-by-id" || burst == "hub-instance";
        if (burst == "first-by-id") {
            // The directory that appeared is watched from now on.
            QVERIFY(QFile::link("../../ttyUSB0", fx.byId + "/usb-Prolific-if00-port0"));
        } else if (burst == "hub-instance") {
            // So is a directory that appeared in a tree: the hub's entry in it shows.
            QVERIFY(touch(fx.hubs + "/COM1/hub-4242"));
        }
        if (appeared) {
            QVERIFY(waitFor([&] { return fx.watcher->changePending(); }));
            fx.clock.advance(PortWatcher::kSettleMs);
            QCOMPARE(fx.spy->count(), 2);
        }
        // The burst is over: nothing more until the safety refresh.
        fx.clock.advance(PortWatcher::kSafetyRefreshMs - 1);
        QCOMPARE(fx.spy->count(), appeared ? 2 : 1);
    }

    void safetyRefreshWithoutEvents()
    {
        Fixture fx;
        QVERIFY(fx.activate());
        for (int i = 1; i <= 3; ++i) {
            fx.clock.advance(PortWatcher::kSafetyRefreshMs - 1);
            QCOMPARE(fx.spy->count(), i - 1);
            fx.clock.advance(1);
            QCOMPARE(fx.spy->count(), i);
        }
        // A change starts the slow period again.
        fx.clock.advance(PortWatcher::kSafetyRefreshMs / 2);
        QVERIFY(touch(fx.dev + "/ttyUSB1"));
        QVERIFY(waitFor([&] { return fx.watcher->changePending(); }));
        fx.clock.advance(PortWatcher::kSettleMs);
        QCOMPARE(fx.spy->count(), 4);
        fx.clock.advance(PortWatcher::kSafetyRefreshMs - 1);
        QCOMPARE(fx.spy->count(), 4);
        fx.clock.advance(1);
        QCOMPARE(fx.spy->count(), 5);
    }

    void inactiveWatchesNothing()
    {
        Fixture fx;
        QVERIFY(fx.activate());
        fx.watcher->setActive(false);
        QCOMPARE(fx.clock.runningCount(), 0);
        QVERIFY(touch(fx.dev + "/ttyUSB0"));
        QVERIFY(touch(fx.registry + "/COM129"));
        QCoreApplication::processEvents();
        QVERIFY(!fx.watcher->changePending());
        fx.clock.advance(10 * PortWatcher::kSafetyRefreshMs);
        QCOMPARE(fx.spy->count(), 0);
        // Back on: what happened meanwhile is read again once.
        QVERIFY(fx.activate());
        QVERIFY(touch(fx.dev + "/ttyUSB1"));
        QVERIFY(waitFor([&] { return fx.watcher->changePending(); }));
    }

    void listedNodesOpenedOrClosedByOthers_data()
    {
        QTest::addColumn<bool>("watched");
        QTest::newRow("a node the list considers") << true;
        QTest::newRow("any other node") << false;
    }

    void listedNodesOpenedOrClosedByOthers()
    {
        QFETCH(bool, watched);
        Fixture fx;
        const QString node = fx.dev + "/ttyUSB0";
        QVERIFY(touch(node));
        if (watched)
            fx.watcher->setNodes({node});
        QVERIFY(fx.activate());
        // Another program opens the port, and later closes it.
        const QByteArray path = QFile::encodeName(node);
        const int fd = ::open(path.constData(), O_RDWR);
        QVERIFY(fd >= 0);
        QCoreApplication::processEvents();
        QCOMPARE(fx.watcher->changePending(), watched);
        fx.clock.advance(PortWatcher::kSettleMs);
        QCOMPARE(fx.spy->count(), watched ? 1 : 0);
        ::close(fd);
        QCoreApplication::processEvents();
        QCOMPARE(fx.watcher->changePending(), watched);
        fx.clock.advance(PortWatcher::kSettleMs);
        QCOMPARE(fx.spy->count(), watched ? 2 : 0);
        // Dropped from the set: no longer watched.
        fx.watcher->setNodes({});
        ::close(::open(path.constData(), O_RDWR));
        QCoreApplication::processEvents();
        QVERIFY(!fx.watcher->changePending());
    }

    // A virtual port's owner (a simulator) ends without unregistering: its
    // pseudo-terminal goes away, and the list hears of it at once.
    void virtualPortOwnerEnds()
    {
        Fixture fx;
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString slavePath = QString::fromLocal8Bit(::ptsname(master));
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(slave >= 0);
        fx.watcher->setNodes({slavePath});
        QVERIFY(fx.activate());
        ::close(slave);
        ::close(master);
        QVERIFY(waitFor([&] { return fx.watcher->changePending(); }));
        fx.clock.advance(PortWatcher::kSettleMs);
        QCOMPARE(fx.spy->count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPortWatcher)
#include "test_portwatcher.moc"
