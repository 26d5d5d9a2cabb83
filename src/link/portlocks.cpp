#include "portlocks.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace talvane {

namespace {
const char kLockPrefix[] = "LCK..";
const char kDevPrefix[] = "/dev/";
constexpr qint64 kBinaryPidSize = 4;  // old-style lock files hold a native int
constexpr qint64 kMaxLockFileSize = 128;

std::mutex& ownPortsMutex()
{
    static std::mutex m;
    return m;
}

std::set<QString>& ownPorts()
{
    static std::set<QString> s;
    return s;
}

qint64 pidFromLockFile(const QByteArray& content)
{
    const QByteArray text = content.trimmed();
    bool ok = false;
    const qint64 pid = text.toLongLong(&ok);
    if (ok)
        return pid;
    if (content.size() == kBinaryPidSize) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary;
    }
    return 0;
}

bool parseHex(const QByteArray& s, unsigned long& out)
{
    bool ok = false;
    out = s.toULong(&ok, 16);
    return ok;
}
}  // namespace

PortLockPaths PortLockPaths::system()
{
    return {{QStringLiteral("/run/lock"), QStringLiteral("/var/lock")}, QStringLiteral("/proc/locks")};
}

QString lockFileName(const QString& devicePath)
{
    QString name = devicePath;
    if (name.startsWith(QLatin1String(kDevPrefix)))
        name = name.mid(int(sizeof kDevPrefix) - 1);
    else
        name = name.section(QLatin1Char('/'), -1);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QLatin1String(kLockPrefix) + name;
}

bool processAlive(qint64 pid)
{
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

qint64 liveLockFileOwner(const QString& devicePath, const QStringList& lockDirectories)
{
    const QString name = lockFileName(devicePath);
    const qint64 self = QCoreApplication::applicationPid();
    for (const QString& dir : lockDirectories) {
        QFile f(dir + QLatin1Char('/') + name);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const qint64 pid = pidFromLockFile(f.read(kMaxLockFileSize));
        if (pid != self && processAlive(pid))
            return pid;
    }
    return 0;
}

bool heldByExclusiveLock(const QString& devicePath, const QString& procLocksPath)
{
    struct stat st {};
    if (::stat(QFile::encodeName(devicePath).constData(), &st) != 0)
        return false;
    QFile f(procLocksPath);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF": type, mode, access, pid,
    // then major:minor (hex) of the file system and the inode (decimal).
    // Lines with "->" are waiters, not holders.
    while (!f.atEnd()) {
        const QByteArray line = f.readLine();
        if (line.contains("->"))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool exclusive = false;
        for (const QByteArray& field : fields) {
            if (field == "WRITE")
                exclusive = true;
            const QList<QByteArray> id = field.split(':');
            if (!exclusive || id.size() != 3)
                continue;
            unsigned long maj = 0, min = 0;
            bool inodeOk = false;
            const qulonglong inode = id.at(2).toULongLong(&inodeOk);
            if (parseHex(id.at(0), maj) && parseHex(id.at(1), min) && inodeOk
                && maj == major(st.st_dev) && min == minor(st.st_dev) && inode == st.st_ino)
                return true;
        }
    }
    return false;
}

QString canonicalDevicePath(const QString& devicePath)
{
    const QString canonical = QFileInfo(devicePath).canonicalFilePath();
    return canonical.isEmpty() ? devicePath : canonical;
}

void addOwnOpenPort(const QString& key)
{
    std::lock_guard<std::mutex> lock(ownPortsMutex());
    ownPorts().insert(key);
}

void removeOwnOpenPort(const QString& key)
{
    std::lock_guard<std::mutex> lock(ownPortsMutex());
    ownPorts().erase(key);
}

bool isOwnOpenPort(const QString& devicePath)
{
    const QString key = canonicalDevicePath(devicePath);
    std::lock_guard<std::mutex> lock(ownPortsMutex());
    return ownPorts().count(key) != 0;
}

bool portInUse(const QString& devicePath, const PortLockPaths& paths)
{
    return isOwnOpenPort(devicePath) || liveLockFileOwner(devicePath, paths.lockDirectories) != 0
        || heldByExclusiveLock(devicePath, paths.procLocksPath);
}

}  // namespace talvane
