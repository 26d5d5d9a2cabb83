#include "modal.h"

#include <QDialog>

namespace talvane {

namespace {
ModalDriver* g_driver = nullptr;
}

int runModal(QDialog& dialog)
{
    if (g_driver)
        return g_driver->run(dialog);
    return dialog.exec();
}

void setModalDriver(ModalDriver* driver) { g_driver = driver; }

}  // namespace talvane
