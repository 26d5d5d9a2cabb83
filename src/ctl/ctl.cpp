#include "ctl.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>

#include <cstdio>
#include <unistd.h>

#include "core/clock.h"
#include "core/oneshot.h"
#include "link/datagramsocket.h"
#include "link/hubchannel.h"
#include "link/hubregistry.h"
#include "link/portlocks.h"
#include "link/serialport.h"
#include "link/serialportlist.h"
#include "link/tcplink.h"
#include "link/virtualports.h"
#include "ops/limits.h"
#include "ops/network.h"
#include "ops/runner.h"
#include "protocol/commands.h"

namespace talvane {
namespace ctl {

// ---------------------------------------------------------------- ports

QString holderOf(const QString& devicePath, qint64 provider)
{
    const PortLockPaths paths = PortLockPaths::system();
    qint64 pid = liveLockFileOwner(devicePath, paths.lockDirectories);
    if (pid == 0)
        pid = openedByOtherProcess(devicePath, provider);
    if (pid != 0) {
        // The program's name from its command line (the kernel's short name
        // is cut at 15 characters), else the short name.
        const QByteArray proc = QByteArray("/proc/") + QByteArray::number(pid);
        QByteArray raw;
        readWholeFile(proc + "/cmdline", raw, 4096);
        QString name = QString::fromLocal8Bit(raw.left(raw.indexOf('\0') < 0 ? raw.size() : raw.indexOf('\0')));
        name = name.mid(name.lastIndexOf(u'/') + 1).trimmed();
        if (name.isEmpty() && readWholeFile(proc + "/comm", raw, 256))
            name = QString::fromLocal8Bit(raw).trimmed();
        // Another user's program name goes to a terminal: no control characters.
        for (QChar& c : name)
            if (c.category() == QChar::Other_Control)
                c = u'?';
        return name.isEmpty() ? QStringLiteral("process %1").arg(pid) : QStringLiteral("%1 (pid %2)").arg(name).arg(pid);
    }
    if (isOwnOpenPort(devicePath))
        return QStringLiteral("this program");
    if (heldByExclusiveLock(devicePath, paths.procLocksPath))
        return QStringLiteral("a program holding an exclusive lock on it");
    return QStringLiteral("another program");
}

std::vector<PortEntry> serialPorts(QString* hint)
{
    std::vector<PortEntry> out;
    // What the panel lists: present, free and open to this user.
    std::vector<SerialPortRecord> listed;
    QString error, listHint;
    enumerateSerialPorts(listed, error, listHint);
    if (hint)
        *hint = listHint;
    const std::vector<HubEntry> hubs = HubRegistry().list();
    for (const SerialPortRecord& r : listed) {
        PortEntry e;
        e.comNumber = r.comNumber;
        e.devicePath = r.devicePath;
        e.description = r.portDescription;
        e.usb = r.usb;
        e.virtualPort = r.comNumber >= VirtualPortRegistry::kFirstCom;
        if (e.virtualPort)
            serialDevicePathOf(r.comNumber, &e.provider);
        if (const HubEntry* hub = HubRegistry::holding(hubs, r.devicePath)) {
            e.hub = hub->control();
            e.hubPid = hub->pid;
        }
        out.push_back(e);
    }
    // And what it leaves out for being in use or closed to this user.
    const auto known = [&](int com) {
        for (const PortEntry& e : out)
            if (e.comNumber == com)
                return true;
        return false;
    };
    const PortLockPaths locks = PortLockPaths::system();
    const auto addUnlisted = [&](PortEntry e) {
        if (known(e.comNumber))
            return;
        e.inUse = portInUse(e.devicePath, locks, e.provider);
        e.mayOpen = mayOpenDevice(e.devicePath);
        if (!e.inUse && e.mayOpen)
            return;  // left out for another reason (no UART behind it)
        if (e.inUse)
            e.holder = holderOf(e.devicePath, e.provider);
        out.push_back(e);
    };
    SysfsTtyDeviceSource source;
    std::vector<TtyDevice> devices;
    if (source.devices(devices, error)) {
        ComNumberStore store(ComNumberStore::defaultFile());
        for (const auto& [com, device] : assignComNumbers(devices, store)) {
            PortEntry e;
            e.comNumber = com;
            e.devicePath = device.devicePath;
            e.description = device.description;
            e.usb = device.usb;
            addUnlisted(e);
        }
    }
    for (const VirtualPort& v : VirtualPortRegistry().list()) {
        PortEntry e;
        e.comNumber = v.comNumber;
        e.devicePath = v.devicePath;
        e.description = v.description;
        e.virtualPort = true;
        e.provider = v.ownerPid;
        addUnlisted(e);
    }
    std::sort(out.begin(), out.end(), [](const PortEntry& a, const PortEntry& b) { return a.comNumber < b.comNumber; });
    return out;
}

// ---------------------------------------------------------------- parsing

int parseInput(const QString& text)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    return ok && n >= 1 && n <= kPortCount ? n : 0;
}

int parseOutput(const QString& text)
{
    const QString t = text.trimmed();
    if (t.size() == 1 && t[0].unicode() < 0x80)
        if (const int output = outputOfLetter(t[0].toLatin1()))
            return output;
    return parseInput(t);
}

int parseTarget(const QString& text)
{
    if (text.trimmed().compare(QLatin1String("all"), Qt::CaseInsensitive) == 0)
        return 0;
    const int n = parseInput(text);
    return n == 0 ? -1 : n;
}

QString outputLetter(int output) { return QString(QLatin1Char(talvane::outputLetter(output))); }

bool parseOnOff(const QString& text, bool* on)
{
    const QString t = text.trimmed().toLower();
    if (t != QLatin1String("on") && t != QLatin1String("off"))
        return false;
    *on = t == QLatin1String("on");
    return true;
}

// ---------------------------------------------------------------- context

Context::Context(Environment& env, bool json) : env_(env), json_(json) {}

Context::~Context()
{
    channel_.reset();
    if (connection_) {
        connection_->session().shutDown();
        connection_->close();
    }
}

void Context::print(const QString& line)
{
    if (!json_)
        env_.out(line);
}

void Context::document(QJsonObject doc)
{
    if (!json_)
        return;
    doc.insert(QStringLiteral("command"), command_);
    doc.insert(QStringLiteral("ok"), true);
    env_.out(QString::fromUtf8(QJsonDocument(doc).toJson(QJsonDocument::Compact)));
}

void Context::progress(const QString& text)
{
    if (env_.progress)
        env_.progress(text);
}

int Context::fail(int code, const QString& message, QJsonObject partial)
{
    progress(QString());
    env_.err(QStringLiteral("talvane-ctl: ") + message);
    if (json_) {
        partial.insert(QStringLiteral("command"), command_);
        partial.insert(QStringLiteral("ok"), false);
        partial.insert(QStringLiteral("exit"), code);
        partial.insert(QStringLiteral("error"), message);
        env_.out(QString::fromUtf8(QJsonDocument(partial).toJson(QJsonDocument::Compact)));
    }
    return code;
}

void Context::setAddress(const QString& port, const QString& host)
{
    port_ = port;
    host_ = host;
}

Clock& Context::clock() { return env_.clock ? *env_.clock : appClock(); }

void Context::waitUntil(const std::function<bool()>& done)
{
    if (env_.wait) {
        env_.wait(done);
        return;
    }
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

QString portLine(const PortEntry& e)
{
    QString line = QStringLiteral("COM%1  %2").arg(e.comNumber).arg(e.devicePath);
    if (!e.description.isEmpty())
        line += QStringLiteral("  ") + e.description;
    if (!e.hub.isEmpty())
        line += QStringLiteral("  (served by the hub, pid %1, at %2)").arg(e.hubPid).arg(e.hub);
    else if (e.inUse)
        line += QStringLiteral("  (in use by %1)").arg(e.holder);
    else if (!e.mayOpen)
        line += QStringLiteral("  (not open to this user)");
    return line;
}

namespace {

QString choices(const std::vector<PortEntry>& ports)
{
    QStringList lines;
    for (const PortEntry& e : ports)
        lines << QStringLiteral("  ") + portLine(e);
    return lines.join(u'\n');
}

}  // namespace

int Context::resolveTarget()
{
    if (resolved_)
        return 0;
    if (env_.link) {
        switchKey_ = env_.linkKey;
        switchName_ = env_.linkKey;
        resolved_ = true;
        return 0;
    }
    if (!port_.isEmpty() && !host_.isEmpty())
        return usage(QStringLiteral("give --port or --host, not both"));
    int rc = 0;
    if (!port_.isEmpty())
        rc = resolvePort();
    else if (!host_.isEmpty()) {
        // A.B.C.D, or A.B.C.D:PORT for a switch reached through a forwarded port.
        QString text = host_.trimmed();
        tcpPort_ = env_.endpoints.tcpPort;
        const int colon = text.lastIndexOf(u':');
        bool portOk = true;
        if (colon > 0) {
            const int p = text.mid(colon + 1).toInt(&portOk);
            portOk = portOk && p > 0 && p <= 0xFFFF;
            tcpPort_ = quint16(p);
            text = text.left(colon);
        }
        const QHostAddress address(text);
        if (!portOk || address.isNull() || address.protocol() != QAbstractSocket::IPv4Protocol)
            return usage(QStringLiteral("--host needs an IPv4 address (A.B.C.D or A.B.C.D:PORT), not \"%1\"").arg(host_));
        hostAddress_ = address.toString();
        const QString reached = tcpPort_ == kControlTcpPort ? hostAddress_ : QStringLiteral("%1:%2").arg(hostAddress_).arg(tcpPort_);
        switchKey_ = LabelStore::keyForHost(reached);
        switchName_ = reached;
    } else
        rc = resolveAutomatically();
    resolved_ = rc == 0;
    if (resolved_)
        hub_ = Connection::hubServing(hostAddress_.isEmpty() ? SwitchAddress::serial(comNumber_)
                                                             : SwitchAddress::tcp(hostAddress_, tcpPort_));
    return rc;
}

int Context::resolvePort()
{
    const QString given = port_.trimmed();
    const std::vector<PortEntry> ports = serialPorts();
    static const QRegularExpression comForm(QStringLiteral("^(?:COM)?(\\d{1,3})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = comForm.match(given);
    const PortEntry* found = nullptr;
    if (m.hasMatch()) {
        const int com = m.captured(1).toInt();
        for (const PortEntry& e : ports)
            if (e.comNumber == com)
                found = &e;
    } else if (given.startsWith(u'/')) {
        const QString canonical = canonicalDevicePath(given);
        for (const PortEntry& e : ports)
            if (e.devicePath == given || canonicalDevicePath(e.devicePath) == canonical)
                found = &e;
    } else {
        return usage(QStringLiteral("--port takes COMn or a device path, not \"%1\"").arg(given));
    }
    if (!found) {
        QString message = QStringLiteral("no serial port %1").arg(given);
        message += ports.empty() ? QStringLiteral("; this machine has none") : QStringLiteral("; the ports are:\n") + choices(ports);
        return fail(NoSwitch, message);
    }
    comNumber_ = found->comNumber;
    devicePath_ = found->devicePath;
    provider_ = found->provider;
    switchKey_ = LabelStore::keyForPort(comNumber_);
    switchName_ = QStringLiteral("COM%1 (%2)").arg(comNumber_).arg(devicePath_);
    return 0;
}

int Context::resolveAutomatically()
{
    // A single hub holds the switch.
    const std::vector<HubEntry> hubs = HubRegistry().list();
    if (hubs.size() == 1) {
        if (hubs[0].isSerial())
            port_ = hubs[0].devicePath;
        else
            host_ = hubs[0].host;
        return resolveTarget();
    }
    if (hubs.size() > 1) {
        QStringList lines;
        for (const HubEntry& h : hubs)
            lines << QStringLiteral("  %1 %2  (the hub at %3, pid %4)")
                         .arg(h.isSerial() ? QStringLiteral("--port") : QStringLiteral("--host"), h.holds(), h.control())
                         .arg(h.pid);
        return fail(NoSwitch, QStringLiteral("several hubs hold switches; choose one:\n") + lines.join(u'\n'));
    }
    // Else a single USB or registered port is the switch's.
    std::vector<PortEntry> candidates;
    for (const PortEntry& e : serialPorts())
        if (e.usb || e.virtualPort)
            candidates.push_back(e);
    if (candidates.size() == 1) {
        port_ = QStringLiteral("COM%1").arg(candidates[0].comNumber);
        return resolvePort();
    }
    if (candidates.size() > 1)
        return fail(NoSwitch, QStringLiteral("several serial ports could be the switch's; choose one with --port:\n") +
                                  choices(candidates));
    // Else the only switch that answers a search.
    progress(QStringLiteral("searching for switches..."));
    DatagramSocket socket;
    DeviceSearch search(socket, env_.endpoints, env_.searchMs);
    QList<SearchReply> found;
    QObject::connect(&search, &DeviceSearch::found, [&](const SearchReply& r) {
        for (const SearchReply& f : found)
            if (f.mac == r.mac && f.ip == r.ip)
                return;
        found << r;
    });
    search.start();
    waitUntil([&] { return search.hasFinished(); });
    progress(QString());
    if (found.size() == 1) {
        hostAddress_ = QString::fromStdString(ipToText(found[0].ip));
        tcpPort_ = env_.endpoints.tcpPort;
        switchKey_ = LabelStore::keyForMac(QString::fromStdString(macToText(found[0].mac)));
        switchName_ = hostAddress_;
        return 0;
    }
    if (found.isEmpty())
        return fail(NoSwitch, QStringLiteral("no switch found: no USB or registered serial port, and no switch "
                                             "answered the search; give --port or --host"));
    QStringList lines;
    for (const SearchReply& r : found)
        lines << QStringLiteral("  --host %1  (MAC %2)")
                     .arg(QString::fromStdString(ipToText(r.ip)),
                          LabelStore::keyForMac(QString::fromStdString(macToText(r.mac))).mid(4));
    return fail(NoSwitch, QStringLiteral("several switches answered the search; choose one:\n") + lines.join(u'\n'));
}

void Context::watchConnection()
{
    connection_ = std::make_unique<Connection>(env_.clock);
    QObject::connect(connection_.get(), &Connection::lost, connection_.get(), [this](const QString& why) {
        linkLost_ = true;
        lostWhy_ = why;
    });
}

int Context::connect()
{
    if (connection_)
        return 0;
    if (int rc = resolveTarget())
        return rc;
    watchConnection();
    if (env_.link) {
        connection_->setLink(Connection::LinkKind::Serial, env_.link);
        return 0;
    }
    return hostAddress_.isEmpty() ? connectSerial() : connectHost();
}

void Context::sayThroughHub()
{
    const std::optional<HubEntry>& hub = connection_->throughHub();
    if (!hub)
        return;
    const QString what = hostAddress_.isEmpty() ? QStringLiteral("COM%1").arg(comNumber_) : switchName_;
    env_.err(QStringLiteral("talvane-ctl: %1 is served by the hub (talvane-ctl serve, pid %2); going through it at %3")
                 .arg(what)
                 .arg(hub->pid)
                 .arg(hub->control()));
}

int Context::waitForOpening(const QString& what)
{
    bool ended = false, ok = false;
    QString why;
    Connection& c = *connection_;
    const auto opened = QObject::connect(&c, &Connection::opened, [&] { ended = ok = true; });
    const auto failed = QObject::connect(&c, &Connection::openFailed, [&](const QString& text) {
        ended = true;
        why = text;
    });
    progress(QStringLiteral("connecting to %1...").arg(what));
    waitUntil([&] { return ended; });
    QObject::disconnect(opened);
    QObject::disconnect(failed);
    progress(QString());
    if (!ok)
        return fail(NoSwitch, QStringLiteral("cannot connect to %1%2").arg(what, why.isEmpty() ? QString() : QStringLiteral(": ") + why));
    return 0;
}

int Context::connectSerial()
{
    QString why;
    switch (connection_->openSerial(SwitchAddress::serial(comNumber_), &why)) {
    case Connection::OpenResult::Opened:
        return 0;
    case Connection::OpenResult::ThroughHub:
        sayThroughHub();
        return waitForOpening(QStringLiteral("the hub at %1").arg(connection_->throughHub()->control()));
    case Connection::OpenResult::InUse:
        return fail(PortBusy, QStringLiteral("COM%1 (%2) is in use by %3")
                                  .arg(comNumber_)
                                  .arg(devicePath_, holderOf(devicePath_, provider_)));
    case Connection::OpenResult::NoSuchPort:
    case Connection::OpenResult::Failed:
        break;
    }
    return fail(NoSwitch, QStringLiteral("cannot open COM%1 (%2)%3")
                              .arg(comNumber_)
                              .arg(devicePath_, why.isEmpty() ? QString() : QStringLiteral(": ") + why));
}

int Context::connectHost()
{
    Connection& c = *connection_;
    c.setKind(Connection::LinkKind::Tcp);
    c.connectHost(SwitchAddress::tcp(hostAddress_, tcpPort_, tcpPort_ != kControlTcpPort), limits::TcpConnectMs);
    sayThroughHub();
    const std::optional<HubEntry>& hub = c.throughHub();
    return waitForOpening(hub ? QStringLiteral("the hub at %1").arg(hub->control())
                              : QStringLiteral("%1 port %2").arg(hostAddress_).arg(tcpPort_));
}

Session& Context::session() { return connection_->session(); }

Runner& Context::runner() { return connection_->runner(); }

Outcome Context::run(Operation& op)
{
    const Hold hold = connection_->hold();
    op.start();
    waitUntil([&] { return op.hasFinished(); });
    return op.outcome();
}

int Context::result(Outcome outcome, const QString& what, QJsonObject partial)
{
    if (outcome == Outcome::Done)
        return Done;
    if (linkLost_)
        return fail(NoSwitch, QStringLiteral("%1: the link to the switch was lost%2")
                                  .arg(what, lostWhy_.isEmpty() ? QString() : QStringLiteral(" (") + lostWhy_ + u')'),
                    partial);
    switch (outcome) {
    case Outcome::TimedOut:
        return fail(TimedOut, QStringLiteral("%1: time out, the switch did not answer").arg(what), partial);
    case Outcome::Refused:
        return fail(Refused, QStringLiteral("%1: refused by the switch").arg(what), partial);
    default:
        return fail(Failed, QStringLiteral("%1: stopped before its end").arg(what), partial);
    }
}

int Context::loadLabels(LabelStore*& store)
{
    if (!labels_) {
        labels_ = std::make_unique<LabelStore>(env_.labelsPath);
        labels_->load();
    }
    store = labels_.get();
    if (labels_->damaged())
        return fail(BadFile, QStringLiteral("the labels file is damaged and is left as it is: %1").arg(labels_->error()));
    return 0;
}

// ---------------------------------------------------------------- the program

namespace {

std::vector<Command>& table()
{
    static std::vector<Command> commands = builtinCommands();
    return commands;
}

QString usageText(const QCommandLineParser& parser)
{
    QString text = parser.helpText();
    text += QStringLiteral("\nCommands:\n");
    for (const Command& c : commands()) {
        const QString head = QStringLiteral("  %1 %2").arg(c.name, c.synopsis).trimmed();
        text += QStringLiteral("  ") + head + u'\n';
        text += QStringLiteral("      ") + c.summary + u'\n';
    }
    text += QStringLiteral(
        "\nExit codes: 0 done, 1 other failure, 2 wrong command line, 3 no such port or no switch or cannot "
        "connect, 4 port in use, 5 time-out (after one resend), 6 refused by the switch, 7 bad file.\n");
    return text;
}

}  // namespace

const std::vector<Command>& commands() { return table(); }

void addCommand(Command command) { table().push_back(std::move(command)); }

int run(const QStringList& arguments, Environment& env)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Controls the 8x8 HDMI matrix switch from a terminal or a script.\n"
        "The switch is the one on --port or --host, else the only one found."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The serial port: COMn as the panel numbers it, or a device path."),
                                  QStringLiteral("COMn|DEVICE"));
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("The switch's address on the network (TCP 8000, or :PORT)."),
                                  QStringLiteral("A.B.C.D"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON document per command, for scripts."));
    const QCommandLineOption mac(QStringLiteral("mac"), QStringLiteral("netconfig: the switch's new MAC."),
                                 QStringLiteral("MAC"));
    const QCommandLineOption target(QStringLiteral("target"),
                                    QStringLiteral("netconfig: the MAC of the switch to set (default: the one found)."),
                                    QStringLiteral("MAC"));
    const QCommandLineOption autoIp(QStringLiteral("auto"), QStringLiteral("netconfig: automatic addressing."));
    const QCommandLineOption ip(QStringLiteral("ip"), QStringLiteral("netconfig: a static address."),
                                QStringLiteral("A.B.C.D"));
    const QCommandLineOption mask(QStringLiteral("mask"), QStringLiteral("netconfig: the mask (255.255.255.0 only)."),
                                  QStringLiteral("A.B.C.D"));
    const QCommandLineOption gateway(QStringLiteral("gateway"),
                                     QStringLiteral("netconfig: the gateway (the address's A.B.C.1 only)."),
                                     QStringLiteral("A.B.C.D"));
    parser.addOptions({help, version, port, host, json, mac, target, autoIp, ip, mask, gateway});
    for (const Command& c : commands())
        parser.addOptions(c.options);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do (see Commands)."),
                                 QStringLiteral("command [arguments]"));

    const bool wantsJson = arguments.contains(QStringLiteral("--json"));
    Context ctx(env, wantsJson);
    ctx.setOptions(&parser);
    if (!parser.parse(QStringList{QStringLiteral("talvane-ctl")} + arguments))
        return ctx.usage(parser.errorText());
    if (parser.isSet(help)) {
        env.out(usageText(parser).trimmed());
        return Done;
    }
    if (parser.isSet(version)) {
        env.out(QStringLiteral("talvane-ctl " TALVANE_VERSION));
        return Done;
    }
    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return ctx.usage(QStringLiteral("no command given (see --help)"));
    const QString name = args.takeFirst();
    ctx.setCommandName(name);
    for (const Command& c : commands()) {
        if (c.name == name) {
            ctx.setAddress(parser.value(port), parser.value(host));
            return c.handler(ctx, args);
        }
    }
    return ctx.usage(QStringLiteral("no command \"%1\" (see --help)").arg(name));
}

Environment systemEnvironment()
{
    Environment env;
    env.out = [](const QString& line) {
        std::fputs(line.toLocal8Bit().constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    env.err = [](const QString& line) {
        std::fputs(line.toLocal8Bit().constData(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    };
    if (::isatty(STDERR_FILENO)) {
        env.progress = [](const QString& text) {
            // Back to the start of the line, the text, the rest of the line cleared.
            std::fputs(("\r" + text.toLocal8Bit() + "\033[K").constData(), stderr);
            std::fflush(stderr);
        };
    }
    return env;
}

}  // namespace ctl
}  // namespace talvane
