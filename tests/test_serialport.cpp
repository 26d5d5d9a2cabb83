// CSerialPort over a pseudo-terminal: the slave is registered as a virtual
// port in a temporary registry, so Open() finds it by its COM number, and the
// test plays the switch on the master side.
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>
#include <thread>

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "core/windowmessage.h"
#include "link/serialport.h"
#include "link/virtualports.h"
#include "protocol/commands.h"
#include "support/pty.h"

using namespace talvane;
using talvane::test::processEventsUntil;
using talvane::test::PtyPair;
using talvane::test::spinUntil;

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

    bool event(QEvent* e) override { return dispatchWindowMessage(e, *this) || QObject::event(e); }
    qintptr onMessage(int message, quintptr wParam, qintptr lParam) override
    {
        messages.push_back({message, wParam, lParam});
        if (message == msg::ByteReceived)
            bytes.append(static_cast<char>(wParam));
        return 0;
    }
    int count(int message) const
    {
        return int(std::count_if(messages.begin(), messages.end(), [&](const Message& m) { return m.message == message; }));
    }
};

// The Linux device with counters and a hook run once, before the next purge.
class TestDevice : public PosixSerialDevice {
public:
    std::atomic<int> writes{0}, bytesRead{0}, hangUps{0};
    std::function<void()> beforePurge;
    std::atomic<bool> hookArmed{false};  // set after beforePurge, by the other thread

    bool purge(bool output) override
    {
        if (hookArmed.exchange(false))
            beforePurge();
        return PosixSerialDevice::purge(output);
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
struct Link {
    RecordingOwner owner;  // outlives the port's thread
    PtyPair pty;
    const int com = VirtualPortRegistry().add(pty.slavePath(), QStringLiteral("Test pty"));
    TestDevice* device = nullptr;
    std::unique_ptr<CSerialPort> port = std::make_unique<CSerialPort>([this] {
        auto d = std::make_unique<TestDevice>();
        device = d.get();
        return d;
    });

    ~Link()
    {
        port.reset();
        VirtualPortRegistry().remove(com);
    }
    bool start() { return port->Open(&owner, com) && port->StartMonitorThread(); }
};

// Writes to the master as fast as the line takes it, until destroyed.
struct Flood {
    std::atomic<bool> stop{false};
    std::thread writer;

    explicit Flood(int master)
        : writer([this, master] {
            const QByteArray chunk(64, 'x');
            while (!stop) {
                if (::write(master, chunk.constData(), size_t(chunk.size())) >= 0)
                    continue;
                if (errno != EAGAIN && errno != EINTR)
                    return;
                pollfd p{master, POLLOUT, 0};
                ::poll(&p, 1, 20);
            }
        })
    {
    }
    ~Flood()
    {
        stop = true;
        writer.join();
    }
};

QByteArray bytesOf(const std::uint8_t* p, std::size_t n) { return QByteArray(reinterpret_cast<const char*>(p), qsizetype(n)); }
const std::uint8_t* dataOf(const QByteArray& b) { return reinterpret_cast<const std::uint8_t*>(b.constData()); }

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

        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QTest::newRow("one byte") << QByteArray("\x42") << CSerialPort::kMainWindowEventMask << 0;
        QTest::newRow("every byte value") << all << CSerialPort::kMainWindowEventMask << 1;
        QTest::newRow("a frame") << bytesOf(build::powerStateQuery().seal().data(), kCommandFrameSize)
                                 << CSerialPort::kMainWindowEventMask << 0;
        QTest::newRow("event char, flag not in mask") << QByteArray("aqb") << CSerialPort::EvRxChar << 0;
    }

    void receivesEachByteInOrder()
    {
        QFETCH(QByteArray, input);
        QFETCH(quint32, mask);
        QFETCH(int, eventCharMessages);
        Link l;
        QVERIFY(l.port->Open(&l.owner, l.com, serial::kBaudRate, serial::kParity, serial::kDataBits,
                             serial::kStopBits, mask));
        QVERIFY(l.port->StartMonitorThread());
        QVERIFY(l.pty.write(input));
        QVERIFY(processEventsUntil([&] { return l.owner.bytes.size() >= input.size()
                                                && l.owner.count(msg::LineEventChar) >= eventCharMessages; }));
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

        QTest::newRow("command frame") << QByteArrayList{bytesOf(build::routeSet(4, 2).seal().data(), kCommandFrameSize)};
        // Every byte value: a cooked line would change LF, CR, XON, XOFF, NUL...
        std::vector<std::uint8_t> image(kDataPayloadSize);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = std::uint8_t(i);
        DataFrame data;
        data.fill(image.data(), image.size(), 0, kLastBlockFlag);
        computeChecksum(data.data(), data.size());
        QTest::newRow("data frame") << QByteArrayList{bytesOf(data.data(), data.size())};
        QTest::newRow("raw block") << QByteArrayList{QByteArray(int(kRawEdidBlockSize), '\x5A')};
        QByteArrayList queued;
        for (int output = 1; output <= 3; ++output)
            queued << bytesOf(build::routeSet(1, output).seal().data(), kCommandFrameSize);
        QTest::newRow("frames queued together, in order") << queued;
    }

    void writesEachFrameWholeInOneCall()
    {
        QFETCH(QByteArrayList, frames);
        Link l;
        QVERIFY(l.start());
        for (const QByteArray& f : frames)
            QVERIFY(l.port->QueueWrite(dataOf(f), std::size_t(f.size())));
        const QByteArray expected = frames.join();
        QCOMPARE(l.pty.read(int(expected.size())), expected);
        QCOMPARE(l.device->writes.load(), int(frames.size()));
    }

    void refusesWritesItCannotHold()
    {
        Link l;
        const std::vector<std::uint8_t> tooLong(CSerialPort::kWriteBufferSize + 1, 0);
        QVERIFY(!l.port->QueueWrite(tooLong.data(), 13));  // not open yet
        QVERIFY(l.port->Open(nullptr, l.com));
        QVERIFY(!l.port->QueueWrite(tooLong.data(), tooLong.size()));
        QVERIFY(!l.port->QueueWrite(tooLong.data(), 0));
        QVERIFY(l.port->QueueWrite(tooLong.data(), CSerialPort::kWriteBufferSize));
    }

    void writeDiscardsUnreadInput()
    {
        Link l;
        QVERIFY(l.start());
        QVERIFY(l.pty.write("A"));
        QVERIFY(processEventsUntil([&] { return l.owner.bytes == "A"; }));

        // Stale bytes reach the device while the write is being prepared.
        const QByteArray stale("STALE");
        bool staleQueued = false;  // read after the frame came out, i.e. after the hook ran
        l.device->beforePurge = [&] {
            l.pty.write(stale);
            int pending = 0;
            QDeadlineTimer deadline(5000);
            for (pollfd p{l.device->fd(), POLLIN, 0}; pending < stale.size() && !deadline.hasExpired();) {
                ::poll(&p, 1, 50);
                ::ioctl(l.device->fd(), FIONREAD, &pending);
            }
            staleQueued = pending >= stale.size();
        };
        l.device->hookArmed = true;
        const CommandFrame f = build::beepStateQuery().seal();
        QVERIFY(l.port->QueueWrite(f.data(), f.size()));
        QCOMPARE(l.pty.read(int(f.size())), bytesOf(f.data(), f.size()));
        QVERIFY2(staleQueued, "no purge before the write");

        QVERIFY(l.pty.write("Z"));
        QVERIFY(processEventsUntil([&] { return l.owner.bytes.endsWith('Z'); }));
        QCOMPARE(l.owner.bytes, QByteArray("AZ"));
    }

    void openOfMissingPortFailsWithoutThread_data()
    {
        QTest::addColumn<int>("com");
        QTest::newRow("empty list gives port 0") << 0;
        QTest::newRow("unregistered virtual number") << 200;
        QTest::newRow("past the last number") << 256;
        QTest::newRow("negative") << -1;
    }

    void openOfMissingPortFailsWithoutThread()
    {
        QFETCH(int, com);
        Link l;
        QVERIFY(!l.port->Open(&l.owner, com));
        QVERIFY(!l.port->isOpen());
        QVERIFY(!l.port->StartMonitorThread());
        QVERIFY(!l.port->isAlive());
        // The same object then opens a real port.
        QVERIFY(l.start());
        QVERIFY(l.pty.write("k"));
        QVERIFY(processEventsUntil([&] { return l.owner.bytes == "k"; }));
    }

    void openIsExclusive_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::addColumn<bool>("opens");
        QTest::newRow("another port object") << "port" << false;
        QTest::newRow("live lock file of another process") << "live lock" << false;
        QTest::newRow("stale lock file") << "stale lock" << true;
    }

    void openIsExclusive()
    {
        QFETCH(QString, holder);
        QFETCH(bool, opens);
        Link l;
        QTemporaryDir lockDir;
        if (holder == "port") {
            QVERIFY(l.port->Open(nullptr, l.com));
        } else {
            // The parent (ctest or a shell) is alive; no process has a pid past pid_t's range.
            const qint64 pid = holder == "live lock" ? qint64(::getppid()) : qint64(0x7ffffffe);
            QFile lock(lockDir.path() + QLatin1Char('/') + lockFileName(l.pty.slavePath()));
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(QByteArray::number(pid).rightJustified(10, ' ') + '\n');
        }
        const PortLockPaths locks{{lockDir.path()}, QStringLiteral("/proc/locks")};
        CSerialPort second([&] { return std::make_unique<PosixSerialDevice>(locks); });
        QCOMPARE(second.Open(nullptr, l.com), opens);
        QCOMPARE(second.isOpen(), opens);
    }

    void reopenStopsTheOldThreadFirst()
    {
        Link a, b;  // a's port moves over to b's pty
        QVERIFY(a.start());
        {
            // A streams while the owner handles no events: the old thread
            // is stuck handing over a byte when Open comes.
            Flood flood(a.pty.master());
            QVERIFY(spinUntil([&] { return a.device->bytesRead > 0; }));
            QVERIFY(!a.pty.slaveClosed());
            QVERIFY(a.port->Open(&a.owner, b.com) && a.port->StartMonitorThread());
            QVERIFY(a.pty.slaveClosed());
        }
        QVERIFY(b.pty.write("B"));
        QVERIFY(processEventsUntil([&] { return a.owner.bytes.contains('B'); }));
        // The byte the old thread was handing over when it was stopped is dropped.
        QCOMPARE(a.owner.bytes, QByteArray("B"));
        QCOMPARE(a.owner.messages.front().lParam, qintptr(b.com));
    }

    void stopWhileStreamingDoesNotDeadlock_data()
    {
        QTest::addColumn<bool>("requestStopFirst");
        QTest::newRow("RequestStop, then destructor") << true;
        QTest::newRow("destructor alone") << false;
    }

    void stopWhileStreamingDoesNotDeadlock()
    {
        QFETCH(bool, requestStopFirst);
        Link l;
        QVERIFY(l.start());
        {
            Flood flood(l.pty.master());
            QVERIFY(spinUntil([&] { return l.device->bytesRead > 0; }));
            if (requestStopFirst) {
                l.port->RequestStop();
                QVERIFY(spinUntil([&] { return !l.port->isAlive(); }));
            }
            l.port.reset();
            QVERIFY(l.pty.slaveClosed());
        }
        // The delivery that was pending is dropped, not handled late.
        QCoreApplication::processEvents();
        QCOMPARE(l.owner.count(msg::ByteReceived), 0);
    }

    void hangUpPostsLinkLostOnceWithoutSpinning()
    {
        Link l;
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
        Link l;
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
        Link l;
        QVERIFY(l.port->Open(nullptr, l.com, serial::kBaudRate, serial::kParity, serial::kDataBits, serial::kStopBits));
        QVERIFY(l.port->lastWarning().isEmpty());
        // A pty master reports its slave's settings.
        termios t {};
        QCOMPARE(::tcgetattr(l.pty.master(), &t), 0);
        QCOMPARE(::cfgetospeed(&t), speed_t(B115200));
        QCOMPARE(::cfgetispeed(&t), speed_t(B115200));
        QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CRTSCTS), tcflag_t(CS8 | CSTOPB | CREAD));
        QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
        QCOMPARE(t.c_iflag & (IXON | IXOFF | ICRNL), tcflag_t(0));
        QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));

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
