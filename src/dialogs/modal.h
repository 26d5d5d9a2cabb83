// How a modal box is run. Production runs QDialog::exec() (a nested event
// loop: timers, replies and posted messages keep being handled). Tests install
// a driver that answers boxes without a user and without waiting.
#pragma once

class QDialog;

namespace talvane {

class ModalDriver {
public:
    virtual ~ModalDriver() = default;
    // Shows `dialog` modally and returns its result once it has ended.
    virtual int run(QDialog& dialog) = 0;
};

// Runs `dialog` through the installed driver, or exec() when none is installed.
int runModal(QDialog& dialog);
void setModalDriver(ModalDriver* driver);  // nullptr restores exec()

}  // namespace talvane
