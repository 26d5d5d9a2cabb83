// Virtual serial ports (a pseudo-terminal of the simulator, a socat bridge)
// registered so that they show in the port list like any other serial port.
// Each registration is one file in a shared directory, so the simulator and
// the panel, running as separate processes, see the same COM numbers.
#pragma once

#include <QString>

#include <vector>

namespace talvane {

struct VirtualPort {
    int comNumber = 0;
    QString devicePath;
    QString description;
    qint64 ownerPid = 0;
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
    // or -1 when the directory cannot be written or every number is taken.
    // The path is registered once: a second call returns the same number.
    int add(const QString& devicePath, const QString& description);
    bool remove(int comNumber);
    // Live registrations in COM order. An entry whose owner process has ended
    // or whose device is gone is removed on the way.
    std::vector<VirtualPort> list() const;
    // The device path registered under a COM number, or empty.
    QString devicePathOf(int comNumber) const;

private:
    QString entryPath(int comNumber) const;
    bool readEntry(int comNumber, VirtualPort& out) const;

    QString dir_;
};

}  // namespace talvane
