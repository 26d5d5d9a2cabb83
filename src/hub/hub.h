// The hub: one program holds the switch's link (through the connection
// service) and shares the switch with every front end at once: its own
// control protocol on TCP, Videohub control surfaces, and the bridges built
// on it. It follows what the switch confirms (SwitchState, from every
// answered exchange, whoever asked) and reads the switch while the line is
// idle, so a change made at the front panel reaches every front end too.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "ops/connection.h"
#include "ops/labelstore.h"
#include "ops/switchstate.h"

namespace talvane {
namespace hub {

class Hub : public QObject {
    Q_OBJECT
public:
    // `connection` and `labels` outlive the hub; `switchKey` names the
    // switch in the labels store.
    Hub(Connection& connection, LabelStore& labels, QString switchKey, QObject* parent = nullptr);
    ~Hub() override;

    Connection& connection() const { return connection_; }
    Runner& runner() const { return connection_.runner(); }
    Session& session() const { return connection_.session(); }
    SwitchState& state() { return state_; }
    const SwitchState& state() const { return state_; }
    LabelStore& labels() const { return labels_; }
    const QString& switchKey() const { return switchKey_; }

    // Reads the switch's whole state now, then keeps reading it while the
    // line is idle (limits::HubReadPeriodMs).
    void start();
    // Reads the routing again now, in the background (a front end whose
    // route was not confirmed shows the switch's own); `done` runs once it
    // has ended, with whether every output answered, unless `context` has
    // gone meanwhile.
    void readRouting(QObject* context, std::function<void(bool complete)> done);

signals:
    // Every output's route is known (once, after the first read).
    void routingKnown();

private:
    Operation* idleRead();

    Connection& connection_;
    LabelStore& labels_;
    QString switchKey_;
    SwitchState state_;
    int reads_ = 0;
    bool routingKnown_ = false;
};

}  // namespace hub
}  // namespace talvane
