// talvane-ctl: the switch from a terminal or a script. Each command runs the
// same operations as the panel on a session of its own, prints what the
// switch answered (as text, or as one JSON document with --json) and ends
// with an exit code that says how it went.
//
// The program's logic is a library so that tests drive it in-process (with
// a manual clock and a link of their own) as well as through the program.
#pragma once

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "link/smallfile.h"
#include "ops/connection.h"
#include "ops/labelstore.h"
#include "ops/limits.h"
#include "ops/network.h"
#include "ops/operation.h"
#include "ops/presets.h"

namespace talvane {

class Clock;
class Link;
class Runner;
namespace hubchannel {
class Client;
}

namespace ctl {

// The exit codes, documented in the README and the man page.
enum ExitCode : int {
    Done = 0,
    Failed = 1,     // anything not listed below
    Usage = 2,      // the command line is wrong
    NoSwitch = 3,   // no such port, no switch found, cannot connect, link lost
    PortBusy = 4,   // another program holds the port
    TimedOut = 5,   // the switch did not answer, one resend included
    Refused = 6,    // the switch answered that it would not or could not, or another holds the output's lock
    BadFile = 7,    // a file given is refused (EDID, firmware) or the labels file is damaged
};

// What the program runs on: its output, its clock and event loop, and where
// it finds switches. main() fills it for the real system; tests fill their own.
struct Environment {
    std::function<void(const QString&)> out;  // standard output, whole lines
    std::function<void(const QString&)> err;  // standard error, whole lines
    // A progress line that replaces the one before ("" ends it); empty
    // when the output is not a terminal.
    std::function<void(const QString&)> progress;
    // Runs the event loop until `done` holds. Tests advance a manual clock here.
    std::function<void(const std::function<bool()>& done)> wait;
    Clock* clock = nullptr;  // nullptr: the app clock
    // A link to use instead of finding the switch, and its labels key (tests).
    Link* link = nullptr;
    QString linkKey;
    QString labelsPath = LabelStore::defaultPath();
    QString presetsPath = PresetStore::defaultPath();
    NetEndpoints endpoints;
    int searchMs = limits::SearchMs;  // how long a search listens for answers
};

class Context;

// One command of the program: its handler checks its arguments, then (when
// it works on the switch) calls Context::connect(), runs its operations and
// reports. Returns the exit code.
struct Command {
    QString name;
    QString synopsis;  // its arguments, for the usage text
    QString summary;   // one line
    std::function<int(Context&, const QStringList& args)> handler;
    // Options of its own, added to the program's (the usage text lists them).
    QList<QCommandLineOption> options = {};
};

// The commands of this library (commands.cpp), in the order the help lists them.
std::vector<Command> builtinCommands();
// backup and restore (backup.cpp), among them.
std::vector<Command> backupCommands();
// lock, unlock, locks and watch (locks.cpp), among them.
std::vector<Command> lockCommands();
// Every command, in the order the help lists them.
const std::vector<Command>& commands();
// Adds a command to the table (before run() is called), e.g. one built in
// another library of the program.
void addCommand(Command command);

// Runs the program with `arguments` (without the program name); returns the exit code.
int run(const QStringList& arguments, Environment& env);

// The Environment for this process: standard output and error, a progress
// line when standard error is a terminal, and the Qt event loop.
Environment systemEnvironment();

// What a command's handler works with.
class Context {
public:
    Context(Environment& env, bool json);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    Environment& env() { return env_; }
    // The options of the command line (those of netconfig among them).
    const QCommandLineParser& options() const { return *options_; }
    void setOptions(const QCommandLineParser* options) { options_ = options; }
    bool json() const { return json_; }
    QString commandName() const { return command_; }
    void setCommandName(const QString& name) { command_ = name; }

    // Human-readable output (nothing of it with --json).
    void print(const QString& line);
    // The command's JSON document (only with --json); "command" and "ok" are added.
    void document(QJsonObject doc);
    void progress(const QString& text);
    // Reports a failure (on standard error, and as the JSON document) and
    // returns `code`.
    int fail(int code, const QString& message, QJsonObject partial = {});
    int usage(const QString& message) { return fail(Usage, message); }

    // Addressing: --port and --host as given.
    void setAddress(const QString& port, const QString& host);
    // Finds the switch to work with (without opening it); 0 or an exit code.
    int resolveTarget();
    // The hub that holds the switch found, if one does: commands go through it.
    const std::optional<HubEntry>& servingHub() const { return hub_; }
    // Opens the link to the switch found; 0 or an exit code.
    int connect();
    Connection& connection() { return *connection_; }
    Session& session();
    Runner& runner();
    // Which switch, for the labels store.
    QString switchKey() const { return switchKey_; }
    // What the switch is reached by, for people ("COM129 (/dev/pts/3)", "192.168.1.50").
    QString switchName() const { return switchName_; }

    // Runs `op` to its end, holding the switch meanwhile.
    Outcome run(Operation& op);
    // 0 for Done; otherwise reports the failure of `what` and returns its code.
    int result(Outcome outcome, const QString& what, QJsonObject partial = {});

    // Runs the event loop until `done` holds.
    void waitUntil(const std::function<bool()>& done);
    Clock& clock();

    // The labels store, loaded; 0 or the exit code of a damaged file.
    int loadLabels(LabelStore*& store);

    // The management channel of the hub that serves the switch (locks,
    // changes), opened once; this run is the command line there, and so is
    // its connection to the hub's control port once connect() made it.
    // nullptr once the failure is reported, with its exit code in `rc`
    // (NoSwitch when no hub serves the switch: locks live in a hub).
    hubchannel::Client* hubChannel(int* rc);
    // One request on that channel, its answer waited for (empty when the channel went).
    QJsonObject ask(const QJsonObject& request);
    // Through a hub: 0 when the command line may change every one of
    // `outputs`; otherwise reports who holds the first (Refused). Without a
    // hub there are no locks.
    int checkLocks(const std::vector<int>& outputs);

private:
    int resolvePort();
    int resolveAutomatically();
    int connectSerial();
    int connectHost();
    // Waits for the connection under way to `what`; 0 or an exit code.
    int waitForOpening(const QString& what);
    void watchConnection();
    // Says on standard error that the switch is reached through a hub.
    void sayThroughHub();
    // Opens the management channel of `hub` and says who this run is; false with `why`.
    bool openChannel(const HubEntry& hub, QString* why);

    Environment& env_;
    const QCommandLineParser* options_ = nullptr;
    bool json_;
    QString command_;
    QString port_, host_;
    bool resolved_ = false;
    int comNumber_ = 0;
    QString devicePath_;
    QString hostAddress_;
    quint16 tcpPort_ = 0;
    QString switchKey_, switchName_;
    bool linkLost_ = false;
    QString lostWhy_;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<LabelStore> labels_;
    qint64 provider_ = 0;
    std::optional<HubEntry> hub_;
    std::unique_ptr<hubchannel::Client> channel_;
};

// A serial port of this machine, as the panel's list numbers it.
struct PortEntry {
    int comNumber = 0;
    QString devicePath;
    QString description;
    bool usb = false;
    bool virtualPort = false;  // registered (a simulator's pty, a bridge)
    qint64 provider = 0;       // the process offering a virtual port
    bool inUse = false;
    QString holder;            // who holds it, when in use
    bool mayOpen = true;       // this user may open it
    QString hub;               // a hub holds it: where its control port listens
    qint64 hubPid = 0;
};
// Every port the panel lists, and those it leaves out because they are in
// use or closed to this user, in COM order. `hint` as the panel's list gives it.
std::vector<PortEntry> serialPorts(QString* hint = nullptr);
// One port as `ports` and the "which switch?" error list it: number, path,
// description, and who holds it.
QString portLine(const PortEntry& e);
// Who holds a port in use: "talvane-controller (pid 1234)", or a description.
QString holderOf(const QString& devicePath, qint64 provider);

// Shared by the commands: ports as people write them.
// An input "1".."8"; 0 when it is not one.
int parseInput(const QString& text);
// An output "A".."H" (either case) or "1".."8"; 0 when it is not one.
int parseOutput(const QString& text);
// "all" (0) or an input; -1 when neither.
int parseTarget(const QString& text);
QString outputLetter(int output);
// "on"/"off"; false when neither.
bool parseOnOff(const QString& text, bool* on);
// Why a file was refused, for a message ("not a regular file").
QString fileRefusalText(FileRefusal why);

}  // namespace ctl
}  // namespace talvane
