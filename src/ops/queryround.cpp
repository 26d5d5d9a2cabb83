#include "queryround.h"

namespace talvane {

QueryRound::QueryRound(Session& session, std::vector<CommandFrame> queries, Purpose purpose, QObject* parent)
    : Operation(session, parent)
    , queries_(std::move(queries))
    , purpose_(purpose)
{
}

void QueryRound::begin() { ask(0); }

void QueryRound::ask(std::size_t index)
{
    if (index >= queries_.size()) {
        finish(Outcome::Done);
        return;
    }
    const Timing timing = index == 0 ? timingOf(purpose_) : limits::ChainQuery;
    exchange(requestFor(queries_[index], timing), [this, index](const CommandFrame&) { ask(index + 1); });
}

}  // namespace talvane
