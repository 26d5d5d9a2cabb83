#include "serialportlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/syscall.h>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvane {

namespace {
const char kComPrefix[] = "COM";
const char kSerialFamily[] = "ttyS";
const char kUsbFamily[] = "ttyUSB";
const char kAcmFamily[] = "ttyACM";
const char kSerialDescription[] = "Communications Port";
const char kUsbDescription[] = "USB Serial Port";
const char kOtherDescription[] = "Serial Port";
const char kVirtualDescription[] = "Virtual Serial Port";
const char kComNumberFile[] = "/talvane-controller/com-numbers";
constexpr int kNoUart = 0;          // sysfs "type" of a ttyS with no UART behind it
constexpr int kMaxSysfsDepth = 12;  // levels walked up from a tty to its USB device
constexpr int kStoreLockWaitMs = 1000;
constexpr qsizetype kMaxStoreSize = 64 * 1024;
// After an open or close of a listed device, its holders are looked up at this
// many refreshes: the event can come a moment before the opener has its
// descriptor in place.
constexpr int kHolderChecksAfterEvent = 2;
constexpr int kUnwatchedLookupEvery = 5;

// What changes in a watched directory: an entry added, removed, renamed or
// with new owner or mode (CLOSE_WRITE: a registry entry written in place).
constexpr uint32_t kDirectoryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kRegistryEvents = kDirectoryEvents | IN_CLOSE_WRITE;
// A device node opened or closed by anyone, or its owner or mode changed.
constexpr uint32_t kNodeEvents = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_ATTRIB | IN_DELETE_SELF;

// n when `name` is `family` followed by decimal digits only, else -1.
int familyIndex(const QString& name, const char* family)
{
    const QLatin1String prefix(family);
    if (!name.startsWith(prefix) || name.size() == prefix.size())
        return -1;
    const QStringView digits = QStringView(name).mid(prefix.size());
    for (QChar c : digits)
        if (!c.isDigit())
            return -1;
    bool ok = false;
    const int n = digits.toInt(&ok);
    return ok ? n : -1;
}

bool isSerialFamily(const QString& name) { return familyIndex(name, kSerialFamily) >= 0; }

// USB serial converters and modems: the ports whose hiding is worth a hint.
bool isAdapter(const TtyDevice& d)
{
    return d.usb || familyIndex(d.kernelName, kUsbFamily) >= 0 || familyIndex(d.kernelName, kAcmFamily) >= 0;
}

// Name order with a trailing number compared as a number: ttyAMA2 < ttyAMA10.
bool naturalLess(const QString& a, const QString& b)
{
    auto split = [](const QString& s) {
        int i = s.size();
        while (i > 0 && s.at(i - 1).isDigit())
            --i;
        return std::make_pair(s.left(i), s.mid(i));
    };
    const auto [pa, na] = split(a);
    const auto [pb, nb] = split(b);
    if (pa != pb)
        return pa < pb;
    if (na.size() != nb.size())
        return na.size() < nb.size();
    return na < nb;
}

QString readSysfsText(const QString& path)
{
    QByteArray text;
    if (!readWholeFile(QFile::encodeName(path), text, 4096))
        return {};
    return QString::fromUtf8(text).trimmed();
}

QString comName(int n) { return QLatin1String(kComPrefix) + QString::number(n); }

QString descriptionOf(const TtyDevice& d)
{
    if (isSerialFamily(d.kernelName))
        return QLatin1String(kSerialDescription);
    if (!d.description.isEmpty())
        return d.description;
    return QLatin1String(d.usb ? kUsbDescription : kOtherDescription);
}

SerialPortRecord makeRecord(int n, const QString& devicePath, const QString& description, bool usb)
{
    SerialPortRecord r;
    r.devicePath = devicePath;
    r.portName = comName(n);
    r.friendlyName = description + QStringLiteral(" (") + r.portName + QLatin1Char(')');
    r.usb = usb;
    r.comNumber = n;
    completeRecord(r);
    return r;
}

// Present devices that can carry a serial line, with their COM numbers.
bool kernelPorts(const TtyDeviceSource& source, ComNumberStore& store, std::vector<std::pair<int, TtyDevice>>& out,
                 QString& error)
{
    std::vector<TtyDevice> devices;
    if (!source.devices(devices, error))
        return false;
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [](const TtyDevice& d) { return isSerialFamily(d.kernelName) && d.uartType == kNoUart; }),
                  devices.end());
    out = assignComNumbers(std::move(devices), store);
    return true;
}

QString groupName(gid_t gid)
{
    std::vector<char> buffer(4096);
    group g {};
    group* found = nullptr;
    while (::getgrgid_r(gid, &g, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found ? QString::fromLocal8Bit(found->gr_name) : QString::number(gid);
}

// inotify: which watched directories and device nodes changed since last asked.
class ChangeWatch {
public:
    ChangeWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~ChangeWatch()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    // A watch id, or -1 (no inotify, no such path, or no more watches).
    int add(const QString& path, uint32_t events)
    {
        return fd_ < 0 ? -1 : ::inotify_add_watch(fd_, QFile::encodeName(path).constData(), events);
    }
    void remove(int wd)
    {
        if (fd_ >= 0 && wd >= 0)
            ::inotify_rm_watch(fd_, wd);
    }
    // Collects the ids of the watches that fired; false when events were lost.
    bool drain(std::set<int>& fired)
    {
        if (fd_ < 0)
            return true;
        alignas(inotify_event) char buffer[8192];
        bool complete = true;
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return complete;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                if (e->mask & IN_Q_OVERFLOW)
                    complete = false;
                else
                    fired.insert(e->wd);
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
    }

private:
    int fd_;
};
}  // namespace

// ---------------------------------------------------------------------------

SysfsTtyDeviceSource::SysfsTtyDeviceSource(QString sysRoot, QString devRoot)
    : sysRoot_(std::move(sysRoot))
    , devRoot_(std::move(devRoot))
{
}

QStringList SysfsTtyDeviceSource::watchDirectories() const
{
    return {devRoot_, sysRoot_ + QStringLiteral("/class/tty")};
}

bool SysfsTtyDeviceSource::devices(std::vector<TtyDevice>& out, QString& error) const
{
    const QString classDir = sysRoot_ + QStringLiteral("/class/tty");
    DIR* dir = ::opendir(QFile::encodeName(classDir).constData());
    if (!dir) {
        error = QStringLiteral("Could not read from %1. (err=%2)").arg(classDir).arg(errno, 0, 16);
        return false;
    }
    const QString devicesRoot = QFileInfo(sysRoot_ + QStringLiteral("/devices")).canonicalFilePath();
    std::vector<TtyDevice> found;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        // Consoles, ptmx and pseudo-terminals (most entries) have no device
        // behind them: one lstat tells, before any link is resolved.
        struct stat st {};
        const QByteArray link = QFile::encodeName(classDir) + '/' + entry->d_name + "/device";
        if (::lstat(link.constData(), &st) != 0)
            continue;
        const QString device = QFileInfo(QFile::decodeName(link)).canonicalFilePath();
        if (device.isEmpty())
            continue;
        const QString name = QFile::decodeName(entry->d_name);
        const QString entryDir = classDir + QLatin1Char('/') + name;
        TtyDevice d;
        d.kernelName = name;
        d.devicePath = devRoot_ + QLatin1Char('/') + name;
        bool ok = false;
        const int type = readSysfsText(entryDir + QStringLiteral("/type")).toInt(&ok);
        d.uartType = ok ? type : -1;

        // Walk up to the USB device, if any: its directory has idVendor; the
        // directory below it on the way is the interface.
        QString below;
        QString at = device;
        for (int depth = 0; depth < kMaxSysfsDepth && !devicesRoot.isEmpty() && at.startsWith(devicesRoot + QLatin1Char('/'));
             ++depth) {
            if (QFileInfo::exists(at + QStringLiteral("/idVendor"))) {
                d.usb = true;
                d.usbIdentity = readSysfsText(at + QStringLiteral("/idVendor")) + QLatin1Char(':')
                                + readSysfsText(at + QStringLiteral("/idProduct")) + QLatin1Char(':')
                                + readSysfsText(at + QStringLiteral("/serial"));
                d.description = readSysfsText(at + QStringLiteral("/product"));
                if (d.description.isEmpty() && !below.isEmpty())
                    d.description = readSysfsText(below + QStringLiteral("/interface"));
                break;
            }
            below = at;
            at = at.left(at.lastIndexOf(QLatin1Char('/')));
        }
        found.push_back(std::move(d));
    }
    ::closedir(dir);
    out = std::move(found);
    return true;
}

// ---------------------------------------------------------------------------

int fixedComNumber(const QString& kernelName)
{
    const struct {
        const char* family;
        int first;
    } families[] = {{kSerialFamily, com::kFirstSerial}, {kUsbFamily, com::kFirstUsb}, {kAcmFamily, com::kFirstAcm}};
    for (const auto& f : families) {
        const int n = familyIndex(kernelName, f.family);
        if (n >= 0 && n < com::kPerFamily)
            return f.first + n;
    }
    return 0;
}

ComNumberStore::ComNumberStore(QString file)
    : file_(std::move(file))
{
}

QString ComNumberStore::defaultFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String(kComNumberFile);
}

// One "name number" a line, oldest assignment first.
bool ComNumberStore::load(Table& table) const
{
    if (file_.isEmpty()) {
        table = memory_;
        return true;
    }
    table.clear();
    QByteArray text;
    if (!readWholeFile(QFile::encodeName(file_), text, kMaxStoreSize))
        return !QFileInfo::exists(file_);
    std::set<QString> names;
    std::set<int> numbers;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        bool ok = false;
        const int n = words.size() == 2 ? words.at(1).toInt(&ok) : 0;
        const QString name = QString::fromUtf8(words.at(0));
        if (!ok || n < com::kFirstOther || n > com::kLastKernel || names.count(name) || numbers.count(n))
            continue;
        names.insert(name);
        numbers.insert(n);
        table.emplace_back(name, n);
    }
    return true;
}

bool ComNumberStore::save(const Table& table) const
{
    QByteArray text;
    for (const auto& [name, n] : table)
        text += name.toUtf8() + ' ' + QByteArray::number(n) + '\n';
    QDir().mkpath(QFileInfo(file_).path());
    QSaveFile f(file_);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size() && f.commit();
}

std::map<QString, int> ComNumberStore::assign(const QStringList& names)
{
    std::map<QString, int> out;
    QStringList fresh;
    Table table;
    auto lookUp = [&] {
        out.clear();
        fresh.clear();
        for (const QString& name : names) {
            const auto it = std::find_if(table.begin(), table.end(), [&](const auto& e) { return e.first == name; });
            if (it != table.end())
                out[name] = it->second;
            else if (!fresh.contains(name))
                fresh << name;
        }
    };
    bool loaded = load(table);
    lookUp();
    if (fresh.isEmpty())
        return out;  // the usual case: every device seen before

    // Another panel may be giving out numbers at the same moment: read again under the lock.
    std::unique_ptr<QLockFile> lock;
    if (!file_.isEmpty()) {
        QDir().mkpath(QFileInfo(file_).path());
        lock = std::make_unique<QLockFile>(file_ + QStringLiteral(".lock"));
        lock->tryLock(kStoreLockWaitMs);
        loaded = load(table);
        lookUp();
    }
    for (const QString& name : fresh) {
        int n = com::kFirstOther;
        while (n <= com::kLastKernel
               && std::any_of(table.begin(), table.end(), [&](const auto& e) { return e.second == n; }))
            ++n;
        if (n > com::kLastKernel) {
            const auto absent = std::find_if(table.begin(), table.end(), [&](const auto& e) { return !names.contains(e.first); });
            if (absent == table.end())
                continue;  // every number is on a present device
            n = absent->second;
            table.erase(absent);
        }
        table.emplace_back(name, n);
        out[name] = n;
    }
    if (file_.isEmpty())
        memory_ = table;
    else if (loaded && lock->isLocked())
        save(table);  // an unreadable file is not overwritten
    return out;
}

std::vector<std::pair<int, TtyDevice>> assignComNumbers(std::vector<TtyDevice> devices, ComNumberStore& store)
{
    std::sort(devices.begin(), devices.end(),
              [](const TtyDevice& a, const TtyDevice& b) { return naturalLess(a.kernelName, b.kernelName); });
    devices.erase(std::unique(devices.begin(), devices.end(),
                              [](const TtyDevice& a, const TtyDevice& b) { return a.kernelName == b.kernelName; }),
                  devices.end());
    QStringList others;
    for (const TtyDevice& d : devices)
        if (fixedComNumber(d.kernelName) == 0)
            others << d.kernelName;
    const std::map<QString, int> numbers = others.isEmpty() ? std::map<QString, int>() : store.assign(others);

    std::vector<std::pair<int, TtyDevice>> out;
    for (TtyDevice& d : devices) {
        int n = fixedComNumber(d.kernelName);
        if (n == 0) {
            const auto it = numbers.find(d.kernelName);
            if (it == numbers.end())
                continue;
            n = it->second;
        }
        out.emplace_back(n, std::move(d));
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

QString descriptionFromFriendlyName(const QString& friendlyName)
{
    const int open = friendlyName.indexOf(QStringLiteral(" ("));
    const int close = friendlyName.indexOf(QLatin1Char(')'));
    if (open > 0 && close == friendlyName.size() - 1)
        return friendlyName.left(open);
    return friendlyName;
}

void completeRecord(SerialPortRecord& record)
{
    if (record.friendlyName.isEmpty())
        record.friendlyName = record.portName;
    if (record.portDescription.isEmpty())
        record.portDescription = descriptionFromFriendlyName(record.friendlyName);
}

bool mayOpenDevice(const QString& devicePath)
{
    return ::faccessat(AT_FDCWD, QFile::encodeName(devicePath).constData(), R_OK | W_OK, AT_EACCESS) == 0;
}

QString permissionHint(int count, const QStringList& groups)
{
    if (count <= 0)
        return {};
    QString text = count == 1 ? QStringLiteral("1 serial port hidden: no permission.")
                              : QStringLiteral("%1 serial ports hidden: no permission.").arg(count);
    if (groups.isEmpty())
        return text;
    QStringList quoted;
    for (const QString& g : groups)
        quoted << QLatin1Char('\'') + g + QLatin1Char('\'');
    const QString last = quoted.takeLast();
    const QString named = quoted.isEmpty() ? last : quoted.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
    // The command that does it, for the operator to copy.
    const QString command = QStringLiteral("sudo usermod -aG %1 $USER").arg(groups.join(QLatin1Char(',')));
    return text + QStringLiteral(" Add your user to the %1 group%2: %3, then log in again.")
                      .arg(named, groups.size() > 1 ? QStringLiteral("s") : QString(), command);
}

// ---------------------------------------------------------------------------

namespace {
// Tells when a process ends (also before its parent reaps it), from a pidfd;
// where there is none, from the process table each time it is asked.
class ProcessWatch {
public:
    explicit ProcessWatch(const VirtualPort& port)
        : port_(port)
        , fd_(int(::syscall(SYS_pidfd_open, pid_t(port.ownerPid), 0)))
    {
        // The id may already belong to a later process: judge it once by its start time.
        if (fd_ >= 0 && !VirtualPortRegistry::ownerRunning(port_)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~ProcessWatch()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    bool ended() const
    {
        if (fd_ < 0)
            return !VirtualPortRegistry::ownerRunning(port_);
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) != 0;
    }
    bool watches(const VirtualPort& port) const
    {
        return port.ownerPid == port_.ownerPid && port.ownerStartTime == port_.ownerStartTime;
    }

private:
    VirtualPort port_;
    int fd_;
};

// Why a port is left out of the list, as last found out. Each reason is
// found out by a step of its own (PortCheck below).
enum class LeftOut {
    No,
    Absent,         // no device node
    NotPermitted,   // this user may not open it
    OpenHere,       // this process has it open already
    LockFile,       // a live process holds a lock file for it
    ExclusiveLock,  // someone holds an exclusive lock on it
    OpenElsewhere,  // another process has it open
};

// One port the list may show: what the system says it is, how it is
// watched, and what was last found out about it.
struct Candidate {
    SerialPortRecord record;
    bool adapter = false;
    bool isVirtual = false;
    VirtualPort port;  // a virtual port's registration
    std::shared_ptr<ProcessWatch> owner;
    QStringList lockFiles;
    QString canonicalPath;

    // The findings hold until an event on the node says otherwise.
    struct Watch {
        int wd = -1;           // on the node: opened, closed, owner or mode changed
        int holderChecks = 0;  // holder lookups still due
        bool checked = false;  // the findings hold
        NodeId node;
        bool nodeKnown = false;
    } watch;

    struct Findings {
        bool present = false;
        bool permitted = false;
        QString group;         // not permitted: the group whose members may open it, if any
        bool ownOpen = false;
        qint64 lockOwner = 0;  // a live process with a lock file for it
        bool locked = false;   // an exclusive lock on it
        qint64 holder = 0;     // another process that has it open
    } found;

    LeftOut leftOut() const
    {
        if (!found.present)
            return LeftOut::Absent;
        if (!found.permitted)
            return LeftOut::NotPermitted;
        if (found.ownOpen)
            return LeftOut::OpenHere;
        if (found.lockOwner)
            return LeftOut::LockFile;
        if (found.locked)
            return LeftOut::ExclusiveLock;
        if (found.holder)
            return LeftOut::OpenElsewhere;
        return LeftOut::No;
    }
};

Candidate makeCandidate(const SerialPortRecord& record, const PortLockPaths& locks)
{
    Candidate c;
    c.record = record;
    c.canonicalPath = canonicalDevicePath(record.devicePath);
    c.lockFiles = lockFilePaths(record.devicePath, locks.lockDirectories);
    return c;
}

// What was known about a port already listed (same number, same path)
// carries over; watches of ports that are gone are dropped.
void carryOver(std::vector<Candidate>& fresh, std::vector<Candidate>& old, ChangeWatch& watch)
{
    for (Candidate& c : fresh) {
        const auto it = std::find_if(old.begin(), old.end(), [&](const Candidate& o) {
            return o.record.devicePath == c.record.devicePath && o.record.comNumber == c.record.comNumber;
        });
        if (it == old.end())
            continue;
        if (c.isVirtual && it->owner && it->owner->watches(c.port))
            c.owner = it->owner;
        c.watch = it->watch;
        c.watch.checked = false;  // a new read: everything is found out again
        c.found = it->found;      // the lock and the holder stand until looked up again
        it->watch.wd = -1;
    }
    for (const Candidate& o : old)
        if (o.watch.wd >= 0
            && std::none_of(fresh.begin(), fresh.end(), [&](const Candidate& c) { return c.watch.wd == o.watch.wd; }))
            watch.remove(o.watch.wd);
}

// Adds watches on `dirs`; all their ids, or none when one cannot be watched.
std::vector<int> watchAll(ChangeWatch& watch, const QStringList& dirs, uint32_t events)
{
    std::vector<int> wds;
    for (const QString& dir : dirs) {
        const int wd = watch.add(dir, events);
        if (wd < 0)
            return {};
        wds.push_back(wd);
    }
    return wds;
}

// What one refresh is to look at again, from the events since the last.
struct Changes {
    std::set<int> fired;
    bool periodic = false;          // the full read that comes every kRescanEvery refreshes
    bool recheckAll = false;        // that, or events were lost
    bool unwatchedLookup = false;   // nodes without a watch get their holders looked up
    bool lockFilesChanged = false;  // set once the lock directories are watched

    bool any(const std::vector<int>& wds) const
    {
        return std::any_of(wds.begin(), wds.end(), [&](int wd) { return fired.count(wd) != 0; });
    }
};

// One pass over the candidates: brings each one's findings up to date, a
// step for each reason it may be left out. The holders are looked up for
// all of them at once (a lookup reads every process's descriptors).
class PortCheck {
public:
    PortCheck(ChangeWatch& watch, const Changes& changes, const PortLockPaths& locks, const AccessCheck& mayOpen)
        : watch_(watch)
        , changes_(changes)
        , locks_(locks)
        , mayOpen_(mayOpen)
    {
    }

    void check(Candidate& c)
    {
        if (findingsStand(c))
            return;
        struct stat info {};
        if (!findPresent(c, info))
            return;
        findPermission(c, info);
        findOwnOpen(c);
        findLockFile(c);
        // A node that cannot be watched (no watches left) is looked at every time.
        c.watch.checked = c.watch.wd >= 0;
        const bool lookUp = c.watch.holderChecks > 0 || (c.watch.wd < 0 && changes_.unwatchedLookup);
        if (c.watch.holderChecks > 0)
            --c.watch.holderChecks;
        if (!c.found.permitted || c.found.ownOpen) {
            // Left out already: no lookup is spent on it.
            c.found.locked = false;
            c.found.holder = 0;
            return;
        }
        if (lookUp || changes_.recheckAll)
            findExclusiveLock(c);
        if (lookUp)
            queueHolderLookup(c);
    }

    // The holders of every port queued.
    void finish()
    {
        findHolders(queries_);
        for (std::size_t i = 0; i < queried_.size(); ++i)
            queried_[i]->found.holder = queries_[i].holder;
    }

private:
    // Nothing that could change the findings happened. A port with a live
    // lock file is looked at every time, so that it comes back when the
    // locking process ends.
    bool findingsStand(Candidate& c)
    {
        if (c.watch.wd >= 0 && changes_.fired.count(c.watch.wd))
            c.watch.holderChecks = kHolderChecksAfterEvent;
        const bool due = c.watch.wd < 0 || c.watch.holderChecks > 0;  // unwatched: every time, cheaply
        if (c.watch.checked && !due && !changes_.recheckAll && !changes_.lockFilesChanged && !c.found.lockOwner)
            return true;
        c.watch.checked = false;
        return false;
    }

    // LeftOut::Absent. A new node is watched, and its holders looked up.
    bool findPresent(Candidate& c, struct stat& info)
    {
        c.found.present = ::stat(QFile::encodeName(c.record.devicePath).constData(), &info) == 0;
        if (!c.found.present)
            return false;
        const NodeId node = NodeId::of(info);
        if (!c.watch.nodeKnown || c.watch.node.fsDevice != node.fsDevice || c.watch.node.inode != node.inode) {
            watch_.remove(c.watch.wd);
            c.watch.wd = watch_.add(c.record.devicePath, kNodeEvents);
            c.watch.nodeKnown = true;
            c.watch.holderChecks = kHolderChecksAfterEvent;
        } else if (c.watch.wd < 0 && changes_.unwatchedLookup) {
            c.watch.wd = watch_.add(c.record.devicePath, kNodeEvents);
        }
        c.watch.node = node;
        return true;
    }

    // LeftOut::NotPermitted, with the group that joining would help.
    void findPermission(Candidate& c, const struct stat& info)
    {
        c.found.permitted = mayOpen_(c.record.devicePath);
        c.found.group.clear();
        const mode_t groupReadWrite = S_IRGRP | S_IWGRP;
        if (!c.found.permitted && (info.st_mode & groupReadWrite) == groupReadWrite && info.st_gid != 0)
            c.found.group = groupName(info.st_gid);
    }

    // LeftOut::OpenHere.
    void findOwnOpen(Candidate& c) { c.found.ownOpen = isOwnOpenPort(c.watch.node); }

    // LeftOut::LockFile.
    void findLockFile(Candidate& c) { c.found.lockOwner = liveLockFileOwner(c.lockFiles); }

    // LeftOut::ExclusiveLock: the system's lock table, read once a pass.
    void findExclusiveLock(Candidate& c)
    {
        if (!exclusiveRead_)
            exclusive_.load(locks_.procLocksPath);
        exclusiveRead_ = true;
        c.found.locked = exclusive_.holds(c.watch.node);
    }

    // LeftOut::OpenElsewhere, found by finish().
    void queueHolderLookup(Candidate& c)
    {
        queries_.push_back({c.watch.node, c.canonicalPath, c.isVirtual ? c.port.ownerPid : 0, 0});
        queried_.push_back(&c);
    }

    ChangeWatch& watch_;
    const Changes& changes_;
    const PortLockPaths& locks_;
    const AccessCheck& mayOpen_;
    ExclusiveLocks exclusive_;
    bool exclusiveRead_ = false;
    std::vector<HolderQuery> queries_;
    std::vector<Candidate*> queried_;
};

// The candidates as last read, and the watches that say when to read them again.
struct PortListState {
    ChangeWatch watch;
    bool kernelRead = false;
    bool registryRead = false;
    std::vector<int> sourceWds;  // empty: the source is not watched
    std::vector<int> lockWds;    // empty: the lock directories are not watched
    int registryWd = -1;
    int sinceFullRead = 0;
    std::vector<Candidate> kernel;
    std::vector<Candidate> virtuals;

    Changes changes()
    {
        Changes ch;
        const bool complete = watch.drain(ch.fired);
        ch.periodic = ++sinceFullRead >= SerialPortEnumerator::kRescanEvery;
        ch.recheckAll = !complete || ch.periodic;
        // Nodes without a watch (none left) are looked up now and then only.
        ch.unwatchedLookup = sinceFullRead % kUnwatchedLookupEvery == 0;
        return ch;
    }

    // The system's devices, when they may have changed.
    bool readKernelPorts(const TtyDeviceSource& source, ComNumberStore& store, const PortLockPaths& locks,
                         const Changes& ch, QString& error)
    {
        if (kernelRead && !ch.recheckAll && !sourceWds.empty() && !ch.any(sourceWds))
            return true;
        std::vector<std::pair<int, TtyDevice>> devices;
        if (!kernelPorts(source, store, devices, error))
            return false;
        // Watching after reading leaves a moment uncovered: a change in it
        // shows with the next change or the periodic read.
        sourceWds = watchAll(watch, source.watchDirectories(), kDirectoryEvents);
        std::vector<Candidate> fresh;
        for (const auto& [n, d] : devices) {
            SerialPortRecord record = makeRecord(n, d.devicePath, descriptionOf(d), d.usb);
            record.usbIdentity = d.usbIdentity;
            fresh.push_back(makeCandidate(record, locks));
            fresh.back().adapter = isAdapter(d);
        }
        carryOver(fresh, kernel, watch);
        kernel = std::move(fresh);
        kernelRead = true;
        return true;
    }

    // The registered virtual ports, when the registry changed or an owner ended.
    void readVirtualPorts(const VirtualPortRegistry& registry, const PortLockPaths& locks, const Changes& ch)
    {
        const bool ownerEnded = std::any_of(virtuals.begin(), virtuals.end(),
                                            [](const Candidate& c) { return !c.owner || c.owner->ended(); });
        if (registryRead && !ch.recheckAll && registryWd >= 0 && !ch.fired.count(registryWd) && !ownerEnded)
            return;
        std::vector<Candidate> fresh;
        for (const VirtualPort& v : registry.list()) {
            const QString description = v.description.isEmpty() ? QLatin1String(kVirtualDescription) : v.description;
            fresh.push_back(makeCandidate(makeRecord(v.comNumber, v.devicePath, description, false), locks));
            fresh.back().isVirtual = true;
            fresh.back().port = v;
        }
        registryWd = watch.add(registry.directory(), kRegistryEvents);
        carryOver(fresh, virtuals, watch);
        for (Candidate& c : fresh)
            if (!c.owner)
                c.owner = std::make_shared<ProcessWatch>(c.port);
        virtuals = std::move(fresh);
        registryRead = true;
    }

    // Whether a lock file may have come or gone since the last refresh.
    bool lockFilesChanged(const PortLockPaths& locks, const Changes& ch)
    {
        if (lockWds.empty() || ch.recheckAll) {
            QStringList dirs;
            for (const QString& dir : locks.lockDirectories)
                dirs << canonicalDevicePath(dir);
            dirs.removeDuplicates();
            lockWds = watchAll(watch, dirs, kRegistryEvents);
        }
        return lockWds.empty() || ch.any(lockWds);
    }

    // The ports left in, in COM order, and the hint for adapters this user
    // may not open. A port a hub holds is in (it is reached through the hub,
    // whoever may open it), while its device is there.
    void collect(const std::vector<HubEntry>& hubs, std::vector<SerialPortRecord>& out, QString& hint) const
    {
        std::vector<SerialPortRecord> result;
        int noPermission = 0;
        QStringList groups;
        for (const std::vector<Candidate>* list : {&kernel, &virtuals}) {
            for (const Candidate& c : *list) {
                const LeftOut why = c.leftOut();
                const HubEntry* served = HubRegistry::holding(hubs, c.record.devicePath);
                if (served && why != LeftOut::Absent) {
                    result.push_back(c.record);
                    result.back().hub = served->control();
                    continue;
                }
                if (why == LeftOut::No)
                    result.push_back(c.record);
                if (why == LeftOut::NotPermitted && c.adapter) {
                    ++noPermission;
                    if (!c.found.group.isEmpty() && !groups.contains(c.found.group))
                        groups << c.found.group;
                }
            }
        }
        std::stable_sort(result.begin(), result.end(),
                         [](const SerialPortRecord& a, const SerialPortRecord& b) { return a.comNumber < b.comNumber; });
        out.swap(result);
        hint = permissionHint(noPermission, groups);
    }
};
}  // namespace

struct SerialPortEnumerator::State : PortListState {};

SerialPortEnumerator::SerialPortEnumerator()
    : SerialPortEnumerator(std::make_shared<SysfsTtyDeviceSource>(), VirtualPortRegistry(), PortLockPaths::system(),
                           ComNumberStore::defaultFile(), mayOpenDevice, HubRegistry())
{
}

SerialPortEnumerator::SerialPortEnumerator(std::shared_ptr<const TtyDeviceSource> source, VirtualPortRegistry registry,
                                           PortLockPaths locks, QString comNumberFile, AccessCheck mayOpen,
                                           HubRegistry hubs)
    : source_(std::move(source))
    , registry_(std::move(registry))
    , hubs_(std::move(hubs))
    , locks_(std::move(locks))
    , mayOpen_(mayOpen ? std::move(mayOpen) : AccessCheck(mayOpenDevice))
    , store_(std::make_unique<ComNumberStore>(std::move(comNumberFile)))
{
}

SerialPortEnumerator::~SerialPortEnumerator() = default;
SerialPortEnumerator::SerialPortEnumerator(SerialPortEnumerator&&) noexcept = default;
SerialPortEnumerator& SerialPortEnumerator::operator=(SerialPortEnumerator&&) noexcept = default;

bool SerialPortEnumerator::enumerate(std::vector<SerialPortRecord>& out, QString& error)
{
    QString hint;
    return enumerate(out, error, hint);
}

// Everything found out about a port is kept until something that could change
// it happens: an event on its node (opened, closed, owner or mode changed), on
// the lock directories, a new read of the devices or the registry, or the
// periodic full read. Reading /proc/locks each time would also cost the whole
// system: the kernel takes the lock table's write lock and waits for an RCU
// grace period to list it.
bool SerialPortEnumerator::enumerate(std::vector<SerialPortRecord>& out, QString& error, QString& hint)
{
    if (!state_)
        state_ = std::make_unique<State>();
    State& st = *state_;

    Changes changes = st.changes();
    if (!st.readKernelPorts(*source_, *store_, locks_, changes, error))
        return false;
    st.readVirtualPorts(registry_, locks_, changes);
    changes.lockFilesChanged = st.lockFilesChanged(locks_, changes);
    if (changes.periodic)
        st.sinceFullRead = 0;

    PortCheck check(st.watch, changes, locks_, mayOpen_);
    for (std::vector<Candidate>* list : {&st.kernel, &st.virtuals})
        for (Candidate& c : *list)
            check.check(c);
    check.finish();
    st.collect(hubs_.list(), out, hint);
    return true;
}

QStringList SerialPortEnumerator::presentDevices() const
{
    QStringList paths;
    if (!state_)
        return paths;
    for (const std::vector<Candidate>* list : {&state_->kernel, &state_->virtuals})
        for (const Candidate& c : *list)
            if (c.found.present)
                paths << c.record.devicePath;
    return paths;
}

QString SerialPortEnumerator::devicePathOf(int comNumber, qint64* provider) const
{
    if (provider)
        *provider = 0;
    if (comNumber >= VirtualPortRegistry::kFirstCom && comNumber <= VirtualPortRegistry::kLastCom)
        return registry_.devicePathOf(comNumber, provider);
    if (comNumber < com::kFirstSerial || comNumber > com::kLastKernel)
        return {};
    std::vector<std::pair<int, TtyDevice>> kernel;
    QString error;
    if (!kernelPorts(*source_, *store_, kernel, error))
        return {};
    for (const auto& [n, d] : kernel)
        if (n == comNumber)
            return d.devicePath;
    return {};
}

namespace {
// The system enumerator for the registry directories in effect (tests and
// the simulator's users may point them elsewhere while the process runs).
SerialPortEnumerator& systemEnumerator()
{
    static std::unique_ptr<SerialPortEnumerator> enumerator;
    static QStringList registryDirectories;
    const QStringList directories{VirtualPortRegistry::defaultDirectory(), HubRegistry::ownDirectory(),
                                  HubRegistry::systemDirectory()};
    if (!enumerator || directories != registryDirectories) {
        enumerator = std::make_unique<SerialPortEnumerator>();
        registryDirectories = directories;
    }
    return *enumerator;
}
}  // namespace

bool enumerateSerialPorts(std::vector<SerialPortRecord>& out, QString& error, QString& hint)
{
    return systemEnumerator().enumerate(out, error, hint);
}

bool enumerateSerialPorts(std::vector<SerialPortRecord>& out, QString& error)
{
    QString hint;
    return enumerateSerialPorts(out, error, hint);
}

QStringList presentSerialDevices() { return systemEnumerator().presentDevices(); }

QString serialDevicePathOf(int comNumber, qint64* provider)
{
    return SerialPortEnumerator().devicePathOf(comNumber, provider);
}

}  // namespace talvane
