#include "hub.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QPointer>
#include <QStringList>

#include "ops/device.h"
#include "ops/documents.h"
#include "ops/limits.h"
#include "ops/power.h"
#include "ops/queryround.h"
#include "ops/routing.h"
#include "ops/sequence.h"

namespace talvane {
namespace hub {

Hub::Hub(Connection& connection, LabelStore& labels, QString switchKey, QObject* parent)
    : QObject(parent)
    , connection_(connection)
    , labels_(labels)
    , switchKey_(std::move(switchKey))
    , state_(connection.session())
{
    connect(&state_, &SwitchState::changed, this, [this](SwitchState::Aspect aspect, int port) {
        if (aspect != SwitchState::Aspect::Route)
            return;
        if (!routingKnown_ && state_.now().routingKnown()) {
            routingKnown_ = true;
            emit routingKnown();
        }
        routeChanged(port);
    });
    // Only its holder's commands change a locked output: what the switch
    // confirms for it is the route it keeps from now on.
    connect(&state_, &SwitchState::routeConfirmed, this, [this](int output, int input) {
        if (lockOf(output))
            lockedRoutes_[std::size_t(output - 1)] = input;
    });
}

void Hub::routeChanged(int output)
{
    const std::optional<Who> holder = lockOf(output);
    const int input = output >= 1 && output <= kPortCount ? state_.now().routes[std::size_t(output - 1)] : 0;
    if (!holder || input < 1)
        return;
    int& kept = lockedRoutes_[std::size_t(output - 1)];
    if (kept < 1)
        kept = input;  // locked before its route was known
    if (input == kept)
        return;
    // Changed by no command's confirmation: at the switch's front panel.
    emit lockedRouteChanged(output, input, *holder, restoreLocked_);
    if (restoreLocked_)
        route(*holder, output, kept, this, [](Result, const QString&) {});
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

namespace {

// What the idle read asks besides the routing, in the order it asks it.
std::vector<CommandFrame> restOfSwitch()
{
    std::vector<CommandFrame> queries;
    for (int output = 1; output <= kPortCount; ++output)
        queries.push_back(build::arcQuery(output));
    queries.push_back(build::powerStateQuery());
    queries.push_back(build::beepStateQuery());
    for (int port = 1; port <= kPortCount; ++port) {
        queries.push_back(build::inputStatusQuery(port));
        queries.push_back(build::outputStatusQuery(port));
    }
    return queries;
}

// A read of the routing and one slice of the rest, query and answer, keeps
// within the line's share at the read's period.
static_assert(qint64(kPortCount + limits::HubReadSlice) * 2 * qint64(kCommandFrameSize) * 1000 * 100
                  <= qint64(limits::HubReadPeriodMs) * limits::LineBytesPerSecond * limits::FollowLinePercent,
              "the hub's idle read takes more than its share of the line");

}  // namespace

Operation* Hub::idleRead()
{
    Session& s = session();
    std::vector<CommandFrame> rest = restOfSwitch();
    Q_ASSERT(int(rest.size()) == kRestQueries);
    // The first read asks everything; the later ones a slice of the rest each.
    const int read = reads_++;
    const int slice = read == 0 ? -1 : (read - 1) % kReadsPerCycle;
    if (slice >= 0) {
        const auto from = rest.begin() + std::min<int>(slice * limits::HubReadSlice, kRestQueries);
        rest = std::vector<CommandFrame>(from, from + std::min<int>(limits::HubReadSlice, int(rest.end() - from)));
    }
    // The routing first, then the slice, as one operation: the read runs
    // all day, so it costs no more than its exchanges.
    std::vector<CommandFrame> queries;
    for (int output = 1; output <= kPortCount; ++output)
        queries.push_back(build::routeQuery(output));
    queries.insert(queries.end(), rest.begin(), rest.end());
    // Who the switch is (its firmware version), until it has said, and again
    // after an upgrade or reset made it unknown: once a cycle.
    if (slice > 0 || state_.now().versionMajor >= 0)
        return new QueryRound(s, std::move(queries), Purpose::Background);
    return new Sequence(s, {[&s, queries] { return new QueryRound(s, queries, Purpose::Background); },
                            [&s] { return new DeviceRead(s, DeviceRead::What::InfoAndIdent, Purpose::Background); }});
}

void Hub::watchFiles(const QString& presetsPath)
{
    names_ = labels_.labels(switchKey_);
    presetsPath_ = presetsPath;
    PresetStore presets(presetsPath_);
    if (presets.load())
        presets_ = presets.presets(switchKey_);
    watcher_ = std::make_unique<QFileSystemWatcher>();
    QStringList dirs;
    for (const QString& file : {labels_.path(), presetsPath_}) {
        const QString dir = QFileInfo(file).absolutePath();
        QDir().mkpath(dir);
        if (!dirs.contains(dir))
            dirs << dir;
    }
    watcher_->addPaths(dirs);
    watchFilesThemselves();
    // A file replaced (saved by rename) changes its directory; one written
    // in place changes only itself.
    connect(watcher_.get(), &QFileSystemWatcher::directoryChanged, this, &Hub::filesChanged);
    connect(watcher_.get(), &QFileSystemWatcher::fileChanged, this, &Hub::filesChanged);
}

void Hub::watchFilesThemselves()
{
    const QStringList watched = watcher_->files();
    for (const QString& file : {labels_.path(), presetsPath_})
        if (!watched.contains(file) && QFileInfo::exists(file))
            watcher_->addPath(file);
}

void Hub::labelsSaved()
{
    names_ = labels_.labels(switchKey_);
    emit labelsChanged();
}

void Hub::filesChanged()
{
    watchFilesThemselves();
    if (labels_.load()) {
        const PortLabels names = labels_.labels(switchKey_);
        if (names != names_) {
            names_ = names;
            emit labelsChanged();
        }
    }
    PresetStore presets(presetsPath_);
    if (presets.load()) {
        const QList<Preset> list = presets.presets(switchKey_);
        if (list != presets_) {
            presets_ = list;
            emit presetsChanged();
        }
    }
}

void Hub::route(const Who& who, int output, int input, QObject* context, Done done)
{
    runChange(who, {[output] { return std::vector<int>{output}; },
                    [this, output, input] { return new RouteSet(session(), input, output); }},
              context, std::move(done));
}

void Hub::setArc(const Who& who, int output, bool on, QObject* context, Done done)
{
    runChange(who, {[output] { return std::vector<int>{output}; },
                    [this, output, on] { return new ArcSet(session(), output, on); }},
              context, std::move(done));
}

void Hub::setPower(const Who& who, bool on, QObject* context, Done done)
{
    runChange(who, {[] { return std::vector<int>{}; }, [this, on] { return new PowerSet(session(), on); }}, context,
              std::move(done));
}

void Hub::setBeeper(const Who& who, bool on, QObject* context, Done done)
{
    runChange(who, {[] { return std::vector<int>{}; }, [this, on] { return new BeepSet(session(), on); }}, context,
              std::move(done));
}

void Hub::recall(const Who& who, const Routing& target, QObject* context, RecallDone done)
{
    // The outputs the recall would change when its turn comes, and among
    // them those another holds.
    const auto differing = [this, target] {
        std::vector<int> changed;
        const SwitchSnapshot& now = state_.now();
        for (int o = 1; o <= kPortCount; ++o) {
            const std::size_t k = std::size_t(o - 1);
            if ((target.inputs[k] >= 1 && target.inputs[k] <= kPortCount && target.inputs[k] != now.routes[k])
                || (target.arc[k] && target.arc[k] != now.arc[k]))
                changed.push_back(o);
        }
        return changed;
    };
    auto skipped = std::make_shared<std::vector<int>>();
    auto skippedWhy = std::make_shared<QString>();
    const auto outputs = [this, who, differing, skipped, skippedWhy] {
        std::vector<int> mine;
        skipped->clear();
        QStringList reasons;
        for (int o : differing()) {
            QString why;
            if (mayChange(who, o, &why)) {
                mine.push_back(o);
            } else {
                skipped->push_back(o);
                reasons << why;
            }
        }
        *skippedWhy = reasons.isEmpty() ? QString() : QStringLiteral("skipped: ") + reasons.join(QStringLiteral("; "));
        return mine;
    };
    const auto make = [this, target, skipped]() -> Operation* {
        Routing mine = target;
        for (int o : *skipped) {
            mine.inputs[std::size_t(o - 1)] = 0;
            mine.arc[std::size_t(o - 1)].reset();
        }
        return new PresetRecall(session(), mine, documents::routingOf(state_.now()));
    };
    runChange(who, {outputs, make}, context, [done = std::move(done), skipped, skippedWhy](Result result, const QString& why) {
        QString text = why;
        if (!skippedWhy->isEmpty())
            text = text.isEmpty() ? *skippedWhy : text + QStringLiteral("; ") + *skippedWhy;
        done(result, text, *skipped);
    });
}

bool Hub::mayChangeAll(const Who& who, const std::vector<int>& outputs, QString* why) const
{
    for (int output : outputs)
        if (!mayChange(who, output, why))
            return false;
    return true;
}

void Hub::runChange(const Who& who, Change change, QObject* context, Done done)
{
    static const QString noLink = QStringLiteral("no link to the switch");
    // Refused at once when it could not run now either; checked again when
    // its turn comes (a lock taken, the link lost meanwhile).
    QString why;
    if (!mayChangeAll(who, change.outputs(), &why)) {
        done(Result::Locked, why);
        return;
    }
    if (!connection_.isOpen()) {
        done(Result::NoLink, noLink);
        return;
    }
    runner().whenFree(context, [this, who, change = std::move(change), context = QPointer<QObject>(context),
                                done = std::move(done)](Hold hold) {
        if (!context)
            return;
        QString why;
        const Result early = !mayChangeAll(who, change.outputs(), &why) ? Result::Locked
                             : !connection_.isOpen()                     ? Result::NoLink
                                                                         : Result::Done;
        if (early != Result::Done) {
            done(early, early == Result::Locked ? why : noLink);
            return;
        }
        Operation* op = change.make();
        op->setParent(this);
        auto held = std::make_shared<Hold>(std::move(hold));
        auto* recall = qobject_cast<PresetRecall*>(op);
        connect(op, &Operation::finished, this, [op, recall, held, context, done](Outcome outcome) {
            op->deleteLater();
            held->end();
            if (!context)
                return;
            // Where a recall stopped, for the one who asked.
            const QString at = recall && recall->stoppedAt()
                                   ? QStringLiteral(" (at output %1)").arg(QLatin1Char(outputLetter(recall->stoppedAt())))
                                   : QString();
            switch (outcome) {
            case Outcome::Done:
                done(Result::Done, QString());
                break;
            case Outcome::Refused:
                done(Result::Refused, QStringLiteral("refused by the switch") + at);
                break;
            case Outcome::TimedOut:
            case Outcome::Cancelled:
                done(Result::TimedOut, QStringLiteral("the switch did not answer") + at);
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
    lockedRoutes_[std::size_t(output - 1)] = state_.now().routes[std::size_t(output - 1)];
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
