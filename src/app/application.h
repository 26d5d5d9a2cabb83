// The application object: starts the process-wide services and runs the main
// window; when it ends, the process ends.
#pragma once

#include <QApplication>

namespace talvane {

class CTalvaneApp : public QApplication {
    Q_OBJECT
public:
    CTalvaneApp(int& argc, char** argv);
    int run();
};

}  // namespace talvane
