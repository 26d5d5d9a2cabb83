// What the switch reports about itself on the General page: whether it is
// powered, whether its beeper is on, and which inputs have a source and which
// outputs a display.
#pragma once

#include "ops/limits.h"
#include "ops/operation.h"

namespace talvane {

// Asks whether the switch is powered on.
class PowerStateRead : public Operation {
    Q_OBJECT
public:
    PowerStateRead(Session& session, Purpose purpose, QObject* parent = nullptr);

signals:
    void powerReported(bool on);

protected:
    void begin() override;

private:
    Purpose purpose_;
};

// Asks whether the beeper is on.
class BeepStateRead : public Operation {
    Q_OBJECT
public:
    explicit BeepStateRead(Session& session, QObject* parent = nullptr);

signals:
    void beepReported(bool enabled);

protected:
    void begin() override;
};

// Asks about the sixteen ports, one after another: input 1, output A,
// input 2, output B, ... output H.
class PortStatusRead : public Operation {
    Q_OBJECT
public:
    explicit PortStatusRead(Session& session, QObject* parent = nullptr);

signals:
    void portReported(bool input, int port, bool connected);

protected:
    void begin() override;

private:
    void query(int step);  // 0..15
};

}  // namespace talvane
