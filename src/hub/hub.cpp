#include "hub.h"

#include "ops/limits.h"
#include "ops/routing.h"
#include "ops/sequence.h"
#include "ops/status.h"

namespace talvane {
namespace hub {

Hub::Hub(Connection& connection, LabelStore& labels, QString switchKey, QObject* parent)
    : QObject(parent)
    , connection_(connection)
    , labels_(labels)
    , switchKey_(std::move(switchKey))
    , state_(connection.session())
{
    connect(&state_, &SwitchState::changed, this, [this](SwitchState::Aspect aspect) {
        if (aspect == SwitchState::Aspect::Route && !routingKnown_ && state_.now().routingKnown()) {
            routingKnown_ = true;
            emit routingKnown();
        }
    });
}

Hub::~Hub() { connection_.follower().setEnabled(false); }

void Hub::start()
{
    Follower& follower = connection_.follower();
    follower.setPeriod(limits::HubReadPeriodMs);
    follower.setRead([this] { return idleRead(); });
    follower.setEnabled(true);
    // The first read at once: the front ends wait for the routing.
    runner().runBackground(idleRead());
}

Operation* Hub::idleRead()
{
    Session& s = session();
    // The routing and ARC every time; the rest of the switch every few reads.
    std::vector<Sequence::Step> steps{[&s] { return new MatrixRead(s, Purpose::Background); }};
    if (reads_++ % limits::HubFullReadEvery == 0) {
        steps.push_back([&s] { return new PowerStateRead(s, Purpose::Background); });
        steps.push_back([&s] { return new BeepStateRead(s); });
        steps.push_back([&s] { return new PortStatusRead(s); });
    }
    return new Sequence(s, std::move(steps));
}

void Hub::readRouting(QObject* context, std::function<void(bool)> done)
{
    auto* read = new MatrixRead(session(), Purpose::Background, MatrixRead::Part::RoutesOnly);
    auto seen = std::make_shared<int>(0);
    connect(read, &MatrixRead::routeReported, this, [seen] { ++*seen; });
    connect(read, &Operation::finished, context, [seen, done = std::move(done)](Outcome outcome) {
        if (done)
            done(outcome == Outcome::Done && *seen == kPortCount);
    });
    runner().runBackground(read);
}

}  // namespace hub
}  // namespace talvane
