// Where a running hub (talvane-ctl serve) says what it holds and where its
// control port listens, so that the panel and talvane-ctl reach the switch
// through it instead of finding the port in use. One entry per hub process,
// written whole once its control port listens and removed when it ends; an
// entry whose process has ended (killed, crashed) is ignored, and removed
// where this user may.
//
// Two places are read:
// - the user's own directory ($TALVANE_HUB_REGISTRY, else
//   <runtime directory>/talvane-hubs), private as the virtual port registry
//   is (mode 0700, this user's, no one else may write into it);
// - the system-wide one of the service (talvane-serve@.service), /run/talvane-hubs:
//   a root-owned directory that only root may write, holding one directory
//   per instance that systemd makes for the service's own user
//   (RuntimeDirectory=talvane-hubs/%i, mode 0755). The service registers
//   there because its unit points TALVANE_HUB_REGISTRY at its instance's one.
// A directory that does not keep to its rule is not read (reported once on
// standard error).
#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace talvane {

struct HubEntry {
    // What the hub holds: a serial device (and its COM number as the hub
    // numbered it), or a switch on the network ("192.168.1.50:8000").
    QString devicePath;
    int comNumber = 0;
    QString host;
    // Where its control port (the switch's own protocol) listens for this machine.
    QHostAddress controlAddress;
    quint16 controlPort = 0;
    // Its management channel (locks, changes): a socket for this user only; empty: none.
    QString managePath;
    qint64 pid = 0;
    qint64 startTime = -1;  // see processStartTime()

    bool isSerial() const { return !devicePath.isEmpty(); }
    // "127.0.0.1:8000" ("[::1]:8000").
    QString control() const;
    // "COM129", or the host.
    QString holds() const;
};

class HubRegistry {
public:
    // Where this process registers and which private directory it reads:
    // $TALVANE_HUB_REGISTRY, else <runtime directory>/talvane-hubs.
    static QString ownDirectory();
    // The service's: $TALVANE_SYSTEM_HUB_REGISTRY (tests; empty: none), else /run/talvane-hubs.
    static QString systemDirectory();
    // `own` empty: none; `system` empty: none.
    explicit HubRegistry(QString own = ownDirectory(), QString system = systemDirectory());
    // Reads nowhere (tests of the port list that must not see this machine's hubs).
    static HubRegistry none() { return HubRegistry(QString(), QString()); }
    // Removes the entry add() wrote, if any.
    ~HubRegistry();
    HubRegistry(HubRegistry&&) noexcept;
    HubRegistry& operator=(HubRegistry&&) noexcept;

    // Registers this process as `entry` says (its pid and start time are
    // filled in) in the own directory, made private when missing; replaces
    // an entry of this process made before. False with `why` when the
    // directory is refused or cannot be written.
    bool add(HubEntry entry, QString* why = nullptr);
    // Removes this process's entry (the one add() wrote).
    void remove();
    // The own directory, made private when missing, for a file of this
    // hub's beside its entry; empty with `why` when it is refused.
    QString ownPlace(QString* why = nullptr) const;

    // Live hubs of both places, this process left out (a hub never goes
    // through itself).
    std::vector<HubEntry> list() const;
    // The live hub that holds this device (whatever path leads to it).
    std::optional<HubEntry> servingDevice(const QString& devicePath) const;
    // The live hub connected to this switch ("192.168.1.50:8000").
    std::optional<HubEntry> servingHost(const QString& hostAndPort) const;
    // Directories whose entries come and go as hubs start and end: the own
    // one and the system one; `instances` gets the system one's instance
    // directories present now.
    QStringList watchDirectories(QStringList* instances = nullptr) const;

    // The hub of `hubs` that holds this device (whatever path leads to it), or nullptr.
    static const HubEntry* holding(const std::vector<HubEntry>& hubs, const QString& devicePath);

    // An entry as written, and read back (nothing when it does not parse).
    static QByteArray format(const HubEntry& entry);
    static std::optional<HubEntry> parse(const QByteArray& content);

private:
    void readDirectory(const QString& dir, bool removeStale, std::vector<HubEntry>& out) const;

    QString own_;
    QString system_;
    QString written_;  // the entry add() wrote
};

}  // namespace talvane
