// The commands of talvane-ctl: each checks its arguments first (a usage
// error or a bad file costs no exchange with the switch), then runs the
// panel's operations and reports what the switch answered.
#include <QJsonArray>
#include <QSaveFile>

#include <algorithm>
#include <array>
#include <optional>

#include "ctl.h"
#include "link/datagramsocket.h"
#include "link/smallfile.h"
#include "ops/device.h"
#include "ops/documents.h"
#include "ops/edid.h"
#include "ops/firmware.h"
#include "ops/labelscsv.h"
#include "ops/limits.h"
#include "ops/network.h"
#include "ops/power.h"
#include "ops/routing.h"
#include "ops/status.h"
#include "protocol/commands.h"
#include "protocol/edidfile.h"
#include "protocol/netpackets.h"
#include "protocol/replies.h"

namespace talvane {
namespace ctl {

QString fileRefusalText(FileRefusal why)
{
    switch (why) {
    case FileRefusal::None:
        break;
    case FileRefusal::Missing:
        return QStringLiteral("no such file");
    case FileRefusal::NotRegular:
        return QStringLiteral("not a regular file");
    case FileRefusal::Unreadable:
        return QStringLiteral("cannot be read");
    case FileRefusal::TooLarge:
        return QStringLiteral("too large");
    case FileRefusal::Changed:
        return QStringLiteral("replaced while it was read");
    }
    return QString();
}

namespace {

QString edidVerdictText(edidfile::Verdict v)
{
    switch (v) {
    case edidfile::Verdict::Accepted:
        break;
    case edidfile::Verdict::BadLength:
        return QStringLiteral("not 128 or 256 bytes long");
    case edidfile::Verdict::BadHeader:
        return QStringLiteral("no EDID header");
    case edidfile::Verdict::BadExtensionCount:
        return QStringLiteral("more than one extension block announced");
    case edidfile::Verdict::BadChecksum:
        return QStringLiteral("the base block's checksum is wrong");
    case edidfile::Verdict::BadExtensionChecksum:
        return QStringLiteral("the extension block's checksum is wrong");
    }
    return QString();
}

// Text the switch sent, safe to print: characters other than printable
// Latin-1 shown as '?', trailing spaces dropped.
QString printable(const QByteArray& bytes)
{
    QString text;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        text += (u >= 0x20 && u < 0x7F) || u >= 0xA0 ? QChar(u) : QChar(u'?');
    }
    while (text.endsWith(u' '))
        text.chop(1);
    return text;
}

QString targetText(int target) { return target == 0 ? QStringLiteral("all inputs") : QStringLiteral("input %1").arg(target); }
QJsonValue targetJson(int target) { return target == 0 ? QJsonValue(QStringLiteral("all")) : QJsonValue(target); }

QString presetList()
{
    QStringList lines;
    for (int i = 0; i < kEdidPresetCount; ++i)
        lines << QStringLiteral("  %1  %2").arg(i + 1, 2).arg(QString::fromLatin1(kEdidPresetNames[i]));
    return lines.join(u'\n');
}

// Labels of the switch for the reports; none (and a warning) when the
// labels file is damaged: the switch's state is still worth showing.
PortLabels labelsFor(Context& ctx)
{
    LabelStore store(ctx.env().labelsPath);
    if (!store.load()) {
        ctx.env().err(QStringLiteral("talvane-ctl: labels not shown: %1").arg(store.error()));
        return {};
    }
    return store.labels(ctx.switchKey());
}

QString quoted(const QString& label) { return label.isEmpty() ? QString() : QStringLiteral("  \"%1\"").arg(label); }

// ---------------------------------------------------------------- ports, search

int portsCommand(Context& ctx, const QStringList& args)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("ports takes no arguments"));
    QString hint;
    const std::vector<PortEntry> ports = serialPorts(&hint);
    QJsonArray list;
    for (const PortEntry& e : ports) {
        ctx.print(portLine(e));
        list.append(QJsonObject{{QStringLiteral("port"), QStringLiteral("COM%1").arg(e.comNumber)},
                                {QStringLiteral("path"), e.devicePath},
                                {QStringLiteral("description"), e.description},
                                {QStringLiteral("usb"), e.usb},
                                {QStringLiteral("virtual"), e.virtualPort},
                                {QStringLiteral("available"), !e.inUse && e.mayOpen},
                                {QStringLiteral("holder"), e.inUse ? QJsonValue(e.holder) : QJsonValue()},
                                {QStringLiteral("hub"), e.hub.isEmpty() ? QJsonValue()
                                                                        : QJsonObject{{QStringLiteral("control"), e.hub},
                                                                                      {QStringLiteral("pid"), e.hubPid}}}});
    }
    if (ports.empty())
        ctx.print(QStringLiteral("no serial ports"));
    if (!hint.isEmpty())
        ctx.print(hint);
    ctx.document({{QStringLiteral("ports"), list}, {QStringLiteral("hint"), hint}});
    return Done;
}

int searchCommand(Context& ctx, const QStringList& args)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("search takes no arguments"));
    DatagramSocket socket;
    DeviceSearch search(socket, ctx.env().endpoints, ctx.env().searchMs);
    QList<SearchReply> found;
    QObject::connect(&search, &DeviceSearch::found, [&](const SearchReply& r) {
        for (const SearchReply& f : found)
            if (f.mac == r.mac && f.ip == r.ip)
                return;
        found << r;
    });
    ctx.progress(QStringLiteral("searching for switches..."));
    search.start();
    ctx.waitUntil([&] { return search.hasFinished(); });
    ctx.progress(QString());
    if (search.outcome() != Outcome::Done)
        return ctx.fail(Failed, QStringLiteral("the search could not be sent"));
    QJsonArray list;
    for (const SearchReply& r : found) {
        const QString mac = LabelStore::keyForMac(QString::fromStdString(macToText(r.mac))).mid(4);
        const QString ip = QString::fromStdString(ipToText(r.ip));
        ctx.print(QStringLiteral("%1  MAC %2").arg(ip, mac));
        list.append(QJsonObject{{QStringLiteral("ip"), ip}, {QStringLiteral("mac"), mac}});
    }
    if (found.isEmpty())
        ctx.print(QStringLiteral("no switch answered"));
    ctx.document({{QStringLiteral("switches"), list}});
    return Done;
}

// ---------------------------------------------------------------- status

int statusCommand(Context& ctx, const QStringList& args)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("status takes no arguments"));
    if (int rc = ctx.connect())
        return rc;
    // What the switch answers, kept as the hub keeps it, for the report.
    SwitchSnapshot state;
    PowerStateRead powerRead(ctx.session(), Purpose::Operator);
    QObject::connect(&powerRead, &PowerStateRead::powerReported, [&](bool on) { state.power = on; });
    BeepStateRead beepRead(ctx.session());
    QObject::connect(&beepRead, &BeepStateRead::beepReported, [&](bool on) { state.beeper = on; });
    PortStatusRead portRead(ctx.session());
    int portsSeen = 0;
    QObject::connect(&portRead, &PortStatusRead::portReported, [&](bool input, int port, bool connected) {
        (input ? state.sources : state.displays)[std::size_t(port - 1)] = connected;
        ctx.progress(QStringLiteral("status: ports %1/%2").arg(++portsSeen).arg(2 * kPortCount));
    });
    MatrixRead matrixRead(ctx.session(), Purpose::Operator);
    QObject::connect(&matrixRead, &MatrixRead::routeReported, [&](int output, int input) {
        state.routes[std::size_t(output - 1)] = input;
        ctx.progress(QStringLiteral("status: routing, output %1").arg(outputLetter(output)));
    });
    QObject::connect(&matrixRead, &MatrixRead::arcReported, [&](int output, bool on) {
        state.arc[std::size_t(output - 1)] = on;
    });
    EdidRead edidRead(ctx.session(), Purpose::Operator);
    QObject::connect(&edidRead, &EdidRead::edidReported, [&](int input, int code) {
        state.edid[std::size_t(input - 1)] = code;
        ctx.progress(QStringLiteral("status: EDID, input %1").arg(input));
    });

    ctx.progress(QStringLiteral("status: power"));
    const std::pair<Operation*, const char*> steps[] = {{&powerRead, "reading the power state"},
                                                        {&beepRead, "reading the beeper"},
                                                        {&portRead, "reading the ports"},
                                                        {&matrixRead, "reading the routing"},
                                                        {&edidRead, "reading the EDID codes"}};
    for (const auto& [op, what] : steps)
        if (int rc = ctx.result(ctx.run(*op), QString::fromLatin1(what)))
            return rc;
    ctx.progress(QString());

    const PortLabels labels = labelsFor(ctx);
    const auto onOff = [](const std::optional<bool>& v) {
        return v ? (*v ? QStringLiteral("on") : QStringLiteral("off")) : QStringLiteral("unknown");
    };
    ctx.print(QStringLiteral("Switch %1").arg(ctx.switchName()));
    ctx.print(QStringLiteral("Power: %1   Beeper: %2").arg(onOff(state.power), onOff(state.beeper)));
    for (int i = 1; i <= kPortCount; ++i) {
        const std::size_t k = std::size_t(i - 1);
        const std::optional<bool>& source = state.sources[k];
        const int edid = state.edid[k];
        const QString name = edid >= 0 ? documents::edidName(edid) : QString();
        ctx.print(QStringLiteral("Input %1   %2  EDID %3%4")
                      .arg(i)
                      .arg(source ? (*source ? QStringLiteral("source   ") : QStringLiteral("no source"))
                                  : QStringLiteral("unknown  "))
                      .arg(edid >= 0 ? QString::number(edid) + (name.isEmpty() ? QString() : QStringLiteral(" (") + name + u')')
                                     : QStringLiteral("unknown"))
                      .arg(quoted(labels.inputs[k])));
    }
    for (int o = 1; o <= kPortCount; ++o) {
        const std::size_t k = std::size_t(o - 1);
        const std::optional<bool>& display = state.displays[k];
        ctx.print(QStringLiteral("Output %1  %2  from input %3  ARC %4%5")
                      .arg(outputLetter(o))
                      .arg(display ? (*display ? QStringLiteral("display   ") : QStringLiteral("no display"))
                                   : QStringLiteral("unknown   "))
                      .arg(state.routes[k] ? QString::number(state.routes[k]) : QStringLiteral("?"))
                      .arg(onOff(state.arc[k]))
                      .arg(quoted(labels.outputs[k])));
    }
    ctx.document(documents::status(ctx.switchKey(), state, labels));
    return Done;
}

// ---------------------------------------------------------------- routing, ARC

int routeCommand(Context& ctx, const QStringList& args)
{
    if (args.isEmpty())
        return ctx.usage(QStringLiteral("route needs IN:OUT pairs, e.g. route 1:A 2:B,C"));
    std::vector<std::pair<int, int>> routes;  // input, output
    for (const QString& pair : args) {
        const QStringList parts = pair.split(u':');
        const int input = parts.size() == 2 ? parseInput(parts[0]) : 0;
        if (input == 0)
            return ctx.usage(QStringLiteral("\"%1\" is not IN:OUT (inputs 1-8, outputs A-H or 1-8)").arg(pair));
        for (const QString& out : parts[1].split(u',')) {
            const int output = parseOutput(out);
            if (output == 0)
                return ctx.usage(QStringLiteral("\"%1\" in \"%2\" is not an output (A-H or 1-8)").arg(out, pair));
            routes.emplace_back(input, output);
        }
    }
    if (int rc = ctx.connect())
        return rc;
    std::vector<int> outputs;
    for (const auto& route : routes)
        outputs.push_back(route.second);
    if (int rc = ctx.checkLocks(outputs))
        return rc;
    std::vector<std::pair<int, int>> done;
    for (const auto& [input, output] : routes) {
        RouteSet op(ctx.session(), input, output);
        const QString what = QStringLiteral("route input %1 to output %2").arg(input).arg(outputLetter(output));
        if (int rc = ctx.result(ctx.run(op), what, documents::routes(done)))
            return rc;
        ctx.print(QStringLiteral("Input %1 -> output %2").arg(input).arg(outputLetter(output)));
        done.emplace_back(input, output);
    }
    ctx.document(documents::routes(done));
    return Done;
}

int arcCommand(Context& ctx, const QStringList& args)
{
    bool on = false;
    const int output = args.size() == 2 ? parseOutput(args[0]) : 0;
    if (output == 0 || !parseOnOff(args[1], &on))
        return ctx.usage(QStringLiteral("arc needs OUT on|off, e.g. arc B on"));
    if (int rc = ctx.connect())
        return rc;
    if (int rc = ctx.checkLocks({output}))
        return rc;
    ArcSet op(ctx.session(), output, on);
    std::optional<bool> reported;
    QObject::connect(&op, &ArcSet::arcReported, [&](int, bool state) { reported = state; });
    if (int rc = ctx.result(ctx.run(op), QStringLiteral("ARC of output %1").arg(outputLetter(output))))
        return rc;
    const bool state = reported.value_or(on);
    ctx.print(QStringLiteral("ARC of output %1: %2").arg(outputLetter(output), state ? "on" : "off"));
    ctx.document(documents::arc(output, state));
    return Done;
}

// ---------------------------------------------------------------- EDID

int edidCommand(Context& ctx, const QStringList& args)
{
    const QString verb = args.value(0);
    if (args.size() != 3 || (verb != QLatin1String("set") && verb != QLatin1String("copy") && verb != QLatin1String("upload")))
        return ctx.usage(QStringLiteral("edid needs: set PRESET IN|all, copy OUT IN|all or upload FILE IN|all"));
    const int target = parseTarget(args[2]);
    if (target < 0)
        return ctx.usage(QStringLiteral("\"%1\" is not an input (1-8) or all").arg(args[2]));
    QJsonObject doc{{QStringLiteral("action"), verb}, {QStringLiteral("target"), targetJson(target)}};
    QString what;
    int preset = 0, output = 0;
    EdidSet::Block block{};
    if (verb == QLatin1String("set")) {
        bool ok = false;
        preset = args[1].toInt(&ok);
        if (!ok || preset < 1 || preset > kEdidPresetCount)
            return ctx.usage(QStringLiteral("\"%1\" is not a preset; the presets are:\n%2").arg(args[1], presetList()));
        what = QStringLiteral("EDID preset %1 (%2) for %3")
                   .arg(preset)
                   .arg(QString::fromLatin1(kEdidPresetNames[preset - 1]), targetText(target));
        doc.insert(QStringLiteral("preset"), preset);
        doc.insert(QStringLiteral("presetName"), QString::fromLatin1(kEdidPresetNames[preset - 1]));
    } else if (verb == QLatin1String("copy")) {
        output = parseOutput(args[1]);
        if (output == 0)
            return ctx.usage(QStringLiteral("\"%1\" is not an output (A-H or 1-8)").arg(args[1]));
        what = QStringLiteral("EDID of output %1 copied to %2").arg(outputLetter(output), targetText(target));
        doc.insert(QStringLiteral("output"), outputLetter(output));
    } else {
        // Checked as the panel checks a chosen file, before any exchange.
        const SmallFile file = readSmallFile(args[1], edidfile::kMaxFileSize);
        if (!file.ok())
            return ctx.fail(BadFile, QStringLiteral("bad EDID file %1: %2")
                                         .arg(args[1], file.refusal == FileRefusal::TooLarge
                                                           ? edidVerdictText(edidfile::Verdict::BadLength)
                                                           : fileRefusalText(file.refusal)));
        const auto* data = reinterpret_cast<const std::uint8_t*>(file.bytes.constData());
        const auto size = std::size_t(file.bytes.size());
        const edidfile::Verdict verdict = edidfile::check(data, size);
        if (verdict != edidfile::Verdict::Accepted)
            return ctx.fail(BadFile, QStringLiteral("bad EDID file %1: %2").arg(args[1], edidVerdictText(verdict)));
        block = EdidSet::blockOf(data, size);
        const QString described = QString::fromStdString(edidfile::describe(data, size));
        what = QStringLiteral("EDID file %1 for %2").arg(args[1], targetText(target));
        doc.insert(QStringLiteral("file"), args[1]);
        doc.insert(QStringLiteral("describes"), described);
    }
    if (int rc = ctx.connect())
        return rc;
    std::unique_ptr<EdidSet> op(verb == QLatin1String("set")    ? EdidSet::preset(ctx.session(), preset - 1, target)
                                : verb == QLatin1String("copy") ? EdidSet::copy(ctx.session(), output, target)
                                                                : EdidSet::upload(ctx.session(), block, target));
    ctx.progress(QStringLiteral("edid: setting..."));
    if (int rc = ctx.result(ctx.run(*op), what))
        return rc;
    ctx.progress(QString());
    ctx.print(what + QStringLiteral(": set"));
    ctx.document(doc);
    return Done;
}

// ---------------------------------------------------------------- device

int infoCommand(Context& ctx, const QStringList& args)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("info takes no arguments"));
    if (int rc = ctx.connect())
        return rc;
    DeviceRead op(ctx.session(), DeviceRead::What::InfoAndIdent, Purpose::Operator);
    DeviceInfo info;
    QByteArray ident;
    QObject::connect(&op, &DeviceRead::infoReported, [&](const DeviceInfo& i) { info = i; });
    QObject::connect(&op, &DeviceRead::identReported, [&](const QByteArray& t) { ident = t; });
    if (int rc = ctx.result(ctx.run(op), QStringLiteral("reading the device information")))
        return rc;
    const QString version = QStringLiteral("%1.%2").arg(info.versionMajor).arg(info.versionMinor);
    const QString text = printable(ident);
    ctx.print(QStringLiteral("Kind: %1").arg(info.kind));
    ctx.print(QStringLiteral("Ports: %1 inputs, %2 outputs").arg(info.inputs).arg(info.outputs));
    ctx.print(QStringLiteral("Version: %1").arg(version));
    ctx.print(QStringLiteral("Identification: %1").arg(text));
    ctx.document({{QStringLiteral("kind"), info.kind},
                  {QStringLiteral("inputs"), info.inputs},
                  {QStringLiteral("outputs"), info.outputs},
                  {QStringLiteral("version"), version},
                  {QStringLiteral("ident"), text}});
    return Done;
}

int identCommand(Context& ctx, const QStringList& args)
{
    if (args.size() != 2 || args[0] != QLatin1String("set"))
        return ctx.usage(QStringLiteral("ident needs: set TEXT"));
    const QString& given = args[1];
    if (given.size() > cmd::IdentTextLength)
        return ctx.usage(QStringLiteral("the identification text holds at most %1 characters").arg(cmd::IdentTextLength));
    IdentWrite::Text text;
    text.fill(' ');
    for (int i = 0; i < given.size(); ++i) {
        const char16_t c = given[i].unicode();
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c > 0xFF)
            return ctx.usage(QStringLiteral("the identification text takes printable Latin-1 characters only"));
        text[std::size_t(i)] = std::uint8_t(c);
    }
    if (int rc = ctx.connect())
        return rc;
    IdentWrite op(ctx.session(), text);
    if (int rc = ctx.result(ctx.run(op), QStringLiteral("writing the identification text")))
        return rc;
    ctx.print(QStringLiteral("Identification text set"));
    ctx.document({{QStringLiteral("ident"), given}});
    return Done;
}

QString upgradeFailureText(FirmwareUpgrade::Failure f)
{
    switch (f) {
    case FirmwareUpgrade::Failure::None:
        break;
    case FirmwareUpgrade::Failure::StartTimedOut:
        return QStringLiteral("the switch did not answer the start of the upgrade");
    case FirmwareUpgrade::Failure::TransferTimedOut:
        return QStringLiteral("the switch did not ask for the image");
    case FirmwareUpgrade::Failure::BlockRefused:
        return QStringLiteral("the switch reported the upgrade failed");
    case FirmwareUpgrade::Failure::BlockTimedOut:
        return QStringLiteral("a block was not acknowledged, sent twice");
    case FirmwareUpgrade::Failure::RebootTimedOut:
        return QStringLiteral("the switch did not answer after its reboot");
    }
    return QStringLiteral("upgrade");
}

// How a script reads where an upgrade stopped.
QString upgradeStageName(FirmwareUpgrade::Stage s)
{
    switch (s) {
    case FirmwareUpgrade::Stage::Idle:
        break;
    case FirmwareUpgrade::Stage::Starting:
        return QStringLiteral("start");
    case FirmwareUpgrade::Stage::Requesting:
        return QStringLiteral("request");
    case FirmwareUpgrade::Stage::Transferring:
        return QStringLiteral("transfer");
    case FirmwareUpgrade::Stage::Rebooting:
        return QStringLiteral("reboot");
    }
    return QStringLiteral("idle");
}

int upgradeCommand(Context& ctx, const QStringList& args)
{
    if (args.size() != 1)
        return ctx.usage(QStringLiteral("upgrade needs FILE"));
    const SmallFile file = readSmallFile(args[0], kFirmwareImageMaxSize);
    if (!file.ok())
        return ctx.fail(BadFile, QStringLiteral("bad firmware file %1: %2")
                                     .arg(args[0], file.refusal == FileRefusal::TooLarge
                                                       ? QStringLiteral("larger than %1 bytes").arg(kFirmwareImageMaxSize)
                                                       : fileRefusalText(file.refusal)));
    if (file.bytes.isEmpty())
        return ctx.fail(BadFile, QStringLiteral("bad firmware file %1: empty").arg(args[0]));
    if (int rc = ctx.connect())
        return rc;
    const std::size_t size = std::size_t(file.bytes.size());
    FirmwareUpgrade op(ctx.session(), std::vector<std::uint8_t>(file.bytes.begin(), file.bytes.end()));
    QObject::connect(&op, &FirmwareUpgrade::progressed, [&](std::size_t position) {
        ctx.progress(QStringLiteral("upgrade: %1/%2 bytes (%3%)").arg(position).arg(size).arg(position * 100 / size));
    });
    QObject::connect(&op, &FirmwareUpgrade::stageChanged, [&](FirmwareUpgrade::Stage stage) {
        if (stage == FirmwareUpgrade::Stage::Starting)
            ctx.progress(QStringLiteral("upgrade: starting"));
        if (stage == FirmwareUpgrade::Stage::Rebooting)
            ctx.progress(QStringLiteral("upgrade: %1 bytes sent, the switch is rebooting").arg(size));
    });
    const Outcome outcome = ctx.run(op);
    if (outcome != Outcome::Done) {
        QJsonObject where{{QStringLiteral("stage"), upgradeStageName(op.endedIn())}};
        if (op.endedAtBlock())
            where.insert(QStringLiteral("block"), qint64(*op.endedAtBlock()));
        return ctx.result(outcome, QStringLiteral("upgrade: ") + upgradeFailureText(op.failure()), where);
    }
    ctx.progress(QString());
    ctx.print(QStringLiteral("Firmware upgraded (%1 bytes); the switch is back").arg(size));
    ctx.document({{QStringLiteral("file"), args[0]},
                  {QStringLiteral("bytes"), qint64(size)},
                  {QStringLiteral("kindAfterReboot"), op.kindAfterReboot()}});
    return Done;
}

// ---------------------------------------------------------------- power, beeper, resets

int switchCommand(Context& ctx, const QStringList& args, const QString& name)
{
    bool on = false;
    if (args.size() != 1 || !parseOnOff(args[0], &on))
        return ctx.usage(QStringLiteral("%1 needs on or off").arg(name));
    if (int rc = ctx.connect())
        return rc;
    std::unique_ptr<Operation> op;
    if (name == QLatin1String("power"))
        op = std::make_unique<PowerSet>(ctx.session(), on);
    else
        op = std::make_unique<BeepSet>(ctx.session(), on);
    const QString what = name == QLatin1String("power") ? QStringLiteral("power") : QStringLiteral("beeper");
    if (int rc = ctx.result(ctx.run(*op), QStringLiteral("%1 %2").arg(what, on ? "on" : "off")))
        return rc;
    ctx.print(QStringLiteral("%1 %2").arg(what == "power" ? QStringLiteral("Power") : QStringLiteral("Beeper"),
                                          on ? "on" : "off"));
    ctx.document({{what, on}});
    return Done;
}

template <typename Op>
int plainCommand(Context& ctx, const QStringList& args, const QString& what, const QString& doneText)
{
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("%1 takes no arguments").arg(ctx.commandName()));
    if (int rc = ctx.connect())
        return rc;
    Op op(ctx.session());
    if (int rc = ctx.result(ctx.run(op), what))
        return rc;
    ctx.print(doneText);
    ctx.document({});
    return Done;
}

// ---------------------------------------------------------------- network settings

int netconfigCommand(Context& ctx, const QStringList& args)
{
    const QCommandLineParser& o = ctx.options();
    if (!args.isEmpty())
        return ctx.usage(QStringLiteral("netconfig takes options only: --mac MAC (--auto | --ip A.B.C.D)"));
    if (!o.isSet(QStringLiteral("mac")))
        return ctx.usage(QStringLiteral("netconfig needs --mac (the switch's MAC after the change)"));
    const bool automatic = o.isSet(QStringLiteral("auto"));
    if (automatic == o.isSet(QStringLiteral("ip")))
        return ctx.usage(QStringLiteral("netconfig needs either --auto or --ip A.B.C.D"));
    if (automatic && (o.isSet(QStringLiteral("mask")) || o.isSet(QStringLiteral("gateway"))))
        return ctx.usage(QStringLiteral("--mask and --gateway go with --ip, not --auto"));
    const auto newMac = parseMac(o.value(QStringLiteral("mac")).trimmed().toStdString());
    if (!newMac)
        return ctx.usage(QStringLiteral("--mac: \"%1\" is not a MAC (six hex pairs)").arg(o.value(QStringLiteral("mac"))));
    if (const MacProblem p = macProblem(*newMac); p != MacProblem::None)
        return ctx.usage(QStringLiteral("--mac: %1").arg(QString::fromLatin1(describe(p))));
    NetSettings settings;
    settings.staticIp = !automatic;
    for (std::size_t i = 0; i < settings.mac.size(); ++i)
        settings.mac[i] = macToText(*newMac).substr(2 * i, 2);
    QJsonObject doc{{QStringLiteral("mac"), LabelStore::keyForMac(QString::fromStdString(macToText(*newMac))).mid(4)},
                    {QStringLiteral("auto"), automatic}};
    if (!automatic) {
        const auto ip = parseIpv4(o.value(QStringLiteral("ip")).trimmed().toStdString());
        if (!ip)
            return ctx.usage(QStringLiteral("--ip: \"%1\" is not an address A.B.C.D").arg(o.value(QStringLiteral("ip"))));
        if (const StaticIpProblem p = staticIpProblem(*ip); p != StaticIpProblem::None)
            return ctx.usage(QStringLiteral("--ip: %1").arg(QString::fromLatin1(describe(p))));
        NetConfigPacket packet;
        packet.ip = *ip;
        // The switch takes a /24 with the gateway at .1; anything else is refused, not changed.
        const std::pair<const char*, Ipv4Octets> fixed[] = {{"mask", NetConfigPacket::mask()},
                                                            {"gateway", packet.gateway()}};
        for (const auto& [name, value] : fixed) {
            const QString option = QString::fromLatin1(name);
            if (!o.isSet(option))
                continue;
            const auto given = parseIpv4(o.value(option).trimmed().toStdString());
            if (!given || *given != value)
                return ctx.usage(QStringLiteral("--%1: the switch takes %2 only with --ip %3")
                                     .arg(option, QString::fromStdString(ipToText(value)),
                                          QString::fromStdString(ipToText(*ip))));
        }
        for (std::size_t i = 0; i < settings.ip.size(); ++i)
            settings.ip[i] = std::to_string((*ip)[i]);
        doc.insert(QStringLiteral("ip"), QString::fromStdString(ipToText(*ip)));
        doc.insert(QStringLiteral("mask"), QString::fromStdString(ipToText(NetConfigPacket::mask())));
        doc.insert(QStringLiteral("gateway"), QString::fromStdString(ipToText(packet.gateway())));
    }

    // The switch to set: by --target, else the one the search finds (at --host when given).
    NetDevice current;
    if (o.isSet(QStringLiteral("target"))) {
        const auto mac = parseMac(o.value(QStringLiteral("target")).trimmed().toStdString());
        if (!mac)
            return ctx.usage(QStringLiteral("--target: \"%1\" is not a MAC").arg(o.value(QStringLiteral("target"))));
        current = NetDevice::fromEntry(std::string(), macToText(*mac));
    } else {
        DatagramSocket socket;
        DeviceSearch search(socket, ctx.env().endpoints, ctx.env().searchMs);
        QList<SearchReply> found;
        const QString host = o.value(QStringLiteral("host")).trimmed().section(u':', 0, 0);
        QObject::connect(&search, &DeviceSearch::found, [&](const SearchReply& r) {
            if (!host.isEmpty() && QString::fromStdString(ipToText(r.ip)) != host)
                return;
            for (const SearchReply& f : found)
                if (f.mac == r.mac)
                    return;
            found << r;
        });
        ctx.progress(QStringLiteral("searching for the switch..."));
        search.start();
        ctx.waitUntil([&] { return search.hasFinished(); });
        ctx.progress(QString());
        if (found.size() != 1)
            return ctx.fail(NoSwitch, found.isEmpty()
                                          ? QStringLiteral("no switch answered the search; name it with --target MAC")
                                          : QStringLiteral("several switches answered; name one with --target MAC"));
        current = NetDevice::fromReply(found[0]);
    }
    DatagramSocket socket;
    NetworkSettings op(socket, ctx.env().endpoints, current, settings);
    QObject::connect(&op, &NetworkSettings::searching,
                     [&] { ctx.progress(QStringLiteral("netconfig: taken, looking for the switch again...")); });
    ctx.progress(QStringLiteral("netconfig: sending..."));
    op.start();
    ctx.waitUntil([&] { return op.hasFinished(); });
    if (int rc = ctx.result(op.outcome(), QStringLiteral("network settings")))
        return rc;
    ctx.progress(QString());
    ctx.print(automatic ? QStringLiteral("Network settings taken: automatic address, MAC %1")
                              .arg(doc.value(QStringLiteral("mac")).toString())
                        : QStringLiteral("Network settings taken: %1, MAC %2")
                              .arg(doc.value(QStringLiteral("ip")).toString(), doc.value(QStringLiteral("mac")).toString()));
    ctx.document(doc);
    return Done;
}

// ---------------------------------------------------------------- labels

int labelsExport(Context& ctx, const QStringList& args)
{
    if (args.size() > 1)
        return ctx.usage(QStringLiteral("labels export takes at most FILE (none: standard output)"));
    if (int rc = ctx.resolveTarget())
        return rc;
    LabelStore* store = nullptr;
    if (int rc = ctx.loadLabels(store))
        return rc;
    const QByteArray csv = labelsToCsv(store->labels(ctx.switchKey()));
    if (args.isEmpty()) {
        for (const QString& line : QString::fromUtf8(csv).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            ctx.env().out(line);
        return Done;
    }
    QSaveFile file(args[0]);
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit())
        return ctx.fail(Failed, QStringLiteral("%1 was not written: %2").arg(args[0], file.errorString()));
    ctx.print(QStringLiteral("Names of %1 written to %2").arg(ctx.switchName(), args[0]));
    ctx.document({{QStringLiteral("file"), args[0]}, {QStringLiteral("switch"), ctx.switchKey()}});
    return Done;
}

int labelsImport(Context& ctx, const QStringList& args)
{
    if (args.size() != 1)
        return ctx.usage(QStringLiteral("labels import needs FILE"));
    constexpr std::size_t kMaxCsvBytes = 64 * 1024;
    const SmallFile read = readSmallFile(args[0], kMaxCsvBytes);
    if (!read.ok())
        return ctx.fail(BadFile, QStringLiteral("bad names file %1: %2").arg(args[0], fileRefusalText(read.refusal)));
    CsvNames names;
    QString why;
    if (!labelsFromCsv(read.bytes, &names, &why))
        return ctx.fail(BadFile, QStringLiteral("bad names file %1: %2; nothing was changed").arg(args[0], why));
    if (int rc = ctx.resolveTarget())
        return rc;
    LabelStore* store = nullptr;
    if (int rc = ctx.loadLabels(store))
        return rc;
    const PortLabels now = store->labels(ctx.switchKey());
    const PortLabels wanted = names.over(now);
    const bool dryRun = ctx.options().isSet(QStringLiteral("dry-run"));
    QJsonArray changes;
    const auto shown = [](const QString& name) { return name.isEmpty() ? QStringLiteral("none") : u'"' + name + u'"'; };
    for (bool output : {false, true})
        for (int p = 1; p <= kPortCount; ++p) {
            const std::size_t k = std::size_t(p - 1);
            const QString& was = (output ? now.outputs : now.inputs)[k];
            const QString& will = (output ? wanted.outputs : wanted.inputs)[k];
            if (was == will)
                continue;
            ctx.print(QStringLiteral("%1 %2: %3 -> %4")
                          .arg(output ? QStringLiteral("Output") : QStringLiteral("Input"),
                               output ? outputLetter(p) : QString::number(p), shown(was), shown(will)));
            changes.append(QJsonObject{{output ? QStringLiteral("output") : QStringLiteral("input"),
                                        output ? QJsonValue(outputLetter(p)) : QJsonValue(p)},
                                       {QStringLiteral("now"), was},
                                       {QStringLiteral("file"), will}});
        }
    if (changes.isEmpty())
        ctx.print(QStringLiteral("%1 holds the names kept already: nothing to change").arg(args[0]));
    if (!dryRun && !changes.isEmpty()) {
        if (!store->setLabels(ctx.switchKey(), wanted))
            return ctx.fail(BadFile, QStringLiteral("bad names file %1: %2").arg(args[0], store->error()));
        if (!store->save())
            return ctx.fail(store->damaged() ? BadFile : Failed, QStringLiteral("the labels were not saved: %1").arg(store->error()));
        ctx.print(QStringLiteral("Names of %1 imported from %2").arg(ctx.switchName(), args[0]));
    }
    ctx.document({{QStringLiteral("file"), args[0]},
                  {QStringLiteral("switch"), ctx.switchKey()},
                  {QStringLiteral("dryRun"), dryRun},
                  {QStringLiteral("changes"), changes}});
    return Done;
}

int labelsCommand(Context& ctx, const QStringList& args)
{
    if (args.value(0) == QLatin1String("export"))
        return labelsExport(ctx, args.mid(1));
    if (args.value(0) == QLatin1String("import"))
        return labelsImport(ctx, args.mid(1));
    const bool show = args.isEmpty();
    if (!show && (args.size() != 3 || (args[0] != QLatin1String("input") && args[0] != QLatin1String("output"))))
        return ctx.usage(QStringLiteral("labels takes nothing, or: input N NAME, output X NAME (\"\" removes a name), "
                                        "export [FILE], import FILE"));
    int port = 0;
    if (!show) {
        port = args[0] == QLatin1String("input") ? parseInput(args[1]) : parseOutput(args[1]);
        if (port == 0)
            return ctx.usage(QStringLiteral("\"%1\" is not an %2").arg(args[1], args[0]));
        QString why;
        if (!LabelStore::cleanName(args[2], nullptr, &why))
            return ctx.usage(QStringLiteral("name \"%1\" refused: %2").arg(args[2], why));
    }
    if (int rc = ctx.resolveTarget())
        return rc;
    LabelStore* store = nullptr;
    if (int rc = ctx.loadLabels(store))
        return rc;
    if (!show) {
        const bool input = args[0] == QLatin1String("input");
        if (!(input ? store->setInput(ctx.switchKey(), port, args[2]) : store->setOutput(ctx.switchKey(), port, args[2])))
            return ctx.usage(store->error());
        if (!store->save())
            return ctx.fail(store->damaged() ? BadFile : Failed,
                            QStringLiteral("the labels were not saved: %1").arg(store->error()));
    }
    const PortLabels labels = store->labels(ctx.switchKey());
    ctx.print(QStringLiteral("Labels of %1 (%2)").arg(ctx.switchName(), ctx.switchKey()));
    for (int p = 1; p <= kPortCount; ++p)
        ctx.print(QStringLiteral("Input %1   %2").arg(p).arg(labels.inputs[std::size_t(p - 1)]));
    for (int p = 1; p <= kPortCount; ++p)
        ctx.print(QStringLiteral("Output %1  %2").arg(outputLetter(p), labels.outputs[std::size_t(p - 1)]));
    ctx.document(documents::labels(ctx.switchKey(), labels));
    return Done;
}

std::vector<Command> switchCommands()
{
    return {
        {"ports", "", "The serial ports, those in use with their holder.", portsCommand},
        {"search", "", "The switches on the local network that answer a search.", searchCommand},
        {"status", "", "Power, beeper, sources, displays, routing, ARC and EDID codes.", statusCommand},
        {"route", "IN:OUT[,OUT...]...", "Routes inputs to outputs, e.g. route 1:A 2:B,C (outputs A-H or 1-8).",
         routeCommand},
        {"arc", "OUT on|off", "Switches an output's audio return channel.", arcCommand},
        {"edid", "set PRESET IN|all | copy OUT IN|all | upload FILE IN|all",
         "Sets the EDID of an input or all: a preset (1-15), a copy of an output's display, or a file.", edidCommand},
        {"info", "", "Kind, ports, firmware version and identification text.", infoCommand},
        {"ident", "set TEXT", "Writes the identification text (at most 32 characters).", identCommand},
        {"upgrade", "FILE", "Upgrades the firmware and follows the switch through its reboot.", upgradeCommand},
        {"power", "on|off", "Powers the switch on or off.",
         [](Context& c, const QStringList& a) { return switchCommand(c, a, QStringLiteral("power")); }},
        {"beep", "on|off", "Switches the beeper on or off.",
         [](Context& c, const QStringList& a) { return switchCommand(c, a, QStringLiteral("beep")); }},
        {"reset", "", "Resets the switch to its factory settings.",
         [](Context& c, const QStringList& a) {
             return plainCommand<FactoryReset>(c, a, QStringLiteral("factory reset"), QStringLiteral("Factory settings restored"));
         }},
        {"reboot", "", "Reboots the switch.",
         [](Context& c, const QStringList& a) {
             return plainCommand<Reboot>(c, a, QStringLiteral("reboot"), QStringLiteral("The switch is rebooting"));
         }},
        {"netconfig", "--mac MAC (--auto | --ip A.B.C.D [--mask M] [--gateway G]) [--target MAC]",
         "Sets the switch's network addressing and MAC (found by a search unless --target).", netconfigCommand},
        {"labels", "[input N NAME | output X NAME | export [FILE] | import FILE [--dry-run]]",
         "Shows the names of the switch's inputs and outputs, sets one (\"\" removes it), or exports or imports "
         "them as CSV (kind,port,name).",
         labelsCommand},
    };
}

}  // namespace

std::vector<Command> builtinCommands()
{
    std::vector<Command> all = switchCommands();
    for (Command& c : backupCommands())
        all.push_back(std::move(c));
    for (Command& c : lockCommands())
        all.push_back(std::move(c));
    // serve: the Videohub protocol server, added by its own library.
    return all;
}

}  // namespace ctl
}  // namespace talvane
