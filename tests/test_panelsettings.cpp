// The panel's settings file: values survive a restart, a damaged file is
// reported once and never overwritten.
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "app/panelsettings.h"

using namespace talvane;

namespace {

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Standard error, sent to a file while a scope runs.
class StderrCapture {
public:
    explicit StderrCapture(const QString& path)
        : path_(path)
    {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    QByteArray text()
    {
        restore();
        return readFile(path_);
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    QString path_;
    int saved_ = -1;
};

}  // namespace

class TestPanelSettings : public QObject {
    Q_OBJECT
private slots:
    void defaultPathIsBesideTheComNumbers()
    {
        QVERIFY(PanelSettings::defaultPath().endsWith(QLatin1String("/talvane-controller/panel.json")));
    }

    void survivesARestart()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("sub/panel.json"));
        {
            PanelSettings s(path);
            QCOMPARE(s.followChanges(), false);
            QCOMPARE(s.reconnect(), false);
            QCOMPARE(s.lastPort(), QString());
            QVERIFY(!QFile::exists(path));  // nothing is written before something is set
            s.setReconnect(true);
            s.setLastPort(QStringLiteral("COM129"));
            s.setFollowChanges(true);
            s.setFollowChanges(false);
        }
        PanelSettings again(path);
        QVERIFY(!again.damaged());
        QCOMPARE(again.reconnect(), true);
        QCOMPARE(again.followChanges(), false);
        QCOMPARE(again.lastPort(), QStringLiteral("COM129"));
        // Another program's keys written beside ours are kept.
        const QByteArray withOther = R"({"reconnect": true, "lastPort": "COM3", "window": [1, 2]})";
        QVERIFY(writeFile(path, withOther));
        PanelSettings third(path);
        third.setFollowChanges(true);
        const QByteArray text = readFile(path);
        QVERIFY(text.contains("\"window\""));
        QCOMPARE(PanelSettings(path).lastPort(), QStringLiteral("COM3"));
        QCOMPARE(PanelSettings(path).followChanges(), true);
        QVERIFY(QDir(QFileInfo(path).path()).entryList(QDir::Files).size() == 1);  // no temporary left over
    }

    void damagedFileNeverOverwritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("reconnect=1\n");
        QTest::newRow("cut short") << QByteArray(R"({"reconnect": tr)");
        QTest::newRow("an array") << QByteArray(R"([true, false])");
        QTest::newRow("a number where a switch belongs") << QByteArray(R"({"reconnect": 1})");
        QTest::newRow("a port that is not text") << QByteArray(R"({"lastPort": 3})");
        QTest::newRow("a port name far too long") << QByteArray("{\"lastPort\": \"" + QByteArray(500, 'C') + "\"}");
        QTest::newRow("far too large") << QByteArray("{\"x\": \"" + QByteArray(64 * 1024, 'x') + "\"}");
        QTest::newRow("binary") << QByteArray("\x00\xff\x7f{", 4);
    }
    void damagedFileNeverOverwritten()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("panel.json"));
        QVERIFY(writeFile(path, content));

        StderrCapture err(dir.filePath(QStringLiteral("stderr")));
        PanelSettings s(path);
        QVERIFY(s.damaged());
        s.setReconnect(true);
        s.setLastPort(QStringLiteral("COM5"));
        s.setFollowChanges(true);
        const QByteArray said = err.text();

        // Set for this run, the file untouched, and one report naming the file.
        QCOMPARE(s.reconnect(), true);
        QCOMPARE(s.followChanges(), true);
        QCOMPARE(s.lastPort(), QStringLiteral("COM5"));
        QCOMPARE(readFile(path), content);
        QCOMPARE(said.count('\n'), 1);
        QVERIFY2(said.contains(QFile::encodeName(path)), said.constData());
        // The next run finds the same file, and the defaults.
        QCOMPARE(PanelSettings(path).reconnect(), false);
    }

    void unreadableDirectoryInPlaceOfTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("panel.json"));
        QVERIFY(QDir().mkpath(path));
        StderrCapture err(dir.filePath(QStringLiteral("stderr")));
        PanelSettings s(path);
        s.setReconnect(true);
        QCOMPARE(err.text().count('\n'), 1);
        QVERIFY(QFileInfo(path).isDir());
        QCOMPARE(s.reconnect(), true);
    }
};

QTEST_GUILESS_MAIN(TestPanelSettings)
#include "test_panelsettings.moc"
