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
        if (!failure.isEmpty()) {
            error = failure;
            return false;
        }
        out = list;
        return true;
    }
};

TtyDevice tty(const QString& name, const QString& description = {}, bool usb = false, int uartType = -1)
{
    return {name, QStringLiteral("/dev/") + name, description, usb, uartType};
}

struct Fixture {
    QTemporaryDir registryDir;
    QTemporaryDir lockDir;
    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();

    SerialPortEnumerator enumerator(const QString& procLocks = QStringLiteral("/nonexistent/locks")) const
    {
        return SerialPortEnumerator(source, VirtualPortRegistry(registryDir.path()),
                                    PortLockPaths{{lockDir.path()}, procLocks});
    }
    std::vector<SerialPortRecord> list(const QString& procLocks = QStringLiteral("/nonexistent/locks")) const
    {
        std::vector<SerialPortRecord> out;
        QString error;
        if (!enumerator(procLocks).enumerate(out, error))
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
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

}  // namespace

class TestSerialPortList : public QObject {
    Q_OBJECT

private slots:
    void comNumbersFromKernelNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("com");
        QTest::newRow("ttyS0") << "ttyS0" << 1;
        QTest::newRow("ttyS31") << "ttyS31" << 32;
        QTest::newRow("ttyUSB0") << "ttyUSB0" << 33;
        QTest::newRow("ttyUSB31") << "ttyUSB31" << 64;
        QTest::newRow("ttyACM2") << "ttyACM2" << 67;
        QTest::newRow("ttyS32 is past its family") << "ttyS32" << 97;
        QTest::newRow("ttySAC0 is another family") << "ttySAC0" << 97;
        QTest::newRow("ttyAMA0") << "ttyAMA0" << 97;
    }

    void comNumbersFromKernelNames()
    {
        QFETCH(QString, name);
        QFETCH(int, com);
        Fixture fx;
        fx.source->list = {tty(name)};
        const auto records = fx.list();
        QCOMPARE(records.size(), std::size_t(1));
        QCOMPARE(records[0].comNumber, com);
        QCOMPARE(records[0].portName, QStringLiteral("COM%1").arg(com));
        QVERIFY(records[0].friendlyName.endsWith(QStringLiteral(" (COM%1)").arg(com)));
        QCOMPARE(fx.enumerator().devicePathOf(com), QStringLiteral("/dev/") + name);
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
        QVERIFY(!find(records, "/dev/ttyX30"));
        QCOMPARE(records.size(), std::size_t(3 + 30));
        for (std::size_t i = 1; i < records.size(); ++i)
            QVERIFY(records[i - 1].comNumber < records[i].comNumber);
    }

    void recordFromDevice_data()
    {
        QTest::addColumn<TtyDevice>("device");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<QString>("friendlyName");
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("usb");

        QTest::newRow("UART") << tty("ttyS0", {}, false, 4) << true << "Communications Port (COM1)"
                              << "Communications Port" << false;
        QTest::newRow("ttyS without a UART") << tty("ttyS1", {}, false, 0) << false << "" << "" << false;
        QTest::newRow("USB adapter") << tty("ttyUSB0", "FT232R USB UART", true) << true << "FT232R USB UART (COM33)"
                                     << "FT232R USB UART" << true;
        QTest::newRow("USB without strings") << tty("ttyACM2", {}, true) << true << "USB Serial Port (COM67)"
                                             << "USB Serial Port" << true;
        QTest::newRow("on-chip UART") << tty("ttyAMA0") << true << "Serial Port (COM97)" << "Serial Port" << false;
        QTest::newRow("parenthesis in the name") << tty("ttyUSB1", "Dongle (Rev B)", true) << true
                                                 << "Dongle (Rev B) (COM34)" << "Dongle (Rev B) (COM34)" << true;
    }

    void recordFromDevice()
    {
        QFETCH(TtyDevice, device);
        QFETCH(bool, listed);
        QFETCH(QString, friendlyName);
        QFETCH(QString, description);
        QFETCH(bool, usb);
        Fixture fx;
        fx.source->list = {device};
        const auto records = fx.list();
        QCOMPARE(records.size(), std::size_t(listed ? 1 : 0));
        if (!listed)
            return;
        QCOMPARE(records[0].devicePath, device.devicePath);
        QCOMPARE(records[0].friendlyName, friendlyName);
        QCOMPARE(records[0].portDescription, description);
        QCOMPARE(records[0].usb, usb);
    }

    void descriptionFromFriendlyName_data()
    {
        QTest::addColumn<QString>("friendlyName");
        QTest::addColumn<QString>("portName");
        QTest::addColumn<QString>("description");
        QTest::newRow("cut") << "Communications Port (COM1)" << "COM1" << "Communications Port";
        QTest::newRow("one letter") << "X (COM7)" << "COM7" << "X";
        QTest::newRow(" ( at the start") << " (COM1)" << "COM1" << " (COM1)";
        QTest::newRow(") not last") << "Port (COM3) extra" << "COM3" << "Port (COM3) extra";
        QTest::newRow("first ) not last") << "Hub (2) port (COM4)" << "COM4" << "Hub (2) port (COM4)";
        QTest::newRow("no )") << "Port (COM3" << "COM3" << "Port (COM3";
        QTest::newRow("empty: the port name") << "" << "COM5" << "COM5";
    }

    void descriptionFromFriendlyName()
    {
        QFETCH(QString, friendlyName);
        QFETCH(QString, portName);
        QFETCH(QString, description);
        SerialPortRecord r;
        r.friendlyName = friendlyName;
        r.portName = portName;
        completeRecord(r);
        QCOMPARE(r.portDescription, description);
        QVERIFY(!r.friendlyName.isEmpty());
    }

    void portsInUseAreLeftOut_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::addColumn<bool>("listed");
        QTest::newRow("free") << "none" << true;
        QTest::newRow("live lock file, ASCII pid") << "ascii live" << false;
        QTest::newRow("live lock file, binary pid") << "binary live" << false;
        QTest::newRow("stale lock file") << "ascii stale" << true;
        QTest::newRow("exclusive lock") << "flock write" << false;
        QTest::newRow("shared lock") << "flock read" << true;
        QTest::newRow("waiting for an exclusive lock") << "flock waiter" << true;
    }

    void portsInUseAreLeftOut()
    {
        QFETCH(QString, holder);
        QFETCH(bool, listed);
        Fixture fx;
        // Stand-ins for device nodes: files that exist, so their inode can be matched.
        QTemporaryDir devDir;
        const QString node = devDir.path() + "/ttyUSB0";
        QVERIFY(writeFile(node, {}));
        fx.source->list = {{"ttyUSB0", node, "Adapter", true, -1}};

        // The parent (ctest or a shell) is alive; no process has a pid past pid_t's range.
        const qint32 live = qint32(::getppid());
        const qint32 stale = 0x7ffffffe;
        const QString lockFile = fx.lockDir.path() + "/LCK..ttyUSB0";
        if (holder == "ascii live")
            QVERIFY(writeFile(lockFile, QByteArray::number(live).rightJustified(10, ' ') + '\n'));
        if (holder == "ascii stale")
            QVERIFY(writeFile(lockFile, QByteArray::number(stale).rightJustified(10, ' ') + '\n'));
        if (holder == "binary live")
            QVERIFY(writeFile(lockFile, QByteArray(reinterpret_cast<const char*>(&live), sizeof live)));

        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(node).constData(), &st), 0);
        const QByteArray id = QString::asprintf("%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                                                static_cast<unsigned long>(st.st_ino)).toLatin1();
        QByteArray locks = "1: POSIX  ADVISORY  WRITE 77 00:05:1 0 EOF\n";  // another file
        if (holder == "flock write")
            locks += "2: FLOCK  ADVISORY  WRITE " + QByteArray::number(live) + " " + id + " 0 EOF\n";
        if (holder == "flock read")
            locks += "2: FLOCK  ADVISORY  READ " + QByteArray::number(live) + " " + id + " 0 EOF\n";
        if (holder == "flock waiter")
            locks += "2: -> FLOCK  ADVISORY  WRITE " + QByteArray::number(live) + " " + id + " 0 EOF\n";
        const QString procLocks = devDir.path() + "/locks";
        QVERIFY(writeFile(procLocks, locks));

        QCOMPARE(find(fx.list(procLocks), node) != nullptr, listed);
        // In use or not, the COM number still leads to the device.
        QCOMPARE(fx.enumerator(procLocks).devicePathOf(33), node);
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
        QVERIFY(writeFile(simPath, {}));
        QVERIFY(writeFile(bridgePath, {}));
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
        SerialPortRecord previous;
        previous.friendlyName = "Communications Port (COM1)";
        std::vector<SerialPortRecord> out{previous};
        QString error;
        QVERIFY(!fx.enumerator().enumerate(out, error));
        QCOMPARE(error, fx.source->failure);
        QCOMPARE(out.size(), std::size_t(1));
        QCOMPARE(out[0].friendlyName, previous.friendlyName);
        QCOMPARE(fx.enumerator().devicePathOf(33), QString());
    }

    void sysfsSourceReadsDevicesAndUsbStrings()
    {
        QTemporaryDir root;
        const QString sys = root.path() + "/sys";
        QDir().mkpath(sys + "/class/tty");
        auto device = [&](const QString& name, const QString& deviceDir) {
            QDir().mkpath(sys + "/devices/" + deviceDir);
            QDir().mkpath(sys + "/class/tty/" + name);
            QVERIFY(QFile::link(sys + "/devices/" + deviceDir, sys + "/class/tty/" + name + "/device"));
        };
        device("ttyS0", "platform/serial8250");
        QVERIFY(writeFile(sys + "/class/tty/ttyS0/type", "4\n"));
        device("ttyS1", "platform/serial8250");
        QVERIFY(writeFile(sys + "/class/tty/ttyS1/type", "0\n"));
        device("ttyUSB0", "pci0/usb1/1-1/1-1:1.0/ttyUSB0");
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-1/idVendor", "0403\n"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-1/product", "FT232R USB UART\n"));
        device("ttyACM0", "pci0/usb1/1-2/1-2:1.0");
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-2/idVendor", "2e8a\n"));
        QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-2/1-2:1.0/interface", "Board CDC\n"));
        QDir().mkpath(sys + "/class/tty/tty1");  // a console: no device behind it

        std::vector<TtyDevice> found;
        QString error;
        QVERIFY(SysfsTtyDeviceSource(sys, "/dev").devices(found, error));
        std::sort(found.begin(), found.end(), [](const TtyDevice& a, const TtyDevice& b) { return a.kernelName < b.kernelName; });
        QCOMPARE(found.size(), std::size_t(4));
        QCOMPARE(found[0].kernelName, QStringLiteral("ttyACM0"));
        QCOMPARE(found[0].description, QStringLiteral("Board CDC"));
        QVERIFY(found[0].usb);
        QCOMPARE(found[1].kernelName, QStringLiteral("ttyS0"));
        QCOMPARE(found[1].uartType, 4);
        QVERIFY(!found[1].usb);
        QCOMPARE(found[2].uartType, 0);
        QCOMPARE(found[3].devicePath, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(found[3].description, QStringLiteral("FT232R USB UART"));
        QVERIFY(found[3].usb);

        QVERIFY(!SysfsTtyDeviceSource(root.path() + "/missing", "/dev").devices(found, error));
        QVERIFY(error.startsWith("Could not read from "));
        QCOMPARE(found.size(), std::size_t(4));
    }
};

QTEST_GUILESS_MAIN(TestSerialPortList)
#include "test_serialportlist.moc"
