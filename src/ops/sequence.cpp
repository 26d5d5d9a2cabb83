#include "sequence.h"

namespace talvane {

Sequence::Sequence(Session& session, std::vector<Step> steps, QObject* parent)
    : Operation(session, parent)
    , steps_(std::move(steps))
{
}

Sequence::~Sequence() { delete current_.data(); }

void Sequence::begin() { next(); }

void Sequence::next()
{
    if (at_ >= steps_.size()) {
        finish(Outcome::Done);
        return;
    }
    const int index = int(at_);
    Operation* step = steps_[at_++]();
    step->setParent(this);
    current_ = step;
    connect(step, &Operation::finished, this, [this, step, index](Outcome outcome) {
        current_ = nullptr;
        step->deleteLater();
        if (!running())
            return;
        if (outcome == Outcome::Done) {
            ++done_;
            emit stepDone(index);
            if (running())
                next();
            return;
        }
        failed_ = index;
        finish(outcome);
    });
    step->start();
}

void Sequence::ended()
{
    // Stopped from outside: the step under way stops with it.
    if (Operation* step = current_.data()) {
        current_ = nullptr;
        step->disconnect(this);
        step->cancel();
        step->deleteLater();
    }
}

}  // namespace talvane
