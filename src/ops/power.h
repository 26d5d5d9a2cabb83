// Power, the beeper, and the switch's resets and reboot.
#pragma once

#include "ops/operation.h"

namespace talvane {

// Powers the switch on (resent once, then a time-out) or off (sent without
// resending). Done once the switch reports the state asked for.
class PowerSet : public Operation {
    Q_OBJECT
public:
    PowerSet(Session& session, bool on, QObject* parent = nullptr);

protected:
    void begin() override;

private:
    bool on_;
};

// Switches the beeper on or off.
class BeepSet : public Operation {
    Q_OBJECT
public:
    BeepSet(Session& session, bool on, QObject* parent = nullptr);

signals:
    void beepReported(bool enabled);  // as the switch acknowledged it

protected:
    void begin() override;

private:
    bool on_;
};

// Resets the switch to its factory settings.
class FactoryReset : public Operation {
    Q_OBJECT
public:
    explicit FactoryReset(Session& session, QObject* parent = nullptr);

protected:
    void begin() override;
};

// Reboots the switch. Done once it accepted; it is then silent while it starts again.
class Reboot : public Operation {
    Q_OBJECT
public:
    explicit Reboot(Session& session, QObject* parent = nullptr);

protected:
    void begin() override;
};

// The extended factory reset: input 3 to output A, input 1 to outputs B to H,
// the first EDID preset for every input, then the beeper on with the reset's
// marker, each step once the switch has answered the one before.
class ExtendedFactoryReset : public Operation {
    Q_OBJECT
public:
    explicit ExtendedFactoryReset(Session& session, QObject* parent = nullptr);

signals:
    void beepReported(bool enabled);

protected:
    void begin() override;

private:
    void route(int output);
    void edidPreset();
    void beeperMarker();
};

}  // namespace talvane
