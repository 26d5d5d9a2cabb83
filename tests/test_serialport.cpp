// CSerialPort over a pseudo-terminal: the slave is registered as a virtual
// port in a temporary registry, so Open() finds it by its COM number, and the
// test plays the switch on the master side.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/serialport.h"
#include "link/serialportlist.h"
#include "link/virtualports.h"
#include "protocol/commands.h"
#include "support/pty.h"

using namespace talvane;
using namespace talvane::test;

namespace {

// What the port reports, in order.
struct Recorder {
    QByteArrayList reads;
    QStringList losses;
    std::function<void()> onRead;  // runs inside the handler of each read

    explicit Recorder(CSerialPort& port)
    {
        QObject::connect(&port, &Link::received, [this](const QByteArray& b) {
            reads << b;
            if (onRead)
                onRead();
        });
        QObject::connect(&port, &Link::lost, [this](const QString& why) { losses << why; });
    }
    QByteArray bytes() const { return reads.join(); }
};

// The Linux device with counters.
class TestDevice : public PosixSerialDevice {
public:
    std::atomic<int> writes{0}, reads{0}, hangUps{0};

    IoResult write(const std::uint8_t* bytes, std::size_t length) override
    {
        ++writes;
        return PosixSerialDevice::write(bytes, length);
    }
    IoResult read(std::uint8_t* buffer, std::size_t capacity) override
    {
        ++reads;
        const IoResult r = PosixSerialDevice::read(buffer, capacity);
        hangUps += r.status == IoResult::HungUp ? 1 : 0;
        return r;
    }
};

// A port on a pty's slave, registered as a virtual COM port while it lives.
struct PtyLink {
    PtyPair pty;
    const int com = VirtualPortRegistry().add(pty.slavePath(), QStringLiteral("Test pty"));
    TestDevice* device = nullptr;
    std::unique_ptr<CSerialPort> port = std::make_unique<CSerialPort>([this] {
        auto d = std::make_unique<TestDevice>();
        device = d.get();
        return d;
    });
    Recorder owner{*port};

    ~PtyLink()
    {
        port.reset();
        VirtualPortRegistry().remove(com);
    }
    bool start() { return port->Open(com); }
    // What the switch received, while the port goes on with its writes.
    QByteArray readAtSwitch(int count)
    {
        QByteArray got;
        processEventsUntil([&] {
            got += pty.readAvailable();
            return got.size() >= count;
        });
        return got;
    }
};

// Writes to the master as fast as the line takes it, until destroyed or the line is gone.
struct Flood {
    std::atomic<bool> stop{false};
    std::thread writer;

    explicit Flood(PtyPair& pty) : writer([this, &pty] { while (!stop && pty.write(QByteArray(64, 'x'))) {} }) {}
    ~Flood()
    {
        stop = true;
        writer.join();
    }
};

QByteArray everyByteValue(std::size_t size)
{
    QByteArray out;
    for (std::size_t i = 0; i < size; ++i)
        out.append(char(i));
    return out;
}
QByteArray bytesOf(const std::uint8_t* p, std::size_t n) { return QByteArray(reinterpret_cast<const char*>(p), qsizetype(n)); }
const std::uint8_t* dataOf(const QByteArray& b) { return reinterpret_cast<const std::uint8_t*>(b.constData()); }

// Another program with the device open, until destroyed.
struct Holder {
    QProcess process;
    explicit Holder(const QString& path)
    {
        process.start("sh", {"-c", "exec sleep 600 <" + path});
        const bool opened = process.waitForStarted() && processEventsUntil([&] {
            return QFileInfo(QStringLiteral("/proc/%1/fd/0").arg(process.processId())).symLinkTarget() == path;
        });
        if (!opened)
            qWarning("the holder did not open %s", qPrintable(path));
    }
    ~Holder()
    {
        process.kill();
        process.waitForFinished();
    }
};

// A link under the real /dev/serial/by-id to a device, removed again with
// the directories it had to make.
struct ByIdLink {
    QString path;
    QStringList made;
    explicit ByIdLink(const QString& target)
    {
        for (const QString dir : {"/dev/serial", "/dev/serial/by-id"})
            if (!QFileInfo::exists(dir) && QDir().mkdir(dir))
                made.prepend(dir);
        path = QStringLiteral("/dev/serial/by-id/talvane-test-%1").arg(::getpid());
        if (!QFile::link(target, path))
            path.clear();
    }
    ~ByIdLink()
    {
        if (!path.isEmpty())
            QFile::remove(path);
        for (const QString& dir : made)
            QDir().rmdir(dir);
    }
};

// The system's kernel ports are not wanted here: only registered ports.
class NoDevices : public TtyDeviceSource {
public:
    bool devices(std::vector<TtyDevice>& out, QString&) const override
    {
        out.clear();
        return true;
    }
};

}  // namespace

class TestSerialPort : public QObject {
    Q_OBJECT

    QTemporaryDir registryDir_;

private slots:
    void initTestCase()
    {
        QVERIFY(registryDir_.isValid());
        qputenv("TALVANE_PORT_REGISTRY", QFile::encodeName(registryDir_.path()));
        if (!PtyPair().isOpen())
            QSKIP("no pseudo-terminals on this machine");
    }

    void receivesEveryByteInOrder_data()
    {
        QTest::addColumn<QByteArray>("input");
        // Every byte value: a cooked line would change LF, CR, XON, XOFF, NUL...
        QTest::newRow("every byte value") << everyByteValue(256);
        QTest::newRow("more than one read takes") << everyByteValue(3 * CSerialPort::kReadChunk + 17);
    }

    void receivesEveryByteInOrder()
    {
        QFETCH(QByteArray, input);
        PtyLink l;
        QVERIFY(l.start());
        QVERIFY(l.pty.write(input));
        QVERIFY(processEventsUntil([&] { return l.owner.bytes().size() >= input.size(); }));
        QCOMPARE(l.owner.bytes(), input);
        for (const QByteArray& r : l.owner.reads)
            QVERIFY(r.size() <= qsizetype(CSerialPort::kReadChunk));
        QVERIFY(l.owner.losses.isEmpty());
    }

    void aFloodLeavesTheLoopItsOtherWork()
    {
        PtyLink l;
        QVERIFY(l.start());
        // One read per turn of the event loop: work queued by the handler of
        // the first read runs while the flood goes on.
        int readsWhenQueuedWorkRan = -1;
        l.owner.onRead = [&] {
            if (l.owner.reads.size() == 1)
                QMetaObject::invokeMethod(l.port.get(), [&] { readsWhenQueuedWorkRan = int(l.owner.reads.size()); },
                                          Qt::QueuedConnection);
        };
        {
            Flood flood(l.pty);
            QVERIFY(processEventsUntil([&] { return l.owner.reads.size() > 20; }));
        }
        QVERIFY2(readsWhenQueuedWorkRan > 0 && readsWhenQueuedWorkRan < 20, qPrintable(QString::number(readsWhenQueuedWorkRan)));
    }

    void writesEachFrameWholeInOneCall_data()
    {
        QTest::addColumn<QByteArrayList>("frames");
        QTest::addColumn<bool>("peerWaits");  // the peer reads only once every frame was queued
        QTest::newRow("data frame") << QByteArrayList{everyByteValue(kDataFrameSize)} << false;
        QByteArrayList queued;
        for (int output = 1; output <= 3; ++output)
            queued << bytesOf(build::routeSet(1, output).seal().data(), kCommandFrameSize);
        QTest::newRow("frames queued together, in order") << queued << false;
        // The purge before each write discards unread input only: output the
        // peer has not read yet is an earlier frame and must arrive whole;
        // what the line has no room for goes out once it has.
        QByteArrayList blocks;
        for (int i = 0; i < 12; ++i)
            blocks << everyByteValue(kDataFrameSize).right(kDataFrameSize - i) + QByteArray(i, char(i));
        QTest::newRow("data frames back to back, peer not reading") << blocks << true;
    }

    void writesEachFrameWholeInOneCall()
    {
        QFETCH(QByteArrayList, frames);
        QFETCH(bool, peerWaits);
        PtyLink l;
        QVERIFY(l.start());
        for (const QByteArray& f : frames)
            QVERIFY(l.port->QueueWrite(dataOf(f), std::size_t(f.size())));
        const QByteArray expected = frames.join();
        QCOMPARE(l.readAtSwitch(int(expected.size())), expected);
        if (!peerWaits)  // each frame in one call while the line has room
            QCOMPARE(l.device->writes.load(), int(frames.size()));
    }

    // Bytes 2..11 carry group, code and parameters; byte 11 also the reboot
    // marker 0xCC and the last character of each identification part.
    void commandBytesReachTheWireUnchanged_data()
    {
        QTest::addColumn<QByteArray>("body");  // bytes 2..11
        for (const int value : {0x00, 0x03, 0x04, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x71, 0x7F, 0x80, 0xCC, 0xFF})
            QTest::addRow("every byte 0x%02X", value) << QByteArray(10, char(value));
        QTest::newRow("one of each") << QByteArray("\x08\x0D\x0A\x11\x13\x71\x00\xFF\x7F\xCC", 10);
    }

    void commandBytesReachTheWireUnchanged()
    {
        QFETCH(QByteArray, body);
        CommandFrame f;
        for (int i = pos::Group; i <= pos::P8; ++i)
            f[i] = std::uint8_t(body.at(i - pos::Group));
        f.seal();
        PtyLink l;
        QVERIFY(l.start());
        QVERIFY(l.port->QueueWrite(f.data(), f.size()));
        QCOMPARE(l.readAtSwitch(int(f.size())), bytesOf(f.data(), f.size()));
    }

    void refusesWritesItCannotHold()
    {
        PtyLink l;
        const std::vector<std::uint8_t> frame(CSerialPort::kWriteBufferSize + 1, 0);
        QVERIFY(!l.port->QueueWrite(frame.data(), 13));  // not open yet
        QVERIFY(l.port->Open(l.com));
        QVERIFY(!l.port->QueueWrite(frame.data(), frame.size()));
        QVERIFY(!l.port->QueueWrite(frame.data(), 0));
        // A peer that reads nothing: the line fills, then the queue; more is refused.
        int accepted = 0;
        while (accepted < 100 && l.port->QueueWrite(frame.data(), CSerialPort::kWriteBufferSize))
            ++accepted;
        QVERIFY2(accepted < 100, "the port took every frame of a line that never drains");
        QVERIFY(accepted >= int(CSerialPort::kMaxQueuedWrites));
        // What it took arrives whole once the peer reads.
        QCOMPARE(l.readAtSwitch(accepted * int(CSerialPort::kWriteBufferSize)).size(),
                 qsizetype(accepted) * qsizetype(CSerialPort::kWriteBufferSize));
    }

    void writeDiscardsUnreadInput()
    {
        PtyLink l;
        QVERIFY(l.start());
        int pending = 0;
        auto queued = [&] { return ::ioctl(l.device->descriptor(), FIONREAD, &pending) == 0 ? pending : -1; };
        // No events are processed, so the bytes stay unread in the driver.
        QVERIFY(l.pty.write("STALE"));
        QVERIFY(spinUntil([&] { return queued() == 5; }));
        const CommandFrame f = build::beepStateQuery().seal();
        QVERIFY(l.port->QueueWrite(f.data(), f.size()));
        QCOMPARE(l.readAtSwitch(int(f.size())), bytesOf(f.data(), f.size()));
        QCOMPARE(queued(), 0);
        QVERIFY(l.owner.reads.isEmpty());
    }

    void openFails_data()
    {
        QTest::addColumn<int>("com");
        QTest::addColumn<QString>("holder");  // set: the port opened is a pty's, held by it
        QTest::newRow("empty list gives port 0") << 0 << "";
        QTest::newRow("unregistered virtual number") << 200 << "";
        QTest::newRow("past the last number") << 256 << "";
        QTest::newRow("negative") << -1 << "";
        QTest::newRow("held by another port object") << 0 << "port";
        QTest::newRow("live lock file of another process") << 0 << "lock";
        QTest::newRow("open in another process, no lock") << 0 << "process";
    }

    void openFails()
    {
        QFETCH(int, com);
        QFETCH(QString, holder);
        PtyLink held, free;
        QTemporaryDir lockDir;
        if (holder == "port")
            QVERIFY(held.port->Open(held.com));
        if (holder == "lock") {  // the parent (ctest or a shell) is alive
            QFile lock(lockDir.path() + QLatin1Char('/') + lockFileName(held.pty.slavePath()));
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(QByteArray::number(qint64(::getppid())).rightJustified(10, ' ') + '\n');
        }
        std::unique_ptr<Holder> process;
        if (holder == "process")
            process = std::make_unique<Holder>(held.pty.slavePath());
        CSerialPort port([&] { return std::make_unique<PosixSerialDevice>(PortLockPaths{{lockDir.path()}, "/proc/locks"}); });
        Recorder owner(port);
        QList<bool> outcomes;
        connect(&port, &Link::opened, [&](bool ok, const QString&) { outcomes << ok; });
        QVERIFY(!port.Open(holder.isEmpty() ? com : held.com));
        QVERIFY(!port.isOpen());
        QVERIFY(!port.QueueWrite(dataOf(QByteArray(13, 0)), 13));
        // The same object then opens a free port.
        QVERIFY(port.Open(free.com));
        QCOMPARE(outcomes, (QList<bool>{false, true}));
        QVERIFY(free.pty.write("k"));
        QVERIFY(processEventsUntil([&] { return owner.bytes() == "k"; }));
    }

    void nothingOfAClosedSessionIsReported_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::newRow("Open of another port") << "reopen";
        QTest::newRow("RequestStop") << "request";
        QTest::newRow("RequestStop inside the handler of a read") << "handler";
    }

    void nothingOfAClosedSessionIsReported()
    {
        QFETCH(QString, stop);
        PtyLink b, a;  // a's port may move over to b's pty
        QVERIFY(a.start());
        {
            Flood flood(a.pty);
            if (stop == "handler")  // as when the handler of a reply closes the link
                a.owner.onRead = [&] { a.port->RequestStop(); };
            QVERIFY(processEventsUntil([&] { return !a.owner.reads.isEmpty(); }));
            if (stop == "reopen")
                QVERIFY(a.port->Open(b.com));
            if (stop == "request")
                a.port->RequestStop();
            QVERIFY(a.pty.slaveClosed());
        }
        const int reads = int(a.owner.reads.size());
        if (stop == "handler")
            QCOMPARE(reads, 1);
        QVERIFY(b.pty.write("B"));
        processEventsUntil([&] { return a.owner.reads.size() > reads; }, 200);
        if (stop == "reopen") {
            QCOMPARE(a.owner.reads.size(), reads + 1);
            QCOMPARE(a.owner.reads.last(), QByteArray("B"));
        } else {
            QCOMPARE(a.owner.reads.size(), reads);
        }
        QVERIFY(a.owner.losses.isEmpty());
    }

    // Real device paths under /dev: a pseudo-terminal, and a link to it in
    // /dev/serial/by-id as udev makes for USB adapters.
    void lockFilesOfDevicesUnderDev_data()
    {
        QTest::addColumn<bool>("byId");     // the port is registered under the by-id link
        QTest::addColumn<QString>("name");  // lock file: pts = pts_<n>, n = <n>, link, link-path
        QTest::addColumn<QByteArray>("pid");  // "live": the parent's pid
        QTest::addColumn<bool>("refused");
        QTest::newRow("pts, LCK..pts_<n>") << false << "pts" << QByteArray("live") << true;
        QTest::newRow("pts, LCK..<n>") << false << "n" << QByteArray("live") << true;
        QTest::newRow("by-id, LCK..<link name>") << true << "link" << QByteArray("live") << true;
        QTest::newRow("by-id, LCK..serial_by-id_<link name>") << true << "link-path" << QByteArray("live") << true;
        QTest::newRow("by-id, lock of the node it names") << true << "pts" << QByteArray("live") << true;
        QTest::newRow("pid, program and user") << true << "link" << QByteArray("live minicom root") << true;
        QTest::newRow("empty pid: stale") << false << "pts" << QByteArray("") << false;
        QTest::newRow("garbled pid: stale") << true << "link" << QByteArray("12ab\n") << false;
        QTest::newRow("zero pid: stale") << false << "pts" << QByteArray("         0\n") << false;
    }

    void lockFilesOfDevicesUnderDev()
    {
        QFETCH(bool, byId);
        QFETCH(QString, name);
        QFETCH(QByteArray, pid);
        QFETCH(bool, refused);
        PtyPair pty;
        const QString n = pty.slavePath().section('/', -1);
        std::unique_ptr<ByIdLink> link;
        if (byId) {
            link = std::make_unique<ByIdLink>(pty.slavePath());
            if (link->path.isEmpty())
                QSKIP("cannot make links under /dev here");
        }
        const QString path = byId ? link->path : pty.slavePath();
        VirtualPortRegistry registry;
        const int com = registry.add(path, QStringLiteral("Test pty"));
        QVERIFY(com > 0);

        QTemporaryDir lockDir;
        const QString lockName = name == "pts" ? "LCK..pts_" + n
                               : name == "n"   ? "LCK.." + n
                               : name == "link" ? "LCK.." + QFileInfo(path).fileName()
                                                : "LCK..serial_by-id_" + QFileInfo(path).fileName();
        QFile lock(lockDir.filePath(lockName));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray(pid).replace("live", QByteArray::number(qint64(::getppid())).rightJustified(10, ' ')));
        lock.close();

        const PortLockPaths locks{{lockDir.path()}, "/proc/locks"};
        SerialPortEnumerator list(std::make_shared<NoDevices>(), registry, locks);
        std::vector<SerialPortRecord> ports;
        QString error;
        QVERIFY(list.enumerate(ports, error));
        QCOMPARE(ports.size(), std::size_t(refused ? 0 : 1));
        CSerialPort port([&] { return std::make_unique<PosixSerialDevice>(locks); });
        QCOMPARE(port.Open(com), !refused);
        port.RequestStop();
        registry.remove(com);
    }

    void hangUpReportsLossOnceAndCloses()
    {
        PtyLink l;
        CSerialPort& port = *l.port;
        QVERIFY(l.start());
        QVERIFY(l.pty.write("x"));
        QVERIFY(processEventsUntil([&] { return l.owner.bytes() == "x"; }));

        l.pty.closeMaster();
        QVERIFY(processEventsUntil([&] { return l.owner.losses.size() == 1; }));
        QVERIFY(!port.isOpen());
        // The dead line is no longer watched: nothing more is read or reported.
        const int reads = l.device->reads;
        processEventsUntil([] { return false; }, 100);
        QCOMPARE(l.device->reads.load(), reads);
        QCOMPARE(l.owner.losses.size(), 1);
        const CommandFrame f = build::powerStateQuery().seal();
        QVERIFY(!port.QueueWrite(f.data(), f.size()));
    }

    void lossOfAStoppedSessionIsDropped()
    {
        PtyLink l;
        QVERIFY(l.start());
        l.pty.closeMaster();
        l.port->RequestStop();  // e.g. the operator pressed Disconnect meanwhile
        processEventsUntil([] { return false; }, 100);
        QVERIFY(l.owner.losses.isEmpty());
    }

    void lineSettings()
    {
        PtyLink l;
        QVERIFY(l.port->Open(l.com, serial::kBaudRate, serial::kParity, serial::kDataBits, serial::kStopBits));
        QVERIFY(l.port->lastWarning().isEmpty());
        // A pty master reports its slave's settings; raw mode shows in the byte tests.
        termios t {};
        QCOMPARE(::tcgetattr(l.pty.master(), &t), 0);
        QCOMPARE(::cfgetospeed(&t), speed_t(B115200));
        QCOMPARE(::cfgetispeed(&t), speed_t(B115200));
        QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CRTSCTS), tcflag_t(CS8 | CSTOPB | CREAD));

        // A set-up step that fails is reported; the port stays open.
        QVERIFY(l.port->Open(l.com, 12345, serial::kParity, serial::kDataBits, serial::kStopBits));
        QVERIFY(l.port->isOpen());
        QCOMPARE(l.port->lastWarning(), QStringLiteral("WARNING:  BuildCommDCB() Failed with the following error: \n%1\nPort: %2\n")
                                            .arg(QString::fromLocal8Bit(std::strerror(EINVAL)))
                                            .arg(l.com));
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serialport.moc"
