// "Backup..." and "Restore..." on the General page, beside the switch-wide
// actions (power, beeper, factory reset, reboot): the switch's configuration
// written to one file, and put back from one after the differences were
// listed and confirmed. A view of the backup operations talvane-ctl runs too.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

#include "ops/backup.h"
#include "pages/presenter.h"

namespace talvane {

class CTalvaneDlg;

namespace backupText {
inline const char* const Group = "Configuration backup";
inline const char* const Backup = "Backup...";
inline const char* const Restore = "Restore...";
inline const char* const Written = "Backup written to %1.";
inline const char* const Uploaded = "The EDID of input %1 was uploaded from a file: the backup records it as such, and a "
                                    "restore leaves that input alone.";
inline const char* const NotWritten = "The backup could not be written: %1";
inline const char* const BadFile = "This file cannot be restored: %1";
inline const char* const OtherKind = "This file is the backup of another kind of switch (%1; this one: %2): nothing was "
                                     "restored.";
inline const char* const Nothing = "The switch holds what the backup holds: nothing to restore.";
inline const char* const Restored = "Restored: %1 of %1 differences.";
inline const char* const Stopped = "Restore stopped at %1: %2. Applied before it: %3.";
inline const char* const NothingApplied = "nothing";
inline const char* const Refused = "refused by the switch";
inline const char* const StoresNotWritten = "The switch is restored, but %1";
inline const char* const StoreDamaged = "A damaged file is left as it is, and nothing was done: %1";
inline const char* const ChooseSave = "Backup";
inline const char* const ChooseOpen = "Restore";
inline const char* const Filter = "Backup (*.json)";
}  // namespace backupText

class BackupPanel : public QObject {
    Q_OBJECT
public:
    // Chooses the file to write (`save`) or read; empty: cancelled.
    using FileChooser = std::function<QString(bool save)>;

    BackupPanel(CTalvaneDlg& window, Presenter& presenter);

    void setFileChooser(FileChooser chooser) { choose_ = std::move(chooser); }

    // Button actions, as a click or an accessibility action runs them.
    void backupClicked();
    void restoreClicked();

private:
    QString chooseWithDialog(bool save);
    // The file, unless the switch is busy or the operator cancels.
    QString choose(bool save);
    // The switch read, with its names, presets and network settings; `done`
    // runs once it is, the switch free again.
    void readSwitch(std::function<void(const SwitchBackup&)> done);
    SwitchBackup withStores(SwitchBackup b) const;
    // Why the names or presets file cannot be read (it is damaged), or empty.
    QString storesDamaged() const;
    void confirmAndApply(const QString& path, const RestorePlan& plan);
    void applied(const RestorePlan& plan, Outcome outcome, int failed, const QStringList& done);

    CTalvaneDlg& window_;
    Presenter& presenter_;
    FileChooser choose_;
};

}  // namespace talvane
