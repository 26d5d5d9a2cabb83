#include "pty.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace talvane::test {

PtyPair::PtyPair()
{
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const char* name = fd >= 0 && ::grantpt(fd) == 0 && ::unlockpt(fd) == 0 ? ::ptsname(fd) : nullptr;
    if (name) {
        master_ = fd;
        slavePath_ = QString::fromLocal8Bit(name);
    } else if (fd >= 0) {
        ::close(fd);
    }
}

void PtyPair::closeMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

bool PtyPair::write(const QByteArray& bytes)
{
    QDeadlineTimer deadline(5000);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
        pollfd p{master_, POLLOUT, 0};
        if (n > 0)
            done += n;
        else if (n == 0 || (errno != EAGAIN && errno != EINTR) || deadline.hasExpired())
            return false;
        // A full buffer whose slave is closed never drains: it reports a hang-up.
        else if (::poll(&p, 1, int(deadline.remainingTime())) > 0 && (p.revents & POLLHUP))
            return false;
    }
    return true;
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    QByteArray out;
    QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (out.size() < count && !deadline.hasExpired()) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
            continue;
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

QByteArray PtyPair::readAvailable()
{
    QByteArray out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;)
        out.append(buffer, n);
    return out;
}

bool PtyPair::slaveClosed() const
{
    pollfd p{master_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

}  // namespace talvane::test
