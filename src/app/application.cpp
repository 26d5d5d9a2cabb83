#include "application.h"

#include "app/mainwindow.h"
#include "controls/dialogbase.h"

namespace talvane {

CTalvaneApp::CTalvaneApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Talvane Controller"));
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

}  // namespace talvane
