// Routing presets: the route and ARC state of all eight outputs under a
// name, kept per switch in a small JSON file, and the recall that brings the
// switch to one of them.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <array>
#include <optional>
#include <vector>

#include "ops/labelstore.h"
#include "ops/operation.h"
#include "ops/sequence.h"
#include "protocol/commands.h"

namespace talvane {

// Every output's input (1..8, 0 while not known) and ARC state (empty while
// not known), output A at [0].
struct Routing {
    std::array<int, kPortCount> inputs{};
    std::array<std::optional<bool>, kPortCount> arc{};

    // Every route and ARC state is known.
    bool complete() const;
    bool operator==(const Routing& o) const { return inputs == o.inputs && arc == o.arc; }
    bool operator!=(const Routing& o) const { return !(*this == o); }
};

struct Preset {
    QString name;
    Routing routing;  // complete
    bool operator==(const Preset& o) const { return name == o.name && routing == o.routing; }
    bool operator!=(const Preset& o) const { return !(*this == o); }
};

// One command that brings an output to a routing: its route, or its ARC state.
struct RoutingStep {
    int output;
    bool arc;   // false: a route
    int value;  // the input, or 1 for ARC on and 0 for off
    bool operator==(const RoutingStep& o) const { return output == o.output && arc == o.arc && value == o.value; }
};
// The commands that bring the switch from `known` to `target`: for outputs A
// to H, the route and then the ARC state where they differ (an input of 0 or
// an empty ARC state in `target` leaves that alone).
std::vector<RoutingStep> routingSteps(const Routing& target, const Routing& known);
// The operation that sends one of them: a RouteSet or an ArcSet.
Operation* routingCommand(Session& session, const RoutingStep& step, QObject* parent = nullptr);

// Brings the switch from `known` (what it last reported) to `target`, the
// commands of routingSteps() one at a time, each acknowledged before the
// next. A command left unanswered (resent once) or refused stops the recall
// at its output. The panel's take runs one too, with every preselected route.
class PresetRecall : public Sequence {
    Q_OBJECT
public:
    PresetRecall(Session& session, const Routing& target, const Routing& known, QObject* parent = nullptr);

    // Commands the recall sends, nothing sent yet.
    int commandCount() const { return stepCount(); }
    const std::vector<RoutingStep>& commands() const { return commands_; }
    // The output whose command got no answer or was refused (1..8), or 0.
    int stoppedAt() const;

signals:
    // Each acknowledgement, as the switch gave it.
    void routed(int input, int output);
    void arcReported(int output, bool on);

private:
    std::vector<RoutingStep> commands_;
};

// The presets file: {"version": 1, "switches": {"<switch key>": {"presets":
// [{"name": "Service", "inputs": {"A": 3, ..., "H": 1}, "arc": {"A": false,
// ..., "H": true}}, ...]}}}, the switch keys those of the labels file. Keys it
// does not know are kept when it is written again; a damaged file is never
// written over.
class PresetStore {
public:
    static constexpr int kMaxNameLength = LabelStore::kMaxLength;  // characters, after trimming
    static constexpr int kMaxPresets = 64;     // per switch
    static QString defaultPath();              // <GenericConfigLocation>/talvane-controller/presets.json

    explicit PresetStore(QString path = defaultPath());

    const QString& path() const { return path_; }
    // Reads the file; false only when it exists but is damaged.
    bool load();
    bool damaged() const { return damaged_; }
    // Why the file is damaged, or why the last put or save was refused.
    QString error() const { return error_; }

    QList<Preset> presets(const QString& switchKey) const;
    // A preset's name as the ports' names are kept: trimmed, without control
    // characters, 1 to kMaxNameLength characters; empty when refused.
    static QString cleanName(const QString& name);
    // Adds the preset, or replaces the one of the same name; false when the
    // name is refused, the routing incomplete or the switch has kMaxPresets
    // already (error() says which).
    bool put(const QString& switchKey, const Preset& preset);
    bool remove(const QString& switchKey, const QString& name);
    // Makes `presets` the switch's presets, in their order (a restore);
    // refused as put() refuses one of them, nothing changed then.
    bool setPresets(const QString& switchKey, const QList<Preset>& presets);

    // One preset as the file holds it, and back (empty when the entry is
    // not a valid preset): a backup file keeps them so too.
    static QJsonObject toJson(const Preset& preset);
    static std::optional<Preset> fromJson(const QJsonValue& entry);
    // Writes the file atomically; refused (false) while it is damaged.
    bool save();

private:
    bool fail(const QString& why);

    QString path_;
    QJsonObject root_;
    bool damaged_ = false;
    QString error_;
};

}  // namespace talvane
