#include "presenter.h"

#include "dialogs/popups.h"

namespace talvane {

Presenter::Presenter(Runner& runner, Popups& popups, std::function<LinkMode()> linkMode,
                     std::function<bool()> linkOpen)
    : runner_(runner)
    , popups_(popups)
    , linkMode_(std::move(linkMode))
    , linkOpen_(std::move(linkOpen))
{
}

bool Presenter::acquire()
{
    if (!linkOpen()) {
        popups_.showMessage(linkMode() == LinkMode::Com ? text::OpenComFailed : text::ConnectFailed);
        return false;
    }
    return runner_.hold();
}

void Presenter::release() { runner_.release(); }

void Presenter::timeOut(bool closeBusy)
{
    if (closeBusy)
        popups_.closeBusy();
    popups_.showMessage(text::TimeOut);
    runner_.release();
}

void Presenter::run(Operation* op, std::function<void(Outcome)> onFinished)
{
    // Owned by the runner until it has finished: one that never does (the
    // window closes meanwhile) goes with it.
    if (!op->parent())
        op->setParent(&runner_);
    QObject::connect(op, &Operation::finished, op, [op, onFinished = std::move(onFinished)](Outcome outcome) {
        op->deleteLater();
        onFinished(outcome);
    });
    op->start();
}

}  // namespace talvane
