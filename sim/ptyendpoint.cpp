#include "ptyendpoint.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "sim/session.h"

namespace talvane {
namespace sim {

namespace {
const char kPortDescription[] = "Talvane switch simulator";
constexpr std::size_t kReadChunk = 4096;
// Reads per notification: a flood on the line leaves the other links their turn.
constexpr int kReadsPerTurn = 4;

QString systemError(const char* what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
}  // namespace

PtyEndpoint::PtyEndpoint(SwitchDevice& device, Trace* trace, const QString& registryDirectory, QObject* parent)
    : QObject(parent)
    , device_(device)
    , trace_(trace)
    , registry_(registryDirectory.isEmpty() ? VirtualPortRegistry::defaultDirectory() : registryDirectory)
{
}

PtyEndpoint::~PtyEndpoint() { close(); }

bool PtyEndpoint::open(QString* error)
{
    close();
    const auto fail = [&](const char* what) {
        if (error)
            *error = systemError(what);
        close();
        return false;
    };
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return fail("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return fail("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0)
        return fail("ptsname");
    path_ = QString::fromLocal8Bit(name);
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0)
        return fail("open slave");

    // Raw 8N2 at 115200: no echo, no line editing, no character translation.
    termios t{};
    if (::tcgetattr(slave_, &t) != 0)
        return fail("tcgetattr");
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    t.c_cflag |= CSTOPB | CLOCAL | CREAD;
    if (::tcsetattr(slave_, TCSANOW, &t) != 0)
        return fail("tcsetattr");
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("fcntl");

    session_ = std::make_unique<Session>(device_, [this](const QByteArray& b) { writeBytes(b); }, trace_);
    readNotifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, [this] { onReadable(); });
    writeNotifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_.get(), &QSocketNotifier::activated, this, [this] { onWritable(); });

    com_ = registry_.add(path_, QLatin1String(kPortDescription));
    return true;
}

void PtyEndpoint::close()
{
    readNotifier_.reset();
    writeNotifier_.reset();
    session_.reset();
    pending_.clear();
    if (com_ > 0)
        registry_.remove(com_);
    com_ = -1;
    closeFd(slave_);
    closeFd(master_);
    path_.clear();
}

bool PtyEndpoint::hangUp(QString* error)
{
    close();
    if (!open(error))
        return false;
    emit reopened();
    return true;
}

void PtyEndpoint::onReadable()
{
    std::uint8_t buffer[kReadChunk];
    for (int turn = 0; turn < kReadsPerTurn; ++turn) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            session_->receive(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // The slave side is gone although this process holds it open: never
        // poll a dead descriptor again; put a fresh line in its place.
        readNotifier_->setEnabled(false);
        QMetaObject::invokeMethod(this, [this] { hangUp(); }, Qt::QueuedConnection);
        return;
    }
}

void PtyEndpoint::writeBytes(const QByteArray& bytes)
{
    if (master_ < 0)
        return;
    pending_.append(bytes);
    // Nobody reading the line: the oldest replies are dropped.
    if (pending_.size() > Session::kMaxPendingOutput)
        pending_.remove(0, pending_.size() - Session::kMaxPendingOutput);
    flushPending();
}

void PtyEndpoint::onWritable() { flushPending(); }

void PtyEndpoint::flushPending()
{
    while (!pending_.isEmpty()) {
        const ssize_t n = ::write(master_, pending_.constData(), static_cast<size_t>(pending_.size()));
        if (n > 0) {
            pending_.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            pending_.clear();  // the line is dead: waiting would only spin
        break;  // full (nobody reading): wait until it drains
    }
    if (writeNotifier_)
        writeNotifier_->setEnabled(!pending_.isEmpty());
}

}  // namespace sim
}  // namespace talvane
