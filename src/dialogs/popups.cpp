#include "popups.h"

#include <algorithm>

#include "messagedlg.h"
#include "modal.h"
#include "statusdlg.h"

namespace talvane {

bool text::isFailure(const QString& shown)
{
    static const QString failures[] = {TimeOut,        OpenComFailed,  ConnectFailed, PowerOff,      BadEdidFile,
                                       NoFirmwareFile, FileTooLarge,   EmptyFile,     FileNotFound,  NotRegularFile,
                                       CannotReadFile, FileChanged,    BadIpAddress,  NoValidData};
    const QString first = shown.section(QLatin1Char('\n'), 0, 0);
    return std::find(std::begin(failures), std::end(failures), first) != std::end(failures);
}

Popups& Popups::instance()
{
    static Popups popups;
    return popups;
}

// --- Confirmation box -------------------------------------------------------

void Popups::showMessage(const QString& text)
{
    messageText_ = text;
    if (messageShown_) {
        if (messageBox_)
            messageBox_->refreshText();
        return;
    }
    messageShown_ = true;
    runMessageBox();
}

int Popups::ask(const QString& text, bool question)
{
    messageText_ = text;
    if (messageShown_) {
        if (messageBox_)
            messageBox_->refreshText();
        return Cancel;
    }
    messageShown_ = true;
    question_ = question;
    const int result = runMessageBox();
    question_ = false;
    return result;
}

int Popups::runMessageBox()
{
    // A new window for every showing; the owner may go away while it runs.
    QPointer<CMessageDlg> box = new CMessageDlg(owner_, question_);
    messageBox_ = box;
    const int result = runModal(*box);
    if (messageBox_ == box)
        messageBox_ = nullptr;
    delete box.data();
    // However the box ended (a button, a window-manager close, its owner
    // destroyed), it is no longer shown.
    messageShown_ = false;
    return result == Ok ? Ok : Cancel;
}

CMessageDlg* Popups::openMessageBox() const { return messageBox_; }

void Popups::messageBoxEnded() { messageShown_ = false; }

// --- Busy popup -------------------------------------------------------------

void Popups::showBusy(const QString& text)
{
    busyText_ = text;
    if (busyShown_)
        return;  // the open popup picks the text up at its next dot step
    busyShown_ = true;
    QPointer<CStatusDlg> popup = new CStatusDlg(owner_);
    busyPopup_ = popup;
    runModal(*popup);
    if (busyPopup_ == popup)
        busyPopup_ = nullptr;
    delete popup.data();
    busyShown_ = false;
}

void Popups::setBusyText(const QString& text) { busyText_ = text; }

void Popups::busyResult()
{
    if (busyPopup_)
        busyPopup_->showResult();
}

void Popups::closeBusy()
{
    busyShown_ = false;
    if (busyPopup_)
        busyPopup_->done(Ok);
}

CStatusDlg* Popups::openBusyPopup() const { return busyPopup_; }

void Popups::busyPopupEnded() { busyShown_ = false; }

}  // namespace talvane
