// CSerialPort over a pseudo-terminal: the slave is registered as a virtual
// port in a temporary registry, so Open() finds it by its COM number, and the
// test plays the switch on the master side.
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <cerrno>
#include <fcntl.h>
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

// The Linux device with counters and a hook into the purge before a write.
class TestDevice : public PosixSerialDevice {
public:
    std::atomic<int> writes{0};
    std::atomic<int> bytesRead{0};
    std::atomic<int> hangUps{0};

    void runBeforeNextPurge(std::function<void(TestDevice&)> hook)
    {
        std::lock_guard<std::mutex> lock(m_);
        hook_ = std::move(hook);
    }
    bool purge(bool output) override
    {
        std::function<void(TestDevice&)> hook;
        {
            std::lock_guard<std::mutex> lock(m_);
            hook.swap(hook_);
        }
        if (hook)
            hook(*this);
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
        if (r.status == IoResult::Done)
            bytesRead += int(r.count);
        if (r.status == IoResult::HungUp)
            ++hangUps;
        return r;
    }

private:
    std::mutex m_;
    std::function<void(TestDevice&)> hook_;
};

// A port whose device is a TestDevice the test can look at.
struct TestPort {
    TestDevice* device = nullptr;
    std::unique_ptr<CSerialPort> port;

    TestPort()
        : port(std::make_unique<CSerialPort>([this] {
            auto d = std::make_unique<TestDevice>();
            device = d.get();
            return d;
        }))
    {
    }
    CSerialPort* operator->() const { return port.get(); }
};

// Writes to the master as fast as the line takes it, until stopped.
class Flood {
public:
    explicit Flood(int master)
        : thread_([this, master] {
            const QByteArray chunk(64, 'x');
            while (!stop_) {
                if (::write(master, chunk.constData(), size_t(chunk.size())) < 0) {
                    if (errno != EAGAIN && errno != EINTR)
                        return;
                    pollfd p{master, POLLOUT, 0};
                    ::poll(&p, 1, 20);
                }
            }
        })
    {
    }
    ~Flood()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

QByteArray bytesOf(const std::uint8_t* p, std::size_t n) { return QByteArray(reinterpret_cast<const char*>(p), qsizetype(n)); }

}  // namespace

class TestSerialPort : public QObject {
    Q_OBJECT

    QTemporaryDir registryDir_;
    std::vector<int> registered_;

    // Registers a pty's slave as a virtual port; returns its COM number.
    int registerPort(const PtyPair& pty)
    {
        const int n = VirtualPortRegistry().add(pty.slavePath(), QStringLiteral("Test pty"));
        registered_.push_back(n);
        return n;
    }

    static bool openAndStart(CSerialPort& port, QObject* owner, int com)
    {
        return port.Open(owner, com) && port.StartMonitorThread();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(registryDir_.isValid());
        qputenv("TALVANE_PORT_REGISTRY", QFile::encodeName(registryDir_.path()));
        PtyPair probe;
        if (!probe.isOpen())
            QSKIP("no pseudo-terminals on this machine");
    }

    void cleanup()
    {
        VirtualPortRegistry registry;
        for (int n : registered_)
            registry.remove(n);
        registered_.clear();
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

        RecordingOwner owner;
        PtyPair pty;
        const int com = registerPort(pty);
        CSerialPort port;
        QVERIFY(port.Open(&owner, com, serial::kBaudRate, serial::kParity, serial::kDataBits, serial::kStopBits, mask));
        QVERIFY(port.StartMonitorThread());
        QVERIFY(pty.write(input));
        QVERIFY(processEventsUntil([&] { return owner.bytes.size() >= input.size()
                                                && owner.count(msg::LineEventChar) >= eventCharMessages; }));
        QCOMPARE(owner.bytes, input);
        int byteIndex = 0;
        for (const Message& m : owner.messages) {
            if (m.message == msg::ByteReceived) {
                QCOMPARE(m.lParam, qintptr(com));
                ++byteIndex;
            } else {
                // The event-character message follows the character itself.
                QCOMPARE(m.message, msg::LineEventChar);
                QVERIFY(owner.bytes.left(byteIndex).contains(char(CSerialPort::kEventChar)));
                QCOMPARE(m.lParam, qintptr(com));
            }
        }
        QCOMPARE(owner.count(msg::LineEventChar), eventCharMessages);
    }

    void writesEachFrameWholeInOneCall_data()
    {
        QTest::addColumn<QByteArray>("frame");

        QTest::newRow("command frame") << bytesOf(build::routeSet(4, 2).seal().data(), kCommandFrameSize);
        // Bytes a cooked line would change: LF, CR, XON, XOFF, NUL, 0xFF.
        std::vector<std::uint8_t> image(kDataPayloadSize);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = std::uint8_t(i * 7 + 0x0A);
        image[0] = 0x0A, image[1] = 0x0D, image[2] = 0x11, image[3] = 0x13, image[4] = 0x00, image[5] = 0xFF;
        DataFrame data;
        data.fill(image.data(), image.size(), 0, kLastBlockFlag);
        computeChecksum(data.data(), data.size());
        QTest::newRow("data frame") << bytesOf(data.data(), data.size());
        QTest::newRow("raw block") << QByteArray(int(kRawEdidBlockSize), '\x5A');
    }

    void writesEachFrameWholeInOneCall()
    {
        QFETCH(QByteArray, frame);

        RecordingOwner owner;
        PtyPair pty;
        const int com = registerPort(pty);
        TestPort port;
        QVERIFY(openAndStart(*port.port, &owner, com));
        QVERIFY(port->QueueWrite(reinterpret_cast<const std::uint8_t*>(frame.constData()), std::size_t(frame.size())));
        QCOMPARE(pty.read(int(frame.size())), frame);
        QCOMPARE(port.device->writes.load(), 1);
    }

    void framesQueuedTogetherAllGoOutInOrder()
    {
        RecordingOwner owner;
        PtyPair pty;
        const int com = registerPort(pty);
        CSerialPort port;
        QVERIFY(openAndStart(port, &owner, com));
        QByteArray expected;
        for (int output = 1; output <= 3; ++output) {
            const CommandFrame f = build::routeSet(1, output).seal();
            QVERIFY(port.QueueWrite(f.data(), f.size()));
            expected += bytesOf(f.data(), f.size());
        }
        QCOMPARE(pty.read(int(expected.size())), expected);
    }

    void refusesWritesItCannotHold()
    {
        PtyPair pty;
        const int com = registerPort(pty);
        CSerialPort port;
        const std::vector<std::uint8_t> tooLong(CSerialPort::kWriteBufferSize + 1, 0);
        QVERIFY(!port.QueueWrite(tooLong.data(), 13));  // not open yet
        QVERIFY(port.Open(nullptr, com));
        QVERIFY(!port.QueueWrite(tooLong.data(), tooLong.size()));
        QVERIFY(!port.QueueWrite(tooLong.data(), 0));
        QVERIFY(port.QueueWrite(tooLong.data(), CSerialPort::kWriteBufferSize));
    }

    void writeDiscardsUnreadInput()
    {
        RecordingOwner owner;
        PtyPair pty;
        const int com = registerPort(pty);
        TestPort port;
        QVERIFY(openAndStart(*port.port, &owner, com));
        // One byte through proves the thread is past its start-up purge.
        QVERIFY(pty.write("A"));
        QVERIFY(processEventsUntil([&] { return owner.bytes == "A"; }));

        // Stale bytes reach the device while the write is being prepared.
        const QByteArray stale("STALE");
        std::atomic<bool> staleQueued{false};
        port.device->runBeforeNextPurge([&](TestDevice& d) {
            pty.write(stale);
            pollfd p{d.fd(), POLLIN, 0};
            int pending = 0;
            QDeadlineTimer deadline(5000);
            while (pending < stale.size() && !deadline.hasExpired()) {
                ::poll(&p, 1, 50);
                ::ioctl(d.fd(), FIONREAD, &pending);
            }
            staleQueued = pending >= stale.size();
        });
        const CommandFrame f = build::beepStateQuery().seal();
        QVERIFY(port->QueueWrite(f.data(), f.size()));
        QCOMPARE(pty.read(int(f.size())), bytesOf(f.data(), f.size()));
        QVERIFY2(staleQueued, "no purge before the write");

        QVERIFY(pty.write("Z"));
        QVERIFY(processEventsUntil([&] { return owner.bytes.endsWith('Z'); }));
        QCOMPARE(owner.bytes, QByteArray("AZ"));
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
        RecordingOwner owner;
        CSerialPort port;
        QVERIFY(!port.Open(&owner, com));
        QVERIFY(!port.isOpen());
        QVERIFY(!port.StartMonitorThread());
        QVERIFY(!port.isAlive());

        // The same object then opens a real port.
        PtyPair pty;
        const int valid = registerPort(pty);
        QVERIFY(openAndStart(port, &owner, valid));
        QVERIFY(pty.write("k"));
        QVERIFY(processEventsUntil([&] { return owner.bytes == "k"; }));
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
        PtyPair pty;
        const int com = registerPort(pty);
        QTemporaryDir lockDir;
        PortLockPaths locks{{lockDir.path()}, QStringLiteral("/proc/locks")};

        CSerialPort first;
        if (holder == "port") {
            QVERIFY(first.Open(nullptr, com));
        } else {
            // The parent (ctest or a shell) is alive; no process has a pid past pid_t's range.
            const qint64 pid = holder == "live lock" ? qint64(::getppid()) : qint64(0x7ffffffe);
            QFile lock(lockDir.path() + QLatin1Char('/') + lockFileName(pty.slavePath()));
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(QByteArray::number(pid).rightJustified(10, ' ') + '\n');
        }
        CSerialPort second([&] { return std::make_unique<PosixSerialDevice>(locks); });
        QCOMPARE(second.Open(nullptr, com), opens);
        QCOMPARE(second.isOpen(), opens);
    }

    void reopenStopsTheOldThreadFirst()
    {
        RecordingOwner owner;
        PtyPair ptyA, ptyB;
        const int comA = registerPort(ptyA);
        const int comB = registerPort(ptyB);
        TestPort port;
        QVERIFY(openAndStart(*port.port, &owner, comA));
        {
            // A streams while the owner handles no events: the old thread
            // is stuck handing over a byte when Open comes.
            Flood flood(ptyA.master());
            QVERIFY(spinUntil([&] { return port.device->bytesRead > 0; }));
            QVERIFY(!ptyA.slaveClosed());
            QVERIFY(openAndStart(*port.port, &owner, comB));
            QVERIFY(ptyA.slaveClosed());
        }
        QVERIFY(ptyB.write("B"));
        QVERIFY(processEventsUntil([&] { return owner.bytes.contains('B'); }));
        // The byte A's thread was handing over when it was stopped is dropped.
        QCOMPARE(owner.bytes, QByteArray("B"));
        QCOMPARE(owner.messages.front().lParam, qintptr(comB));
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
        RecordingOwner owner;
        PtyPair pty;
        const int com = registerPort(pty);
        TestPort port;
        QVERIFY(openAndStart(*port.port, &owner, com));
        {
            Flood flood(pty.master());
            QVERIFY(spinUntil([&] { return port.device->bytesRead > 0; }));
            if (requestStopFirst) {
                port->RequestStop();
                QVERIFY(spinUntil([&] { return !port->isAlive(); }));
            }
            port.port.reset();
            QVERIFY(pty.slaveClosed());
        }
        // The delivery that was pending is dropped, not handled late.
        QCoreApplication::processEvents();
        QCOMPARE(owner.count(msg::ByteReceived), 0);
    }

    void hangUpPostsLinkLostOnceWithoutSpinning()
    {
        RecordingOwner owner;
        PtyPair pty;
        const int com = registerPort(pty);
        CSerialPort port;
        QVERIFY(openAndStart(port, &owner, com));
        QVERIFY(pty.write("x"));
        QVERIFY(processEventsUntil([&] { return owner.bytes == "x"; }));

        pty.closeMaster();
        QVERIFY(processEventsUntil([&] { return owner.count(msg::LinkLost) == 1; }));
        const Message lost = owner.messages.back();
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
        QCOMPARE(owner.count(msg::LinkLost), 1);
        QVERIFY(port.isAlive());  // it waits for RequestStop, as the main window sends

        port.RequestStop();
        QVERIFY(spinUntil([&] { return !port.isAlive(); }));
        QVERIFY(!port.isOpen());
    }

    void linkLostOfAStoppedSessionIsDropped()
    {
        RecordingOwner owner;
        PtyPair pty;
        const int com = registerPort(pty);
        TestPort port;
        QVERIFY(openAndStart(*port.port, &owner, com));
        pty.closeMaster();
        QVERIFY(spinUntil([&] { return port.device->hangUps > 0; }));
        port->RequestStop();  // e.g. the operator pressed Disconnect meanwhile
        QVERIFY(spinUntil([&] { return !port->isAlive(); }));
        QCoreApplication::processEvents();
        QCOMPARE(owner.count(msg::LinkLost), 0);
    }

    void lineSettingsReadBack()
    {
        PtyPair pty;
        const int com = registerPort(pty);
        CSerialPort port;
        QVERIFY(port.Open(nullptr, com, serial::kBaudRate, serial::kParity, serial::kDataBits, serial::kStopBits));
        // A pty master reports its slave's settings.
        termios t {};
        QCOMPARE(::tcgetattr(pty.master(), &t), 0);
        QCOMPARE(::cfgetospeed(&t), speed_t(B115200));
        QCOMPARE(::cfgetispeed(&t), speed_t(B115200));
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY(!(t.c_cflag & PARENB));
        QVERIFY(t.c_cflag & CSTOPB);
        QVERIFY(t.c_cflag & CREAD);
        QVERIFY(!(t.c_cflag & CRTSCTS));
        QVERIFY(!(t.c_lflag & (ICANON | ECHO | ISIG)));
        QVERIFY(!(t.c_iflag & (IXON | IXOFF | ICRNL)));
        QVERIFY(!(t.c_oflag & OPOST));
        QVERIFY(port.lastWarning().isEmpty());
    }

    void failedSetUpIsReportedAndPortStaysOpen()
    {
        PtyPair pty;
        const int com = registerPort(pty);
        CSerialPort port;
        QVERIFY(port.Open(nullptr, com, 12345, serial::kParity, serial::kDataBits, serial::kStopBits));
        QVERIFY(port.isOpen());
        QCOMPARE(port.lastWarning(), QStringLiteral("WARNING:  BuildCommDCB() Failed with the following error: \n%1\nPort: %2\n")
                                         .arg(QString::fromLocal8Bit(std::strerror(EINVAL)))
                                         .arg(com));
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serialport.moc"
