// Line commands that control the running simulator: plug sources and
// displays, act as the front panel, and switch faults on and off. Read from
// standard input by the program; tests call execute() directly. The start
// state given by command-line options is applied through the same commands.
#pragma once

#include <QString>
#include <QStringList>

namespace talvane {
namespace sim {

class Simulator;
class SwitchDevice;

class Console {
public:
    struct Result {
        bool ok = false;
        QString text;  // "ok", "ok: ...", "error: ..." or a multi-line report
    };

    static constexpr int kDefaultSplitAt = 6;

    // `simulator` may be null (no transports: close-tcp and hangup fail).
    explicit Console(SwitchDevice& device, Simulator* simulator = nullptr);

    Result execute(const QString& line);
    bool quitRequested() const { return quit_; }

    static QString helpText();
    QString statusText() const;

private:
    Result portsCommand(const QStringList& args, bool sources);
    Result routeCommand(const QStringList& args);
    Result arcCommand(const QStringList& args);
    Result edidCommand(const QStringList& args);
    Result silentCommand(const QStringList& args);
    Result faultsCommand(const QStringList& args);
    Result blockFault(const QStringList& args, int& field, const char* what);

    SwitchDevice& device_;
    Simulator* simulator_;
    bool quit_ = false;
};

}  // namespace sim
}  // namespace talvane
