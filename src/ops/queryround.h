// Queries sent one after another, each once the one before is answered, for
// whoever watches the session's answers (the hub's SwitchState learns the
// switch's state from them). The hub's idle read asks a few of these with
// the routing each time, so that every part of the switch is read in turn
// without a single read taking more than its share of the line.
#pragma once

#include <vector>

#include "ops/limits.h"
#include "ops/operation.h"
#include "protocol/frame.h"

namespace talvane {

class QueryRound : public Operation {
    Q_OBJECT
public:
    // `purpose` times the first query; the rest wait as a page's chain does.
    QueryRound(Session& session, std::vector<CommandFrame> queries, Purpose purpose, QObject* parent = nullptr);

protected:
    void begin() override;

private:
    void ask(std::size_t index);

    std::vector<CommandFrame> queries_;
    Purpose purpose_;
};

}  // namespace talvane
