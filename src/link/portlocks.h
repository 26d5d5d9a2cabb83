// Whether a serial device is in use, decided WITHOUT opening it: opening a
// tty raises DTR, which resets many boards, and the port list is refreshed
// whenever the ports change. A device counts as in use when
//   - another live process holds a UUCP lock file for it (LCK..<name> in the
//     lock directories, PID in ASCII or as a 4-byte binary integer),
//   - this process has it open through a CSerialPort,
//   - some process holds an exclusive lock on it (listed in /proc/locks), or
//   - another process has it open at all (its /proc/<pid>/fd links), lock or
//     no lock. Only processes this user may inspect are seen there; root sees
//     every process.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <vector>

struct stat;

namespace talvane {

struct PortLockPaths {
    QStringList lockDirectories;
    QString procLocksPath;

    // /run/lock, /var/lock and /proc/locks.
    static PortLockPaths system();
};

// What identifies a device node once it is open: the node itself (file system
// and inode) and, for a character device other than a pseudo-terminal, its
// device number, so that another node of the same device matches too.
// (Pseudo-terminal numbers repeat in every devpts instance.)
struct NodeId {
    quint64 fsDevice = 0;
    quint64 inode = 0;
    quint64 rdev = 0;
    bool byRdev = false;

    static NodeId of(const struct stat& st);
    // False when the path does not exist; follows symlinks.
    static bool of(const QString& path, NodeId& out);
    bool matches(const NodeId& other) const;
};

// The names a lock file for the device may have: "LCK.." and the device's
// base name (the usual form: /dev/ttyUSB0 -> LCK..ttyUSB0), and "LCK.." and
// its path below /dev with '/' as '_' (/dev/pts/3 -> LCK..pts_3); for a
// symlink such as /dev/serial/by-id/x, also those of the node it names.
QStringList lockFileNames(const QString& devicePath);
// The second form above, the name this program's tools use.
QString lockFileName(const QString& devicePath);
// Every lock file path to look at for the device.
QStringList lockFilePaths(const QString& devicePath, const QStringList& lockDirectories);

// PID of a live process other than this one that holds one of the lock files,
// or 0 when there is none (missing, unreadable or stale: an empty, garbled or
// zero PID, or a process that has ended).
qint64 liveLockFileOwner(const QStringList& lockFilePaths);
qint64 liveLockFileOwner(const QString& devicePath, const QStringList& lockDirectories);

// The exclusive (write) locks listed in a /proc/locks style file, read once.
class ExclusiveLocks {
public:
    // False when the file cannot be read (then nothing counts as locked).
    bool load(const QString& procLocksPath);
    bool holds(const NodeId& node) const;

private:
    struct Entry {
        quint64 major, minor, inode;
    };
    std::vector<Entry> entries_;
};

// True when `procLocksPath` lists an exclusive lock on the device node's inode.
bool heldByExclusiveLock(const QString& devicePath, const QString& procLocksPath);

// Which of the nodes other processes have open, from one pass over
// /proc/<pid>/fd. This process and each node's `provider` (the process that
// offers a virtual port and keeps its own end of it open) do not count.
struct HolderQuery {
    NodeId node;
    QString path;       // as the links may show it (for nodes outside /dev)
    qint64 provider = 0;
    qint64 holder = 0;  // out: a process holding it, or 0
};
void findHolders(std::vector<HolderQuery>& queries, const QString& procRoot = QStringLiteral("/proc"));
// A process other than this one and `provider` that has the device open, or 0.
qint64 openedByOtherProcess(const QString& devicePath, qint64 provider = 0);

// The devices this process has open through a CSerialPort.
QString canonicalDevicePath(const QString& devicePath);
void addOwnOpenPort(const NodeId& node);
void removeOwnOpenPort(const NodeId& node);
bool isOwnOpenPort(const NodeId& node);
bool isOwnOpenPort(const QString& devicePath);

// Any of the reasons above; `provider` as for findHolders().
bool portInUse(const QString& devicePath, const PortLockPaths& paths, qint64 provider = 0);

// True when a process with that id exists and has not ended (a zombie has).
bool processAlive(qint64 pid);
// When the process started (clock ticks after boot, /proc/<pid>/stat), or -1
// when it does not exist or has ended. Tells a process from a later one that
// was given the same id.
qint64 processStartTime(qint64 pid);

// Reads a small file of the kind procfs and sysfs offer, whose reported size
// is 0, to its end or `maxBytes`. False when it cannot be opened.
bool readWholeFile(const QByteArray& path, QByteArray& out, qsizetype maxBytes = 1 << 20);

}  // namespace talvane
