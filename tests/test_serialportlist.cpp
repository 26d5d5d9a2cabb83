// The serial port list on fake device records, a fake sysfs tree and
// temporary lock files and registries.
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "link/serialport.h"
#include "link/serialportlist.h"
#include "support/pty.h"

Q_DECLARE_METATYPE(talvane::TtyDevice)

using namespace talvane;

namespace {

class FakeSource : public TtyDeviceSource {
public:
    std::vector<TtyDevice> list;
    QString failure;  // non-empty: the source cannot be read

    bool devices(std::vector<TtyDevice>& out, QString& error) const override
    {
        if (failure.isEmpty())
            out = list;
        error = failure;
        return failure.isEmpty();
    }
};

TtyDevice tty(const QString& name, const QString& description = {}, bool usb = false, int uartType = -1)
{
    return {name, QStringLiteral("/dev/") + name, description, usb, uartType};
}

struct Fixture {
    QTemporaryDir registryDir, lockDir;
    QString procLocks = QStringLiteral("/nonexistent/locks");
    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();

    SerialPortEnumerator enumerator() const
    {
        return SerialPortEnumerator(source, VirtualPortRegistry(registryDir.path()), PortLockPaths{{lockDir.path()}, procLocks});
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

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
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
        QCOMPARE(find(records, "/dev/ttyAMA2")->comNumber, 97);
        QCOMPARE(find(records, "/dev/ttyAMA10")->comNumber, 98);
        QCOMPARE(find(records, "/dev/ttyUSB1")->comNumber, 34);
        QCOMPARE(find(records, "/dev/ttyX0")->comNumber, 99);
        QCOMPARE(find(records, "/dev/ttyX29")->comNumber, 128);
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
        fx.source->list = {{"ttyUSB0", node, "Adapter", true, -1}};

        // The parent (ctest or a shell) is alive; no process has a pid past pid_t's range.
        const qint32 live = qint32(::getppid());
        const QByteArray ascii = QByteArray::number(lockFile == "stale" ? 0x7ffffffe : live).rightJustified(10, ' ') + '\n';
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
        QVERIFY(port.Open(nullptr, com));
        QVERIFY(!find(fx.list(), pty.slavePath()));
        port.RequestStop();  // no thread: closes at once
        QVERIFY(find(fx.list(), pty.slavePath()));
        qunsetenv("TALVANE_PORT_REGISTRY");
    }

    void virtualPortsKeepTheirNumbers()
    {
        Fixture fx;
        fx.source->list = {tty("ttyUSB0", "Adapter", true)};
        QTemporaryDir devDir;
        const QString simPath = devDir.path() + "/sim", bridgePath = devDir.path() + "/bridge";
        QVERIFY(writeFile(simPath, {}) && writeFile(bridgePath, {}));
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
        QVERIFY(device("ttyACM0", "pci0/usb1/1-2/1-2:1.0"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-2/idVendor", "2e8a\n"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-2/1-2:1.0/interface", "Board CDC\n"));
        QDir().mkpath(sys + "/class/tty/tty1");  // a console: no device behind it

        std::vector<TtyDevice> found;
        QString error;
        QVERIFY(SysfsTtyDeviceSource(sys, "/dev").devices(found, error));
        QStringList got;  // name, path, description, usb, UART type
        for (const TtyDevice& d : found)
            got << QStringLiteral("%1|%2|%3|%4|%5").arg(d.kernelName, d.devicePath, d.description).arg(d.usb).arg(d.uartType);
        got.sort();
        QCOMPARE(got, QStringList({"ttyACM0|/dev/ttyACM0|Board CDC|1|-1", "ttyS0|/dev/ttyS0||0|4", "ttyS1|/dev/ttyS1||0|0",
                                   "ttyUSB0|/dev/ttyUSB0|FT232R USB UART|1|-1"}));

        QVERIFY(!SysfsTtyDeviceSource(root.path() + "/missing", "/dev").devices(found, error));
        QVERIFY(error.startsWith("Could not read from "));
        QCOMPARE(found.size(), std::size_t(4));
    }
};

QTEST_GUILESS_MAIN(TestSerialPortList)
#include "test_serialportlist.moc"
