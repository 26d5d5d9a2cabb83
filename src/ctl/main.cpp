// talvane-ctl: the switch from a terminal or a script.
#include <QCoreApplication>

#include "ctl.h"
#include "serve.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("talvane-ctl"));
    app.setApplicationVersion(QStringLiteral(TALVANE_VERSION));
    talvane::ctl::addCommand(talvane::ctl::serveCommand());
    talvane::ctl::Environment env = talvane::ctl::systemEnvironment();
    return talvane::ctl::run(app.arguments().mid(1), env);
}
