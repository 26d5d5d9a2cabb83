// Several operations one after another, as one: a read of the switch's whole
// state made of the reads of its parts, or commands sent one at a time, each
// acknowledged before the next (a preset recall, a take, a restore). Each
// step is made when its turn comes; the sequence ends Done once every step
// has, or at the first that does not, with that step's outcome.
#pragma once

#include <QPointer>

#include <functional>
#include <vector>

#include "ops/operation.h"

namespace talvane {

class Sequence : public Operation {
    Q_OBJECT
public:
    using Step = std::function<Operation*()>;

    Sequence(Session& session, std::vector<Step> steps, QObject* parent = nullptr);
    ~Sequence() override;

    int stepCount() const { return int(steps_.size()); }
    // Steps that ended Done so far.
    int stepsDone() const { return done_; }
    // The step that did not end Done (it stopped the sequence), or -1.
    int failedStep() const { return failed_; }

signals:
    // Step `index` (counted from 0) ended Done.
    void stepDone(int index);

protected:
    // Adds a step after the others, before the sequence starts.
    void addStep(Step step) { steps_.push_back(std::move(step)); }
    void begin() override;
    void ended() override;

private:
    void next();

    std::vector<Step> steps_;
    std::size_t at_ = 0;
    int done_ = 0;
    int failed_ = -1;
    QPointer<Operation> current_;
};

}  // namespace talvane
