#include "runner.h"

namespace talvane {

Hold::Hold(Hold&& other) noexcept
    : runner_(std::move(other.runner_))
    , generation_(other.generation_)
{
    other.runner_ = nullptr;
}

Hold& Hold::operator=(Hold&& other) noexcept
{
    if (this != &other) {
        end();
        runner_ = std::move(other.runner_);
        generation_ = other.generation_;
        other.runner_ = nullptr;
    }
    return *this;
}

Hold::operator bool() const { return runner_ && runner_->holds(generation_); }

void Hold::end()
{
    if (Runner* r = runner_.data())
        r->release(generation_);
    runner_ = nullptr;
}

Runner::Runner(Session& session, QObject* parent)
    : QObject(parent)
    , session_(session)
{
}

Runner::~Runner()
{
    waiters_.clear();
    for (const QPointer<Operation>& op : background_)
        delete op.data();
}

Hold Runner::hold()
{
    if (held_)
        return {};
    held_ = true;
    ++generation_;
    stopBackground();
    emit busyChanged(true);
    return Hold(this, generation_);
}

void Runner::release(quint64 generation)
{
    if (!holds(generation))
        return;
    held_ = false;
    emit busyChanged(false);
    grantLater();
}

void Runner::forceRelease()
{
    if (held_)
        release(generation_);
}

void Runner::whenFree(QObject* context, std::function<void(Hold)> granted)
{
    waiters_.push_back({context, std::move(granted)});
    if (!held_)
        grantLater();
}

int Runner::waiting() const
{
    int n = 0;
    for (const Waiter& w : waiters_)
        n += w.context ? 1 : 0;
    return n;
}

void Runner::grantLater()
{
    if (grantPosted_ || waiters_.empty())
        return;
    grantPosted_ = true;
    QMetaObject::invokeMethod(this, &Runner::grantNext, Qt::QueuedConnection);
}

void Runner::grantNext()
{
    grantPosted_ = false;
    while (!held_ && !waiters_.empty()) {
        Waiter w = std::move(waiters_.front());
        waiters_.pop_front();
        if (!w.context)
            continue;
        w.granted(hold());
    }
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
