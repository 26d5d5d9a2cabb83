// The hub: one program holds the switch's link (through the connection
// service) and shares the switch with every front end at once: its own
// control protocol on TCP, Videohub control surfaces, and the bridges built
// on it. It follows what the switch confirms (SwitchState, from every
// answered exchange, whoever asked) and reads the switch while the line is
// idle, so a change made at the front panel reaches every front end too.
#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ops/connection.h"
#include "ops/labelstore.h"
#include "ops/limits.h"
#include "ops/presets.h"
#include "ops/switchstate.h"

class QFileSystemWatcher;

namespace talvane {
namespace hub {

// Who asks the hub for a change: a front end, and which of its clients.
struct Who {
    // Control: a program on the hub's control port that has not said who it is.
    enum class Kind { Panel, CommandLine, Videohub, Mqtt, Http, Control };
    Kind kind = Kind::CommandLine;
    QString id;    // which one of its kind (a connection, a token); empty: the front end as a whole
    QString name;  // for people: "Videohub client 192.168.1.20:50122"
    bool operator==(const Who& o) const { return kind == o.kind && id == o.id; }
    bool operator!=(const Who& o) const { return !(*this == o); }
};

// How a change asked of the hub ended.
enum class Result {
    Done,      // the switch confirmed it
    TimedOut,  // no answer, its resend included
    Refused,   // the switch answered that it would not
    NoLink,    // no link to the switch now
    Locked,    // the output is locked by another front end (why names the holder)
};

class Hub : public QObject {
    Q_OBJECT
public:
    // `connection` and `labels` outlive the hub; `switchKey` names the
    // switch in the labels store.
    Hub(Connection& connection, LabelStore& labels, QString switchKey, QObject* parent = nullptr);
    ~Hub() override;

    Connection& connection() const { return connection_; }
    Runner& runner() const { return connection_.runner(); }
    Session& session() const { return connection_.session(); }
    SwitchState& state() { return state_; }
    const SwitchState& state() const { return state_; }
    LabelStore& labels() const { return labels_; }
    const QString& switchKey() const { return switchKey_; }

    // Reads the switch's whole state now, then keeps reading it while the
    // line is idle: the routing every limits::HubReadPeriodMs, and with it
    // limits::HubReadSlice of the rest in turn, so that every part of the
    // switch has been read again after kReadsPerCycle reads.
    void start();
    static constexpr int kRestQueries = 3 * kPortCount + 2;  // ARC, power, beeper, sources, displays
    // The operations' limits, not hub::limits (the control port's).
    static constexpr int kReadsPerCycle = (kRestQueries + talvane::limits::HubReadSlice - 1) / talvane::limits::HubReadSlice;
    // Changes asked of the switch by a front end, one at a time with every
    // other user of the line (in the order asked), each acknowledged: input
    // `input` (1..8) to output `output` (1..8), or the ARC of an output.
    // `done` runs once with the result and, for Locked, who holds the output;
    // not when `context` has gone meanwhile.
    using Done = std::function<void(Result result, const QString& why)>;
    void route(const Who& who, int output, int input, QObject* context, Done done);
    void setArc(const Who& who, int output, bool on, QObject* context, Done done);
    // Brings the switch to `target` (a preset): the routes and ARC states
    // that differ from what the switch confirmed when its turn comes, one
    // command at a time. Outputs another holds are left as they are and
    // listed in `skipped` (`why` names them and their holders, also when
    // Done); a command left unanswered stops it (TimedOut, `why` names the
    // output).
    using RecallDone = std::function<void(Result result, const QString& why, const std::vector<int>& skipped)>;
    void recall(const Who& who, const Routing& target, QObject* context, RecallDone done);
    // The same for the switch as a whole: its power and its beeper.
    void setPower(const Who& who, bool on, QObject* context, Done done);
    void setBeeper(const Who& who, bool on, QObject* context, Done done);

    // Output locks shared by every front end: while output `output` is
    // locked, a change asked by anyone but its holder is refused (Locked).
    std::optional<Who> lockOf(int output) const;
    // Whether `who` may change output `output` now; `why` names the holder when not.
    bool mayChange(const Who& who, int output, QString* why = nullptr) const;
    // Takes a lock for `who` (false when another holds it), releases it
    // (only its holder, unless forced).
    bool lock(const Who& who, int output, QString* why = nullptr);
    bool unlock(const Who& who, int output, bool force, QString* why = nullptr);
    // Every lock `who` holds goes (a client that disconnects).
    void unlockAll(const Who& who);
    // A route changed at the switch's front panel on a locked output is put
    // back, as its holder would (through route()).
    void setRestoreLocked(bool on) { restoreLocked_ = on; }

    // Names and presets saved by any program (the panel, talvane-ctl, a
    // front end of this hub) reach every front end as they are written:
    // the files' directories are watched, and the files read again only
    // when something in them changed. A damaged file keeps what was known.
    void watchFiles(const QString& presetsPath);
    // A front end of this hub saved this switch's names: every front end
    // shows them now (labelsChanged), without waiting for the watch.
    void labelsSaved();

    // Reads the routing again now, in the background (a front end whose
    // route was not confirmed shows the switch's own); `done` runs once it
    // has ended, with whether every output answered, unless `context` has
    // gone meanwhile.
    void readRouting(QObject* context, std::function<void(bool complete)> done);

signals:
    // Every output's route is known (once, after the first read).
    void routingKnown();
    // Output `output`'s lock was taken or released.
    void lockChanged(int output);
    // The route of output `output`, locked by `holder`, changed to `input`
    // without a command of anyone's: at the switch's front panel. `restoring`:
    // the locked route is being put back.
    void lockedRouteChanged(int output, int input, const talvane::hub::Who& holder, bool restoring);
    // This switch's names, or the presets file, changed (see watchFiles).
    void labelsChanged();
    void presetsChanged();

private:
    Operation* idleRead();
    void routeChanged(int output);
    // A change: the outputs it would change and the operation that makes
    // it, given what the switch confirmed when they are called.
    struct Change {
        std::function<std::vector<int>()> outputs;
        std::function<Operation*()> make;
    };
    // Once the line is free and none of the change's outputs is locked
    // against `who`, runs the change under a hold and reports its end.
    void runChange(const Who& who, Change change, QObject* context, Done done);
    // Whether `who` may change every one of `outputs`; `why` names the first holder.
    bool mayChangeAll(const Who& who, const std::vector<int>& outputs, QString* why) const;

    void filesChanged();
    void watchFilesThemselves();

    Connection& connection_;
    LabelStore& labels_;
    QString switchKey_;
    SwitchState state_;
    int reads_ = 0;
    std::unique_ptr<QFileSystemWatcher> watcher_;
    PortLabels names_;
    QString presetsPath_;
    QList<Preset> presets_;
    bool routingKnown_ = false;
    std::array<std::optional<Who>, kPortCount> locks_{};
    // The route each locked output keeps: when it was locked, or as its holder changed it.
    std::array<int, kPortCount> lockedRoutes_{};
    bool restoreLocked_ = false;
};

}  // namespace hub
}  // namespace talvane
