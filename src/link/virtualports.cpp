#include "virtualports.h"

#include "portlocks.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace talvane {

namespace {
const char kEntryPrefix[] = "COM";
}  // namespace

QString VirtualPortRegistry::defaultDirectory()
{
    const QByteArray env = qgetenv("TALVANE_PORT_REGISTRY");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    // The user's runtime directory, or a per-user folder under /tmp where the
    // session has none (a plain root shell, a CI job).
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime + QStringLiteral("/talvane-ports");
    return QDir::tempPath() + QStringLiteral("/talvane-ports-") + QString::number(::getuid());
}

VirtualPortRegistry::VirtualPortRegistry(QString directory)
    : dir_(std::move(directory))
{
}

QString VirtualPortRegistry::entryPath(int comNumber) const
{
    return dir_ + QLatin1Char('/') + QLatin1String(kEntryPrefix) + QString::number(comNumber);
}

bool VirtualPortRegistry::readEntry(int comNumber, VirtualPort& out) const
{
    QFile f(entryPath(comNumber));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    if (lines.size() < 3)
        return false;
    out.comNumber = comNumber;
    out.devicePath = lines.at(0);
    out.description = lines.at(1);
    out.ownerPid = lines.at(2).toLongLong();
    return !out.devicePath.isEmpty();
}

int VirtualPortRegistry::add(const QString& devicePath, const QString& description)
{
    if (!QDir().mkpath(dir_))
        return -1;
    for (const VirtualPort& p : list())
        if (p.devicePath == devicePath)
            return p.comNumber;
    const QByteArray content = (devicePath + QLatin1Char('\n') + description + QLatin1Char('\n')
                                + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('\n'))
                                   .toUtf8();
    for (int n = kFirstCom; n <= kLastCom; ++n) {
        // O_EXCL claims the number atomically against other registering processes.
        const QByteArray path = QFile::encodeName(entryPath(n));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        const bool ok = ::write(fd, content.constData(), static_cast<size_t>(content.size())) == content.size();
        ::close(fd);
        if (!ok) {
            ::unlink(path.constData());
            return -1;
        }
        return n;
    }
    return -1;
}

bool VirtualPortRegistry::remove(int comNumber) { return QFile::remove(entryPath(comNumber)); }

std::vector<VirtualPort> VirtualPortRegistry::list() const
{
    std::vector<VirtualPort> out;
    const QDir dir(dir_);
    const QStringList names = dir.entryList({QLatin1String(kEntryPrefix) + QLatin1Char('*')}, QDir::Files);
    for (const QString& name : names) {
        bool ok = false;
        const int n = name.mid(int(sizeof kEntryPrefix) - 1).toInt(&ok);
        if (!ok || n < kFirstCom || n > kLastCom)
            continue;
        VirtualPort p;
        if (!readEntry(n, p))
            continue;  // being written by its owner right now
        if (!processAlive(p.ownerPid) || !QFileInfo::exists(p.devicePath)) {
            QFile::remove(entryPath(n));
            continue;
        }
        out.push_back(p);
    }
    std::sort(out.begin(), out.end(), [](const VirtualPort& a, const VirtualPort& b) { return a.comNumber < b.comNumber; });
    return out;
}

QString VirtualPortRegistry::devicePathOf(int comNumber) const
{
    for (const VirtualPort& p : list())
        if (p.comNumber == comNumber)
            return p.devicePath;
    return {};
}

}  // namespace talvane
