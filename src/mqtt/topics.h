// The hub's MQTT topics and payloads, in one place: the state it keeps
// retained under talvane/<switch>/, the commands it takes there, and the
// switch's id that names it.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace talvane {
namespace mqtt {

// The switch's id in topics: its MAC where the hub knows it (the labels key
// "mac:..."), else `givenId`, else the port or host it is reached by; as a
// slug of lower-case letters, digits, '-' and '_'. Empty when there is none.
QString switchIdFor(const QString& switchKey, const QString& givenId);
// `text` as such a slug (other characters become '-'); empty when nothing is left.
QString slug(const QString& text);

// Payloads.
inline const QByteArray kOn = QByteArrayLiteral("ON");
inline const QByteArray kOff = QByteArrayLiteral("OFF");
inline const QByteArray kOnline = QByteArrayLiteral("online");
inline const QByteArray kOffline = QByteArrayLiteral("offline");
// The active preset's state while no preset matches the routing (what Home
// Assistant's select takes for "unknown").
inline const QByteArray kNoPreset = QByteArrayLiteral("None");
// "ON"/"OFF" (any case) as a state; empty when neither.
std::optional<bool> onOffPayload(const QByteArray& payload);

// Topics under talvane/<switch>/.
class Topics {
public:
    explicit Topics(QString switchId, QString discoveryPrefix = QStringLiteral("homeassistant"));

    const QString& switchId() const { return id_; }
    const QString& discoveryPrefix() const { return prefix_; }
    QString base() const;  // "talvane/<switch>"

    // Retained state.
    QString availability() const;
    QString outputInput(int output) const;      // input number
    QString outputInputName(int output) const;  // the input's name: the select's state
    QString outputArc(int output) const;
    QString outputLock(int output) const;        // ON while anyone holds its lock
    QString outputLockHolder(int output) const;  // who holds it ("" when no one)
    QString outputDisplay(int output) const;
    QString outputName(int output) const;
    QString inputSource(int input) const;
    QString inputName(int input) const;
    QString power() const;
    QString beeper() const;
    QString preset() const;
    QString firmware() const;
    // Not retained: how each command ended (JSON).
    QString result() const;

    // Commands: the state topic with "/set".
    static QString commandOf(const QString& stateTopic);
    QString routeCommand(int output) const { return commandOf(outputInput(output)); }
    QString arcCommand(int output) const { return commandOf(outputArc(output)); }
    QString lockCommand(int output) const { return commandOf(outputLock(output)); }
    QString powerCommand() const { return commandOf(power()); }
    QString beeperCommand() const { return commandOf(beeper()); }
    QString presetCommand() const { return commandOf(preset()); }
    // What the hub subscribes to for its commands.
    QStringList commandFilters() const;

    // Home Assistant: its birth message's topic, and an entity's config.
    QString homeAssistantStatus() const;
    QString discovery(const QString& component, const QString& objectId) const;
    // "talvane_<switch>": the device's identifier and the node id of its configs.
    QString nodeId() const;

private:
    QString output(int output, const char* leaf) const;
    QString input(int input, const char* leaf) const;

    QString id_;
    QString prefix_;
};

}  // namespace mqtt
}  // namespace talvane
