// talvane-ctl serve --mqtt: the hub on an MQTT broker, with Home
// Assistant's discovery. Its options, how they are read, and what it says.
#pragma once

#include <QCommandLineOption>
#include <QList>

#include <memory>
#include <optional>

#include "ctl.h"
#include "mqtt/bridge.h"

namespace talvane {
namespace ctl {

// serve's options for MQTT.
QList<QCommandLineOption> mqttOptions();

// What the options ask for; `settings` stays empty without --mqtt. 0, or
// the exit code of a usage error or an unreadable password file (reported).
int readMqttOptions(Context& ctx, std::optional<mqtt::Settings>& settings);

// Connects the hub to the broker (once the switch is known: its id comes
// from the switch's key), says where and who can control the switch, and
// reports on standard error what goes wrong with the broker.
std::unique_ptr<mqtt::Bridge> startMqtt(Context& ctx, hub::Hub& hub, mqtt::Settings settings);

}  // namespace ctl
}  // namespace talvane
