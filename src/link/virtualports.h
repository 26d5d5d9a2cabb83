// Virtual serial ports (a pseudo-terminal of the simulator, a socat bridge)
// registered so that they show in the port list like any other serial port.
// Each registration is one file in a shared directory, so the simulator and
// the panel, running as separate processes, see the same COM numbers. A
// registration lives as long as the process that made it: one whose owner
// has ended (crashed, or killed without cleaning up) is ignored and removed.
//
// A registration names a device and a description the port list shows, so
// the directory is used only when this user owns it and no one else may
// write into it (it is made so: mode 0700); any other directory is refused,
// with the reason on standard error. Only a character device is listed.
#pragma once

#include <QString>

#include <vector>

namespace talvane {

struct VirtualPort {
    int comNumber = 0;
    QString devicePath;
    QString description;
    qint64 ownerPid = 0;
    qint64 ownerStartTime = -1;  // see processStartTime(); -1 when not recorded
};

class VirtualPortRegistry {
public:
    // COM numbers handed out to virtual ports.
    static constexpr int kFirstCom = 129;
    static constexpr int kLastCom = 255;

    // Directory from $TALVANE_PORT_REGISTRY, else <runtime directory>/talvane-ports.
    static QString defaultDirectory();
    explicit VirtualPortRegistry(QString directory = defaultDirectory());

    const QString& directory() const { return dir_; }

    // Registers a device path for the calling process; returns its COM number,
    // or -1 when the directory cannot be made, is refused (see above) or
    // cannot be written, or every number is taken.
    // The path is registered once: a second call returns the same number.
    int add(const QString& devicePath, const QString& description);
    bool remove(int comNumber);
    // Live registrations in COM order; none from a refused directory. An
    // entry whose owner process has ended (also when its id now belongs to a
    // later process), whose device is gone or is no character device, or
    // which cannot be read is removed on the way.
    std::vector<VirtualPort> list() const;
    // The device path registered under a COM number, or empty; `owner` gets
    // the registering process.
    QString devicePathOf(int comNumber, qint64* owner = nullptr) const;
    // Whether the process that registered `port` still runs.
    static bool ownerRunning(const VirtualPort& port);
    // Whether the directory exists and may hold registrations; when it may
    // not, `why` says why ("may be written by other users (mode 0777)").
    bool trusted(QString* why = nullptr) const;

private:
    // trusted(), with a refusal reported on standard error once per reason.
    bool usable() const;
    QString entryPath(int comNumber) const;
    static bool parseEntry(int comNumber, const QByteArray& content, VirtualPort& out);
    void removeIfUnchanged(int comNumber, const QByteArray& raw) const;

    QString dir_;
};

}  // namespace talvane
