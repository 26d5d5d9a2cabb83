#include "app/application.h"

int main(int argc, char** argv)
{
    talvane::CTalvaneApp app(argc, argv);
    return app.run();
}
