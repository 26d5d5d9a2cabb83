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
};

// Brings the switch from `known` (what it last reported) to `target`: for
// outputs A to H, the route and then the ARC state where they differ, one
// command at a time, each acknowledged before the next. A command left
// unanswered (resent once) stops the recall as TimedOut at its output.
class PresetRecall : public Operation {
    Q_OBJECT
public:
    PresetRecall(Session& session, const Routing& target, const Routing& known, QObject* parent = nullptr);

    // Commands the recall sends, nothing sent yet.
    int commandCount() const { return int(steps_.size()); }
    // The output whose command got no answer (1..8), or 0.
    int stoppedAt() const { return stoppedAt_; }

signals:
    // Each acknowledgement, as the switch gave it.
    void routed(int input, int output);
    void arcReported(int output, bool on);

protected:
    void begin() override;
    void ended() override;

private:
    struct Step {
        int output;
        bool arc;   // false: a route
        int value;  // the input, or 1 for ARC on and 0 for off
    };
    void runStep(std::size_t index);

    std::vector<Step> steps_;
    Operation* current_ = nullptr;
    int stoppedAt_ = 0;
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
