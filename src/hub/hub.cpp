#include "hub.h"

#include <QPointer>

#include "ops/device.h"
#include "ops/limits.h"
#include "ops/power.h"
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
        // Who the switch is (its firmware version), until it has said, and
        // again after an upgrade or reset made it unknown.
        if (state_.now().versionMajor < 0)
            steps.push_back([&s] { return new DeviceRead(s, DeviceRead::What::InfoAndIdent, Purpose::Background); });
    }
    return new Sequence(s, std::move(steps));
}

void Hub::route(const Who& who, int output, int input, QObject* context, Done done)
{
    runChange(
        who, [output] { return std::vector<int>{output}; },
        [this, input, output]() -> Operation* { return new RouteSet(session(), input, output); }, context,
        std::move(done));
}

void Hub::setArc(const Who& who, int output, bool on, QObject* context, Done done)
{
    runChange(
        who, [output] { return std::vector<int>{output}; },
        [this, output, on]() -> Operation* { return new ArcSet(session(), output, on); }, context, std::move(done));
}

void Hub::setPower(const Who& who, bool on, QObject* context, Done done)
{
    runChange(
        who, [] { return std::vector<int>{}; }, [this, on]() -> Operation* { return new PowerSet(session(), on); },
        context, std::move(done));
}

void Hub::setBeeper(const Who& who, bool on, QObject* context, Done done)
{
    runChange(
        who, [] { return std::vector<int>{}; }, [this, on]() -> Operation* { return new BeepSet(session(), on); },
        context, std::move(done));
}

void Hub::recallPreset(const Who& who, const Routing& target, QObject* context, Done done)
{
    // The outputs it would change, as the switch stands when its turn comes.
    auto changing = [this, target] {
        const Routing now = routing();
        std::vector<int> outputs;
        for (int o = 1; o <= kPortCount; ++o) {
            const std::size_t k = std::size_t(o - 1);
            if (target.inputs[k] != now.inputs[k] || (target.arc[k] && target.arc[k] != now.arc[k]))
                outputs.push_back(o);
        }
        return outputs;
    };
    runChange(
        who, changing, [this, target]() -> Operation* { return new PresetRecall(session(), target, routing()); },
        context, std::move(done));
}

Routing Hub::routing() const
{
    Routing r;
    r.inputs = state_.now().routes;
    r.arc = state_.now().arc;
    return r;
}

void Hub::runChange(const Who& who, std::function<std::vector<int>()> outputs, std::function<Operation*()> make,
                    QObject* context, Done done)
{
    // Whether `who` may change every output concerned; `why` names a holder.
    auto allowed = [this, who, outputs](QString* why) {
        for (int output : outputs())
            if (!mayChange(who, output, why))
                return false;
        return true;
    };
    QString why;
    if (!allowed(&why)) {
        done(Result::Locked, why);
        return;
    }
    if (!connection_.isOpen()) {
        done(Result::NoLink, QStringLiteral("no link to the switch"));
        return;
    }
    // Dropped, operation unmade, when `context` goes before its turn came.
    runner().whenFree(context, [this, allowed, make = std::move(make), context = QPointer<QObject>(context),
                                done = std::move(done)](Hold hold) {
        // Locked, or the link lost, while it waited its turn.
        QString why;
        const Result early = !allowed(&why)          ? Result::Locked
                             : !connection_.isOpen() ? Result::NoLink
                                                     : Result::Done;
        if (early != Result::Done) {
            if (context)
                done(early, early == Result::Locked ? why : QStringLiteral("no link to the switch"));
            return;
        }
        Operation* op = make();
        op->setParent(this);
        auto held = std::make_shared<Hold>(std::move(hold));
        connect(op, &Operation::finished, this, [op, held, context, done](Outcome outcome) {
            op->deleteLater();
            held->end();
            if (!context)
                return;
            switch (outcome) {
            case Outcome::Done:
                done(Result::Done, QString());
                break;
            case Outcome::Refused:
                done(Result::Refused, QStringLiteral("refused by the switch"));
                break;
            case Outcome::TimedOut:
            case Outcome::Cancelled:
                done(Result::TimedOut, QStringLiteral("the switch did not answer"));
                break;
            }
        });
        op->start();
    });
}

std::optional<Who> Hub::lockOf(int output) const
{
    if (output < 1 || output > kPortCount)
        return std::nullopt;
    return locks_[std::size_t(output - 1)];
}

bool Hub::mayChange(const Who& who, int output, QString* why) const
{
    const std::optional<Who> holder = lockOf(output);
    if (!holder || *holder == who)
        return true;
    if (why)
        *why = QStringLiteral("output %1 is locked by %2").arg(QString(QLatin1Char(outputLetter(output))), holder->name);
    return false;
}

bool Hub::lock(const Who& who, int output, QString* why)
{
    if (output < 1 || output > kPortCount || !mayChange(who, output, why))
        return false;
    std::optional<Who>& slot = locks_[std::size_t(output - 1)];
    if (slot == who)
        return true;
    slot = who;
    emit lockChanged(output);
    return true;
}

bool Hub::unlock(const Who& who, int output, bool force, QString* why)
{
    if (output < 1 || output > kPortCount)
        return false;
    if (!force && !mayChange(who, output, why))
        return false;
    std::optional<Who>& slot = locks_[std::size_t(output - 1)];
    if (!slot)
        return true;
    slot.reset();
    emit lockChanged(output);
    return true;
}

void Hub::unlockAll(const Who& who)
{
    for (int o = 1; o <= kPortCount; ++o)
        if (locks_[std::size_t(o - 1)] == who)
            unlock(who, o, false);
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
