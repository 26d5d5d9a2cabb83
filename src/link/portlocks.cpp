#include "portlocks.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace talvane {

namespace {
const char kLockPrefix[] = "LCK..";
const char kDevPrefix[] = "/dev/";
constexpr qsizetype kBinaryPidSize = 4;  // old-style lock files hold a native int
constexpr qsizetype kMaxLockFileSize = 128;
constexpr qsizetype kMaxStatSize = 4096;
// Fields of /proc/<pid>/stat after the command's closing parenthesis.
constexpr int kStatStateField = 0;
constexpr int kStatStartTimeField = 19;
// Slave sides of pseudo-terminals: BSD ttyp* (3) and Unix 98 /dev/pts (136..143).
constexpr unsigned kBsdPtySlaveMajor = 3;
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;

std::mutex& ownPortsMutex()
{
    static std::mutex m;
    return m;
}

std::vector<NodeId>& ownPorts()
{
    static std::vector<NodeId> ports;
    return ports;
}

// The first word of a lock file is the PID ("      1234\n", "  1234 minicom user\n");
// a 4-byte file holding a NUL byte is a binary PID. Text never holds a NUL, and
// a binary PID always does (PIDs stay far below 2^24), so a binary PID whose
// other bytes happen to be digits is not read as text.
qint64 pidFromLockFile(const QByteArray& content)
{
    if (content.size() == kBinaryPidSize && content.contains('\0')) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary;
    }
    const QList<QByteArray> words = content.simplified().split(' ');
    bool ok = false;
    const qint64 pid = words.isEmpty() ? 0 : words.first().toLongLong(&ok);
    return ok ? pid : 0;
}

bool isDigits(const char* s)
{
    if (!*s)
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

bool pidInRange(qint64 pid) { return pid > 0 && pid <= std::numeric_limits<pid_t>::max(); }

// The fields of /proc/<pid>/stat after "(command)", or false when unreadable.
bool statFields(qint64 pid, QList<QByteArray>& fields)
{
    QByteArray text;
    if (!readWholeFile("/proc/" + QByteArray::number(pid) + "/stat", text, kMaxStatSize))
        return false;
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return false;
    fields = text.mid(close + 1).simplified().split(' ');
    return fields.size() > kStatStartTimeField;
}

bool endedState(const QByteArray& state) { return state == "Z" || state == "X" || state == "x"; }

void appendLockNames(const QString& path, QStringList& names)
{
    names << QLatin1String(kLockPrefix) + path.section(QLatin1Char('/'), -1) << lockFileName(path);
}
}  // namespace

PortLockPaths PortLockPaths::system()
{
    return {{QStringLiteral("/run/lock"), QStringLiteral("/var/lock")}, QStringLiteral("/proc/locks")};
}

// --- node identity ------------------------------------------------------------

NodeId NodeId::of(const struct stat& st)
{
    NodeId id;
    id.fsDevice = st.st_dev;
    id.inode = st.st_ino;
    id.rdev = st.st_rdev;
    const unsigned maj = major(st.st_rdev);
    const bool pty = maj == kBsdPtySlaveMajor || (maj >= kFirstPtySlaveMajor && maj <= kLastPtySlaveMajor);
    id.byRdev = S_ISCHR(st.st_mode) && !pty;
    return id;
}

bool NodeId::of(const QString& path, NodeId& out)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    out = of(st);
    return true;
}

bool NodeId::matches(const NodeId& other) const
{
    return (fsDevice == other.fsDevice && inode == other.inode) || (byRdev && other.byRdev && rdev == other.rdev);
}

// --- lock files -----------------------------------------------------------------

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

QStringList lockFileNames(const QString& devicePath)
{
    QStringList names;
    appendLockNames(devicePath, names);
    const QString target = canonicalDevicePath(devicePath);
    if (target != devicePath)
        appendLockNames(target, names);
    names.removeDuplicates();
    return names;
}

QStringList lockFilePaths(const QString& devicePath, const QStringList& lockDirectories)
{
    // /var/lock is usually a link to /run/lock: look in each directory once.
    QStringList dirs;
    for (const QString& dir : lockDirectories)
        dirs << canonicalDevicePath(dir);
    dirs.removeDuplicates();
    const QStringList names = lockFileNames(devicePath);
    QStringList paths;
    for (const QString& dir : dirs)
        for (const QString& name : names)
            paths << dir + QLatin1Char('/') + name;
    return paths;
}

qint64 liveLockFileOwner(const QStringList& lockFilePaths)
{
    const qint64 self = QCoreApplication::applicationPid();
    for (const QString& path : lockFilePaths) {
        QByteArray content;
        if (!readWholeFile(QFile::encodeName(path), content, kMaxLockFileSize))
            continue;
        const qint64 pid = pidFromLockFile(content);
        if (pid != self && processAlive(pid))
            return pid;
    }
    return 0;
}

qint64 liveLockFileOwner(const QString& devicePath, const QStringList& lockDirectories)
{
    return liveLockFileOwner(lockFilePaths(devicePath, lockDirectories));
}

// --- exclusive locks --------------------------------------------------------------

bool ExclusiveLocks::load(const QString& procLocksPath)
{
    entries_.clear();
    QByteArray text;
    if (!readWholeFile(QFile::encodeName(procLocksPath), text))
        return false;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF": type, mode, access, pid,
    // then major:minor (hex) of the file system and the inode (decimal).
    // Lines with "->" are waiters, not holders.
    for (const QByteArray& line : text.split('\n')) {
        if (line.contains("->"))
            continue;
        bool exclusive = false;
        for (const QByteArray& field : line.simplified().split(' ')) {
            if (field == "WRITE")
                exclusive = true;
            const QList<QByteArray> id = field.split(':');
            if (!exclusive || id.size() != 3)
                continue;
            bool majOk = false, minOk = false, inodeOk = false;
            const Entry e{id.at(0).toULongLong(&majOk, 16), id.at(1).toULongLong(&minOk, 16), id.at(2).toULongLong(&inodeOk)};
            if (majOk && minOk && inodeOk)
                entries_.push_back(e);
            break;
        }
    }
    return true;
}

bool ExclusiveLocks::holds(const NodeId& node) const
{
    for (const Entry& e : entries_)
        if (e.inode == node.inode && e.major == major(node.fsDevice) && e.minor == minor(node.fsDevice))
            return true;
    return false;
}

bool heldByExclusiveLock(const QString& devicePath, const QString& procLocksPath)
{
    NodeId node;
    ExclusiveLocks locks;
    return NodeId::of(devicePath, node) && locks.load(procLocksPath) && locks.holds(node);
}

// --- processes holding a device open ------------------------------------------------

void findHolders(std::vector<HolderQuery>& queries, const QString& procRoot)
{
    if (queries.empty())
        return;
    for (HolderQuery& q : queries)
        q.holder = 0;
    DIR* proc = ::opendir(QFile::encodeName(procRoot).constData());
    if (!proc)
        return;
    const qint64 self = ::getpid();
    std::vector<QByteArray> paths;
    for (const HolderQuery& q : queries)
        paths.push_back(QFile::encodeName(q.path));
    std::size_t open = queries.size();  // queries without a holder yet
    char link[PATH_MAX];
    while (const dirent* p = ::readdir(proc)) {
        if (!isDigits(p->d_name))
            continue;
        const qint64 pid = std::strtoll(p->d_name, nullptr, 10);
        if (pid == self)
            continue;
        const int fdDir = ::openat(::dirfd(proc), (QByteArray(p->d_name) + "/fd").constData(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0)
            continue;  // ended meanwhile, or another user's process
        DIR* fds = ::fdopendir(fdDir);
        if (!fds) {
            ::close(fdDir);
            continue;
        }
        while (const dirent* f = ::readdir(fds)) {
            if (!isDigits(f->d_name))
                continue;
            // Reading the link touches nothing; only a device (or a node a
            // query names) is looked at further. Sockets, pipes and files on
            // other file systems are never stat'ed, so a hung mount cannot stall us.
            const ssize_t n = ::readlinkat(fdDir, f->d_name, link, sizeof link - 1);
            if (n <= 0 || link[0] != '/')
                continue;
            link[n] = '\0';
            bool wanted = std::strncmp(link, kDevPrefix, sizeof kDevPrefix - 1) == 0;
            for (std::size_t i = 0; !wanted && i < paths.size(); ++i)
                wanted = paths[i] == link;
            struct stat st {};
            if (!wanted || ::fstatat(fdDir, f->d_name, &st, 0) != 0)
                continue;
            const NodeId held = NodeId::of(st);
            for (HolderQuery& q : queries)
                if (!q.holder && q.provider != pid && q.node.matches(held)) {
                    q.holder = pid;
                    --open;
                }
        }
        ::closedir(fds);
        if (open == 0)
            break;
    }
    ::closedir(proc);
}

qint64 openedByOtherProcess(const QString& devicePath, qint64 provider)
{
    std::vector<HolderQuery> query(1);
    if (!NodeId::of(devicePath, query[0].node))
        return 0;
    query[0].path = canonicalDevicePath(devicePath);
    query[0].provider = provider;
    findHolders(query);
    return query[0].holder;
}

// --- this process's own ports ------------------------------------------------------

QString canonicalDevicePath(const QString& devicePath)
{
    const QString canonical = QFileInfo(devicePath).canonicalFilePath();
    return canonical.isEmpty() ? devicePath : canonical;
}

void addOwnOpenPort(const NodeId& node)
{
    std::lock_guard<std::mutex> lock(ownPortsMutex());
    ownPorts().push_back(node);
}

void removeOwnOpenPort(const NodeId& node)
{
    std::lock_guard<std::mutex> lock(ownPortsMutex());
    auto& ports = ownPorts();
    for (auto it = ports.begin(); it != ports.end(); ++it)
        if (it->fsDevice == node.fsDevice && it->inode == node.inode) {
            ports.erase(it);
            return;
        }
}

bool isOwnOpenPort(const NodeId& node)
{
    std::lock_guard<std::mutex> lock(ownPortsMutex());
    for (const NodeId& own : ownPorts())
        if (own.matches(node))
            return true;
    return false;
}

bool isOwnOpenPort(const QString& devicePath)
{
    NodeId node;
    return NodeId::of(devicePath, node) && isOwnOpenPort(node);
}

bool portInUse(const QString& devicePath, const PortLockPaths& paths, qint64 provider)
{
    NodeId node;
    if (!NodeId::of(devicePath, node))
        return false;  // absent: opening it fails anyway
    ExclusiveLocks locks;
    return isOwnOpenPort(node) || liveLockFileOwner(devicePath, paths.lockDirectories) != 0
        || (locks.load(paths.procLocksPath) && locks.holds(node)) || openedByOtherProcess(devicePath, provider) != 0;
}

// --- processes -------------------------------------------------------------------------

bool processAlive(qint64 pid)
{
    if (!pidInRange(pid))
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    // kill() also reaches a zombie: a process that ended but was not yet
    // reaped by its parent.
    QList<QByteArray> fields;
    return !statFields(pid, fields) || !endedState(fields.at(kStatStateField));
}

qint64 processStartTime(qint64 pid)
{
    QList<QByteArray> fields;
    if (!pidInRange(pid) || !statFields(pid, fields) || endedState(fields.at(kStatStateField)))
        return -1;
    bool ok = false;
    const qint64 start = fields.at(kStatStartTimeField).toLongLong(&ok);
    return ok ? start : -1;
}

bool readWholeFile(const QByteArray& path, QByteArray& out, qsizetype maxBytes)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    out.clear();
    char buffer[4096];
    while (out.size() < maxBytes) {
        const ssize_t n = ::read(fd, buffer, std::size_t(std::min<qsizetype>(qsizetype(sizeof buffer), maxBytes - out.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buffer, n);
    }
    ::close(fd);
    return true;
}

}  // namespace talvane
