#include "serialdevice.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace talvane {

namespace {
struct BaudEntry {
    int baud;
    speed_t speed;
};
constexpr BaudEntry kBaudTable[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool speedOf(int baud, speed_t& out)
{
    for (const BaudEntry& e : kBaudTable)
        if (e.baud == baud) {
            out = e.speed;
            return true;
        }
    return false;
}

// Fills the line-setting part of `t` from `s`; false for a setting the
// device cannot carry.
bool buildTermios(const LineSettings& s, termios& t)
{
    speed_t speed = 0;
    if (!speedOf(s.baud, speed))
        return false;
    tcflag_t size = 0;
    switch (s.dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
    }
    if (s.stopBits != 1 && s.stopBits != 2)
        return false;

    ::cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= size | CLOCAL | CREAD;
    switch (s.parity) {
    case 'N': case 'n': break;
    case 'E': case 'e': t.c_cflag |= PARENB; break;
    case 'O': case 'o': t.c_cflag |= PARENB | PARODD; break;
    case 'M': case 'm': t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 'S': case 's': t.c_cflag |= PARENB | CMSPAR; break;
    default: return false;
    }
    if (t.c_cflag & PARENB)
        t.c_iflag |= INPCK;
    if (s.stopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0;
}

bool lineGone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EBADF; }
}  // namespace

PosixSerialDevice::PosixSerialDevice(PortLockPaths locks)
    : locks_(std::move(locks))
{
}

PosixSerialDevice::~PosixSerialDevice() { close(); }

bool PosixSerialDevice::open(const QString& devicePath, qint64 provider)
{
    close();
    // Look before opening: the open itself raises DTR and may reset the
    // board of whoever is using the port.
    if (portInUse(devicePath, locks_, provider)) {
        setError(EBUSY);
        return false;
    }
    const QByteArray path = QFile::encodeName(devicePath);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        setError(errno);
        return false;
    }
    if (!::isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        setError(::isatty(fd) ? errno : ENOTTY);
        ::close(fd);
        return false;
    }
    // Refuses further opens by other processes (root is not refused; the
    // flock above still is).
    ::ioctl(fd, TIOCEXCL);
    fd_ = fd;
    return true;
}

void PosixSerialDevice::close()
{
    if (fd_ < 0)
        return;
    // Closing waits for unsent output to drain; a stuck line must not hold
    // up the window that closes it.
    ::tcflush(fd_, TCOFLUSH);
    ::close(fd_);
    fd_ = -1;
}

bool PosixSerialDevice::configure(const LineSettings& settings, std::string& failedStep)
{
    termios t {};
    if (::tcgetattr(fd_, &t) != 0) {
        setError(errno);
        failedStep = kStepGetState;
        return false;
    }
    if (!buildTermios(settings, t)) {
        setError(EINVAL);
        failedStep = kStepBuildSettings;
        return false;
    }
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
        setError(errno);
        failedStep = kStepSetState;
        return false;
    }
    int raise = (settings.dtr ? TIOCM_DTR : 0) | (settings.rts ? TIOCM_RTS : 0);
    int lower = (settings.dtr ? 0 : TIOCM_DTR) | (settings.rts ? 0 : TIOCM_RTS);
    // A pseudo-terminal has no modem lines: nothing to report there.
    for (auto [request, bits] : {std::pair<unsigned long, int*>{TIOCMBIS, &raise}, {TIOCMBIC, &lower}}) {
        if (*bits == 0 || ::ioctl(fd_, request, bits) == 0 || errno == ENOTTY || errno == EINVAL)
            continue;
        setError(errno);
        failedStep = kStepControlLines;
        return false;
    }
    return true;
}

bool PosixSerialDevice::purge(bool output)
{
    if (::tcflush(fd_, output ? TCIOFLUSH : TCIFLUSH) == 0)
        return true;
    setError(errno);
    return false;
}

IoResult PosixSerialDevice::read(std::uint8_t* buffer, std::size_t capacity)
{
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, capacity);
        if (n > 0)
            return {IoResult::Done, static_cast<std::size_t>(n)};
        if (n == 0)
            return {IoResult::HungUp, 0};  // end of file: the line was hung up
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {IoResult::WouldBlock, 0};
        setError(errno);
        return {lineGone(errno) ? IoResult::HungUp : IoResult::Failed, 0};
    }
}

IoResult PosixSerialDevice::write(const std::uint8_t* bytes, std::size_t length)
{
    for (;;) {
        const ssize_t n = ::write(fd_, bytes, length);
        if (n >= 0)
            return {IoResult::Done, static_cast<std::size_t>(n)};
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {IoResult::WouldBlock, 0};
        setError(errno);
        return {lineGone(errno) ? IoResult::HungUp : IoResult::Failed, 0};
    }
}

QString PosixSerialDevice::errorText() const
{
    return QString::fromLocal8Bit(std::strerror(errno_));
}

}  // namespace talvane
