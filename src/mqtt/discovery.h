// Home Assistant's MQTT discovery for one switch: the retained config of
// each entity (one device; a select per output, a switch per output's ARC,
// power and beeper, a binary sensor per input's source and output's
// display, a select for the presets, a sensor for the firmware version),
// each naming the state and command topics of topics.h.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <map>

#include "mqtt/topics.h"
#include "protocol/commands.h"

namespace talvane {
namespace mqtt {

// What the configs say about the switch.
struct DeviceView {
    QString name;          // the device's name in Home Assistant
    QString manufacturer;
    QString model;
    QString firmware;      // empty while not known
    // The options of the outputs' selects, input 1 first: every input's
    // name, each one different (see inputOptions()).
    std::array<QString, kPortCount> inputs;
    std::array<QString, kPortCount> outputs;  // output A first
    QStringList presets;                      // in the presets file's order
};

// The inputs' names as options: an input without a name is "Input N"; a
// name two inputs share gets " (N)" after it.
std::array<QString, kPortCount> inputOptions(const std::array<QString, kPortCount>& labels);
// An output's name for people: its label, or "Output B".
QString outputTitle(int output, const QString& label);

// Every config topic with its payload; an entity that is not there now (the
// presets' select while there are none) has an empty payload, which removes it.
std::map<QString, QByteArray> discoveryConfigs(const Topics& topics, const DeviceView& device);

}  // namespace mqtt
}  // namespace talvane
