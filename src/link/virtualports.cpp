#include "virtualports.h"

#include "portlocks.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <mutex>
#include <set>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvane {

namespace {
const char kEntryPrefix[] = "COM";
constexpr qsizetype kMaxEntrySize = 4096;
constexpr mode_t kDirectoryMode = 0700;
// Write permission for anyone but the owner.
constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;

bool isCharacterDevice(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}
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
    // A NUL would end the path where the system reads it, short of what is shown.
    return pidOk && !out.devicePath.isEmpty() && !out.devicePath.contains(QChar(0));
}

bool VirtualPortRegistry::trusted(QString* why) const
{
    auto refuse = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QByteArray path = QFile::encodeName(dir_);
    const uid_t self = ::geteuid();
    struct stat st {};
    if (path.isEmpty() || ::lstat(path.constData(), &st) != 0)
        return refuse(QStringLiteral("cannot be looked at (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
    // A link is followed only when it is this user's own: anyone else could
    // point it elsewhere at any moment.
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != self)
            return refuse(QStringLiteral("is a symbolic link owned by user %1").arg(st.st_uid));
        if (::stat(path.constData(), &st) != 0)
            return refuse(QStringLiteral("is a link to nothing"));
    }
    if (!S_ISDIR(st.st_mode))
        return refuse(QStringLiteral("is not a directory"));
    if (st.st_uid != self)
        return refuse(QStringLiteral("is owned by user %1, not by user %2").arg(st.st_uid).arg(self));
    if (st.st_mode & kOthersWrite)
        return refuse(QStringLiteral("may be written by other users (mode %1)").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    return true;
}

bool VirtualPortRegistry::usable() const
{
    QString why;
    if (trusted(&why))
        return true;
    static std::mutex reportedMutex;
    static std::set<QString> reported;
    const QString line = QStringLiteral("virtual serial ports in %1 ignored: the directory %2").arg(dir_, why);
    std::lock_guard<std::mutex> lock(reportedMutex);
    if (reported.insert(line).second)
        qWarning("%s", qPrintable(line));
    return false;
}

int VirtualPortRegistry::add(const QString& devicePath, const QString& description)
{
    const QByteArray path = QFile::encodeName(dir_);
    struct stat st {};
    if (!path.isEmpty() && ::lstat(path.constData(), &st) != 0 && errno == ENOENT) {
        // Made private from the start; a parent made on the way keeps the usual mode.
        QDir().mkpath(QFileInfo(dir_).absolutePath());
        if (::mkdir(path.constData(), kDirectoryMode) != 0 && errno != EEXIST)
            return -1;
    }
    if (!usable())
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
    if (!QFileInfo::exists(dir_) || !usable())
        return out;
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
        if (!parseEntry(n, raw, p) || !ownerRunning(p) || !isCharacterDevice(p.devicePath)) {
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
