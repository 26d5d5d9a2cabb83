// The serial port list on fake device records, a fake sysfs tree and
// temporary lock files and registries; holders, locks and permissions on real
// pseudo-terminals, processes and /proc.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/serialport.h"
#include "link/serialportlist.h"
#include "support/pty.h"

Q_DECLARE_METATYPE(talvane::TtyDevice)

using namespace talvane;
using talvane::test::processEventsUntil;
using talvane::test::PtyPair;

namespace {

class FakeSource : public TtyDeviceSource {
public:
    std::vector<TtyDevice> list;
    QString failure;     // non-empty: the source cannot be read
    QStringList watched;  // directories that change with the devices
    mutable int reads = 0;

    bool devices(std::vector<TtyDevice>& out, QString& error) const override
    {
        ++reads;
        if (failure.isEmpty())
            out = list;
        error = failure;
        return failure.isEmpty();
    }
    QStringList watchDirectories() const override { return watched; }
};

// Stand-ins for device nodes: a port whose node is missing is not listed.
QString fakeDev(const QString& name)
{
    static QTemporaryDir dir;
    return dir.path() + QLatin1Char('/') + name;
}

TtyDevice tty(const QString& name, const QString& description = {}, bool usb = false, int uartType = -1)
{
    return {name, fakeDev(name), description, usb, uartType, {}};
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

struct Fixture {
    QTemporaryDir registryDir, lockDir, configDir;
    QString procLocks = QStringLiteral("/nonexistent/locks");
    QString comNumbers;  // empty: numbers kept by each enumerator
    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();

    SerialPortEnumerator enumerator() const
    {
        for (const TtyDevice& d : source->list)
            if (!QFileInfo::exists(d.devicePath))
                writeFile(d.devicePath, {});
        return SerialPortEnumerator(source, VirtualPortRegistry(registryDir.path()),
                                    PortLockPaths{{lockDir.path()}, procLocks}, comNumbers);
    }
    // For a check run as nobody: no registry (the temporary one is root's,
    // and rightly refused to nobody).
    SerialPortEnumerator enumeratorForNobody() const
    {
        return SerialPortEnumerator(source, VirtualPortRegistry(registryDir.filePath("none")),
                                    PortLockPaths{{lockDir.path()}, procLocks});
    }
    std::vector<SerialPortRecord> list() const
    {
        std::vector<SerialPortRecord> out;
        QString error;
        if (!enumerator().enumerate(out, error))
            qWarning("enumeration failed: %s", qPrintable(error));
        return out;
    }
};

const SerialPortRecord* find(const std::vector<SerialPortRecord>& records, const QString& devicePath)
{
    for (const SerialPortRecord& r : records)
        if (r.devicePath == devicePath)
            return &r;
    return nullptr;
}

bool listed(SerialPortEnumerator& e, const QString& devicePath)
{
    std::vector<SerialPortRecord> out;
    QString error;
    return e.enumerate(out, error) && find(out, devicePath);
}

// The id of a process that has ended and been reaped.
qint64 endedPid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

// Runs `work` in a child process as an unprivileged user (nobody), through
// the real checks; what it returns comes back in `report`. False when the
// child could not become nobody or failed.
constexpr uid_t kNobody = 65534;
bool runAsNobody(const std::function<QByteArray()>& work, QByteArray& report)
{
    int result[2];
    if (::pipe(result) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(result[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        const QByteArray out = work();
        ::_exit(::write(result[1], out.constData(), size_t(out.size())) == out.size() ? 0 : 4);
    }
    ::close(result[1]);
    report.clear();
    char buffer[512];
    for (ssize_t n; (n = ::read(result[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, n);
    ::close(result[0]);
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        qWarning("the child as nobody ended with status %d", status);
        return false;
    }
    return true;
}

// The COM numbers the list gives, by device name.
QMap<QString, int> numbersOf(const std::vector<SerialPortRecord>& records)
{
    QMap<QString, int> out;
    for (const SerialPortRecord& r : records)
        out[QFileInfo(r.devicePath).fileName()] = r.comNumber;
    return out;
}

}  // namespace

class TestSerialPortList : public QObject {
    Q_OBJECT

private slots:
    void recordFromDevice_data()
    {
        QTest::addColumn<TtyDevice>("device");
        QTest::addColumn<int>("com");  // 0: not listed
        QTest::addColumn<QString>("friendlyName");
        QTest::addColumn<QString>("description");

        QTest::newRow("UART") << tty("ttyS0", {}, false, 4) << 1 << "Communications Port (COM1)" << "Communications Port";
        QTest::newRow("ttyS31") << tty("ttyS31") << 32 << "Communications Port (COM32)" << "Communications Port";
        QTest::newRow("ttyS without a UART") << tty("ttyS1", {}, false, 0) << 0 << "" << "";
        QTest::newRow("USB adapter") << tty("ttyUSB0", "FT232R USB UART", true) << 33 << "FT232R USB UART (COM33)"
                                     << "FT232R USB UART";
        QTest::newRow("ttyUSB31, no strings") << tty("ttyUSB31", {}, true) << 64 << "USB Serial Port (COM64)" << "USB Serial Port";
        QTest::newRow("ttyACM2") << tty("ttyACM2", "Board CDC", true) << 67 << "Board CDC (COM67)" << "Board CDC";
        QTest::newRow("ttyS32 is past its family") << tty("ttyS32") << 97 << "Communications Port (COM97)" << "Communications Port";
        QTest::newRow("ttySAC0 is another family") << tty("ttySAC0") << 97 << "Serial Port (COM97)" << "Serial Port";
        QTest::newRow("parenthesis in the name") << tty("ttyUSB1", "Dongle (Rev B)", true) << 34
                                                 << "Dongle (Rev B) (COM34)" << "Dongle (Rev B) (COM34)";
    }

    void recordFromDevice()
    {
        QFETCH(TtyDevice, device);
        QFETCH(int, com);
        QFETCH(QString, friendlyName);
        QFETCH(QString, description);
        Fixture fx;
        fx.source->list = {device};
        const auto records = fx.list();
        QCOMPARE(records.size(), std::size_t(com ? 1 : 0));
        if (!com)
            return;
        const SerialPortRecord& r = records[0];
        QCOMPARE(r.comNumber, com);
        QCOMPARE(r.portName, QStringLiteral("COM%1").arg(com));
        QCOMPARE(r.devicePath, device.devicePath);
        QCOMPARE(r.friendlyName, friendlyName);
        QCOMPARE(r.portDescription, description);
        QCOMPARE(r.usb, device.usb);
        QCOMPARE(fx.enumerator().devicePathOf(com), device.devicePath);
    }

    void otherDevicesNumberedInNameOrderUpTo128()
    {
        Fixture fx;
        fx.source->list = {tty("ttyAMA10"), tty("ttyUSB1"), tty("ttyAMA2")};
        for (int i = 0; i < 40; ++i)
            fx.source->list.push_back(tty(QStringLiteral("ttyX%1").arg(i)));
        const auto records = fx.list();
        QCOMPARE(find(records, fakeDev("ttyAMA2"))->comNumber, 97);
        QCOMPARE(find(records, fakeDev("ttyAMA10"))->comNumber, 98);
        QCOMPARE(find(records, fakeDev("ttyUSB1"))->comNumber, 34);
        QCOMPARE(find(records, fakeDev("ttyX0"))->comNumber, 99);
        QCOMPARE(find(records, fakeDev("ttyX29"))->comNumber, 128);
        QCOMPARE(records.size(), std::size_t(3 + 30));
        for (std::size_t i = 1; i < records.size(); ++i)
            QVERIFY(records[i - 1].comNumber < records[i].comNumber);
    }

    // The usual cut is checked on whole records above; these are the texts left whole.
    void descriptionFromFriendlyName_data()
    {
        QTest::addColumn<QString>("friendlyName");
        QTest::addColumn<QString>("description");  // of a record named COM5
        QTest::newRow("one letter") << "X (COM5)" << "X";
        QTest::newRow(" ( at the start") << " (COM5)" << " (COM5)";
        QTest::newRow(") not last") << "Port (COM5) extra" << "Port (COM5) extra";
        QTest::newRow("no )") << "Port (COM5" << "Port (COM5";
        QTest::newRow("empty: the port name") << "" << "COM5";
    }

    void descriptionFromFriendlyName()
    {
        QFETCH(QString, friendlyName);
        QFETCH(QString, description);
        SerialPortRecord r;
        r.friendlyName = friendlyName;
        r.portName = "COM5";
        completeRecord(r);
        QCOMPARE(r.portDescription, description);
        QCOMPARE(r.friendlyName, friendlyName.isEmpty() ? r.portName : friendlyName);
    }

    void portsInUseAreLeftOut_data()
    {
        QTest::addColumn<QString>("lockFile");     // pid in the LCK.. file, if any
        QTest::addColumn<QByteArray>("procLock");  // the node's line in /proc/locks, if any
        QTest::addColumn<bool>("listed");
        QTest::newRow("free") << "" << QByteArray() << true;
        QTest::newRow("live lock file, ASCII pid") << "live" << QByteArray() << false;
        QTest::newRow("live lock file, binary pid") << "binary" << QByteArray() << false;
        QTest::newRow("stale lock file") << "stale" << QByteArray() << true;
        // Left by an earlier process that had this one's id: not a holder.
        QTest::newRow("lock file naming this process") << "own" << QByteArray() << true;
        QTest::newRow("exclusive lock") << "" << QByteArray("FLOCK  ADVISORY  WRITE") << false;
        QTest::newRow("shared lock") << "" << QByteArray("FLOCK  ADVISORY  READ") << true;
        QTest::newRow("waiting for an exclusive lock") << "" << QByteArray("-> FLOCK  ADVISORY  WRITE") << true;
    }

    void portsInUseAreLeftOut()
    {
        QFETCH(QString, lockFile);
        QFETCH(QByteArray, procLock);
        QFETCH(bool, listed);
        Fixture fx;
        // Stand-in for the device node: a file that exists, so its inode can be matched.
        QTemporaryDir devDir;
        const QString node = devDir.path() + "/ttyUSB0";
        QVERIFY(writeFile(node, {}));
        fx.source->list = {{"ttyUSB0", node, "Adapter", true, -1, {}}};

        // The parent (ctest or a shell) is alive; no process has a pid past pid_t's range.
        const qint32 live = qint32(::getppid());
        const qint64 pid = lockFile == "stale" ? 0x7ffffffe : lockFile == "own" ? qint64(::getpid()) : live;
        const QByteArray ascii = QByteArray::number(pid).rightJustified(10, ' ') + '\n';
        if (!lockFile.isEmpty())
            QVERIFY(writeFile(fx.lockDir.path() + "/LCK..ttyUSB0",
                              lockFile == "binary" ? QByteArray(reinterpret_cast<const char*>(&live), sizeof live) : ascii));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(node).constData(), &st), 0);
        QByteArray locks = "1: POSIX  ADVISORY  WRITE 77 00:05:1 0 EOF\n";  // another file
        if (!procLock.isEmpty())
            locks += "2: " + procLock + ' ' + QByteArray::number(live) + ' '
                     + QString::asprintf("%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev), ulong(st.st_ino)).toLatin1() + " 0 EOF\n";
        fx.procLocks = devDir.path() + "/locks";
        QVERIFY(writeFile(fx.procLocks, locks));

        QCOMPARE(find(fx.list(), node) != nullptr, listed);
        // In use or not, the COM number still leads to the device.
        QCOMPARE(fx.enumerator().devicePathOf(33), node);
    }

    // Text and binary PIDs apart: PID 1 is always alive, so a binary PID whose
    // bytes start like the text "1" must not come back as 1.
    void lockFileFormats_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("readAsOne");
        QTest::newRow("text PID 1") << QByteArray("         1\n") << true;
        // Four bytes, as a binary PID has, but no NUL: text ("999\n").
        QTest::newRow("four bytes of text: PID 1") << QByteArray("  1\n") << true;
        QTest::newRow("four bytes of text: PID 001") << QByteArray("001\n") << true;
        QTest::newRow("binary PID 49: a digit, then NULs") << QByteArray("1\0\0\0", 4) << false;
        QTest::newRow("binary PID 12576: a space and a digit") << QByteArray(" 1\0\0", 4) << false;
    }
    void lockFileFormats()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, readAsOne);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("LCK..ttyS0"));
        QVERIFY(writeFile(path, content));
        QCOMPARE(liveLockFileOwner(QStringList{path}) == 1, readAsOne);
    }

    // A lock file of another user's process: the check may not signal it
    // (EPERM), which still means it is alive and the port held. Run as
    // nobody against a lock file naming this (root's) process.
    void lockFilesOfOtherUsers_data()
    {
        QTest::addColumn<QString>("lockFile");
        QTest::addColumn<bool>("held");
        QTest::newRow("another user's live process, text PID") << "text" << true;
        QTest::newRow("another user's live process, binary PID") << "binary" << true;
        QTest::newRow("a process that has ended") << "ended" << false;
    }
    void lockFilesOfOtherUsers()
    {
        QFETCH(QString, lockFile);
        QFETCH(bool, held);
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user");
        Fixture fx;
        QTemporaryDir dev;
        const QString node = dev.filePath("ttyUSB0");
        QVERIFY(writeFile(node, {}));
        for (const QString& path : {dev.path(), fx.lockDir.path()})
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(node).constData(), 0666), 0);
        fx.source->list = {{"ttyUSB0", node, "Adapter", true, -1, {}}};
        const qint32 owner = lockFile == "ended" ? qint32(endedPid()) : qint32(::getpid());
        const QString lock = fx.lockDir.filePath("LCK..ttyUSB0");
        QVERIFY(writeFile(lock, lockFile == "binary" ? QByteArray(reinterpret_cast<const char*>(&owner), sizeof owner)
                                                     : QByteArray::number(owner).rightJustified(10, ' ') + '\n'));
        QCOMPARE(::chmod(QFile::encodeName(lock).constData(), 0644), 0);
        SerialPortEnumerator e = fx.enumeratorForNobody();
        QByteArray report;
        QVERIFY(runAsNobody(
            [&] {
                std::vector<SerialPortRecord> out;
                QString error;
                const bool ok = e.enumerate(out, error);
                return QByteArray::number(liveLockFileOwner(QStringList{lock})) + ' '
                       + (ok ? (find(out, node) ? "listed" : "left out") : "failed");
            },
            report));
        QCOMPARE(report, held ? QByteArray::number(owner) + " left out" : QByteArray("0 listed"));
    }

    void ownOpenPortIsLeftOut()
    {
        talvane::test::PtyPair pty;
        if (!pty.isOpen())
            QSKIP("no pseudo-terminals on this machine");
        Fixture fx;
        const int com = VirtualPortRegistry(fx.registryDir.path()).add(pty.slavePath(), "Simulator");
        QVERIFY(find(fx.list(), pty.slavePath()));

        qputenv("TALVANE_PORT_REGISTRY", QFile::encodeName(fx.registryDir.path()));
        CSerialPort port;
        QVERIFY(port.Open(com));
        QVERIFY(!find(fx.list(), pty.slavePath()));
        port.RequestStop();  // no thread: closes at once
        QVERIFY(find(fx.list(), pty.slavePath()));
        qunsetenv("TALVANE_PORT_REGISTRY");
    }

    void virtualPortsKeepTheirNumbers()
    {
        Fixture fx;
        fx.source->list = {tty("ttyUSB0", "Adapter", true)};
        PtyPair sim, bridge;
        const QString simPath = sim.slavePath(), bridgePath = bridge.slavePath();
        VirtualPortRegistry registry(fx.registryDir.path());
        QCOMPARE(registry.add(simPath, "Talvane simulator"), 129);
        QCOMPARE(registry.add(bridgePath, ""), 130);

        const auto records = fx.list();
        QCOMPARE(records.size(), std::size_t(3));
        QCOMPARE(records[0].comNumber, 33);
        QCOMPARE(records[1].devicePath, simPath);
        QCOMPARE(records[1].friendlyName, QStringLiteral("Talvane simulator (COM129)"));
        QCOMPARE(records[1].portDescription, QStringLiteral("Talvane simulator"));
        QCOMPARE(records[2].friendlyName, QStringLiteral("Virtual Serial Port (COM130)"));
        QVERIFY(!records[2].usb);
        QCOMPARE(fx.enumerator().devicePathOf(130), bridgePath);
        QCOMPARE(fx.enumerator().devicePathOf(131), QString());
    }

    void sourceErrorLeavesOutputUntouched()
    {
        Fixture fx;
        fx.source->list = {tty("ttyUSB0")};
        fx.source->failure = "Could not read from /sys/class/tty. (err=d)";
        std::vector<SerialPortRecord> out(1);
        out[0].friendlyName = "Communications Port (COM1)";
        QString error;
        QVERIFY(!fx.enumerator().enumerate(out, error));
        QCOMPARE(error, fx.source->failure);
        QCOMPARE(out.size(), std::size_t(1));
        QCOMPARE(out[0].friendlyName, QStringLiteral("Communications Port (COM1)"));
        QCOMPARE(fx.enumerator().devicePathOf(33), QString());
    }

    void comNumbersStayWithTheirDevices()
    {
        Fixture fx;
        fx.comNumbers = fx.configDir.filePath("talvane-controller/com-numbers");
        using Numbers = QMap<QString, int>;
        fx.source->list = {tty("ttyAMA0"), tty("ttyAMA1")};
        QCOMPARE(numbersOf(fx.list()), (Numbers{{"ttyAMA0", 97}, {"ttyAMA1", 98}}));
        // One unplugged, another plugged in: nobody else is renumbered.
        fx.source->list = {tty("ttyAMA1"), tty("ttyXRUSB0")};
        QCOMPARE(numbersOf(fx.list()), (Numbers{{"ttyAMA1", 98}, {"ttyXRUSB0", 99}}));
        fx.source->list = {tty("ttyAMA0"), tty("ttyAMA1"), tty("ttyXRUSB0")};
        QCOMPARE(numbersOf(fx.list()), (Numbers{{"ttyAMA0", 97}, {"ttyAMA1", 98}, {"ttyXRUSB0", 99}}));
        QCOMPARE(fx.enumerator().devicePathOf(99), fakeDev("ttyXRUSB0"));

        // Every number held: the device away longest gives its number up.
        fx.source->list.clear();
        for (int i = 0; i < 30; ++i)
            fx.source->list.push_back(tty(QStringLiteral("ttyN%1").arg(i)));
        const Numbers numbers = numbersOf(fx.list());
        QCOMPARE(numbers.size(), 30);
        QCOMPARE(numbers["ttyN0"], 100);
        QCOMPARE(numbers["ttyN28"], 128);
        QCOMPARE(numbers["ttyN29"], 97);
    }

    void devicesReadAgainOnlyAfterAChange()
    {
        Fixture fx;
        QTemporaryDir watched;
        fx.source->watched = {watched.path()};
        fx.source->list = {tty("ttyUSB0")};
        SerialPortEnumerator e = fx.enumerator();
        QVERIFY(listed(e, fakeDev("ttyUSB0")));
        QVERIFY(listed(e, fakeDev("ttyUSB0")));
        QCOMPARE(fx.source->reads, 1);

        fx.source->list = {tty("ttyUSB1")};
        QVERIFY(writeFile(watched.filePath("ttyUSB1"), {}));  // the node appears
        QVERIFY(listed(e, fakeDev("ttyUSB1")));
        QCOMPARE(fx.source->reads, 2);
        // A source without directories to watch is read every time.
        fx.source->watched.clear();
        SerialPortEnumerator unwatched = fx.enumerator();
        QVERIFY(listed(unwatched, fakeDev("ttyUSB1")) && listed(unwatched, fakeDev("ttyUSB1")));
        QCOMPARE(fx.source->reads, 4);
    }

    // The list keeps what it found out until something changes: a lock file
    // written or its owner ending, the node's owner or mode changed.
    void findingsFollowChanges()
    {
        Fixture fx;
        QTemporaryDir watched;
        fx.source->watched = {watched.path()};  // the devices stay as they are
        fx.source->list = {tty("ttyUSB7", "Adapter", true)};
        const QString node = fakeDev("ttyUSB7");
        SerialPortEnumerator e(fx.source, VirtualPortRegistry(fx.registryDir.path()),
                               PortLockPaths{{fx.lockDir.path()}, fx.procLocks}, {}, [](const QString& path) {
                                   return QFileInfo(path).permissions().testFlag(QFileDevice::WriteOther);
                               });
        QVERIFY(writeFile(node, {}));
        QVERIFY(QFile::setPermissions(node, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther
                                                | QFileDevice::WriteOther));
        QVERIFY(listed(e, node) && listed(e, node));  // settled: nothing left to look up

        QProcess locker;  // another program with a lock file for the port
        locker.start("sleep", {"600"});
        QVERIFY(locker.waitForStarted());
        const QString lock = fx.lockDir.filePath("LCK..ttyUSB7");
        QVERIFY(writeFile(lock, QByteArray::number(locker.processId()).rightJustified(10, ' ') + '\n'));
        QVERIFY(!listed(e, node));
        locker.kill();  // it ends without removing its lock file
        QVERIFY(locker.waitForFinished());
        QVERIFY(listed(e, node));
        QVERIFY(QFile::remove(lock));
        QVERIFY(listed(e, node) && listed(e, node));

        QVERIFY(QFile::setPermissions(node, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        std::vector<SerialPortRecord> out;
        QString error, hint;
        QVERIFY(e.enumerate(out, error, hint));
        QVERIFY(!find(out, node));
        QCOMPARE(hint, permissionHint(1, {}));
    }

    void exclusiveLockOnAPtyShowsInProcLocks()
    {
        PtyPair pty;
        Fixture fx;
        fx.procLocks = "/proc/locks";
        QVERIFY(VirtualPortRegistry(fx.registryDir.path()).add(pty.slavePath(), "Simulator") > 0);
        const int fd = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QVERIFY(find(fx.list(), pty.slavePath()));  // open, but only by this process and unlocked
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        QVERIFY(heldByExclusiveLock(pty.slavePath(), "/proc/locks"));
        QVERIFY(!find(fx.list(), pty.slavePath()));
        QCOMPARE(::flock(fd, LOCK_UN), 0);
        QVERIFY(!heldByExclusiveLock(pty.slavePath(), "/proc/locks"));
        QVERIFY(find(fx.list(), pty.slavePath()));
        ::close(fd);
    }

    // Another program with the port open (no lock at all) hides it within a
    // refresh; the process that offers a virtual port may hold it itself.
    void portHeldOpenByAnotherProcessIsLeftOut()
    {
        Fixture fx;
        PtyPair offered, provided;
        auto holdOpen = [](QProcess& p, const QString& path) {
            p.start("sh", {"-c", "exec sleep 600 <" + path});
            return p.waitForStarted() && processEventsUntil([&] {
                return QFileInfo(QStringLiteral("/proc/%1/fd/0").arg(p.processId())).symLinkTarget() == path;
            });
        };
        QVERIFY(VirtualPortRegistry(fx.registryDir.path()).add(offered.slavePath(), "Simulator") > 0);
        SerialPortEnumerator e = fx.enumerator();
        QVERIFY(listed(e, offered.slavePath()));
        {
            QProcess other;
            QVERIFY(holdOpen(other, offered.slavePath()));
            QVERIFY(!listed(e, offered.slavePath()));
            QCOMPARE(openedByOtherProcess(offered.slavePath()), qint64(other.processId()));
            other.kill();
            QVERIFY(other.waitForFinished());
        }
        QVERIFY(listed(e, offered.slavePath()));

        QProcess provider;
        QVERIFY(holdOpen(provider, provided.slavePath()));
        const qint64 pid = provider.processId();
        const QString entry = fx.registryDir.filePath("COM200");
        QVERIFY(writeFile(entry, (provided.slavePath() + "\nSimulator\n" + QString::number(pid) + '\n'
                                  + QString::number(processStartTime(pid)) + '\n').toUtf8()));
        QVERIFY(listed(e, provided.slavePath()));
        // The provider ends: its port goes, and so does its registration.
        provider.kill();
        QVERIFY(provider.waitForFinished());
        QVERIFY(!listed(e, provided.slavePath()));
        QVERIFY(!QFileInfo::exists(entry));
    }

    void registrationsOfEndedOwnersAreRemoved_data()
    {
        QTest::addColumn<QString>("owner");
        QTest::addColumn<bool>("kept");
        QTest::newRow("running") << "running" << true;
        QTest::newRow("running, no start time (an older entry)") << "running, no start time" << true;
        QTest::newRow("ended") << "ended" << false;
        QTest::newRow("ended, its id given to another process") << "reused" << false;
        QTest::newRow("ended, not yet reaped (zombie)") << "zombie" << false;
        QTest::newRow("unreadable entry") << "garbled" << false;
    }

    void registrationsOfEndedOwnersAreRemoved()
    {
        QFETCH(QString, owner);
        QFETCH(bool, kept);
        PtyPair pty;  // the device stays: pseudo-terminal numbers are reused
        Fixture fx;
        const qint64 self = ::getpid();
        pid_t zombie = 0;
        QByteArray content = (pty.slavePath() + "\nSimulator\n").toUtf8();
        if (owner == "running")
            content += QByteArray::number(self) + '\n' + QByteArray::number(processStartTime(self)) + '\n';
        if (owner == "running, no start time")
            content += QByteArray::number(self) + '\n';
        if (owner == "ended")
            content += QByteArray::number(endedPid()) + '\n';  // as entries without a start time were
        if (owner == "reused")
            content += QByteArray::number(self) + '\n' + QByteArray::number(processStartTime(self) - 1) + '\n';
        if (owner == "zombie") {
            zombie = ::fork();
            if (zombie == 0)
                ::_exit(0);
            siginfo_t info {};
            QCOMPARE(::waitid(P_PID, id_t(zombie), &info, WEXITED | WNOWAIT), 0);  // ended, left unreaped
            content += QByteArray::number(zombie) + '\n';
        }
        if (owner == "garbled")
            content = "\n\n";
        const QString entry = fx.registryDir.filePath("COM129");
        QVERIFY(writeFile(entry, content));
        QCOMPARE(find(fx.list(), pty.slavePath()) != nullptr, kept);
        QCOMPARE(QFileInfo::exists(entry), kept);
        if (zombie)
            ::waitpid(zombie, nullptr, 0);
    }

    // The registry's directory names what the list shows: it is used only when
    // this user owns it and nobody else may write into it.
    void registryDirectoryMustBeTheUsers_data()
    {
        QTest::addColumn<QString>("directory");  // mode, "made", "other user", "own link" or "file"
        QTest::addColumn<QString>("refusal");    // the reason given on standard error; empty: used
        QTest::newRow("made by the panel") << "made" << "";
        QTest::newRow("0700") << "0700" << "";
        QTest::newRow("0755: others may read") << "0755" << "";
        QTest::newRow("0770: the group may write") << "0770" << "may be written by other users \\(mode 0770\\)";
        QTest::newRow("0777") << "0777" << "may be written by other users \\(mode 0777\\)";
        QTest::newRow("1777, as /tmp") << "1777" << "may be written by other users \\(mode 1777\\)";
        QTest::newRow("another user's") << "other user" << "is owned by user 65534, not by user \\d+";
        QTest::newRow("a link of this user's to a directory of its own") << "own link" << "";
        QTest::newRow("a file") << "file" << "is not a directory";
    }

    void registryDirectoryMustBeTheUsers()
    {
        QFETCH(QString, directory);
        QFETCH(QString, refusal);
        PtyPair pty;
        QTemporaryDir root;
        const QString real = root.filePath("ports");
        const QString dir = directory == "own link" ? root.filePath("link") : real;
        const qint64 self = ::getpid();
        const QByteArray entry = (pty.slavePath() + "\nSimulator\n").toUtf8() + QByteArray::number(self) + '\n'
                                 + QByteArray::number(processStartTime(self)) + '\n';
        if (directory == "file") {
            QVERIFY(writeFile(real, entry));
        } else if (directory != "made") {
            QVERIFY(QDir().mkdir(real));
            QVERIFY(writeFile(real + "/COM129", entry));
            QCOMPARE(::chmod(QFile::encodeName(real).constData(), directory.startsWith('0') || directory.startsWith('1')
                                                                     ? mode_t(directory.toUInt(nullptr, 8))
                                                                     : 0700),
                     0);
        }
        if (directory == "other user") {
            if (::geteuid() != 0)
                QSKIP("needs root to give a directory to another user");
            QCOMPARE(::chown(QFile::encodeName(real).constData(), 65534, 65534), 0);
        }
        if (directory == "own link")
            QVERIFY(QFile::link(real, dir));

        VirtualPortRegistry registry(dir);
        if (!refusal.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^virtual serial ports in " + QRegularExpression::escape(dir)
                                                                  + " ignored: the directory " + refusal + "$"));
        const int added = directory == "made" ? registry.add(pty.slavePath(), "Simulator") : -1;
        if (directory == "made") {
            QCOMPARE(added, VirtualPortRegistry::kFirstCom);
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(dir).constData(), &st), 0);
            QCOMPARE(st.st_mode & 07777, mode_t(0700));
        }
        Fixture fx;
        const std::vector<SerialPortRecord> records = [&] {
            std::vector<SerialPortRecord> out;
            QString error;
            SerialPortEnumerator(fx.source, registry, PortLockPaths{{fx.lockDir.path()}, fx.procLocks}).enumerate(out, error);
            return out;
        }();
        const SerialPortRecord* r = find(records, pty.slavePath());
        QCOMPARE(r != nullptr, refusal.isEmpty());
        if (r)
            QCOMPARE(r->friendlyName, QStringLiteral("Simulator (COM129)"));
        QCOMPARE(registry.devicePathOf(VirtualPortRegistry::kFirstCom).isEmpty(), !refusal.isEmpty());
        // Nothing is registered there either.
        if (!refusal.isEmpty())
            QCOMPARE(registry.add(pty.slavePath(), "Simulator"), -1);
        if (directory == "other user")
            QCOMPARE(::chown(QFile::encodeName(real).constData(), 0, 0), 0);
    }

    // Only a character device is listed; the path of anything else is not a port.
    void registeredPathMustBeACharacterDevice_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("listed");
        QTest::newRow("a pseudo-terminal") << "pty" << true;
        QTest::newRow("a link to a pseudo-terminal") << "link" << true;
        QTest::newRow("a directory") << "directory" << false;
        QTest::newRow("a file") << "file" << false;
        QTest::newRow("a FIFO") << "fifo" << false;
        QTest::newRow("a pseudo-terminal's path, a NUL and more") << "nul" << false;
    }

    void registeredPathMustBeACharacterDevice()
    {
        QFETCH(QString, kind);
        QFETCH(bool, listed);
        PtyPair pty;
        Fixture fx;
        QTemporaryDir dir;
        QString path = dir.filePath(kind);
        if (kind == "pty")
            path = pty.slavePath();
        if (kind == "nul")
            path = pty.slavePath() + QChar(0) + "/../x";
        if (kind == "link")
            QVERIFY(QFile::link(pty.slavePath(), path));
        if (kind == "directory")
            QVERIFY(QDir().mkdir(path));
        if (kind == "file")
            QVERIFY(writeFile(path, {}));
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QCOMPARE(VirtualPortRegistry(fx.registryDir.path()).add(path, "Simulator"), VirtualPortRegistry::kFirstCom);
        QCOMPARE(find(fx.list(), path) != nullptr, listed);
        QCOMPARE(QFileInfo::exists(fx.registryDir.filePath("COM129")), listed);
    }

    // Runs as an unprivileged user (nobody) in a child process, through the
    // real access check.
    void portsThisUserMayNotOpenAreLeftOutWithAHint_data()
    {
        QTest::addColumn<QStringList>("nodes");  // name:group:mode
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("hint");
        const QString dialout = "Add your user to the 'dialout' group: sudo usermod -aG dialout $USER, then log in again.";
        QTest::newRow("adapters of dialout")
            << QStringList{"ttyUSB0:dialout:660", "ttyACM0:dialout:660", "ttyS0:dialout:660", "ttyUSB1:dialout:666"}
            << QStringList{"ttyUSB1"} << "2 serial ports hidden: no permission. " + dialout;
        QTest::newRow("uucp owns it") << QStringList{"ttyUSB0:uucp:660"} << QStringList{}
                                      << "1 serial port hidden: no permission. Add your user to the 'uucp' group: "
                                         "sudo usermod -aG uucp $USER, then log in again.";
        QTest::newRow("two groups") << QStringList{"ttyUSB0:dialout:660", "ttyACM0:uucp:660"} << QStringList{}
                                    << "2 serial ports hidden: no permission. Add your user to the 'dialout' and 'uucp' groups: "
                                       "sudo usermod -aG dialout,uucp $USER, then log in again.";
        QTest::newRow("only a ttyS refused: no hint") << QStringList{"ttyS0:dialout:660", "ttyUSB0:dialout:666"}
                                                      << QStringList{"ttyUSB0"} << "";
        QTest::newRow("the group may not either") << QStringList{"ttyUSB0:dialout:600"} << QStringList{}
                                                  << "1 serial port hidden: no permission.";
    }

    void portsThisUserMayNotOpenAreLeftOutWithAHint()
    {
        QFETCH(QStringList, nodes);
        QFETCH(QStringList, listed);
        QFETCH(QString, hint);
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user");
        Fixture fx;
        QTemporaryDir dev;
        QCOMPARE(::chmod(QFile::encodeName(dev.path()).constData(), 0755), 0);
        for (const QString& node : nodes) {
            const QStringList f = node.split(':');
            const group* g = ::getgrnam(f[1].toLatin1().constData());
            if (!g)
                QSKIP("no such group here");
            const QByteArray path = QFile::encodeName(dev.filePath(f[0]));
            QVERIFY(writeFile(path, {}));
            QCOMPARE(::chown(path.constData(), 0, g->gr_gid), 0);
            QCOMPARE(::chmod(path.constData(), mode_t(f[2].toUInt(nullptr, 8))), 0);
            fx.source->list.push_back({f[0], QFile::decodeName(path), {}, f[0].startsWith("ttyUSB") || f[0].startsWith("ttyACM"), 4, {}});
        }
        SerialPortEnumerator e = fx.enumeratorForNobody();
        QByteArray report;
        QVERIFY(runAsNobody(
            [&] {
                std::vector<SerialPortRecord> out;
                QString error, given;
                if (!e.enumerate(out, error, given))
                    return QByteArray("enumeration failed: ") + error.toUtf8();
                QStringList names;
                for (const SerialPortRecord& r : out)
                    names << QFileInfo(r.devicePath).fileName();
                return (names.join(',') + '\n' + given).toUtf8();
            },
            report));
        const QString text = QString::fromUtf8(report);
        QCOMPARE(text.section('\n', 0, 0), listed.join(','));
        QCOMPARE(text.section('\n', 1), hint);
    }

    void sysfsSourceReadsDevicesAndUsbStrings()
    {
        QTemporaryDir root;
        const QString sys = root.path() + "/sys";
        auto device = [&](const QString& name, const QString& deviceDir) {
            QDir().mkpath(sys + "/devices/" + deviceDir);
            QDir().mkpath(sys + "/class/tty/" + name);
            return QFile::link(sys + "/devices/" + deviceDir, sys + "/class/tty/" + name + "/device");
        };
        QVERIFY(device("ttyS0", "platform/serial8250") && writeFile(sys + "/class/tty/ttyS0/type", "4\n"));
        QVERIFY(device("ttyS1", "platform/serial8250") && writeFile(sys + "/class/tty/ttyS1/type", "0\n"));
        QVERIFY(device("ttyUSB0", "pci0/usb1/1-1/1-1:1.0/ttyUSB0"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-1/idVendor", "0403\n"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-1/product", "FT232R USB UART\n"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-1/idProduct", "6001\n"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-1/serial", "A50285BI\n"));
        QVERIFY(device("ttyACM0", "pci0/usb1/1-2/1-2:1.0"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-2/idVendor", "2e8a\n"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-2/1-2:1.0/interface", "Board CDC\n"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-2/idProduct", "000a\n"));  // no serial number
        QDir().mkpath(sys + "/class/tty/tty1");  // a console: no device behind it

        std::vector<TtyDevice> found;
        QString error;
        QVERIFY(SysfsTtyDeviceSource(sys, "/dev").devices(found, error));
        QStringList got;  // name, path, description, usb, UART type, USB identity
        for (const TtyDevice& d : found)
            got << QStringLiteral("%1|%2|%3|%4|%5|%6")
                       .arg(d.kernelName, d.devicePath, d.description)
                       .arg(d.usb)
                       .arg(d.uartType)
                       .arg(d.usbIdentity);
        got.sort();
        QCOMPARE(got, QStringList({"ttyACM0|/dev/ttyACM0|Board CDC|1|-1|2e8a:000a:", "ttyS0|/dev/ttyS0||0|4|",
                                   "ttyS1|/dev/ttyS1||0|0|", "ttyUSB0|/dev/ttyUSB0|FT232R USB UART|1|-1|0403:6001:A50285BI"}));

        QVERIFY(!SysfsTtyDeviceSource(root.path() + "/missing", "/dev").devices(found, error));
        QVERIFY(error.startsWith("Could not read from "));
        QCOMPARE(found.size(), std::size_t(4));
    }
};

QTEST_GUILESS_MAIN(TestSerialPortList)
#include "test_serialportlist.moc"
