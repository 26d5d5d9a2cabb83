// The switch's state as JSON documents, with the keys talvane-ctl --json
// prints and the HTTP API serves: written once so that a script reads both
// alike.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <utility>
#include <vector>

#include "ops/labelstore.h"
#include "ops/presets.h"
#include "ops/switchstate.h"

namespace talvane {
namespace documents {

// "A".."H" for output 1..8.
QString outputKey(int output);
// The name of an EDID code (a preset's, or "copy of output B"); empty when it has none.
QString edidName(int code);

// One input or output of the status document: what is plugged in, its
// route, ARC, EDID and name, null where the switch has not told.
QJsonObject inputDocument(const SwitchSnapshot& state, int input, const PortLabels& labels);
QJsonObject outputDocument(const SwitchSnapshot& state, int output, const PortLabels& labels);
// {"switch", "power", "beeper", "inputs": [...], "outputs": [...]}
QJsonObject status(const QString& switchKey, const SwitchSnapshot& state, const PortLabels& labels);
// {"switch", "inputs": [{"input", "label"}...], "outputs": [{"output", "label"}...]}
QJsonObject labels(const QString& switchKey, const PortLabels& labels);
// {"routes": [{"input", "output"}...]}, routes as (input, output).
QJsonObject routes(const std::vector<std::pair<int, int>>& done);
// {"output", "arc"}
QJsonObject arc(int output, bool on);
// {"switch", "presets": [{"name", "inputs": {"A": 3...}, "arc": {"A": false...}, "active"}...]}:
// the keys of the presets file; active: the switch's routing is the preset's.
QJsonObject presets(const QString& switchKey, const QList<Preset>& presets, const Routing& now);
// The routing and ARC the switch confirmed, as a preset holds them.
Routing routingOf(const SwitchSnapshot& state);

}  // namespace documents
}  // namespace talvane
