// Several operations one after another, as one: a read of the switch's whole
// state made of the reads of its parts, for a front end that follows it all.
// Each step is made when its turn comes; the sequence ends Done once every
// step has, or at the first that does not, with that step's outcome.
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

protected:
    void begin() override;
    void ended() override;

private:
    void next();

    std::vector<Step> steps_;
    std::size_t at_ = 0;
    QPointer<Operation> current_;
};

}  // namespace talvane
