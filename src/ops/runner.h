// Who may use the switch now. An operator's operation holds it (the panel's
// "ready" flag is clear while it does), so a second one is refused; the
// window keeps it held until it has presented the result. Background
// operations (reads the operator did not ask for right now) run without
// holding it, and stop at once when an operator's operation takes hold: the
// operator's command goes out without waiting for them.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include "ops/operation.h"

namespace talvane {

class Runner : public QObject {
    Q_OBJECT
public:
    explicit Runner(Session& session, QObject* parent = nullptr);
    ~Runner() override;

    Session& session() const { return session_; }

    bool busy() const { return held_; }
    // Takes hold for an operator's operation; false while held already.
    bool hold();
    void release();

    // Starts `op` in the background; the runner owns it and deletes it once
    // it has finished.
    void runBackground(Operation* op);
    // Stops every background operation.
    void stopBackground();
    int backgroundCount() const;

signals:
    void busyChanged(bool busy);

private:
    Session& session_;
    bool held_ = false;
    QList<QPointer<Operation>> background_;
};

}  // namespace talvane
