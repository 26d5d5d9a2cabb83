// Output locks and the hub's changes from the command line: they live in the
// hub that serves the switch (talvane-ctl serve), reached through its
// management channel. A lock taken here belongs to the command line as a
// whole: a later run may route the output or release it.
#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>

#include "ctl.h"
#include "ctl/stopsignals.h"
#include "link/hubchannel.h"
#include "link/tcplink.h"

namespace talvane {
namespace ctl {

namespace ch = hubchannel;

hubchannel::Client* Context::hubChannel(int* rc)
{
    *rc = 0;
    if (channel_ && channel_->isConnected())
        return channel_.get();
    if (int r = resolveTarget()) {
        *rc = r;
        return nullptr;
    }
    const std::optional<HubEntry> hub = connection_ && connection_->throughHub() ? connection_->throughHub() : hub_;
    if (!hub) {
        *rc = fail(NoSwitch, QStringLiteral("no hub serves %1: locks live in a hub (start one with talvane-ctl serve)")
                                 .arg(switchName_));
        return nullptr;
    }
    QString why;
    if (!openChannel(*hub, &why)) {
        *rc = fail(NoSwitch, QStringLiteral("the hub (pid %1) that serves %2 takes no locks from here: %3").arg(hub->pid).arg(switchName_, why));
        return nullptr;
    }
    return channel_.get();
}

bool Context::openChannel(const HubEntry& hub, QString* why)
{
    if (hub.managePath.isEmpty()) {
        *why = QStringLiteral("it has no management channel");
        return false;
    }
    channel_ = std::make_unique<ch::Client>();
    bool ended = false;
    const auto opened = QObject::connect(channel_.get(), &ch::Client::connected, [&] { ended = true; });
    const auto failed = QObject::connect(channel_.get(), &ch::Client::lost, [&](const QString& text) {
        ended = true;
        *why = text;
    });
    channel_->connectTo(hub.managePath);
    waitUntil([&] { return ended; });
    QObject::disconnect(opened);
    QObject::disconnect(failed);
    if (!channel_->isConnected()) {
        channel_.reset();
        return false;
    }
    // This run is the command line; so is its connection to the control port.
    QJsonObject hello{{ch::key::Op, ch::op::Hello}, {ch::key::As, ch::as::CommandLine}};
    if (const TcpLink* link = connection_ ? connection_->hubLink() : nullptr)
        hello.insert(ch::key::Control, QJsonObject{{ch::key::Address, link->localAddress().toString()},
                                                   {ch::key::Port, int(link->localPort())}});
    const QJsonObject answer = ask(hello);
    if (!answer.value(ch::key::Ok).toBool()) {
        channel_.reset();
        *why = answer.value(ch::key::Error).toString(QStringLiteral("the channel closed"));
        return false;
    }
    return true;
}

QJsonObject Context::ask(const QJsonObject& request)
{
    if (!channel_)
        return {};
    bool answered = false;
    QJsonObject out;
    channel_->request(request, [&](const QJsonObject& a) {
        answered = true;
        out = a;
    });
    waitUntil([&] { return answered; });
    return out;
}

int Context::checkLocks(const std::vector<int>& outputs)
{
    if (!connection_ || !connection_->throughHub())
        return Done;  // alone, the switch has no locks
    // A hub of another user (the service) takes no locks from here: its
    // control port still keeps locked outputs from anyone but their holder.
    QString why;
    if (!(channel_ && channel_->isConnected()) && !openChannel(*connection_->throughHub(), &why))
        return Done;
    const QJsonObject answer = ask({{ch::key::Op, ch::op::Locks}});
    if (!answer.value(ch::key::Ok).toBool())
        return fail(NoSwitch, QStringLiteral("the hub did not say which outputs are locked"));
    for (int output : outputs) {
        for (const QJsonValue& v : answer.value(ch::key::Locks).toArray()) {
            const QJsonObject lock = v.toObject();
            if (lock.value(ch::key::Output).toString() == outputLetter(output) && !lock.value(ch::key::Mine).toBool())
                return fail(Refused, QStringLiteral("output %1 is locked by %2").arg(outputLetter(output), lock.value(ch::key::Holder).toString()));
        }
    }
    return Done;
}

namespace {

int lockCommand(Context& ctx, const QStringList& args, bool take)
{
    const QString verb = take ? QStringLiteral("lock") : QStringLiteral("unlock");
    const bool force = !take && ctx.options().isSet(QStringLiteral("force"));
    std::vector<int> outputs;
    for (const QString& a : args) {
        for (const QString& item : a.split(u',', Qt::SkipEmptyParts)) {
            const int output = parseOutput(item);
            if (output == 0)
                return ctx.usage(QStringLiteral("\"%1\" is not an output (A-H or 1-8)").arg(item));
            outputs.push_back(output);
        }
    }
    if (outputs.empty())
        return ctx.usage(QStringLiteral("%1 needs outputs, e.g. %1 B C").arg(verb));
    int rc = 0;
    if (!ctx.hubChannel(&rc))
        return rc;
    QJsonArray done;
    for (int output : outputs) {
        QJsonObject request{{ch::key::Op, take ? ch::op::Lock : ch::op::Unlock}, {ch::key::Output, outputLetter(output)}};
        if (force)
            request.insert(ch::key::Force, true);
        const QJsonObject answer = ctx.ask(request);
        if (answer.isEmpty())
            return ctx.fail(NoSwitch, QStringLiteral("the hub closed the channel"), {{QStringLiteral("outputs"), done}});
        if (!answer.value(ch::key::Ok).toBool())
            return ctx.fail(Refused, answer.value(ch::key::Error).toString(), {{QStringLiteral("outputs"), done}});
        ctx.print(QStringLiteral("Output %1 %2").arg(outputLetter(output), take ? QStringLiteral("locked") : QStringLiteral("unlocked")));
        done.append(outputLetter(output));
    }
    ctx.document({{QStringLiteral("outputs"), done}});
    return Done;
}

int locksCommand(Context& ctx, const QStringList& args)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("locks takes no arguments"));
    int rc = 0;
    if (!ctx.hubChannel(&rc))
        return rc;
    const QJsonObject answer = ctx.ask({{ch::key::Op, ch::op::Locks}});
    if (!answer.value(ch::key::Ok).toBool())
        return ctx.fail(NoSwitch, QStringLiteral("the hub did not say which outputs are locked"));
    const QJsonArray locks = answer.value(ch::key::Locks).toArray();
    if (locks.isEmpty())
        ctx.print(QStringLiteral("No output is locked"));
    for (const QJsonValue& v : locks) {
        const QJsonObject l = v.toObject();
        ctx.print(QStringLiteral("Output %1  locked by %2").arg(l.value(ch::key::Output).toString(), l.value(ch::key::Holder).toString()));
    }
    ctx.document({{QStringLiteral("locks"), locks}});
    return Done;
}

int watchCommand(Context& ctx, const QStringList& args)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("watch takes no arguments"));
    int rc = 0;
    ch::Client* channel = ctx.hubChannel(&rc);
    if (!channel)
        return rc;
    StopSignals stop;
    bool lost = false;
    QString why;
    QObject::connect(channel, &ch::Client::lost, [&](const QString& text) {
        lost = true;
        why = text;
    });
    // One line, or one JSON document, per change, as it comes.
    QObject::connect(channel, &ch::Client::changeSeen, [&ctx](const QJsonObject& e) {
        ctx.env().out(ctx.json() ? QString::fromUtf8(QJsonDocument(e).toJson(QJsonDocument::Compact)) : ch::text(e));
    });
    if (!ctx.ask({{ch::key::Op, ch::op::Watch}}).value(ch::key::Ok).toBool())
        return ctx.fail(NoSwitch, QStringLiteral("the hub closed the channel"));
    ctx.env().err(QStringLiteral("talvane-ctl: watching the hub's changes; stop with Ctrl+C"));
    ctx.waitUntil([&] { return lost || stop.received() != 0; });
    if (stop.received())
        return Done;
    return ctx.fail(NoSwitch, QStringLiteral("the hub went: %1").arg(why));
}

}  // namespace

std::vector<Command> lockCommands()
{
    return {
        {QStringLiteral("lock"), QStringLiteral("OUT..."),
         QStringLiteral("Locks outputs in the hub that serves the switch: no one else may route them or switch their ARC."),
         [](Context& c, const QStringList& a) { return lockCommand(c, a, true); }},
        {QStringLiteral("unlock"), QStringLiteral("[--force] OUT..."),
         QStringLiteral("Releases the command line's locks of outputs (--force: whoever holds them)."),
         // --force is restore's option too (backup.cpp).
         [](Context& c, const QStringList& a) { return lockCommand(c, a, false); }},
        {QStringLiteral("locks"), QString(), QStringLiteral("The outputs locked in the hub, and who holds each."), locksCommand},
        {QStringLiteral("watch"), QString(),
         QStringLiteral("Prints each change the hub sees (routes, ARC, power, beeper, locks, changes at the front panel) "
                        "until stopped."),
         watchCommand},
    };
}

}  // namespace ctl
}  // namespace talvane
