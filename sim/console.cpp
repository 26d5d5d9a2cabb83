#include "console.h"

#include <QHostAddress>
#include <QRegularExpression>

#include <optional>
#include <vector>

#include "sim/simulator.h"
#include "sim/switchdevice.h"

namespace talvane {
namespace sim {

namespace {

using Result = Console::Result;

Result ok(const QString& text = {}) { return {true, text.isEmpty() ? QStringLiteral("ok") : QStringLiteral("ok: ") + text}; }
Result error(const QString& text) { return {false, QStringLiteral("error: ") + text}; }

struct NamedCommand {
    const char* name;
    std::vector<CommandId> ids;
};

std::vector<CommandId> identCodes(std::uint8_t first)
{
    std::vector<CommandId> ids;
    for (int part = 0; part < cmd::IdentParts; ++part)
        ids.push_back({cmd::IdentGroup, static_cast<std::uint8_t>(first + part)});
    return ids;
}

const std::vector<NamedCommand>& commandNames()
{
    static const std::vector<NamedCommand> names{
        {"UpgradePageQuery", {cmd::UpgradePageQuery}},
        {"DeviceInfoQuery2", {cmd::DeviceInfoQuery2}},
        {"DeviceInfoQuery3", {cmd::DeviceInfoQuery3}},
        {"InputStatusQuery", {cmd::InputStatusQuery}},
        {"OutputStatusQuery", {cmd::OutputStatusQuery}},
        {"BeepStateQuery", {cmd::BeepStateQuery}},
        {"EdidQuery", {cmd::EdidQuery}},
        {"RouteQuery", {cmd::RouteQuery}},
        {"RouteSet", {cmd::RouteSet}},
        {"EdidSetAll", {cmd::EdidSetAll}},
        {"EdidSet", {cmd::EdidSet}},
        {"EdidCopyAll", {cmd::EdidCopyAll}},
        {"EdidCopy", {cmd::EdidCopy}},
        {"EdidUploadTargetAll", {cmd::EdidUploadTargetAll}},
        {"EdidUploadTarget", {cmd::EdidUploadTarget}},
        {"EdidUploadRequest", {cmd::EdidUploadRequest}},
        {"BeepSet", {cmd::BeepSet}},
        {"UpgradeStart", {cmd::UpgradeStart}},
        {"UpgradeTransferRequest", {cmd::UpgradeTransferRequest}},
        {"FactoryReset", {cmd::FactoryReset}},
        {"PowerSet", {cmd::PowerSet}},
        {"PowerStateQuery", {cmd::PowerStateQuery}},
        {"Reboot", {cmd::Reboot}},
        {"ArcSet", {cmd::ArcSet}},
        {"ArcQuery", {cmd::ArcQuery}},
        {"IdentWrite", identCodes(cmd::IdentWriteFirst)},
        {"IdentRead", identCodes(cmd::IdentReadFirst)},
    };
    return names;
}

struct NamedSilence {
    const char* name;
    Silence what;
};
const NamedSilence kSilenceNames[] = {
    {"data", Silence::DataBlocks},
    {"edid-block", Silence::EdidBlock},
    {"search", Silence::Search},
    {"config", Silence::Config},
};

std::optional<bool> onOff(const QString& word)
{
    if (word == QLatin1String("on"))
        return true;
    if (word == QLatin1String("off"))
        return false;
    return std::nullopt;
}

std::optional<int> number(const QString& word, int min, int max)
{
    bool ok = false;
    const int v = word.toInt(&ok);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return v;
}

// "3", "1,4-6", "all" or "none": port numbers 1..8.
std::optional<std::vector<int>> ports(const QString& word)
{
    std::vector<int> out;
    if (word == QLatin1String("none"))
        return out;
    if (word == QLatin1String("all")) {
        for (int n = 1; n <= kPortCount; ++n)
            out.push_back(n);
        return out;
    }
    for (const QString& item : word.split(QLatin1Char(','))) {
        const QStringList range = item.split(QLatin1Char('-'));
        if (range.size() > 2)
            return std::nullopt;
        const std::optional<int> first = number(range.front(), 1, kPortCount);
        const std::optional<int> last = number(range.back(), 1, kPortCount);
        if (!first || !last || *last < *first)
            return std::nullopt;
        for (int n = *first; n <= *last; ++n)
            out.push_back(n);
    }
    return out;
}

std::optional<MacAddress> macFrom(QString text)
{
    text.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
    static const QRegularExpression hex12(QStringLiteral("^[0-9A-Fa-f]{12}$"));
    if (!hex12.match(text).hasMatch())
        return std::nullopt;
    MacAddress mac{};
    for (int i = 0; i < 6; ++i)
        mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(text.mid(2 * i, 2).toUInt(nullptr, 16));
    return mac;
}

std::optional<CommandId> hexCommand(const QString& word)
{
    static const QRegularExpression form(QStringLiteral("^([0-9A-Fa-f]{2}):([0-9A-Fa-f]{2})$"));
    const QRegularExpressionMatch m = form.match(word);
    if (!m.hasMatch())
        return std::nullopt;
    return CommandId{static_cast<std::uint8_t>(m.captured(1).toUInt(nullptr, 16)),
                     static_cast<std::uint8_t>(m.captured(2).toUInt(nullptr, 16))};
}

QString onOffText(bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); }

QString commandName(std::uint16_t key)
{
    for (const NamedCommand& n : commandNames())
        for (const CommandId& id : n.ids)
            if (commandKey(id) == key)
                return QLatin1String(n.name) + (n.ids.size() > 1 ? QStringLiteral("(%1)").arg(id.code, 2, 16, QLatin1Char('0')) : QString());
    return QStringLiteral("%1:%2").arg(key >> 8, 2, 16, QLatin1Char('0')).arg(key & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

}  // namespace

Console::Console(SwitchDevice& device, Simulator* simulator)
    : device_(device)
    , simulator_(simulator)
{
}

QString Console::helpText()
{
    return QStringLiteral(
        "  help                     this list\n"
        "  status                   the switch's state and the faults switched on\n"
        "  source PORTS on|off      plug or unplug sources (PORTS: 3, 1,4-6, all or none)\n"
        "  display PORTS on|off     plug or unplug displays\n"
        "  route INPUT OUTPUTS      route an input as from the front panel\n"
        "  arc OUTPUTS on|off       audio return channel as from the front panel\n"
        "  edid INPUTS CODE         EDID code 0..22 (0-14 presets, 15-22 copy of output A-H)\n"
        "  power on|off             power state\n"
        "  beep on|off              beeper\n"
        "  kind N                   device kind (1 Talvane, 2 Marbeck, others Selwyth)\n"
        "  version MAJOR.MINOR      firmware version\n"
        "  ident TEXT               identification text (32 characters, padded with spaces)\n"
        "  mac AABBCCDDEEFF         MAC address\n"
        "  ip A.B.C.D|auto          static address, or automatic addressing\n"
        "  reboot-ms MS             silence after a reboot (default 3000)\n"
        "  pace on|off              delay replies as a 115200 8N2 line would\n"
        "  silent KINDS [on|off]    stay silent for KINDS: command names (RouteSet, ...) or\n"
        "                           GG:CC, data, edid-block, search, config, all; comma-separated\n"
        "  silent none              answer everything again\n"
        "  delay MS                 delay every reply (0: off)\n"
        "  corrupt                  the next reply goes out with a wrong checksum\n"
        "  coalesce                 the next reply waits and goes out in one write with the one after it\n"
        "  split [BYTES]            the next reply goes out in two writes (default 6 bytes first)\n"
        "  resend-block N           ask once for firmware block N again (status 1)\n"
        "  fail-block N             fail the upgrade at firmware block N (status 2)\n"
        "  refuse-route on|off      acknowledge every route with status 1 and leave the routing as it is\n"
        "  repeat N                 send every reply N times more (0: once, at most 10)\n"
        "  faults off               switch every fault off\n"
        "  close-tcp                close the TCP connections\n"
        "  hangup                   hang up the serial line; a fresh one is registered\n"
        "  quit                     stop the simulator\n");
}

Result Console::execute(const QString& line)
{
    const QString trimmed = line.trimmed();
    QStringList words = trimmed.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {true, QString()};
    const QString verb = words.takeFirst().toLower();
    const QStringList& args = words;
    SwitchModel& m = device_.model();
    FaultSettings& f = device_.faults();

    if (verb == QLatin1String("help"))
        return {true, helpText()};
    if (verb == QLatin1String("status"))
        return {true, statusText()};
    if (verb == QLatin1String("source") || verb == QLatin1String("display"))
        return portsCommand(args, verb == QLatin1String("source"));
    if (verb == QLatin1String("route"))
        return routeCommand(args);
    if (verb == QLatin1String("arc"))
        return arcCommand(args);
    if (verb == QLatin1String("edid"))
        return edidCommand(args);
    if (verb == QLatin1String("power") || verb == QLatin1String("beep") || verb == QLatin1String("pace")
        || verb == QLatin1String("refuse-route")) {
        const std::optional<bool> on = args.size() == 1 ? onOff(args[0]) : std::nullopt;
        if (!on)
            return error(verb + QStringLiteral(" on|off"));
        if (verb == QLatin1String("power"))
            m.power = *on;
        else if (verb == QLatin1String("beep"))
            m.beep = *on;
        else if (verb == QLatin1String("refuse-route"))
            f.refuseRoutes = *on;
        else
            device_.setLinePacing(*on);
        return ok();
    }
    if (verb == QLatin1String("kind")) {
        const std::optional<int> v = args.size() == 1 ? number(args[0], 0, 255) : std::nullopt;
        if (!v)
            return error(QStringLiteral("kind 0..255"));
        m.kind = *v;
        return ok();
    }
    if (verb == QLatin1String("version")) {
        const QStringList parts = args.size() == 1 ? args[0].split(QLatin1Char('.')) : QStringList();
        const std::optional<int> major = parts.size() == 2 ? number(parts[0], 0, 255) : std::nullopt;
        const std::optional<int> minor = parts.size() == 2 ? number(parts[1], 0, 255) : std::nullopt;
        if (!major || !minor)
            return error(QStringLiteral("version MAJOR.MINOR (0..255 each)"));
        m.versionMajor = *major;
        m.versionMinor = *minor;
        return ok();
    }
    if (verb == QLatin1String("ident")) {
        // The text is the rest of the line as typed, inner spaces included.
        static const QRegularExpression rest(QStringLiteral("^\\S+\\s+(.*)$"));
        const QString text = rest.match(trimmed).captured(1);
        if (args.isEmpty())
            return error(QStringLiteral("ident TEXT"));
        m.ident = identFromText(text.toLatin1().toStdString());
        return ok();
    }
    if (verb == QLatin1String("mac")) {
        const std::optional<MacAddress> mac = args.size() == 1 ? macFrom(args[0]) : std::nullopt;
        if (!mac)
            return error(QStringLiteral("mac AABBCCDDEEFF"));
        m.net.mac = *mac;
        return ok();
    }
    if (verb == QLatin1String("ip")) {
        if (args.size() == 1 && args[0] == QLatin1String("auto")) {
            m.net.staticIp = false;
            return ok();
        }
        QHostAddress a;
        bool isV4 = false;
        const quint32 v4 = args.size() == 1 && a.setAddress(args[0]) ? a.toIPv4Address(&isV4) : 0;
        if (!isV4)
            return error(QStringLiteral("ip A.B.C.D|auto"));
        m.net.staticIp = true;
        m.net.ip = {static_cast<std::uint8_t>(v4 >> 24), static_cast<std::uint8_t>(v4 >> 16),
                    static_cast<std::uint8_t>(v4 >> 8), static_cast<std::uint8_t>(v4)};
        return ok();
    }
    if (verb == QLatin1String("reboot-ms") || verb == QLatin1String("delay")) {
        const std::optional<int> v = args.size() == 1 ? number(args[0], 0, 3600000) : std::nullopt;
        if (!v)
            return error(verb + QStringLiteral(" MS"));
        if (verb == QLatin1String("delay"))
            f.delayMs = *v;
        else
            device_.setRebootMs(*v);
        return ok();
    }
    if (verb == QLatin1String("silent"))
        return silentCommand(args);
    if (verb == QLatin1String("corrupt")) {
        f.corruptNext = true;
        return ok();
    }
    if (verb == QLatin1String("coalesce")) {
        f.coalesceNext = true;
        return ok();
    }
    if (verb == QLatin1String("split")) {
        const std::optional<int> v = args.isEmpty() ? std::optional<int>(kDefaultSplitAt)
                                                    : number(args[0], 1, static_cast<int>(kCommandFrameSize) - 1);
        if (!v || args.size() > 1)
            return error(QStringLiteral("split [1..12]"));
        f.splitNextAt = *v;
        return ok();
    }
    if (verb == QLatin1String("repeat")) {
        const std::optional<int> v = args.size() == 1 ? number(args[0], 0, kMaxRepeats) : std::nullopt;
        if (!v)
            return error(QStringLiteral("repeat 0..%1").arg(kMaxRepeats));
        f.repeatReplies = *v;
        return ok();
    }
    if (verb == QLatin1String("resend-block"))
        return blockFault(args, f.resendBlock, "resend-block");
    if (verb == QLatin1String("fail-block"))
        return blockFault(args, f.failBlock, "fail-block");
    if (verb == QLatin1String("faults"))
        return faultsCommand(args);
    if (verb == QLatin1String("close-tcp")) {
        if (!simulator_)
            return error(QStringLiteral("no TCP endpoint"));
        const int n = simulator_->tcpConnectionCount();
        simulator_->closeTcpConnections();
        return ok(QStringLiteral("%1 connection(s) closed").arg(n));
    }
    if (verb == QLatin1String("hangup")) {
        QString why = QStringLiteral("no serial line");
        if (!simulator_ || !simulator_->hangUpSerial(&why))
            return error(why);
        return ok();  // the program prints the fresh line's "serial:" line
    }
    if (verb == QLatin1String("quit") || verb == QLatin1String("exit")) {
        quit_ = true;
        return ok();
    }
    return error(QStringLiteral("unknown command \"%1\" (try help)").arg(verb));
}

Result Console::portsCommand(const QStringList& args, bool sources)
{
    const std::optional<std::vector<int>> list = args.size() == 2 ? ports(args[0]) : std::nullopt;
    const std::optional<bool> on = args.size() == 2 ? onOff(args[1]) : std::nullopt;
    if (!list || !on)
        return error(sources ? QStringLiteral("source PORTS on|off") : QStringLiteral("display PORTS on|off"));
    auto& plugged = sources ? device_.model().source : device_.model().display;
    for (int n : *list)
        plugged[static_cast<std::size_t>(n - 1)] = *on;
    return ok();
}

Result Console::routeCommand(const QStringList& args)
{
    const std::optional<int> input = args.size() == 2 ? number(args[0], 1, kPortCount) : std::nullopt;
    const std::optional<std::vector<int>> outputs = args.size() == 2 ? ports(args[1]) : std::nullopt;
    if (!input || !outputs)
        return error(QStringLiteral("route INPUT OUTPUTS"));
    for (int o : *outputs)
        device_.frontPanelRoute(*input, o);
    return ok();
}

Result Console::arcCommand(const QStringList& args)
{
    const std::optional<std::vector<int>> outputs = args.size() == 2 ? ports(args[0]) : std::nullopt;
    const std::optional<bool> on = args.size() == 2 ? onOff(args[1]) : std::nullopt;
    if (!outputs || !on)
        return error(QStringLiteral("arc OUTPUTS on|off"));
    for (int o : *outputs)
        device_.model().arc[static_cast<std::size_t>(o - 1)] = *on;
    return ok();
}

Result Console::edidCommand(const QStringList& args)
{
    const std::optional<std::vector<int>> inputs = args.size() == 2 ? ports(args[0]) : std::nullopt;
    const std::optional<int> code = args.size() == 2 ? number(args[1], 0, kEdidCodeCount - 1) : std::nullopt;
    if (!inputs || !code)
        return error(QStringLiteral("edid INPUTS CODE (0..22)"));
    for (int n : *inputs)
        device_.model().edidCode[static_cast<std::size_t>(n - 1)] = *code;
    return ok();
}

Result Console::silentCommand(const QStringList& args)
{
    FaultSettings& f = device_.faults();
    if (args.size() == 1 && (args[0] == QLatin1String("none") || args[0] == QLatin1String("off"))) {
        f.silentAll = false;
        f.silentCommands.clear();
        f.silentOther.clear();
        return ok();
    }
    const std::optional<bool> on = args.size() == 2 ? onOff(args[1]) : std::optional<bool>(true);
    if (args.isEmpty() || args.size() > 2 || !on)
        return error(QStringLiteral("silent KINDS [on|off] | silent none"));

    // Check every kind before changing anything.
    std::vector<std::uint16_t> commands;
    std::vector<Silence> others;
    bool all = false;
    for (const QString& kind : args[0].split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (kind.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
            all = true;
            continue;
        }
        bool known = false;
        for (const NamedSilence& s : kSilenceNames)
            if (kind.compare(QLatin1String(s.name), Qt::CaseInsensitive) == 0) {
                others.push_back(s.what);
                known = true;
            }
        for (const NamedCommand& n : commandNames())
            if (kind.compare(QLatin1String(n.name), Qt::CaseInsensitive) == 0) {
                for (const CommandId& id : n.ids)
                    commands.push_back(commandKey(id));
                known = true;
            }
        if (const std::optional<CommandId> id = hexCommand(kind)) {
            commands.push_back(commandKey(*id));
            known = true;
        }
        if (!known)
            return error(QStringLiteral("unknown kind \"%1\"").arg(kind));
    }
    if (all)
        f.silentAll = *on;
    for (std::uint16_t key : commands) {
        if (*on)
            f.silentCommands.insert(key);
        else
            f.silentCommands.erase(key);
    }
    for (Silence s : others) {
        if (*on)
            f.silentOther.insert(s);
        else
            f.silentOther.erase(s);
    }
    return ok();
}

Result Console::faultsCommand(const QStringList& args)
{
    if (args.size() != 1 || args[0] != QLatin1String("off"))
        return error(QStringLiteral("faults off"));
    device_.clearFaults();
    return ok();
}

Result Console::blockFault(const QStringList& args, int& field, const char* what)
{
    const std::optional<int> v = args.size() == 1 ? number(args[0], 0, kMaxFirmwareBlocks - 1) : std::nullopt;
    if (!v)
        return error(QStringLiteral("%1 N (0..%2)").arg(QLatin1String(what)).arg(kMaxFirmwareBlocks - 1));
    field = *v;
    return ok();
}

QString Console::statusText() const
{
    const SwitchModel& m = device_.model();
    const FaultSettings& f = device_.faults();
    QStringList lines;
    lines << QStringLiteral("power %1, beep %2, %3").arg(onOffText(m.power), onOffText(m.beep),
                                                      device_.rebooting() ? QStringLiteral("rebooting") : QStringLiteral("running"));
    QString routes, arc, sources, displays, edid;
    for (int i = 0; i < kPortCount; ++i) {
        const QChar out = QLatin1Char(outputLetter(i + 1));
        routes += QStringLiteral(" %1=%2").arg(out).arg(m.route[i]);
        arc += QStringLiteral(" %1=%2").arg(out).arg(onOffText(m.arc[i]));
        displays += QStringLiteral(" %1=%2").arg(out).arg(m.display[i] ? QStringLiteral("yes") : QStringLiteral("no"));
        sources += QStringLiteral(" %1=%2").arg(i + 1).arg(m.source[i] ? QStringLiteral("yes") : QStringLiteral("no"));
        edid += QStringLiteral(" %1=%2").arg(i + 1).arg(m.edidCode[i]);
    }
    lines << QStringLiteral("routes:") + routes << QStringLiteral("arc:") + arc
          << QStringLiteral("sources:") + sources << QStringLiteral("displays:") + displays
          << QStringLiteral("edid:") + edid;
    lines << QStringLiteral("edid block: %1").arg(m.edidBlock.empty() ? QStringLiteral("none")
                                                  : m.edidBlockTarget == kUploadAllInputs
                                                      ? QStringLiteral("all inputs")
                                                      : QStringLiteral("input %1").arg(m.edidBlockTarget));
    lines << QStringLiteral("device: kind %1, %2x%3, version %4.%5, ident \"%6\"")
                 .arg(m.kind).arg(m.inputs).arg(m.outputs).arg(m.versionMajor).arg(m.versionMinor)
                 .arg(QString::fromLatin1(identToText(m.ident).c_str()));
    lines << QStringLiteral("network: mac %1, %2, reports %3")
                 .arg(QString::fromStdString(macToText(m.net.mac)),
                      m.net.staticIp ? QStringLiteral("static") : QStringLiteral("auto"),
                      QString::fromStdString(ipToText(device_.reportedAddress())));
    lines << QStringLiteral("upgrade: %1, %2 bytes held").arg(QLatin1String(upgradeStateName(m.upgrade))).arg(m.firmware.size());
    lines << QStringLiteral("reboot %1 ms, pacing %2").arg(device_.rebootMs()).arg(onOffText(device_.linePacing()));

    QStringList faults;
    if (f.silentAll)
        faults << QStringLiteral("silent all");
    for (std::uint16_t key : f.silentCommands)
        faults << QStringLiteral("silent ") + commandName(key);
    for (const NamedSilence& s : kSilenceNames)
        if (f.silentOther.count(s.what))
            faults << QStringLiteral("silent ") + QLatin1String(s.name);
    if (f.delayMs > 0)
        faults << QStringLiteral("delay %1 ms").arg(f.delayMs);
    if (f.corruptNext)
        faults << QStringLiteral("corrupt next");
    if (f.coalesceNext)
        faults << QStringLiteral("coalesce next");
    if (f.splitNextAt > 0)
        faults << QStringLiteral("split next at %1").arg(f.splitNextAt);
    if (f.resendBlock >= 0)
        faults << QStringLiteral("resend block %1").arg(f.resendBlock);
    if (f.failBlock >= 0)
        faults << QStringLiteral("fail block %1").arg(f.failBlock);
    if (f.refuseRoutes)
        faults << QStringLiteral("refuse routes");
    if (f.repeatReplies > 0)
        faults << QStringLiteral("repeat replies %1 times").arg(f.repeatReplies);
    lines << QStringLiteral("faults: ") + (faults.isEmpty() ? QStringLiteral("none") : faults.join(QStringLiteral(", ")));
    return lines.join(QLatin1Char('\n'));
}

}  // namespace sim
}  // namespace talvane
