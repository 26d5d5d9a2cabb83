// A program of this project run to its end as a user runs it from a shell:
// its exit code and what it wrote. The wait is bounded (a program that
// hangs fails the test instead of holding it up).
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include "support/waitfor.h"

namespace talvane {

struct Run {
    int exitCode = -1;  // -2: it crashed; -1: it did not end
    QString out, err;
};

inline Run runProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run run;
    if (!waitFor([&] { return p.state() == QProcess::NotRunning; })) {
        p.kill();
        p.waitForFinished();
        return run;
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

}  // namespace talvane
