#include "runner.h"

namespace talvane {

Runner::Runner(Session& session, QObject* parent)
    : QObject(parent)
    , session_(session)
{
}

Runner::~Runner()
{
    for (const QPointer<Operation>& op : background_)
        delete op.data();
}

bool Runner::hold()
{
    if (held_)
        return false;
    held_ = true;
    stopBackground();
    emit busyChanged(true);
    return true;
}

void Runner::release()
{
    if (!held_)
        return;
    held_ = false;
    emit busyChanged(false);
}

void Runner::runBackground(Operation* op)
{
    op->setParent(this);
    background_.removeAll(nullptr);
    background_ << op;
    connect(op, &Operation::finished, this, [this, op] {
        background_.removeAll(op);
        op->deleteLater();
    });
    op->start();
}

void Runner::stopBackground()
{
    const QList<QPointer<Operation>> running = background_;
    for (const QPointer<Operation>& op : running)
        if (op)
            op->cancel();
}

int Runner::backgroundCount() const
{
    int n = 0;
    for (const QPointer<Operation>& op : background_)
        n += op && op->running() ? 1 : 0;
    return n;
}

}  // namespace talvane
