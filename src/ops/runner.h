// Who may use the switch now. An operator's operation holds it (the panel's
// "ready" flag is clear while it does), so a second one is refused; the
// window keeps it held until it has presented the result. Background
// operations (reads the operator did not ask for right now) run without
// holding it, and stop at once when an operator's operation takes hold: the
// operator's command goes out without waiting for them.
//
// A hold is an object: the switch is free again when the last owner of the
// Hold lets it go, on every path out (a result shown, a box closed, an
// operation dropped), so no one releases by hand. Front ends that wait their
// turn (the hub's clients) queue for the next hold and get it in the order
// they asked.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>

#include "ops/operation.h"

namespace talvane {

class Runner;

class Hold {
public:
    Hold() = default;
    Hold(Hold&& other) noexcept;
    Hold& operator=(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    // Lets the switch go, unless the hold has ended already.
    ~Hold() { end(); }

    // True while this object holds the switch.
    explicit operator bool() const;
    // Lets the switch go now.
    void end();

private:
    friend class Runner;
    Hold(Runner* runner, quint64 generation) : runner_(runner), generation_(generation) {}

    QPointer<Runner> runner_;
    quint64 generation_ = 0;
};

class Runner : public QObject {
    Q_OBJECT
public:
    explicit Runner(Session& session, QObject* parent = nullptr);
    ~Runner() override;

    Session& session() const { return session_; }

    bool busy() const { return held_; }
    // Takes hold for an operator's operation; an empty Hold while held already.
    [[nodiscard]] Hold hold();
    // Queues for the switch: `granted` runs with the hold as soon as the
    // switch is free, after those who queued before. Dropped when `context`
    // goes first.
    void whenFree(QObject* context, std::function<void(Hold)> granted);
    int waiting() const;
    // Ends the hold, whoever has it: the operator's way out of an exchange
    // that nothing ends (the Clear button). Its Hold then no longer holds.
    void forceRelease();

    // Starts `op` in the background; the runner owns it and deletes it once
    // it has finished.
    void runBackground(Operation* op);
    // Stops every background operation.
    void stopBackground();
    int backgroundCount() const;

signals:
    void busyChanged(bool busy);

private:
    friend class Hold;
    struct Waiter {
        QPointer<QObject> context;
        std::function<void(Hold)> granted;
    };

    bool holds(quint64 generation) const { return held_ && generation == generation_; }
    void release(quint64 generation);
    // Hands the switch to the first one waiting, once the handler of the
    // release has returned.
    void grantLater();
    void grantNext();

    Session& session_;
    bool held_ = false;
    quint64 generation_ = 0;
    bool grantPosted_ = false;
    std::deque<Waiter> waiters_;
    QList<QPointer<Operation>> background_;
};

}  // namespace talvane
