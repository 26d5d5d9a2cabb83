// The hub on an MQTT broker: a thin client of the hub like its other front
// ends. It keeps the switch's confirmed state retained under
// talvane/<switch>/ (from the hub's SwitchState, whoever changed it), the
// names from the labels store and the presets from the presets file, and
// Home Assistant's discovery configs for them; it takes commands on the
// "/set" topics and runs them through the hub, each in its turn, and
// publishes how each ended. A command the switch refuses or leaves
// unanswered has the true state published again.
#pragma once

#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <set>

#include "hub/hub.h"
#include "mqtt/client.h"
#include "mqtt/discovery.h"
#include "mqtt/topics.h"
#include "ops/presets.h"

class QFileSystemWatcher;

namespace talvane {
namespace mqtt {

struct Settings {
    BrokerOptions broker;  // its last will is the bridge's
    QString switchId;      // topic-safe (switchIdFor)
    QString discoveryPrefix = QStringLiteral("homeassistant");
    QString deviceName;
    QString manufacturer = QStringLiteral("Talvane");
    QString model = QStringLiteral("HDMI Matrix 8x8");
    QString presetsPath = PresetStore::defaultPath();
};

class Bridge : public QObject {
    Q_OBJECT
public:
    // `hub` outlives the bridge. Time runs on `clock` (nullptr: the application's).
    Bridge(hub::Hub& hub, Settings settings, Clock* clock = nullptr, QObject* parent = nullptr);
    // Publishes "offline" and says goodbye to the broker.
    ~Bridge() override;

    // Connects to the broker, and again whenever it was lost.
    void start();
    const Topics& topics() const { return topics_; }
    Client& client() { return client_; }

signals:
    // Connected to the broker: discovery and state are published now.
    // `again`: after a loss or failed attempts.
    void brokerConnected(bool again);
    // The broker went away, or cannot be reached: once until it is back.
    void brokerLost(const QString& why);
    void brokerUnreachable(const QString& why);
    // A command that is not one (nothing went to the switch): once per topic.
    void invalidCommand(const QString& topic, const QString& why);
    // A command the switch refused or did not answer, or that could not run.
    void commandFailed(const QString& topic, const QString& why);

private:
    struct Command {
        enum class Kind { Route, Arc, Lock, Power, Beeper, Preset };
        Kind kind = Kind::Route;
        int output = 0;   // Route, Arc, Lock
        int value = 0;    // Route: the input; Arc, Lock, Power, Beeper: 1 on, 0 off
        Preset preset;    // Preset
    };

    void onConnected();
    void onMessage(const QString& topic, const QByteArray& payload, bool retained);
    // The command a message asks for; empty with `why` when it is not one.
    std::optional<Command> parse(const QString& topic, const QByteArray& payload, QString* why) const;
    int inputByName(const QString& text) const;
    void issue(const QString& topic, const Command& command);
    void ended(const QString& topic, const Command& command, hub::Result result, const QString& why);
    void publishResult(const QString& topic, const QString& result, const QString& why);
    // The state topics a command changes, published again after it failed.
    QStringList stateTopicsOf(const Command& command) const;

    void reloadFiles();
    void watchFiles();
    DeviceView deviceView() const;
    std::map<QString, QByteArray> stateNow() const;
    QString activePreset() const;
    bool available() const;
    // Publishes what differs from what was published (everything: `force`).
    void publishDiscovery(bool force);
    void publishState(bool force = false);
    void publishMap(const std::map<QString, QByteArray>& map, bool force);

    hub::Hub& hub_;
    Settings settings_;
    Topics topics_;
    Client client_;
    hub::Who who_;
    PresetStore presets_;
    PortLabels names_;
    QList<Preset> presetList_;
    std::unique_ptr<QFileSystemWatcher> watcher_;
    std::map<QString, QByteArray> published_;
    std::set<QString> warned_;  // topics whose bad payload was reported
    // A command waits for the one before it on the same topic; a newer one
    // on that topic replaces the one waiting.
    std::set<QString> inFlight_;
    std::map<QString, Command> waiting_;
    bool everConnected_ = false;
    bool outage_ = false;  // reported, not yet over
};

}  // namespace mqtt
}  // namespace talvane
