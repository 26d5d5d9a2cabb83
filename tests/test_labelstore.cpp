// The labels store as the panel and talvane-ctl use it: names checked before
// they are stored, the file's shape, names kept across programs, and a
// damaged file reported and left byte for byte as it was.
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ops/labelstore.h"

using namespace talvane;

namespace {

const QString kKey = QStringLiteral("mac:02-54-4C-56-53-09");

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QJsonObject readObject(const QString& path) { return QJsonDocument::fromJson(readBytes(path)).object(); }

}  // namespace

class TestLabelStore : public QObject {
    Q_OBJECT
private slots:
    void names_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("stored");
        const QString max(LabelStore::kMaxLength, u'x');
        QTest::newRow("plain") << "Stage camera" << true << "Stage camera";
        QTest::newRow("trimmed") << "  Projector \t" << true << "Projector";
        QTest::newRow("at the limit") << max << true << max;
        QTest::newRow("at the limit once trimmed") << "  " + max + "  " << true << max;
        QTest::newRow("one past the limit") << max + "y" << false << "";
        QTest::newRow("accents count once") << QString(LabelStore::kMaxLength, QChar(0xE9)) << true
                                            << QString(LabelStore::kMaxLength, QChar(0xE9));
        QString emoji;
        for (int i = 0; i < LabelStore::kMaxLength; ++i)
            emoji += QString::fromUcs4(U"\U0001F3A5");
        QTest::newRow("characters beyond 16 bits count once") << emoji << true << emoji;
        QTest::newRow("a tab inside") << "Stage\tcamera" << false << "";
        QTest::newRow("a line end inside") << "Stage\ncamera" << false << "";
        QTest::newRow("an escape sequence") << "Stage\x1b[31m" << false << "";
        QTest::newRow("DEL") << "Stage\x7f" << false << "";
        QTest::newRow("a C1 control") << QString("Stage") + QChar(0x85) + "camera" << false << "";
        QTest::newRow("a line separator") << QString("Stage") + QChar(0x2028) + "camera" << false << "";
        QTest::newRow("half a character") << QString("Stage") + QChar(0xD83C) << false << "";
        QTest::newRow("undecodable input") << QString("Stage") + QChar(0xFFFD) << false << "";
    }

    // A name set, saved and read back by another store; a refused one
    // changes nothing and says why.
    void names()
    {
        QFETCH(QString, given);
        QFETCH(bool, accepted);
        QFETCH(QString, stored);
        QTemporaryDir dir;
        const QString path = dir.filePath("cfg/labels.json");
        LabelStore store(path);
        QVERIFY(store.load());
        QVERIFY(store.setInput(kKey, 3, "Before"));
        QCOMPARE(store.setInput(kKey, 3, given), accepted);
        QCOMPARE(store.setOutput(kKey, 8, given), accepted);
        QCOMPARE(store.error().isEmpty(), accepted);
        QVERIFY(store.save());

        LabelStore other(path);
        QVERIFY(other.load());
        const PortLabels l = other.labels(kKey);
        QCOMPARE(l.inputs[2], accepted ? stored : QString("Before"));
        QCOMPARE(l.outputs[7], stored);
    }

    // The file as documented: version, switches by key, inputs by number,
    // outputs by letter; an empty name removes the entry.
    void fileShape()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("labels.json");
        LabelStore store(path);
        QVERIFY(store.load());
        QVERIFY(store.setInput(kKey, 1, "Stage camera"));
        QVERIFY(store.setOutput(kKey, 1, "Projector"));
        QVERIFY(store.setOutput(kKey, 2, "Gone soon"));
        QVERIFY(store.setOutput(kKey, 2, ""));
        QVERIFY(store.setInput(LabelStore::keyForPort(129), 8, "Laptop"));
        QVERIFY(!store.setInput(kKey, 9, "No such input"));
        QVERIFY(!store.setOutput(kKey, 0, "No such output"));
        QVERIFY(!store.setInput(QString(), 1, "No switch"));
        QVERIFY(store.save());
        const QJsonObject expected = QJsonDocument::fromJson(R"({"version": 1, "switches": {
            "mac:02-54-4C-56-53-09": {"inputs": {"1": "Stage camera"}, "outputs": {"A": "Projector"}},
            "port:COM129": {"inputs": {"8": "Laptop"}}}})").object();
        QCOMPARE(readObject(path), expected);
    }

    // Keys this program does not know survive a rewrite, and names another
    // program saved after this store was loaded are not lost.
    void keepsWhatOthersWrote()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("labels.json");
        QVERIFY(writeBytes(path, R"({"version": 1, "note": "kept", "switches": {
            "host:10.0.0.9": {"colour": "red", "inputs": {"2": "Deck", "9": "extra"}}}})"));
        LabelStore panel(path), ctl(path);
        QVERIFY(panel.load());
        QVERIFY(ctl.load());
        QCOMPARE(panel.labels("host:10.0.0.9").inputs[1], QString("Deck"));
        QVERIFY(ctl.setOutput("host:10.0.0.9", 3, "Monitor"));
        QVERIFY(ctl.save());
        QVERIFY(panel.setInput("host:10.0.0.9", 2, "Camera"));
        QVERIFY(panel.save());

        const QJsonObject root = readObject(path);
        QCOMPARE(root.value("note").toString(), QString("kept"));
        const QJsonObject sw = root.value("switches").toObject().value("host:10.0.0.9").toObject();
        QCOMPARE(sw.value("colour").toString(), QString("red"));
        QCOMPARE(sw.value("inputs").toObject().value("9").toString(), QString("extra"));
        QCOMPARE(sw.value("inputs").toObject().value("2").toString(), QString("Camera"));
        QCOMPARE(sw.value("outputs").toObject().value("C").toString(), QString("Monitor"));
        const PortLabels seen = panel.labels("host:10.0.0.9");
        QCOMPARE(seen.outputs[2], QString("Monitor"));
    }

    void damaged_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not JSON") << QByteArray("{\"version\": 1, \"switches\": {") << "not valid JSON";
        QTest::newRow("empty") << QByteArray() << "not valid JSON";
        QTest::newRow("an array") << QByteArray("[1, 2]") << "not hold a JSON object";
        QTest::newRow("no version") << QByteArray("{\"switches\": {}}") << "version";
        QTest::newRow("a later version") << QByteArray("{\"version\": 2, \"switches\": {}}") << "version";
        QTest::newRow("version as text") << QByteArray("{\"version\": \"1\"}") << "version";
        QTest::newRow("switches a list") << QByteArray("{\"version\": 1, \"switches\": []}") << "\"switches\"";
        QTest::newRow("a switch a string")
            << QByteArray("{\"version\": 1, \"switches\": {\"port:COM1\": \"x\"}}") << "port:COM1";
        QTest::newRow("inputs a list")
            << QByteArray("{\"version\": 1, \"switches\": {\"port:COM1\": {\"inputs\": [\"a\"]}}}") << "inputs";
        QTest::newRow("a name a number")
            << QByteArray("{\"version\": 1, \"switches\": {\"port:COM1\": {\"outputs\": {\"A\": 5}}}}") << "\"A\"";
        QTest::newRow("a directory") << QByteArray("<dir>") << "not a regular file";
        QTest::newRow("a FIFO") << QByteArray("<fifo>") << "not a regular file";
    }

    // Reported with the reason, nothing can be set or saved, and the file
    // is left exactly as it was, even by a store loaded before it broke.
    void damaged()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path = dir.filePath("labels.json");
        LabelStore early(path);
        QVERIFY(early.load());
        QVERIFY(early.setInput(kKey, 1, "Set before it broke"));

        if (content == "<dir>")
            QVERIFY(QDir(dir.path()).mkdir("labels.json"));
        else if (content == "<fifo>")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            QVERIFY(writeBytes(path, content));
        const bool plainFile = !content.startsWith('<');

        LabelStore store(path);
        QVERIFY(!store.load());
        QVERIFY(store.damaged());
        QVERIFY2(store.error().contains(reason), qPrintable(store.error()));
        QVERIFY(store.error().contains(path));
        QVERIFY(!store.setInput(kKey, 1, "Camera"));
        QVERIFY(!store.setLabels(kKey, PortLabels{}));
        QVERIFY(!store.save());
        QVERIFY(store.labels(kKey).inputs[0].isEmpty());

        QVERIFY(!early.save());
        QVERIFY2(early.error().contains(reason), qPrintable(early.error()));
        if (plainFile)
            QCOMPARE(readBytes(path), content);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System),
                 QStringList{"labels.json"});
    }

    // A write that fails part way (the disk full) leaves the old file whole
    // and says so; nothing is left behind.
    void failedWriteKeepsTheOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("labels.json");
        LabelStore store(path);
        QVERIFY(store.load());
        QVERIFY(store.setInput(kKey, 1, "Old"));
        QVERIFY(store.save());
        const QByteArray before = readBytes(path);

        for (int sw = 1; sw <= 200; ++sw)
            QVERIFY(store.setLabels(LabelStore::keyForPort(sw),
                                    PortLabels{{"a", "b", "c", "d", "e", "f", "g", "h"},
                                               {"A", "B", "C", "D", "E", "F", "G", "H"}}));
        // A file size limit makes the write fail as a full disk would.
        struct sigaction ignore {}, old {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &old);
        struct rlimit limit {}, saved {};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        limit = saved;
        limit.rlim_cur = rlim_t(before.size()) + 64;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool saved_ok = store.save();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::sigaction(SIGXFSZ, &old, nullptr);

        QVERIFY(!saved_ok);
        QVERIFY(!store.error().isEmpty());
        QCOMPARE(readBytes(path), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{"labels.json"});
        // Once there is room, the same names are saved.
        QVERIFY(store.save());
        LabelStore other(path);
        QVERIFY(other.load());
        QCOMPARE(other.labels(LabelStore::keyForPort(200)).outputs[7], QString("H"));
        QCOMPARE(other.labels(kKey).inputs[0], QString("Old"));
    }

    void keys_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("key");
        QTest::newRow("mac, dashes") << "mac" << "02-54-4C-56-53-09" << "mac:02-54-4C-56-53-09";
        QTest::newRow("mac, colons, lower case") << "mac" << "02:54:4c:56:53:09" << "mac:02-54-4C-56-53-09";
        QTest::newRow("mac, bare") << "mac" << " 02544c565309 " << "mac:02-54-4C-56-53-09";
        QTest::newRow("mac, short") << "mac" << "02-54-4C-56-53" << "";
        QTest::newRow("mac, not hex") << "mac" << "02-54-4C-56-53-0G" << "";
        QTest::newRow("mac, empty") << "mac" << "" << "";
        QTest::newRow("port") << "port" << "129" << "port:COM129";
        QTest::newRow("port 1") << "port" << "1" << "port:COM1";
        QTest::newRow("port 0") << "port" << "0" << "";
        QTest::newRow("host") << "host" << "192.168.1.50" << "host:192.168.1.50";
        QTest::newRow("host, spaces") << "host" << " 192.168.1.50 " << "host:192.168.1.50";
        QTest::newRow("host, name") << "host" << "Matrix.Local" << "host:matrix.local";
        QTest::newRow("host, empty") << "host" << " " << "";
    }

    void keys()
    {
        QFETCH(QString, kind);
        QFETCH(QString, given);
        QFETCH(QString, key);
        const QString made = kind == "mac"    ? LabelStore::keyForMac(given)
                             : kind == "port" ? LabelStore::keyForPort(given.toInt())
                                              : LabelStore::keyForHost(given);
        QCOMPARE(made, key);
    }

    void defaultPathBesideTheComNumbers()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(LabelStore::defaultPath().endsWith("/talvane-controller/labels.json"));
        QVERIFY(LabelStore::defaultPath().startsWith(
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)));
    }
};

QTEST_GUILESS_MAIN(TestLabelStore)
#include "test_labelstore.moc"
