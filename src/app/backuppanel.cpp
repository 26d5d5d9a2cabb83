#include "backuppanel.h"

#include <QFileDialog>
#include <QJsonDocument>

#include "app/mainwindow.h"
#include "app/restoredialog.h"
#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "ops/jsonfile.h"
#include "pages/matrixpage.h"

namespace talvane {

namespace {

QString tr8(const char* text) { return QString::fromUtf8(text); }

QString kindText(const SwitchBackup& b)
{
    return QStringLiteral("kind %1, %2 x %3").arg(b.kind).arg(b.inputs).arg(b.outputs);
}

}  // namespace

BackupPanel::BackupPanel(CTalvaneDlg& window, Presenter& presenter)
    : window_(window)
    , presenter_(presenter)
    , choose_([this](bool save) { return chooseWithDialog(save); })
{
}

QString BackupPanel::chooseWithDialog(bool save)
{
    QFileDialog dialog(&window_, tr8(save ? backupText::ChooseSave : backupText::ChooseOpen), QString(),
                       tr8(backupText::Filter));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("json"));
    if (runModal(dialog) != QDialog::Accepted)
        return QString();
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.constFirst();
}

QString BackupPanel::choose(bool save)
{
    // While an operation holds the switch the buttons do nothing, as every other.
    if (presenter_.busy() || !choose_)
        return QString();
    return choose_(save);
}

SwitchBackup BackupPanel::withStores(SwitchBackup b) const
{
    LabelStore labels(window_.labelsPath());
    PresetStore presets(window_.presetsPath());
    labels.load();
    presets.load();
    b.takeStores(labels, presets, window_.switchKey());
    // The network settings, where a search found the switch.
    const SwitchAddress& at = window_.connection().address();
    if (!at.macKey.isEmpty()) {
        b.mac = at.macKey.mid(4);
        if (at.isHost())
            b.ip = at.host;
    }
    return b;
}

QString BackupPanel::storesDamaged() const
{
    LabelStore labels(window_.labelsPath());
    PresetStore presets(window_.presetsPath());
    if (!labels.load())
        return labels.error();
    if (!presets.load())
        return presets.error();
    return QString();
}

void BackupPanel::readSwitch(std::function<void(const SwitchBackup&)> done)
{
    // A backup without the names would remove them when restored; a restore
    // could not write them.
    const QString damaged = storesDamaged();
    if (!damaged.isEmpty()) {
        presenter_.popups().showMessage(tr8(backupText::StoreDamaged).arg(damaged));
        return;
    }
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    auto* read = new BackupRead(presenter_.session());
    presenter_.run(std::move(hold), read, [this, read, done](Outcome outcome, Hold held) {
        if (outcome == Outcome::TimedOut)
            presenter_.timeOut(std::move(held), /*closeBusy=*/false);
        if (outcome != Outcome::Done)
            return;
        const SwitchBackup b = withStores(read->backup());
        // Once the read is over and the switch free: what follows may open boxes.
        QMetaObject::invokeMethod(this, [done, b] { done(b); }, Qt::QueuedConnection);
    });
}

void BackupPanel::backupClicked()
{
    const QString path = choose(true);
    if (path.isEmpty())
        return;
    readSwitch([this, path](const SwitchBackup& b) {
        QString why;
        if (!writeJsonFile(path, b.toJson(), &why)) {
            presenter_.popups().showMessage(tr8(backupText::NotWritten).arg(why));
            return;
        }
        QString text = tr8(backupText::Written).arg(path);
        for (int i = 1; i <= kPortCount; ++i)
            if (b.edid[std::size_t(i - 1)] == SwitchBackup::kEdidUploaded)
                text += u' ' + tr8(backupText::Uploaded).arg(i);
        presenter_.popups().showMessage(text);
    });
}

void BackupPanel::restoreClicked()
{
    const QString path = choose(false);
    if (path.isEmpty())
        return;
    SwitchBackup file;
    QString why;
    if (SwitchBackup::read(path, &file, &why) != SwitchBackup::ReadResult::Ok) {
        presenter_.popups().showMessage(tr8(backupText::BadFile).arg(why));
        return;
    }
    readSwitch([this, path, file](const SwitchBackup& now) {
        if (!file.sameKind(now)) {
            presenter_.popups().showMessage(tr8(backupText::OtherKind).arg(kindText(file), kindText(now)));
            return;
        }
        confirmAndApply(path, planRestore(file, now, RestoreEverything));
    });
}

void BackupPanel::confirmAndApply(const QString& path, const RestorePlan& plan)
{
    if (plan.empty()) {
        QStringList text{tr8(backupText::Nothing)};
        presenter_.popups().showMessage((text + plan.leftAlone).join(u' '));
        return;
    }
    QStringList lines;
    for (const RestoreChange& c : plan.changes)
        lines << c.text();
    RestoreDialog dialog(QFileInfo(path).fileName(), lines, plan.leftAlone, &window_);
    if (runModal(dialog) != QDialog::Accepted)
        return;
    Hold hold = presenter_.acquire();
    if (!hold)
        return;
    auto* op = new RestoreApply(presenter_.session(), plan);
    auto done = std::make_shared<QStringList>();
    connect(op, &RestoreApply::applied, this, [done, plan](int index) { *done << plan.changes[index].text(); });
    presenter_.run(std::move(hold), op, [this, op, plan, done](Outcome outcome, Hold) {
        const int failed = op->failedChange();
        QMetaObject::invokeMethod(
            this, [this, plan, outcome, failed, done] { applied(plan, outcome, failed, *done); }, Qt::QueuedConnection);
    });
}

void BackupPanel::applied(const RestorePlan& plan, Outcome outcome, int failed, const QStringList& done)
{
    if (outcome != Outcome::Done) {
        const QString why = outcome == Outcome::TimedOut ? text::TimeOut : tr8(backupText::Refused);
        presenter_.popups().showMessage(tr8(backupText::Stopped)
                                            .arg(failed >= 0 ? plan.changes[failed].text() : QString(), why,
                                                 done.isEmpty() ? tr8(backupText::NothingApplied) : done.join(QStringLiteral("; "))));
    } else {
        LabelStore labels(window_.labelsPath());
        PresetStore presets(window_.presetsPath());
        labels.load();
        presets.load();
        QString why;
        if (!writeStores(plan, labels, presets, window_.switchKey(), &why))
            presenter_.popups().showMessage(tr8(backupText::StoresNotWritten).arg(why));
        else
            presenter_.popups().showMessage(tr8(backupText::Restored).arg(plan.changes.size()));
        window_.applyLabels();
        if (auto* matrix = qobject_cast<CMatrixDlg*>(window_.pageWindow(Page::Matrix)))
            matrix->reloadPresets();
    }
    // The page shown reads what the switch holds now.
    window_.refreshPage();
}

}  // namespace talvane
