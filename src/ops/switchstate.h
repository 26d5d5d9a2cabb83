// What the switch has confirmed, as the exchanges on the line show it: the
// hub's front ends (Videohub, MQTT, HTTP) show it and follow its changes,
// whoever's command or read brought them (a client of the hub, a preset
// recall, the idle read that finds a change made at the front panel). Only
// answers count: a frame that answers nothing outstanding changes nothing,
// and a command the switch refused or left unanswered changes nothing either.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <array>
#include <optional>

#include "engine/session.h"
#include "protocol/commands.h"

namespace talvane {

struct SwitchSnapshot {
    // Input 1..8 routed to each output A..H; 0 while not known.
    std::array<int, kPortCount> routes{};
    std::array<std::optional<bool>, kPortCount> arc{};
    std::optional<bool> power;
    std::optional<bool> beeper;
    std::array<std::optional<bool>, kPortCount> sources{};   // per input
    std::array<std::optional<bool>, kPortCount> displays{};  // per output
    // Each input's EDID code (0..22), kEdidUnknown, or kEdidFromFile: an
    // EDID uploaded from a file, which the switch cannot report back.
    static constexpr int kEdidUnknown = -1;
    static constexpr int kEdidFromFile = -2;
    std::array<int, kPortCount> edid{kEdidUnknown, kEdidUnknown, kEdidUnknown, kEdidUnknown,
                                     kEdidUnknown, kEdidUnknown, kEdidUnknown, kEdidUnknown};
    // The device information: 0 / -1 while not known.
    int kind = 0;
    int inputs = 0;
    int outputs = 0;
    int versionMajor = -1;
    int versionMinor = -1;
    // The identification text, once all four parts have been read or written.
    std::optional<QByteArray> ident;

    bool routingKnown() const;
};

class SwitchState : public QObject, public SessionObserver {
    Q_OBJECT
public:
    enum class Aspect { Route, Arc, Power, Beeper, Source, Display, Edid, Device, Ident };

    // Watches `session` for as long as both live.
    explicit SwitchState(Session& session, QObject* parent = nullptr);
    ~SwitchState() override;

    const SwitchSnapshot& now() const { return now_; }

    void frameSent(const std::uint8_t*, std::size_t) override {}
    void frameReceived(const CommandFrame&) override {}
    void exchangeAnswered(const std::vector<std::uint8_t>& sent, const CommandFrame& reply) override;

signals:
    // `aspect` of port `port` (1..8; 0 for the switch as a whole) changed.
    void changed(talvane::SwitchState::Aspect aspect, int port);
    // The switch acknowledged a route (changed or not): every front end may
    // show it at once, without waiting for a read. Emitted before changed()
    // says the route is new.
    void routeConfirmed(int output, int input);

private:
    void command(const CommandFrame& sent, const CommandFrame& reply);
    void identAnswered(const CommandFrame& sent, const CommandFrame& reply);
    void setRoute(int output, int input);
    void setFlag(std::optional<bool>& slot, bool value, Aspect aspect, int port);
    void setEdid(int target, int code);
    void setNumber(int& slot, int value, Aspect aspect);
    // A reset, a reboot or an upgrade: the settings known may no longer
    // hold (what is plugged in and the power stay as they were).
    void forget(bool version);

    QPointer<Session> session_;
    SwitchSnapshot now_;
    std::array<std::optional<std::array<std::uint8_t, cmd::IdentPartLength>>, cmd::IdentParts> identParts_{};
    std::optional<int> uploadTarget_;  // the EDID upload's target the switch accepted (0: all inputs)
};

}  // namespace talvane
