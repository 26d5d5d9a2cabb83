#include "application.h"

#include <QCommandLineParser>

#include <cstring>

#include "app/mainwindow.h"
#include "controls/dialogbase.h"

namespace talvane {

namespace {
// Answered before any display is opened (--help-all lists Qt's own options,
// which only the full application knows).
const char* const kTextOnlyOptions[] = {"-h", "--help", "-?", "-v", "--version"};

void describe(QCoreApplication& app, QCommandLineParser& parser)
{
    app.setApplicationName(QStringLiteral("Talvane Controller"));
    app.setApplicationVersion(QStringLiteral(TALVANE_VERSION));
    parser.setApplicationDescription(
        QStringLiteral("The control panel of the 8x8 HDMI matrix switch, connected over a serial port or TCP.\n"
                       "It also takes Qt's own options, such as -platform and -style (see --help-all)."));
    parser.addHelpOption();
    parser.addVersionOption();
}
}  // namespace

CTalvaneApp::CTalvaneApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
    processCommandLine(*this);
    // Desktops match the window to its menu entry and icon by this name.
    setDesktopFileName(QStringLiteral("com.talvane.controller"));
    setFont(templateFont());
    // The main window's Close button ends the program, not the closing of a
    // popup that happens to be the last visible window for a moment.
    setQuitOnLastWindowClosed(false);
}

int CTalvaneApp::run()
{
    CTalvaneDlg window;
    window.show();
    return exec();
}

bool CTalvaneApp::asksForTextOnly(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        for (const char* option : kTextOnlyOptions)
            if (std::strcmp(argv[i], option) == 0)
                return true;
    return false;
}

void CTalvaneApp::processCommandLine(QCoreApplication& app)
{
    QCommandLineParser parser;
    describe(app, parser);
    parser.process(app);  // ends the process for --help, --version and errors
}

void CTalvaneApp::answerTextRequest(QCoreApplication& app)
{
    QCommandLineParser parser;
    describe(app, parser);
    // Qt's own options (-platform xcb) are unknown here: they do not stand in
    // the way of the text.
    parser.parse(app.arguments());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    parser.showVersion();
}

}  // namespace talvane
