// Backup and restore, and the names in a spreadsheet, as talvane-ctl runs
// them against the simulated switch (in-process, on the manual clock): a
// round trip after the switch was changed at its console, a dry run that
// sends nothing, a restore that stops at the first command left unanswered,
// an EDID uploaded from a file, damaged and foreign files; CSV out and in,
// quoted as spreadsheets quote, and damaged CSV refused without a write.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "ops/backup.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "sim/console.h"
#include "support/ctlinprocess.h"
#include "support/files.h"
#include "support/framehex.h"

using namespace talvane;

namespace {

// The commands among what the session wrote from `from` on that change the
// switch (queries left out), as hex.
QStringList settingsSent(const SimLink& link, std::size_t from)
{
    const CommandId settings[] = {cmd::RouteSet, cmd::ArcSet,  cmd::BeepSet,    cmd::EdidSet,
                                  cmd::EdidSetAll, cmd::EdidCopy, cmd::EdidCopyAll, cmd::PowerSet};
    QStringList out;
    for (std::size_t k = from; k < link.written.size(); ++k) {
        const auto& w = link.written[k];
        const CommandId id{w[pos::Group], w[pos::Code]};
        bool setting = w.size() != kCommandFrameSize
                       || (id.group == cmd::IdentGroup && id.code >= cmd::IdentWriteFirst
                           && id.code < cmd::IdentWriteFirst + cmd::IdentParts);
        for (CommandId s : settings)
            setting = setting || id == s;
        if (setting)
            out << QString::fromStdString(toHex(w.data(), w.size()));
    }
    return out;
}

QStringList identWrites(const sim::IdentText& text)
{
    QStringList out;
    for (int part = 0; part < cmd::IdentParts; ++part)
        out << hexOf(build::identWrite(part, text.data() + part * cmd::IdentPartLength));
    return out;
}

// The lines that list the differences ("  route of output A: ...").
QStringList listed(const QStringList& out)
{
    QStringList lines;
    for (const QString& l : out)
        if (l.startsWith(QStringLiteral("  ")))
            lines << l.mid(2);
    return lines;
}

// Sets `path` ("routing/A") in `root` to `value`.
QJsonObject patched(QJsonObject root, const QStringList& path, const QJsonValue& value)
{
    if (path.size() == 1) {
        root.insert(path[0], value);
        return root;
    }
    root.insert(path[0], patched(root.value(path[0]).toObject(), path.mid(1), value));
    return root;
}

// talvane-ctl in-process, a backup of the switch written, then the switch
// changed at its console.
struct BackedUp : InProcess {
    sim::Console console{link.device};
    const QString file = dir.filePath("f.json");

    bool backUpThenChange(std::initializer_list<const char*> lines)
    {
        if (run({"backup", file}) != 0)
            return false;
        for (const char* line : lines) {
            if (!console.execute(QString::fromLatin1(line)).ok) {
                qWarning("the console refused \"%s\"", line);
                return false;
            }
        }
        return true;
    }
};

Preset servicePreset()
{
    Preset p;
    p.name = QStringLiteral("Service");
    p.routing.inputs = {3, 3, 1, 1, 2, 2, 4, 8};
    p.routing.arc = {false, false, false, false, true, false, false, false};
    return p;
}

}  // namespace

class TestBackup : public QObject {
    Q_OBJECT
private slots:
    void roundTripAfterChangesAtTheConsole();
    void restoreStopsAtTheFirstUnansweredCommand();
    void uploadedEdidIsRecordedAndLeftAlone();
    void damagedNamesStopABackup();
    void refusedFiles_data();
    void refusedFiles();
    void onlyTheAreasAsked_data();
    void onlyTheAreasAsked();
    void namesRoundTripThroughCsv();
    void csvAsSpreadsheetsWriteIt_data();
    void csvAsSpreadsheetsWriteIt();
    void damagedCsvChangesNothing_data();
    void damagedCsvChangesNothing();
};

void TestBackup::roundTripAfterChangesAtTheConsole()
{
    BackedUp p;
    const QString& file = p.file;
    QCOMPARE(p.run({"labels", "input", "3", "Stage camera"}), 0);
    PresetStore presets(p.env.presetsPath);
    QVERIFY(presets.put(p.env.linkKey, servicePreset()) && presets.save());
    const sim::SwitchModel before = p.link.model();
    // Changed at the switch's console, and the names and presets by hand.
    QVERIFY(p.backUpThenChange({"route 5 1,2", "arc 3 on", "edid 2 7", "ident Hello there", "beep off"}));

    // The file says what it holds.
    const QJsonObject doc = QJsonDocument::fromJson(readAll(file)).object();
    QCOMPARE(doc.value("format").toString(), QStringLiteral("talvane-controller backup"));
    QCOMPARE(doc.value("version").toInt(), 1);
    QCOMPARE(doc.value("switch").toObject().value("firmware").toString(), QStringLiteral("1.3"));
    QCOMPARE(doc.value("names").toObject().value("inputs").toObject().value("3").toString(), QStringLiteral("Stage camera"));
    QCOMPARE(doc.value("presets").toArray().size(), 1);

    QCOMPARE(p.run({"labels", "input", "3", "Other"}), 0);
    QCOMPARE(p.run({"labels", "output", "B", "Projector"}), 0);
    QVERIFY(presets.load() && presets.remove(p.env.linkKey, QStringLiteral("Service")) && presets.save());

    // A dry run lists exactly those differences and sends nothing.
    const QString defaultIdent = QString::fromLatin1(sim::kDefaultIdentText);
    const QStringList differences{
        QStringLiteral("identification text: \"Hello there\" -> \"%1\"").arg(defaultIdent),
        QStringLiteral("beeper: off -> on"),
        QStringLiteral("EDID of input 2: preset 8 (3D,Dolby/DTS 5.1) -> preset 1 (1080p,Stereo Audio 2.0)"),
        QStringLiteral("route of output A: input 5 -> input 1"),
        QStringLiteral("route of output B: input 5 -> input 2"),
        QStringLiteral("ARC of output C: on -> off"),
        QStringLiteral("name of input 3: \"Other\" -> \"Stage camera\""),
        QStringLiteral("name of output B: \"Projector\" -> none"),
        QStringLiteral("preset \"Service\": none -> A3 B3 C1 D1 E2 F2 G4 H8, ARC on E"),
    };
    std::size_t sent = p.link.written.size();
    p.out.clear();
    QCOMPARE(p.run({"restore", file, "--dry-run"}), 0);
    QCOMPARE(listed(p.out), differences);
    QCOMPARE(settingsSent(p.link, sent), QStringList());
    QCOMPARE(p.link.model().route[0], 5);
    p.out.clear();
    QCOMPARE(p.run({"--json", "restore", file, "--dry-run"}), 0);
    const QJsonObject dry = QJsonDocument::fromJson(p.out.value(0).toUtf8()).object();
    QCOMPARE(dry.value("differences").toArray().size(), differences.size());
    QCOMPARE(dry.value("differences").toArray().at(3).toObject().value("output").toString(), QStringLiteral("A"));
    QCOMPARE(settingsSent(p.link, sent), QStringList());

    // The restore sends only them, in that order, and the switch holds the backup again.
    sent = p.link.written.size();
    p.out.clear();
    QCOMPARE(p.run({"restore", file}), 0);
    const QStringList expected = identWrites(before.ident)
                                 + QStringList{hexOf(build::beepSet(true)), hexOf(build::edidSetPreset(0, 2)),
                                               hexOf(build::routeSet(1, 1)), hexOf(build::routeSet(2, 2)),
                                               hexOf(build::arcSet(3, false))};
    QCOMPARE(settingsSent(p.link, sent), expected);
    const sim::SwitchModel& after = p.link.model();
    QCOMPARE(after.route, before.route);
    QCOMPARE(after.arc, before.arc);
    QCOMPARE(after.edidCode, before.edidCode);
    QCOMPARE(after.ident, before.ident);
    QCOMPARE(after.beep, before.beep);
    LabelStore labels(p.env.labelsPath);
    QVERIFY(labels.load());
    QCOMPARE(labels.labels(p.env.linkKey).inputs[2], QStringLiteral("Stage camera"));
    QCOMPARE(labels.labels(p.env.linkKey).outputs[1], QString());
    QVERIFY(presets.load());
    QCOMPARE(presets.presets(p.env.linkKey).size(), 1);
    QVERIFY(presets.presets(p.env.linkKey)[0].routing == servicePreset().routing);

    // Nothing differs any more.
    sent = p.link.written.size();
    p.out.clear();
    QCOMPARE(p.run({"restore", file}), 0);
    QVERIFY(listed(p.out).isEmpty());
    QCOMPARE(settingsSent(p.link, sent), QStringList());
}

void TestBackup::restoreStopsAtTheFirstUnansweredCommand()
{
    BackedUp p;
    QVERIFY(p.backUpThenChange({"route 5 1,2", "arc 3 on", "route 7 4", "silent ArcSet"}));
    QCOMPARE(p.run({"labels", "output", "B", "Projector"}), 0);
    const QByteArray labelsBefore = readAll(p.env.labelsPath);

    p.out.clear();
    p.err.clear();
    QCOMPARE(p.run({"--json", "restore", p.file}), int(ctl::TimedOut));
    const QJsonObject doc = QJsonDocument::fromJson(p.out.value(0).toUtf8()).object();
    QCOMPARE(doc.value("ok").toBool(), false);
    const QJsonArray applied = doc.value("applied").toArray();
    QCOMPARE(applied.size(), 2);
    QCOMPARE(applied.at(1).toObject().value("text").toString(), QStringLiteral("route of output B: input 5 -> input 2"));
    QCOMPARE(doc.value("stoppedAt").toObject().value("text").toString(), QStringLiteral("ARC of output C: on -> off"));
    QCOMPARE(p.err.value(0), QStringLiteral("talvane-ctl: restore stopped at ARC of output C: on -> off; applied before it: "
                                            "route of output A: input 5 -> input 1; route of output B: input 5 -> input 2: "
                                            "time out, the switch did not answer"));
    // What came after it was not sent, and the names were not written.
    QCOMPARE(p.link.model().route[0], 1);
    QCOMPARE(p.link.model().route[3], 7);
    QVERIFY(p.link.model().arc[2]);
    QCOMPARE(readAll(p.env.labelsPath), labelsBefore);
}

void TestBackup::uploadedEdidIsRecordedAndLeftAlone()
{
    InProcess p;
    const QString file = p.dir.filePath("f.json");
    // A code that names no preset and no copy: an EDID uploaded from a file.
    constexpr int kUploadedCode = 0x30;
    p.link.model().edidCode[1] = kUploadedCode;
    QCOMPARE(p.run({"backup", file}), 0);
    QCOMPARE(QJsonDocument::fromJson(readAll(file)).object().value("edid").toObject().value("2").toString(),
             QStringLiteral("uploaded"));
    QVERIFY(p.err.join(u'\n').contains(QStringLiteral("input 2 was uploaded from a file")));

    p.link.model().edidCode[1] = 5;
    p.link.model().edidCode[4] = 3;
    const std::size_t sent = p.link.written.size();
    p.out.clear();
    QCOMPARE(p.run({"restore", file}), 0);
    QCOMPARE(settingsSent(p.link, sent), QStringList{hexOf(build::edidSetPreset(0, 5))});
    QCOMPARE(p.link.model().edidCode[1], 5);
    QVERIFY(p.out.contains(QStringLiteral("Left alone: EDID of input 2: it was uploaded from a file, which the switch "
                                          "cannot give back, so it is left as it is")));
}

void TestBackup::damagedNamesStopABackup()
{
    // Without them, a restore of the backup would remove every name.
    InProcess p;
    writeAll(p.env.labelsPath, "{\"version\": 1, \"switches\": []}");
    const QString file = p.dir.filePath("f.json");
    p.err.clear();
    QCOMPARE(p.run({"backup", file}), int(ctl::BadFile));
    QVERIFY2(p.err.value(0).startsWith(QStringLiteral("talvane-ctl: a damaged file is left as it is: ")), qPrintable(p.err.value(0)));
    QVERIFY(!QFile::exists(file));
}

void TestBackup::refusedFiles_data()
{
    QTest::addColumn<QString>("path");    // "routing/A"; empty: `value` is the whole file
    QTest::addColumn<QString>("value");   // JSON
    QTest::addColumn<bool>("force");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");   // a part of the message
    const int bad = ctl::BadFile;
    QTest::newRow("not JSON") << "" << "{\"format\":" << false << bad << "f.json is not valid JSON";
    QTest::newRow("not a backup") << "" << "{\"version\":1}" << false << bad << "not a backup of this program";
    QTest::newRow("unknown version") << "version" << "2" << false << bad << "format version 2, this program reads version 1";
    QTest::newRow("unknown version, forced") << "version" << "2" << true << 0 << "";
    QTest::newRow("version not a number") << "version" << "\"1\"" << true << bad << "\"version\" is not a number";
    QTest::newRow("input 9") << "routing/A" << "9" << false << bad << "\"routing\" of A is not valid";
    QTest::newRow("output I") << "arc/I" << "true" << false << bad << "\"arc\" names no output: \"I\"";
    QTest::newRow("EDID code 23") << "edid/3" << "23" << false << bad << "\"edid\" of 3 is not valid";
    QTest::newRow("name with a tab") << "names/inputs/3" << "\"Stage\\tcamera\"" << false << bad << "\"names of inputs\" of 3";
    QTest::newRow("identification too long") << "ident" << "\"123456789012345678901234567890123\"" << false << bad
                                              << "\"ident\" is not at most 32";
    QTest::newRow("two presets of one name")
        << "presets"
        << "[{\"name\":\"X\",\"inputs\":{\"A\":1,\"B\":1,\"C\":1,\"D\":1,\"E\":1,\"F\":1,\"G\":1,\"H\":1},"
           "\"arc\":{\"A\":true,\"B\":true,\"C\":true,\"D\":true,\"E\":true,\"F\":true,\"G\":true,\"H\":true}},"
           "{\"name\":\"X\",\"inputs\":{\"A\":1,\"B\":1,\"C\":1,\"D\":1,\"E\":1,\"F\":1,\"G\":1,\"H\":1},"
           "\"arc\":{\"A\":true,\"B\":true,\"C\":true,\"D\":true,\"E\":true,\"F\":true,\"G\":true,\"H\":true}}]"
        << false << bad << "two presets are named \"X\"";
    QTest::newRow("another kind of switch") << "switch/kind" << "2" << false << bad
                                            << "the backup of another kind of switch (kind 2, 8 inputs, 8 outputs; this one: "
                                               "kind 1, 8 inputs, 8 outputs)";
    QTest::newRow("other port counts") << "switch/outputs" << "4" << false << bad << "another kind of switch";
    QTest::newRow("another kind, forced") << "switch/kind" << "2" << true << 0 << "";
}

void TestBackup::refusedFiles()
{
    QFETCH(QString, path);
    QFETCH(QString, value);
    QFETCH(bool, force);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    BackedUp p;
    const QString& file = p.file;
    QVERIFY(p.backUpThenChange({"route 5 1"}));
    if (path.isEmpty()) {
        writeAll(file, value.toUtf8());
    } else {
        const QJsonValue v = QJsonDocument::fromJson("[" + value.toUtf8() + "]").array().at(0);
        QVERIFY(!v.isUndefined());
        writeAll(file, QJsonDocument(patched(QJsonDocument::fromJson(readAll(file)).object(), path.split(u'/'), v)).toJson());
    }
    const std::size_t sent = p.link.written.size();
    QStringList args{"restore", file};
    if (force)
        args << "--force";
    p.err.clear();
    QCOMPARE(p.run(args), exitCode);
    if (exitCode != 0) {
        QVERIFY2(p.err.value(0).contains(error), qPrintable(p.err.value(0)));
        QCOMPARE(settingsSent(p.link, sent), QStringList());
        QCOMPARE(p.link.model().route[0], 5);
    } else {
        QCOMPARE(settingsSent(p.link, sent), QStringList{hexOf(build::routeSet(1, 1))});
    }
}

void TestBackup::onlyTheAreasAsked_data()
{
    QTest::addColumn<QString>("only");
    QTest::addColumn<QStringList>("sent");
    QTest::newRow("routing") << "routing" << QStringList{hexOf(build::routeSet(1, 1))};
    QTest::newRow("arc") << "arc" << QStringList{hexOf(build::arcSet(3, false))};
    QTest::newRow("edid, beeper") << "edid,beeper"
                                  << QStringList{hexOf(build::beepSet(true)), hexOf(build::edidSetPreset(0, 2))};
    QTest::newRow("names") << "names" << QStringList();
    QTest::newRow("not an area") << "routing,lights" << QStringList();
}

void TestBackup::onlyTheAreasAsked()
{
    QFETCH(QString, only);
    QFETCH(QStringList, sent);
    BackedUp p;
    QVERIFY(p.backUpThenChange({"route 5 1", "arc 3 on", "edid 2 7", "beep off"}));
    QCOMPARE(p.run({"labels", "input", "1", "Laptop"}), 0);
    const std::size_t from = p.link.written.size();
    p.err.clear();
    const int rc = p.run({"restore", p.file, "--only", only});
    QCOMPARE(settingsSent(p.link, from), sent);
    LabelStore labels(p.env.labelsPath);
    QVERIFY(labels.load());
    if (only.contains(QLatin1String("lights"))) {
        QCOMPARE(rc, int(ctl::Usage));
        QCOMPARE(p.err.value(0), QStringLiteral("talvane-ctl: --only: \"lights\" is not one of routing,arc,edid,ident,beeper,names,presets"));
    } else {
        QCOMPARE(rc, 0);
        QCOMPARE(labels.labels(p.env.linkKey).inputs[0], only == QLatin1String("names") ? QString() : QStringLiteral("Laptop"));
    }
}

void TestBackup::namesRoundTripThroughCsv()
{
    InProcess p;
    const QString csv = p.dir.filePath("names.csv");
    QCOMPARE(p.run({"labels", "input", "1", "Cam \"A\", left"}), 0);
    QCOMPARE(p.run({"labels", "input", "8", "Bühne"}), 0);
    QCOMPARE(p.run({"labels", "output", "H", "Projector"}), 0);
    QCOMPARE(p.run({"labels", "export", csv}), 0);
    const QByteArray exported = readAll(csv);
    QVERIFY(exported.startsWith("kind,port,name\r\ninput,1,\"Cam \"\"A\"\", left\"\r\ninput,2,\r\n"));
    QVERIFY(exported.contains("input,8,B\xC3\xBChne\r\n"));
    QVERIFY(exported.endsWith("output,G,\r\noutput,H,Projector\r\n"));
    p.out.clear();
    QCOMPARE(p.run({"labels", "export"}), 0);
    QCOMPARE(p.out.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"), QString::fromUtf8(exported));

    // Changed since; a dry run shows what the import would change and writes nothing.
    QCOMPARE(p.run({"labels", "input", "1", "Other"}), 0);
    QCOMPARE(p.run({"labels", "output", "H", ""}), 0);
    const QByteArray stored = readAll(p.env.labelsPath);
    p.out.clear();
    QCOMPARE(p.run({"labels", "import", csv, "--dry-run"}), 0);
    QCOMPARE(p.out, (QStringList{"Input 1: \"Other\" -> \"Cam \"A\", left\"", "Output H: none -> \"Projector\""}));
    QCOMPARE(readAll(p.env.labelsPath), stored);
    QCOMPARE(p.run({"labels", "import", csv}), 0);
    LabelStore labels(p.env.labelsPath);
    QVERIFY(labels.load());
    const PortLabels back = labels.labels(p.env.linkKey);
    QCOMPARE(back.inputs[0], QStringLiteral("Cam \"A\", left"));
    QCOMPARE(back.inputs[7], QStringLiteral("Bühne"));
    QCOMPARE(back.outputs[7], QStringLiteral("Projector"));
}

void TestBackup::csvAsSpreadsheetsWriteIt_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("input1");
    QTest::addColumn<QString>("outputB");
    QTest::newRow("LF, no header") << QByteArray("input,1,Laptop\noutput,B,Screen\n") << "Laptop" << "Screen";
    QTest::newRow("BOM, header in capitals, CRLF")
        << QByteArray("\xEF\xBB\xBFKind,Port,Name\r\ninput,1,Laptop\r\nOUTPUT,b,Screen\r\n") << "Laptop" << "Screen";
    QTest::newRow("quoted, last line without an end") << QByteArray("\"input\",\"1\",\"Lap, top\"\r\noutput,2,\"\"\"Big\"\" screen\"")
                                                      << "Lap, top" << "\"Big\" screen";
    QTest::newRow("blank lines, spaces trimmed") << QByteArray("\r\ninput, 1 ,  Laptop  \r\n\r\n") << "Laptop" << "Old";
    QTest::newRow("an empty name removes it") << QByteArray("output,B,\n") << "" << "";
}

void TestBackup::csvAsSpreadsheetsWriteIt()
{
    QFETCH(QByteArray, csv);
    QFETCH(QString, input1);
    QFETCH(QString, outputB);
    InProcess p;
    QCOMPARE(p.run({"labels", "output", "B", "Old"}), 0);
    const QString path = p.dir.filePath("names.csv");
    writeAll(path, csv);
    QCOMPARE(p.run({"labels", "import", path}), 0);
    LabelStore labels(p.env.labelsPath);
    QVERIFY(labels.load());
    QCOMPARE(labels.labels(p.env.linkKey).inputs[0], input1);
    QCOMPARE(labels.labels(p.env.linkKey).outputs[1], outputB);
}

void TestBackup::damagedCsvChangesNothing_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("error");
    QTest::newRow("not UTF-8") << QByteArray("input,1,B\xFChne\n") << "not UTF-8";
    QTest::newRow("quote not closed") << QByteArray("input,1,\"Laptop\ninput,2,x\n") << "line 3: a quoted field is not closed";
    QTest::newRow("quote inside a field") << QByteArray("input,1,Lap\"top\n") << "line 1: a quote inside a field";
    QTest::newRow("text after the quote") << QByteArray("input,1,\"Lap\"top\n") << "line 1: text after a quoted field";
    QTest::newRow("two fields") << QByteArray("input,1,A\ninput,2\n") << "line 2: 2 fields, not 3";
    QTest::newRow("four fields") << QByteArray("input,1,A,B\n") << "line 1: 4 fields, not 3";
    QTest::newRow("not a kind") << QByteArray("screen,1,A\n") << "\"screen\" is not input or output";
    QTest::newRow("input 9") << QByteArray("input,1,A\ninput,9,B\n") << "line 2: \"9\" is not an input (1-8)";
    QTest::newRow("input B") << QByteArray("input,B,A\n") << "\"B\" is not an input (1-8)";
    QTest::newRow("output I") << QByteArray("output,I,A\n") << "\"I\" is not an output (A-H or 1-8)";
    QTest::newRow("named twice") << QByteArray("output,B,A\noutput,2,C\n") << "line 2: output B is named twice";
    QTest::newRow("too long") << QByteArray("input,1,123456789012345678901234567890123\n") << "line 1: name";
    QTest::newRow("a line break in a name") << QByteArray("input,1,\"Stage\ncamera\"\n") << "line 1: name";
}

void TestBackup::damagedCsvChangesNothing()
{
    QFETCH(QByteArray, csv);
    QFETCH(QString, error);
    InProcess p;
    QCOMPARE(p.run({"labels", "input", "1", "Laptop"}), 0);
    const QByteArray stored = readAll(p.env.labelsPath);
    const QString path = p.dir.filePath("names.csv");
    writeAll(path, csv);
    p.err.clear();
    QCOMPARE(p.run({"labels", "import", path}), int(ctl::BadFile));
    QVERIFY2(p.err.value(0).contains(error), qPrintable(p.err.value(0)));
    QVERIFY(p.err.value(0).endsWith(QStringLiteral("nothing was changed")));
    QCOMPARE(readAll(p.env.labelsPath), stored);
}

QTEST_GUILESS_MAIN(TestBackup)
#include "test_backup.moc"
