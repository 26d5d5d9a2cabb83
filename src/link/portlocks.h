// Whether a serial device is in use, decided WITHOUT opening it: opening a
// tty raises DTR, which resets many boards, and the port list is refreshed
// every 600 ms. A device counts as in use when
//   - another live process holds a UUCP lock file for it (LCK..<name> in the
//     lock directories, PID in ASCII or as a 4-byte binary integer),
//   - this process has it open through a CSerialPort, or
//   - some process holds an exclusive lock on it (listed in /proc/locks).
#pragma once

#include <QString>
#include <QStringList>

namespace talvane {

struct PortLockPaths {
    QStringList lockDirectories;
    QString procLocksPath;

    // /run/lock, /var/lock and /proc/locks.
    static PortLockPaths system();
};

// Name of the lock file for a device: its path below /dev with '/' turned
// into '_' (so /dev/ttyUSB0 -> LCK..ttyUSB0, /dev/pts/3 -> LCK..pts_3).
QString lockFileName(const QString& devicePath);

// PID of a live process other than this one that holds a lock file for the
// device, or 0 when there is none (missing, unreadable or stale lock files).
qint64 liveLockFileOwner(const QString& devicePath, const QStringList& lockDirectories);

// True when `procLocksPath` lists an exclusive (write) lock on the device
// node's inode.
bool heldByExclusiveLock(const QString& devicePath, const QString& procLocksPath);

// The devices this process has open through a CSerialPort, keyed by
// canonicalDevicePath() taken while the device exists (so a symlink such as
// /dev/serial/by-id/... and the node it names count as one port).
QString canonicalDevicePath(const QString& devicePath);
void addOwnOpenPort(const QString& key);
void removeOwnOpenPort(const QString& key);
bool isOwnOpenPort(const QString& devicePath);

// Any of the three reasons above.
bool portInUse(const QString& devicePath, const PortLockPaths& paths);

// True when a process with that id exists.
bool processAlive(qint64 pid);

}  // namespace talvane
