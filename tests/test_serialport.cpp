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

#include "core/windowmessage.h"
#include "link/serialport.h"
#include "link/serialportlist.h"
#include "link/virtualports.h"
#include "protocol/commands.h"
#include "support/pty.h"

using namespace talvane;
using namespace talvane::test;

namespace {

struct Message {
    int message;
    quintptr wParam;
    qintptr lParam;
};

// The main window's part: receives the port's messages through the event loop.
class RecordingOwner : public QObject, public MessageWindow {
public:
    std::vector<Message> messages;
    QByteArray bytes;
    std::function<void()> onByte;  // runs inside the handler of each byte

    bool event(QEvent* e) override { return dispatchWindowMessage(e, *this) || QObject::event(e); }
    qintptr onMessage(int message, quintptr wParam, qintptr lParam) override
    {
        messages.push_back({message, wParam, lParam});
        if (message == msg::ByteReceived) {
            bytes.append(static_cast<char>(wParam));
            if (onByte)
                onByte();
        }
        return 0;
    }
    int count(int message) const
    {
        return int(std::count_if(messages.begin(), messages.end(), [&](const Message& m) { return m.message == message; }));
    }
};

// The Linux device with counters.
class TestDevice : public PosixSerialDevice {
public:
    std::atomic<int> writes{0}, bytesRead{0}, hangUps{0}, waits{0};

    WaitResult wait(unsigned watch, bool block) override
    {
        ++waits;  // counted on the way in: the thread is about to wait
        return PosixSerialDevice::wait(watch, block);
    }

    IoResult write(const std::uint8_t* bytes, std::size_t length) override
    {
        ++writes;
        return PosixSerialDevice::write(bytes, length);
    }
    IoResult read(std::uint8_t* buffer, std::size_t capacity) override
    {
        const IoResult r = PosixSerialDevice::read(buffer, capacity);
        bytesRead += r.status == IoResult::Done ? int(r.count) : 0;
        hangUps += r.status == IoResult::HungUp ? 1 : 0;
        return r;
    }
};

// A port on a pty's slave, registered as a virtual COM port while it lives.
struct PtyLink {
    RecordingOwner owner;  // outlives the port's thread
    PtyPair pty;
    const int com = VirtualPortRegistry().add(pty.slavePath(), QStringLiteral("Test pty"));
    TestDevice* device = nullptr;
    std::unique_ptr<CSerialPort> port = std::make_unique<CSerialPort>([this] {
        auto d = std::make_unique<TestDevice>();
        device = d.get();
        return d;
    });

    ~PtyLink()
    {
        port.reset();
        VirtualPortRegistry().remove(com);
    }
    bool start(quint32 mask = CSerialPort::kMainWindowEventMask)
    {
        return port->Open(&owner, com, serial::kBaudRate, serial::kParity, serial::kDataBits, serial::kStopBits, mask)
            && port->StartMonitorThread();
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

    void receivesEachByteInOrder_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<quint32>("mask");
        QTest::addColumn<int>("eventCharMessages");
        QTest::newRow("every byte value") << everyByteValue(256) << CSerialPort::kMainWindowEventMask << 1;
        QTest::newRow("event char, flag not in mask") << QByteArray("aqb") << CSerialPort::EvRxChar << 0;
        QTest::newRow("flag in mask, no event char") << QByteArray("ab\x00\xff\x70", 5) << CSerialPort::kMainWindowEventMask << 0;
    }

    void receivesEachByteInOrder()
    {
        QFETCH(QByteArray, input);
        QFETCH(quint32, mask);
        QFETCH(int, eventCharMessages);
        PtyLink l;
        QVERIFY(l.start(mask));
        QVERIFY(spinUntil([&] { return l.device->waits > 0; }));
        const int idle = l.device->waits;
        QVERIFY(l.pty.write(input));
        // Every message for the input is handled once the thread waits again.
        QVERIFY(processEventsUntil([&] { return l.owner.bytes.size() >= input.size() && l.device->waits > idle; }));
        QCOMPARE(l.owner.bytes, input);
        QCOMPARE(l.owner.count(msg::LineEventChar), eventCharMessages);
        int seen = 0;
        for (const Message& m : l.owner.messages) {
            QCOMPARE(m.lParam, qintptr(l.com));
            if (m.message == msg::ByteReceived)
                ++seen;
            else  // the event-character message follows the character itself
                QVERIFY(m.message == msg::LineEventChar && l.owner.bytes.left(seen).contains(char(CSerialPort::kEventChar)));
        }
    }

    void writesEachFrameWholeInOneCall_data()
    {
        QTest::addColumn<QByteArrayList>("frames");
        QTest::addColumn<bool>("peerWaits");  // the peer reads only once every frame went out
        // Every byte value: a cooked line would change LF, CR, XON, XOFF, NUL...
        QTest::newRow("data frame") << QByteArrayList{everyByteValue(kDataFrameSize)} << false;
        QByteArrayList queued;
        for (int output = 1; output <= 3; ++output)
            queued << bytesOf(build::routeSet(1, output).seal().data(), kCommandFrameSize);
        QTest::newRow("frames queued together, in order") << queued << false;
        // The purge before each write discards unread input only: output the
        // peer has not read yet is an earlier frame and must arrive whole.
        QByteArrayList blocks;
        for (int i = 0; i < 6; ++i)
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
        if (peerWaits)
            QVERIFY(spinUntil([&] { return l.device->writes == int(frames.size()); }));
        const QByteArray expected = frames.join();
        QCOMPARE(l.pty.read(int(expected.size())), expected);
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
        QCOMPARE(l.pty.read(int(f.size())), bytesOf(f.data(), f.size()));
    }

    void refusesWritesItCannotHold()
    {
        PtyLink l;
        const std::vector<std::uint8_t> tooLong(CSerialPort::kWriteBufferSize + 1, 0);
        QVERIFY(!l.port->QueueWrite(tooLong.data(), 13));  // not open yet
        QVERIFY(l.port->Open(nullptr, l.com));
        QVERIFY(!l.port->QueueWrite(tooLong.data(), tooLong.size()));
        QVERIFY(!l.port->QueueWrite(tooLong.data(), 0));
        QVERIFY(l.port->QueueWrite(tooLong.data(), CSerialPort::kWriteBufferSize));
    }

    void writeDiscardsUnreadInput()
    {
        PtyLink l;
        QVERIFY(l.start(CSerialPort::EvRxFlag));  // received bytes then stay queued in the driver
        int pending = 0;
        auto queued = [&] { return ::ioctl(l.device->fd(), FIONREAD, &pending) == 0 ? pending : -1; };
        QVERIFY(l.pty.write("STALE"));
        QVERIFY(spinUntil([&] { return queued() == 5; }));
        const CommandFrame f = build::beepStateQuery().seal();
        QVERIFY(l.port->QueueWrite(f.data(), f.size()));
        QCOMPARE(l.pty.read(int(f.size())), bytesOf(f.data(), f.size()));
        QCOMPARE(queued(), 0);
    }

    void openFailsWithoutThread_data()
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

    void openFailsWithoutThread()
    {
        QFETCH(int, com);
        QFETCH(QString, holder);
        PtyLink held, free;
        QTemporaryDir lockDir;
        if (holder == "port")
            QVERIFY(held.port->Open(nullptr, held.com));
        if (holder == "lock") {  // the parent (ctest or a shell) is alive
            QFile lock(lockDir.path() + QLatin1Char('/') + lockFileName(held.pty.slavePath()));
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(QByteArray::number(qint64(::getppid())).rightJustified(10, ' ') + '\n');
        }
        std::unique_ptr<Holder> process;
        if (holder == "process")
            process = std::make_unique<Holder>(held.pty.slavePath());
        RecordingOwner owner;
        CSerialPort port([&] { return std::make_unique<PosixSerialDevice>(PortLockPaths{{lockDir.path()}, "/proc/locks"}); });
        QVERIFY(!port.Open(&owner, holder.isEmpty() ? com : held.com));
        QVERIFY(!port.isOpen());
        QVERIFY(!port.StartMonitorThread());
        QVERIFY(!port.isAlive());
        // The same object then opens a free port.
        QVERIFY(port.Open(&owner, free.com) && port.StartMonitorThread());
        QVERIFY(free.pty.write("k"));
        QVERIFY(processEventsUntil([&] { return owner.bytes == "k"; }));
    }

    void stopWhileStreamingDropsThePendingByte_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::newRow("Open of another port") << "reopen";
        QTest::newRow("RequestStop, then destructor") << "request";
        QTest::newRow("destructor alone") << "destructor";
    }

    void stopWhileStreamingDropsThePendingByte()
    {
        QFETCH(QString, stop);
        PtyLink b, a;  // a's port may move over to b's pty; a ends first
        QVERIFY(a.start());
        {
            // A streams while the owner handles no events: the thread is stuck
            // handing over a byte when the stop comes.
            Flood flood(a.pty);
            QVERIFY(spinUntil([&] { return a.device->bytesRead > 0; }));
            QVERIFY(!a.pty.slaveClosed());
            if (stop == "reopen")
                QVERIFY(a.port->Open(&a.owner, b.com) && a.port->StartMonitorThread());
            if (stop == "request") {
                a.port->RequestStop();
                QVERIFY(spinUntil([&] { return !a.port->isAlive(); }));
            }
            if (stop != "reopen")
                a.port.reset();
            QVERIFY(a.pty.slaveClosed());
        }
        QCoreApplication::processEvents();
        QCOMPARE(a.owner.count(msg::ByteReceived), 0);  // dropped, not handled late
        if (stop == "reopen") {
            QVERIFY(b.pty.write("B"));
            QVERIFY(processEventsUntil([&] { return a.owner.bytes == "B"; }));
            QCOMPARE(a.owner.messages.front().lParam, qintptr(b.com));
        }
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
        QCOMPARE(port.Open(nullptr, com), !refused);
        port.RequestStop();
        registry.remove(com);
    }

    void stopInsideAByteHandlerEndsTheRead()
    {
        PtyLink l;
        // As when the handler of a reply runs a popup, in whose loop the
        // operator disconnects: the rest of that read is not delivered.
        l.owner.onByte = [&] { l.port->RequestStop(); };
        QVERIFY(l.start());
        QVERIFY(l.pty.write("abcdef"));
        QVERIFY(processEventsUntil([&] { return !l.port->isAlive(); }));
        QCoreApplication::processEvents();
        QCOMPARE(l.owner.bytes, QByteArray("a"));
    }

    void hangUpPostsLinkLostOnceWithoutSpinning()
    {
        PtyLink l;
        CSerialPort& port = *l.port;
        QVERIFY(l.start());
        QVERIFY(l.pty.write("x"));
        QVERIFY(processEventsUntil([&] { return l.owner.bytes == "x"; }));

        l.pty.closeMaster();
        QVERIFY(processEventsUntil([&] { return l.owner.count(msg::LinkLost) == 1; }));
        const Message lost = l.owner.messages.back();
        QCOMPARE(lost.message, msg::LinkLost);
        QCOMPARE(lost.wParam, quintptr(1));
        QCOMPARE(lost.lParam, qintptr(0));

        // A write on the dead line wakes the thread once and is dropped; a
        // thread spinning on the hung-up device would have woken thousands of times.
        const quint64 before = port.wakeCount();
        const CommandFrame f = build::powerStateQuery().seal();
        QVERIFY(port.QueueWrite(f.data(), f.size()));
        QVERIFY(spinUntil([&] { return port.wakeCount() > before; }));
        QCoreApplication::processEvents();
        QVERIFY2(port.wakeCount() < 20, qPrintable(QString::number(port.wakeCount())));
        QCOMPARE(l.owner.count(msg::LinkLost), 1);
        QVERIFY(port.isAlive());  // it waits for RequestStop, as the main window sends

        port.RequestStop();
        QVERIFY(spinUntil([&] { return !port.isAlive(); }));
        QVERIFY(!port.isOpen());
    }

    void linkLostOfAStoppedSessionIsDropped()
    {
        PtyLink l;
        QVERIFY(l.start());
        l.pty.closeMaster();
        QVERIFY(spinUntil([&] { return l.device->hangUps > 0; }));
        l.port->RequestStop();  // e.g. the operator pressed Disconnect meanwhile
        QVERIFY(spinUntil([&] { return !l.port->isAlive(); }));
        QCoreApplication::processEvents();
        QCOMPARE(l.owner.count(msg::LinkLost), 0);
    }

    void lineSettings()
    {
        PtyLink l;
        QVERIFY(l.port->Open(nullptr, l.com, serial::kBaudRate, serial::kParity, serial::kDataBits, serial::kStopBits));
        QVERIFY(l.port->lastWarning().isEmpty());
        // A pty master reports its slave's settings; raw mode shows in the byte tests.
        termios t {};
        QCOMPARE(::tcgetattr(l.pty.master(), &t), 0);
        QCOMPARE(::cfgetospeed(&t), speed_t(B115200));
        QCOMPARE(::cfgetispeed(&t), speed_t(B115200));
        QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CRTSCTS), tcflag_t(CS8 | CSTOPB | CREAD));

        // A set-up step that fails is reported; the port stays open.
        QVERIFY(l.port->Open(nullptr, l.com, 12345, serial::kParity, serial::kDataBits, serial::kStopBits));
        QVERIFY(l.port->isOpen());
        QCOMPARE(l.port->lastWarning(), QStringLiteral("WARNING:  BuildCommDCB() Failed with the following error: \n%1\nPort: %2\n")
                                            .arg(QString::fromLocal8Bit(std::strerror(EINVAL)))
                                            .arg(l.com));
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serialport.moc"
