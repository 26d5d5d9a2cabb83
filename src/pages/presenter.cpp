#include "presenter.h"

#include <memory>

#include "dialogs/popups.h"

namespace talvane {

Presenter::Presenter(Connection& connection, Popups& popups, std::function<LinkMode()> linkMode)
    : connection_(connection)
    , popups_(popups)
    , linkMode_(std::move(linkMode))
{
}

Hold Presenter::acquire()
{
    if (!linkOpen()) {
        popups_.showMessage(linkMode() == LinkMode::Com ? text::OpenComFailed : text::ConnectFailed);
        return {};
    }
    return runner().hold();
}

void Presenter::timeOut(Hold hold, bool closeBusy)
{
    if (closeBusy)
        popups_.closeBusy();
    popups_.showMessage(text::TimeOut);
    hold.end();
}

void Presenter::run(Hold hold, Operation* op, Finished onFinished)
{
    // Owned by the runner until it has finished: one that never does (the
    // window closes meanwhile) goes with it, and its hold with it.
    if (!op->parent())
        op->setParent(&runner());
    auto held = std::make_shared<Hold>(std::move(hold));
    QObject::connect(op, &Operation::finished, op, [op, held, onFinished = std::move(onFinished)](Outcome outcome) {
        op->deleteLater();
        onFinished(outcome, std::move(*held));
    });
    op->start();
}

}  // namespace talvane
