// "Backup..." and "Restore..." on the General page, against the simulated
// switch over its pseudo-terminal: the backup file, the differences listed
// before anything is sent (Cancel sends nothing), the restore of only those,
// and a backup of another kind of switch refused. Buttons are pressed as a
// screen reader presses them; time runs on the manual clock.
#include <QtTest>

#include <QAccessible>
#include <QJsonDocument>
#include <QJsonObject>

#include "app/restoredialog.h"
#include "ops/backup.h"
#include "ops/jsonfile.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "support/framehex.h"
#include "support/simbench.h"

using namespace talvane;

namespace {

// The frames among `frames` (hex, as traced) that change the switch's routing or ARC.
QStringList routingSettings(const QStringList& frames)
{
    QStringList out;
    for (const QString& f : frames) {
        const QStringList bytes = f.split(u' ');
        const CommandId id{std::uint8_t(bytes.value(2).toUInt(nullptr, 16)), std::uint8_t(bytes.value(3).toUInt(nullptr, 16))};
        if (id == cmd::RouteSet || id == cmd::ArcSet)
            out << f;
    }
    return out;
}

struct BackupBench : SimBench {
    QString file;

    bool start()
    {
        file = panel->configDir.filePath(QStringLiteral("studio.json"));
        window().generalPage().backupPanel().setFileChooser([this](bool) { return file; });
        return connect() && waitFor([&] { return window().ready() && received().size() >= 2; });
    }
    void press(int id)
    {
        auto* button = window().controlAs<QAbstractButton>(id);
        act(button, QAccessibleActionInterface::pressAction());
        QVERIFY(waitFor([&] { return !button->isDown(); }));
        QCoreApplication::sendPostedEvents();
    }
    // Presses `id` and waits until the boxes it opened are closed and the switch is free.
    void pressAndSettle(int id)
    {
        const int boxes = panel->modal->records().size();
        press(id);
        QVERIFY(waitFor([&] { return window().ready() && panel->modal->records().size() > boxes; }));
        QVERIFY(waitFor([&] { return window().ready() && panel->modal->records().last().result >= 0; }));
    }
};

}  // namespace

class TestE2EBackup : public QObject {
    Q_OBJECT
private slots:
    void differencesAreListedAndConfirmedBeforeAnythingIsSent();
    void backupOfAnotherKindIsRefused();
};

void TestE2EBackup::differencesAreListedAndConfirmedBeforeAnythingIsSent()
{
    BackupBench b;
    QVERIFY(b.start());
    LabelStore labels(b.panel->labelsPath());
    QVERIFY(labels.setInput(b.window().switchKey(), 3, QStringLiteral("Stage camera")) && labels.save());

    b.pressAndSettle(ctl::Backup);
    QCOMPARE(b.panel->messageTexts().last(), QStringLiteral("Backup written to %1.").arg(b.file));
    QVERIFY(QFile::exists(b.file));

    sim::Console console(b.sim->device());
    for (const char* line : {"route 5 1,2", "arc 3 on"})
        QVERIFY2(console.execute(QString::fromLatin1(line)).ok, line);
    QVERIFY(labels.load() && labels.setInput(b.window().switchKey(), 3, QString()) && labels.save());
    const QStringList differences{QStringLiteral("route of output A: input 5 -> input 1"),
                                  QStringLiteral("route of output B: input 5 -> input 2"),
                                  QStringLiteral("ARC of output C: on -> off"),
                                  QStringLiteral("name of input 3: none -> \"Stage camera\"")};

    // Listed first; Cancel sends nothing.
    int before = b.received().size();
    QStringList listed;
    b.panel->modal->queue([&](QDialog& d) {
        auto* dialog = qobject_cast<RestoreDialog*>(&d);
        QVERIFY(dialog);
        listed = dialog->differences();
        ScriptedModal::click(RestoreDialog::Cancel)(d);
    });
    b.pressAndSettle(ctl::Restore);
    QCOMPARE(listed, differences);
    QCOMPARE(routingSettings(b.received().mid(before)), QStringList());
    QCOMPARE(b.model().route[0], 5);

    // Confirmed: only those go out, and the switch and the names are the backup's again.
    before = b.received().size();
    b.panel->modal->queue([&](QDialog& d) {
        auto* dialog = qobject_cast<RestoreDialog*>(&d);
        QVERIFY(dialog);
        QCOMPARE(dialog->differences(), differences);
        ScriptedModal::click(RestoreDialog::Restore)(d);
    });
    b.pressAndSettle(ctl::Restore);
    QVERIFY(waitFor([&] { return b.window().ready() && b.panel->messageTexts().size() >= 2; }));
    QCOMPARE(b.panel->messageTexts().last(), QStringLiteral("Restored: 4 of 4 differences."));
    QCOMPARE(routingSettings(b.received().mid(before)),
             (QStringList{hexOf(build::routeSet(1, 1)), hexOf(build::routeSet(2, 2)), hexOf(build::arcSet(3, false))}));
    QCOMPARE(b.model().route[0], 1);
    QCOMPARE(b.model().route[1], 2);
    QVERIFY(!b.model().arc[2]);
    QVERIFY(labels.load());
    QCOMPARE(labels.labels(b.window().switchKey()).inputs[2], QStringLiteral("Stage camera"));
}

void TestE2EBackup::backupOfAnotherKindIsRefused()
{
    BackupBench b;
    QVERIFY(b.start());
    b.pressAndSettle(ctl::Backup);
    JsonFileRead read = readJsonFile(b.file);
    QVERIFY(!read.damaged());
    QJsonObject device = read.object.value(QStringLiteral("switch")).toObject();
    device.insert(QStringLiteral("kind"), 3);
    read.object.insert(QStringLiteral("switch"), device);
    QVERIFY(writeJsonFile(b.file, read.object));
    QVERIFY(sim::Console(b.sim->device()).execute(QStringLiteral("route 5 1")).ok);

    const int before = b.received().size();
    b.pressAndSettle(ctl::Restore);
    QCOMPARE(b.panel->messageTexts().last(),
             QStringLiteral("This file is the backup of another kind of switch (kind 3, 8 x 8; this one: kind 1, 8 x 8): "
                            "nothing was restored."));
    QCOMPARE(routingSettings(b.received().mid(before)), QStringList());
    QCOMPARE(b.model().route[0], 5);

    // A damaged file is refused before the switch is read at all.
    QFile f(b.file);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("{\"format\": \"talvane-controller backup\", \"version\": 1, \"switch\": []}");
    f.close();
    const int queried = b.received().size();
    b.pressAndSettle(ctl::Restore);
    QCOMPARE(b.panel->messageTexts().last(), QStringLiteral("This file cannot be restored: %1: \"switch\" is not an object").arg(b.file));
    QCOMPARE(b.received().size(), queried);
}

QTEST_MAIN(TestE2EBackup)
#include "test_e2e_backup.moc"
