// A switch's whole configuration in one file, and putting it back: the
// backup read (what the switch reports, the names and presets kept for it,
// its network settings where a search reports them), the file it is kept in,
// the plan of a restore (the differences between the file and the switch) and
// the restore itself, one acknowledged command at a time. talvane-ctl and the
// panel run the same ones.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <vector>

#include "ops/labelstore.h"
#include "ops/presets.h"
#include "ops/sequence.h"
#include "ops/switchstate.h"

namespace talvane {

// The parts of a backup a restore may put back, as bits.
enum RestoreArea : int {
    RestoreRouting = 1 << 0,
    RestoreArc = 1 << 1,
    RestoreEdid = 1 << 2,
    RestoreIdent = 1 << 3,
    RestoreBeeper = 1 << 4,
    RestoreNames = 1 << 5,
    RestorePresets = 1 << 6,
    RestoreEverything = (1 << 7) - 1,
};
// "routing", "arc", "edid", "ident", "beeper", "names", "presets".
QString restoreAreaName(RestoreArea area);
// A comma-separated list of those names; 0 with the reason when a name is not one.
int parseRestoreAreas(const QString& list, QString* why);

struct SwitchBackup {
    static constexpr int kFormatVersion = 1;
    static constexpr int kEdidUnknown = SwitchSnapshot::kEdidUnknown;
    // Uploaded from a file: the switch cannot give the EDID back, so no
    // restore can put it back either.
    static constexpr int kEdidUploaded = SwitchSnapshot::kEdidFromFile;

    QString switchKey;  // as the labels store named the switch when it was read
    // The device information; 0 / -1 while not known.
    int kind = 0;
    int inputs = 0;
    int outputs = 0;
    int versionMajor = -1;
    int versionMinor = -1;
    Routing routing;
    // Per input: 0..22 as the switch reports it, kEdidUploaded or kEdidUnknown.
    std::array<int, kPortCount> edid{kEdidUnknown, kEdidUnknown, kEdidUnknown, kEdidUnknown,
                                     kEdidUnknown, kEdidUnknown, kEdidUnknown, kEdidUnknown};
    std::optional<QByteArray> ident;  // cmd::IdentTextLength characters
    std::optional<bool> beeper;
    PortLabels names;
    QList<Preset> presets;
    // The network settings a search reported, "" where none did.
    QString ip;
    QString mac;  // "02-54-4C-56-53-09"

    enum class ReadResult { Ok, Damaged, UnknownVersion, NotABackup };
    // The file's document (see README, "Backup and restore").
    QJsonObject toJson() const;
    // Reads the backup file at `path`; `why` says what is wrong with it.
    // `anyVersion`: a version other than kFormatVersion is read as this
    // one (--force).
    static ReadResult read(const QString& path, SwitchBackup* out, QString* why, bool anyVersion = false);
    static ReadResult fromJson(const QJsonObject& root, SwitchBackup* out, QString* why, bool anyVersion = false);
    // The same kind of switch, with the same port counts.
    bool sameKind(const SwitchBackup& other) const;
    // "1.3", or "" while not known.
    QString firmware() const;
    // The switch's names and presets from the stores (as loaded).
    void takeStores(const LabelStore& labels, const PresetStore& presets, const QString& switchKey);
};

// Reads what the switch holds into a backup: its device information and
// identification text, the beeper, the routing and ARC, each input's EDID
// code. A code that names no preset and no copy of an output is recorded as
// an EDID uploaded from a file.
class BackupRead : public Sequence {
    Q_OBJECT
public:
    explicit BackupRead(Session& session, QObject* parent = nullptr);
    const SwitchBackup& backup() const { return backup_; }

signals:
    // A part is being read: "device", "beeper", "routing", "edid".
    void reading(const QString& part);

private:
    SwitchBackup backup_;
};

// One difference a restore puts right.
struct RestoreChange {
    RestoreArea area;
    int port = 0;         // the input or output (1..8); 0 for the switch as a whole
    bool output = false;  // `port` is an output
    int value = 0;        // what is sent: the input, the EDID code, 1 for on and 0 for off
    QString preset;       // a preset's name
    QString now;     // what the switch (or the store) holds, as people read it
    QString file;    // what the file holds
    // "routing of output B: input 3 -> input 1"
    QString text() const;
    QJsonObject toJson() const;
    bool onSwitch() const { return area != RestoreNames && area != RestorePresets; }
};

struct RestorePlan {
    // In the order a restore applies them: the identification text and the
    // beeper, each input's EDID, then output by output its route and its
    // ARC state (as a recall sends them), last the names and the presets,
    // which are written only once the switch has taken everything.
    QList<RestoreChange> changes;
    // What the restore leaves alone, and why (an EDID uploaded from a file).
    QStringList leftAlone;
    SwitchBackup file;  // what the restore brings the switch and the stores to
    int areas = RestoreEverything;

    bool empty() const { return changes.isEmpty(); }
};

// What differs between `file` and `now` (the switch read and its stores),
// within `areas`.
RestorePlan planRestore(const SwitchBackup& file, const SwitchBackup& now, int areas);

// Sends the plan's changes to the switch, one at a time, each acknowledged
// before the next; it stops at the first that is not (TimedOut or Refused)
// and says which (failedChange()). The stores' changes are not its part:
// writeStores() writes them once it has ended Done.
class RestoreApply : public Sequence {
    Q_OBJECT
public:
    RestoreApply(Session& session, const RestorePlan& plan, QObject* parent = nullptr);

    // The plan's index of the change that stopped the restore, or -1.
    int failedChange() const;

signals:
    // The plan's change at `index` was acknowledged.
    void applied(int index);

private:
    std::vector<int> changeOf_;  // the plan's index of each step
};

// Writes the plan's names and presets into the stores for `switchKey`;
// false with the reason when a store refuses (it is damaged, or cannot be written).
bool writeStores(const RestorePlan& plan, LabelStore& labels, PresetStore& presets, const QString& switchKey,
                 QString* why);

}  // namespace talvane
