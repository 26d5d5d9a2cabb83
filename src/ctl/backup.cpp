// talvane-ctl backup and restore: the switch's whole configuration in one
// file and back, through the backup operations the panel runs too.
#include <QJsonArray>
#include <QJsonDocument>

#include "ctl.h"
#include "link/datagramsocket.h"
#include "ops/backup.h"
#include "ops/jsonfile.h"
#include "ops/network.h"
#include "protocol/netpackets.h"

namespace talvane {
namespace ctl {

namespace {

const QString kDryRun = QStringLiteral("dry-run");
const QString kOnly = QStringLiteral("only");
const QString kForce = QStringLiteral("force");

QString kindText(const SwitchBackup& b)
{
    return QStringLiteral("kind %1, %2 inputs, %3 outputs").arg(b.kind).arg(b.inputs).arg(b.outputs);
}

// Reads the switch and what is kept for it into a backup; 0 or an exit code.
// `needStores`: a damaged names or presets file is an error (else it is
// left out with a warning). A backup needs them: without its names, a
// restore from it would remove them.
int readSwitch(Context& ctx, SwitchBackup* out, bool needStores)
{
    BackupRead read(ctx.session());
    QObject::connect(&read, &BackupRead::reading,
                     [&](const QString& part) { ctx.progress(QStringLiteral("reading the switch: %1").arg(part)); });
    if (int rc = ctx.result(ctx.run(read), QStringLiteral("reading the switch")))
        return rc;
    ctx.progress(QString());
    SwitchBackup b = read.backup();
    LabelStore labels(ctx.env().labelsPath);
    PresetStore presets(ctx.env().presetsPath);
    for (const auto& [damaged, why] : {std::pair{!labels.load(), labels.error()}, {!presets.load(), presets.error()}}) {
        if (!damaged)
            continue;
        if (needStores)
            return ctx.fail(BadFile, QStringLiteral("a damaged file is left as it is: %1").arg(why));
        ctx.env().err(QStringLiteral("talvane-ctl: left out of the backup: %1").arg(why));
    }
    b.takeStores(labels, presets, ctx.switchKey());
    if (ctx.switchKey().startsWith(QLatin1String("mac:")))
        b.mac = ctx.switchKey().mid(4);
    *out = b;
    return 0;
}

// The network settings of a switch reached over the network, as a search
// reports them (its address and MAC).
void searchNetwork(Context& ctx, SwitchBackup& b)
{
    const SwitchAddress& at = ctx.connection().address();
    if (!at.isHost())
        return;
    DatagramSocket socket;
    DeviceSearch search(socket, ctx.env().endpoints, ctx.env().searchMs);
    QObject::connect(&search, &DeviceSearch::found, [&](const SearchReply& r) {
        if (QString::fromStdString(ipToText(r.ip)) != at.host)
            return;
        b.ip = at.host;
        b.mac = LabelStore::keyForMac(QString::fromStdString(macToText(r.mac))).mid(4);
    });
    ctx.progress(QStringLiteral("searching for the switch's network settings..."));
    search.start();
    ctx.waitUntil([&] { return search.hasFinished(); });
    ctx.progress(QString());
}

QJsonArray changesJson(const RestorePlan& plan, const QList<int>& indexes)
{
    QJsonArray out;
    for (int k : indexes)
        out.append(plan.changes[k].toJson());
    return out;
}

QList<int> allOf(const RestorePlan& plan)
{
    QList<int> all;
    for (int k = 0; k < plan.changes.size(); ++k)
        all << k;
    return all;
}

int backupCommand(Context& ctx, const QStringList& args)
{
    if (args.size() > 1)
        return ctx.usage(QStringLiteral("backup takes at most FILE (none: standard output)"));
    if (int rc = ctx.connect())
        return rc;
    SwitchBackup b;
    if (int rc = readSwitch(ctx, &b, true))
        return rc;
    searchNetwork(ctx, b);
    QJsonArray uploaded;
    for (int i = 1; i <= kPortCount; ++i)
        if (b.edid[std::size_t(i - 1)] == SwitchBackup::kEdidUploaded)
            uploaded.append(i);
    if (args.isEmpty()) {
        // The backup is the output.
        ctx.env().out(QString::fromUtf8(QJsonDocument(b.toJson()).toJson(QJsonDocument::Indented)).trimmed());
    } else {
        QString why;
        if (!writeJsonFile(args[0], b.toJson(), &why))
            return ctx.fail(Failed, QStringLiteral("the backup was not written: %1").arg(why));
        ctx.print(QStringLiteral("Backup of %1 written to %2").arg(ctx.switchName(), args[0]));
        ctx.document({{QStringLiteral("file"), args[0]},
                      {QStringLiteral("switch"), ctx.switchKey()},
                      {QStringLiteral("uploadedEdid"), uploaded}});
    }
    for (const QJsonValue& input : uploaded)
        ctx.env().err(QStringLiteral("talvane-ctl: the EDID of input %1 was uploaded from a file and cannot be read back: "
                                     "the backup records it as such, and a restore leaves that input alone")
                          .arg(input.toInt()));
    return Done;
}

int restoreCommand(Context& ctx, const QStringList& args)
{
    const QCommandLineParser& o = ctx.options();
    if (args.size() != 1)
        return ctx.usage(QStringLiteral("restore needs FILE"));
    int areas = RestoreEverything;
    if (o.isSet(kOnly)) {
        QString why;
        areas = parseRestoreAreas(o.value(kOnly), &why);
        if (areas == 0)
            return ctx.usage(QStringLiteral("--only: %1").arg(why));
    }
    const bool force = o.isSet(kForce);
    const bool dryRun = o.isSet(kDryRun);
    const QString path = args[0];
    SwitchBackup file;
    QString why;
    const SwitchBackup::ReadResult result = SwitchBackup::read(path, &file, &why, force);
    if (result == SwitchBackup::ReadResult::UnknownVersion)
        return ctx.fail(BadFile, QStringLiteral("bad backup file %1 (--force reads it all the same)").arg(why));
    if (result != SwitchBackup::ReadResult::Ok)
        return ctx.fail(BadFile, QStringLiteral("bad backup file %1").arg(why));

    if (int rc = ctx.connect())
        return rc;
    SwitchBackup now;
    if (int rc = readSwitch(ctx, &now, (areas & (RestoreNames | RestorePresets)) != 0))
        return rc;
    if (!file.sameKind(now) && !force)
        return ctx.fail(BadFile, QStringLiteral("%1 is the backup of another kind of switch (%2; this one: %3); "
                                                "--force restores it all the same")
                                     .arg(path, kindText(file), kindText(now)));

    const RestorePlan plan = planRestore(file, now, areas);
    QJsonObject doc{{QStringLiteral("file"), path},
                    {QStringLiteral("dryRun"), dryRun},
                    {QStringLiteral("differences"), changesJson(plan, allOf(plan))},
                    {QStringLiteral("leftAlone"), QJsonArray::fromStringList(plan.leftAlone)}};
    if (plan.empty())
        ctx.print(QStringLiteral("%1 holds what %2 holds: nothing to restore").arg(path, ctx.switchName()));
    else
        ctx.print(QStringLiteral("Differences between %1 and %2 (now -> file):").arg(path, ctx.switchName()));
    for (const RestoreChange& c : plan.changes)
        ctx.print(QStringLiteral("  ") + c.text());
    for (const QString& note : plan.leftAlone)
        ctx.print(QStringLiteral("Left alone: ") + note);
    if (dryRun || plan.empty()) {
        doc.insert(QStringLiteral("applied"), QJsonArray());
        ctx.document(doc);
        return Done;
    }

    RestoreApply apply(ctx.session(), plan);
    QList<int> applied;
    QObject::connect(&apply, &RestoreApply::applied, [&](int index) {
        applied << index;
        ctx.progress(QStringLiteral("restore: %1/%2").arg(applied.size()).arg(plan.changes.size()));
    });
    const Outcome outcome = ctx.run(apply);
    if (outcome != Outcome::Done) {
        const int stopped = apply.failedChange();
        doc.insert(QStringLiteral("applied"), changesJson(plan, applied));
        if (stopped >= 0)
            doc.insert(QStringLiteral("stoppedAt"), plan.changes[stopped].toJson());
        QStringList done;
        for (int k : applied)
            done << plan.changes[k].text();
        return ctx.result(outcome,
                          QStringLiteral("restore stopped at %1; applied before it: %2")
                              .arg(stopped >= 0 ? plan.changes[stopped].text() : QStringLiteral("the start"),
                                   done.isEmpty() ? QStringLiteral("nothing") : done.join(QStringLiteral("; "))),
                          doc);
    }
    ctx.progress(QString());
    LabelStore labels(ctx.env().labelsPath);
    PresetStore presets(ctx.env().presetsPath);
    labels.load();
    presets.load();
    if (!writeStores(plan, labels, presets, ctx.switchKey(), &why))
        return ctx.fail(labels.damaged() || presets.damaged() ? BadFile : Failed,
                        QStringLiteral("the switch is restored, but %1").arg(why), doc);
    doc.insert(QStringLiteral("applied"), changesJson(plan, allOf(plan)));
    ctx.print(QStringLiteral("Restored: %1 change%2").arg(plan.changes.size()).arg(plan.changes.size() == 1 ? "" : "s"));
    ctx.document(doc);
    return Done;
}

}  // namespace

std::vector<Command> backupCommands()
{
    return {
        {"backup", "[FILE]",
         "Writes the switch's configuration (routing, ARC, EDID, identification, beeper, names, presets) to FILE "
         "(none: standard output).",
         backupCommand},
        {"restore", "FILE [--dry-run] [--only AREAS] [--force]",
         "Lists what differs between FILE and the switch, then puts it back one command at a time.", restoreCommand,
         {QCommandLineOption(kDryRun, QStringLiteral("restore, labels import: show the differences, change nothing.")),
          QCommandLineOption(kOnly, QStringLiteral("restore: only routing,arc,edid,ident,beeper,names,presets."),
                             QStringLiteral("AREAS")),
          QCommandLineOption(kForce, QStringLiteral("restore: a file of another kind of switch or version all the same; "
                                                     "unlock: release a lock whoever holds it."))}},
    };
}

}  // namespace ctl
}  // namespace talvane
