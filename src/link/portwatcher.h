// Tells the port list when to read the ports again, so that it need not poll:
// a serial adapter plugged in or out (a node in /dev, a link in
// /dev/serial/by-id), a virtual port registered or gone, a lock file taken or
// dropped, or a listed port opened or closed by another program. The events
// of one burst (a device comes with several) make one changed(), kSettleMs
// after the first; a slow safety refresh catches what no event announces
// (a lock's owner that died). Inactive, it watches nothing and wakes nobody.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>

class QSocketNotifier;

namespace talvane {

class Clock;

class PortWatcher : public QObject {
    Q_OBJECT
public:
    // A port that appears shows in the list this long after its first event.
    static constexpr int kSettleMs = 150;
    // Without events, changed() comes this long after the last one anyway.
    static constexpr int kSafetyRefreshMs = 30000;

    // /dev, /dev/serial, /dev/serial/by-id, the virtual port registry, the
    // lock directories and the hubs' own registry.
    static QStringList systemDirectories();
    // The system-wide hub registry, whose instance directories come and go.
    static QStringList systemTrees();

    // `directories` are watched for entries that come, go, or change owner or
    // mode; one that does not exist yet is watched once it does. `trees` are
    // watched so too, and each directory in them as well. Time runs on
    // `clock` (nullptr: appClock()).
    explicit PortWatcher(QStringList directories = systemDirectories(), Clock* clock = nullptr,
                         QObject* parent = nullptr, QStringList trees = systemTrees());
    ~PortWatcher() override;

    // Active: watches and refreshes; becoming active counts as a change, since
    // nothing was watched before. Inactive: no watch, no timer.
    void setActive(bool active);
    bool isActive() const { return active_; }
    // Device nodes to watch for opens and closes by anyone (the ports the list
    // considers); replaces the previous set.
    void setNodes(const QStringList& paths);
    // Whether an event was seen and its changed() is still to come.
    bool changePending() const { return settleTimer_ != 0; }

signals:
    void changed();

private:
    void openWatch();
    void closeWatch();
    void watchMissing();
    void onEvents();
    void startSettle();
    void settled();
    void restartSafety();
    void stopTimer(int& handle);

    QStringList directories_;
    QStringList trees_;
    Clock* clock_;
    bool active_ = false;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<QString, int> dirWatches_;   // path -> watch id, for those that exist
    QStringList nodes_;
    std::map<QString, int> nodeWatches_;
    int settleTimer_ = 0;
    int safetyTimer_ = 0;
};

}  // namespace talvane
