// The application object: starts the process-wide services and runs the main
// window; when it ends, the process ends.
#pragma once

#include <QApplication>

namespace talvane {

class CTalvaneApp : public QApplication {
    Q_OBJECT
public:
    // Ends the process after printing an error for an option it does not know.
    CTalvaneApp(int& argc, char** argv);
    int run();

    // Whether the command line asks for --help or --version: answered by
    // answerTextRequest(), before any display is opened.
    static bool asksForTextOnly(int argc, char** argv);
    // Prints the help or the version and ends the process.
    [[noreturn]] static void answerTextRequest(QCoreApplication& app);

private:
    // Reads the command line; ends the process after printing the help, the
    // version or an error for an option it does not know.
    static void processCommandLine(QCoreApplication& app);
};

}  // namespace talvane
