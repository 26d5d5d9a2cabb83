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
constexpr qsizetype kMaxEntrySize = 4096;
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

bool VirtualPortRegistry::parseEntry(int comNumber, const QByteArray& content, VirtualPort& out)
{
    // Device path, description, owner PID and (since it is recorded) the
    // owner's start time, one a line.
    const QStringList lines = QString::fromUtf8(content).split(QLatin1Char('\n'));
    if (lines.size() < 3)
        return false;
    bool pidOk = false;
    out.comNumber = comNumber;
    out.devicePath = lines.at(0);
    out.description = lines.at(1);
    out.ownerPid = lines.at(2).toLongLong(&pidOk);
    bool startOk = false;
    out.ownerStartTime = lines.size() > 3 ? lines.at(3).toLongLong(&startOk) : -1;
    if (!startOk)
        out.ownerStartTime = -1;
    return pidOk && !out.devicePath.isEmpty();
}

int VirtualPortRegistry::add(const QString& devicePath, const QString& description)
{
    if (!QDir().mkpath(dir_))
        return -1;
    for (const VirtualPort& p : list())
        if (p.devicePath == devicePath)
            return p.comNumber;
    const qint64 pid = QCoreApplication::applicationPid();
    const QByteArray content = (devicePath + QLatin1Char('\n') + description + QLatin1Char('\n') + QString::number(pid)
                                + QLatin1Char('\n') + QString::number(processStartTime(pid)) + QLatin1Char('\n'))
                                   .toUtf8();
    // The entry is written whole under a private name first and then linked
    // to its COM name, which claims the number atomically: a reader never
    // sees a half-written entry, and a crash leaves no entry without an owner.
    const QByteArray draft = QFile::encodeName(dir_ + QStringLiteral("/.draft-") + QString::number(pid) + QLatin1Char('-')
                                               + QString::number(quintptr(this), 16));
    const int fd = ::open(draft.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    const bool written = ::write(fd, content.constData(), static_cast<size_t>(content.size())) == content.size();
    ::close(fd);
    int claimed = -1;
    for (int n = kFirstCom; written && n <= kLastCom; ++n) {
        if (::link(draft.constData(), QFile::encodeName(entryPath(n)).constData()) == 0) {
            claimed = n;
            break;
        }
        if (errno != EEXIST)
            break;
    }
    ::unlink(draft.constData());
    return claimed;
}

bool VirtualPortRegistry::remove(int comNumber) { return QFile::remove(entryPath(comNumber)); }

bool VirtualPortRegistry::ownerRunning(const VirtualPort& port)
{
    if (port.ownerStartTime < 0)
        return processAlive(port.ownerPid);
    return processStartTime(port.ownerPid) == port.ownerStartTime;
}

void VirtualPortRegistry::removeIfUnchanged(int comNumber, const QByteArray& raw) const
{
    // Another panel may have cleaned the entry up and a new owner taken the
    // number meanwhile: remove only what was judged.
    QByteArray now;
    if (readWholeFile(QFile::encodeName(entryPath(comNumber)), now, kMaxEntrySize) && now == raw)
        QFile::remove(entryPath(comNumber));
}

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
        QByteArray raw;
        if (!readWholeFile(QFile::encodeName(entryPath(n)), raw, kMaxEntrySize))
            continue;  // removed meanwhile
        VirtualPort p;
        if (!parseEntry(n, raw, p) || !ownerRunning(p) || !QFileInfo::exists(p.devicePath)) {
            removeIfUnchanged(n, raw);
            continue;
        }
        out.push_back(p);
    }
    std::sort(out.begin(), out.end(), [](const VirtualPort& a, const VirtualPort& b) { return a.comNumber < b.comNumber; });
    return out;
}

QString VirtualPortRegistry::devicePathOf(int comNumber, qint64* owner) const
{
    for (const VirtualPort& p : list())
        if (p.comNumber == comNumber) {
            if (owner)
                *owner = p.ownerPid;
            return p.devicePath;
        }
    return {};
}

}  // namespace talvane
