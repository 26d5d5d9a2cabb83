// The panel's command line: --help and --version answer without a display
// (whatever Qt's own options stand beside them), and an option it does not
// know is refused before any window opens.
#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

namespace {

struct Run {
    int exitCode = -1;
    bool crashed = false;
    QString out;
    QString err;
};

// Runs the panel with no display at all unless `platform` names one.
Run runPanel(const QStringList& arguments, const QString& platform)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    if (!platform.isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TALVANE_PANEL_PROGRAM), arguments);
    Run run;
    // A panel that opened its window instead of answering never ends by itself.
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.crashed = true;
        return run;
    }
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

}  // namespace

class TestPrograms : public QObject {
    Q_OBJECT
private slots:
    void panelCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("platform");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");  // a text the standard output holds
        QTest::addColumn<QString>("err");  // a text the error output holds
        const QString version = QStringLiteral("Talvane Controller " TALVANE_VERSION "\n");
        QTest::newRow("--version") << QStringList{"--version"} << "" << 0 << version << "";
        QTest::newRow("-v") << QStringList{"-v"} << "" << 0 << version << "";
        QTest::newRow("--help") << QStringList{"--help"} << "" << 0 << "  -v, --version  Displays version information." << "";
        QTest::newRow("-h after Qt's own option") << QStringList{"-platform", "offscreen", "-h"} << "" << 0
                                                  << "  -h, --help     Displays help on commandline options." << "";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "offscreen" << 1 << ""
                                        << "Unknown option 'bogus'.";
        QTest::newRow("--help-all lists Qt's options") << QStringList{"--help-all"} << "offscreen" << 0
                                                        << "  --platform <platformName[:options]>  QPA plugin." << "";
    }

    void panelCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, platform);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const Run run = runPanel(arguments, platform);
        QVERIFY2(!run.crashed, qPrintable(run.err));
        QCOMPARE(run.exitCode, exitCode);
        if (!out.isEmpty())
            QVERIFY2(run.out.contains(out), qPrintable(run.out));
        else
            QCOMPARE(run.out, QString());
        if (!err.isEmpty())
            QVERIFY2(run.err.contains(err), qPrintable(run.err));
    }
};

QTEST_GUILESS_MAIN(TestPrograms)
#include "test_programs.moc"
