// talvane-ctl: the switch from a terminal or a script.
#include <QCoreApplication>

#include "ctl.h"
#include "serve.h"

int main(int argc, char** argv)
{
    // Qt's own event loop rather than GLib's: GLib wakes itself (a write and
    // a poll more) whenever a socket's notifier is switched on or off, which
    // a write does; the hub does that for every exchange it has with the
    // switch, all day. Someone who sets the variable keeps their choice.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("talvane-ctl"));
    app.setApplicationVersion(QStringLiteral(TALVANE_VERSION));
    talvane::ctl::addCommand(talvane::ctl::serveCommand());
    talvane::ctl::Environment env = talvane::ctl::systemEnvironment();
    return talvane::ctl::run(app.arguments().mid(1), env);
}
