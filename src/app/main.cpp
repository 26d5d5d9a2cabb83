#include "app/application.h"

int main(int argc, char** argv)
{
    // --help and --version need no display.
    if (talvane::CTalvaneApp::asksForTextOnly(argc, argv)) {
        QCoreApplication app(argc, argv);
        talvane::CTalvaneApp::answerTextRequest(app);
    }
    talvane::CTalvaneApp app(argc, argv);
    return app.run();
}
