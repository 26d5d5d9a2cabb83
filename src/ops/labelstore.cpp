#include "labelstore.h"

#include <QHostAddress>
#include <QJsonValue>
#include <QRegularExpression>
#include <QStandardPaths>

#include "jsonfile.h"
#include "protocol/commands.h"

namespace talvane {

namespace {

const char kLabelsFile[] = "/talvane-controller/labels.json";
constexpr int kPorts = 8;

const QString kVersionKey = QStringLiteral("version");
const QString kSwitchesKey = QStringLiteral("switches");
const QString kInputsKey = QStringLiteral("inputs");
const QString kOutputsKey = QStringLiteral("outputs");

bool refusedCharacter(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:       // C0, DEL, C1: tabs, line ends, escapes
    case QChar::Separator_Line:      // a name is one line
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:     // half a character
    case QChar::Other_NotAssigned:
        return true;
    default:
        return c == 0xFFFD;  // what undecodable input became
    }
}

}  // namespace

QString LabelStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String(kLabelsFile);
}

LabelStore::LabelStore(QString path) : m_path(std::move(path)) {}

QString LabelStore::inputKey(int input) { return QString::number(input); }

QString LabelStore::outputKey(int output) { return QString(QLatin1Char(outputLetter(output))); }

bool LabelStore::cleanName(const QString& name, QString* clean, QString* why)
{
    const QString trimmed = name.trimmed();
    int length = 0;
    for (qsizetype i = 0; i < trimmed.size(); ++i) {
        char32_t c = trimmed.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < trimmed.size() && trimmed.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(trimmed.at(i).unicode(), trimmed.at(i + 1).unicode());
            ++i;
        }
        if (refusedCharacter(c)) {
            if (why)
                *why = QStringLiteral("a name is plain text on one line: no control characters");
            return false;
        }
        ++length;
    }
    if (length > kMaxLength) {
        if (why)
            *why = QStringLiteral("a name holds at most %1 characters").arg(kMaxLength);
        return false;
    }
    if (clean)
        *clean = trimmed;
    return true;
}

bool LabelStore::acceptable(const QJsonObject& root, QString* why) const
{
    const auto bad = [&](const QString& what) {
        *why = QStringLiteral("%1: %2").arg(m_path, what);
        return false;
    };
    const QJsonValue version = root.value(kVersionKey);
    if (!version.isDouble() || version.toDouble() != kVersion)
        return bad(QStringLiteral("unknown version (this program reads version %1)").arg(kVersion));
    const QJsonValue switches = root.value(kSwitchesKey);
    if (switches.isUndefined())
        return true;
    if (!switches.isObject())
        return bad(QStringLiteral("\"switches\" is not an object"));
    const QJsonObject all = switches.toObject();
    for (auto s = all.begin(); s != all.end(); ++s) {
        if (!s.value().isObject())
            return bad(QStringLiteral("switch \"%1\" is not an object").arg(s.key()));
        const QJsonObject one = s.value().toObject();
        for (const QString& side : {kInputsKey, kOutputsKey}) {
            const QJsonValue names = one.value(side);
            if (names.isUndefined())
                continue;
            if (!names.isObject())
                return bad(QStringLiteral("\"%1\" of switch \"%2\" is not an object").arg(side, s.key()));
            const QJsonObject map = names.toObject();
            for (auto n = map.begin(); n != map.end(); ++n)
                if (!n.value().isString())
                    return bad(QStringLiteral("name \"%1\" of %2 of switch \"%3\" is not a string")
                                   .arg(n.key(), side, s.key()));
        }
    }
    return true;
}

bool LabelStore::load()
{
    m_pending.clear();
    m_root = QJsonObject{{kVersionKey, kVersion}};
    m_damaged = false;
    m_error.clear();
    const JsonFileRead read = readJsonFile(m_path);
    if (read.missing())
        return true;
    QString why = read.error;
    if (read.damaged() || !acceptable(read.object, &why)) {
        m_damaged = true;
        m_error = why;
        return false;
    }
    m_root = read.object;
    return true;
}

PortLabels LabelStore::labels(const QString& switchKey) const
{
    PortLabels out;
    const QJsonObject one = m_root.value(kSwitchesKey).toObject().value(switchKey).toObject();
    const QJsonObject inputs = one.value(kInputsKey).toObject();
    const QJsonObject outputs = one.value(kOutputsKey).toObject();
    // A hand-edited name this program would refuse is not shown.
    for (int p = 1; p <= kPorts; ++p) {
        cleanName(inputs.value(inputKey(p)).toString(), &out.inputs[p - 1]);
        cleanName(outputs.value(outputKey(p)).toString(), &out.outputs[p - 1]);
    }
    return out;
}

void LabelStore::apply(QJsonObject& root, const Edit& edit)
{
    QJsonObject switches = root.value(kSwitchesKey).toObject();
    QJsonObject one = switches.value(edit.switchKey).toObject();
    const QString& side = edit.output ? kOutputsKey : kInputsKey;
    QJsonObject names = one.value(side).toObject();
    const QString key = edit.output ? outputKey(edit.port) : inputKey(edit.port);
    if (edit.name.isEmpty())
        names.remove(key);
    else
        names.insert(key, edit.name);
    one.insert(side, names);
    switches.insert(edit.switchKey, one);
    root.insert(kSwitchesKey, switches);
}

bool LabelStore::setName(const QString& switchKey, bool output, int port, const QString& name)
{
    if (m_damaged)
        return false;
    if (switchKey.isEmpty() || port < 1 || port > kPorts) {
        m_error = QStringLiteral("no such switch or port");
        return false;
    }
    QString clean, why;
    if (!cleanName(name, &clean, &why)) {
        m_error = why;
        return false;
    }
    const Edit edit{switchKey, output, port, clean};
    apply(m_root, edit);
    m_pending.push_back(edit);
    return true;
}

bool LabelStore::setInput(const QString& switchKey, int input, const QString& name)
{
    return setName(switchKey, false, input, name);
}

bool LabelStore::setOutput(const QString& switchKey, int output, const QString& name)
{
    return setName(switchKey, true, output, name);
}

bool LabelStore::setLabels(const QString& switchKey, const PortLabels& labels)
{
    if (m_damaged)
        return false;
    // All or nothing: check every name before the first is set.
    for (const auto* side : {&labels.inputs, &labels.outputs})
        for (const QString& name : *side) {
            QString why;
            if (!cleanName(name, nullptr, &why)) {
                m_error = why;
                return false;
            }
        }
    for (int p = 1; p <= kPorts; ++p) {
        if (!setInput(switchKey, p, labels.inputs[p - 1]) || !setOutput(switchKey, p, labels.outputs[p - 1]))
            return false;
    }
    return true;
}

bool LabelStore::save()
{
    if (m_damaged)
        return false;
    // Start from what is on disk now, so names another program saved since
    // this store was loaded are kept.
    const JsonFileRead read = readJsonFile(m_path);
    QJsonObject root{{kVersionKey, kVersion}};
    if (!read.missing()) {
        QString why = read.error;
        if (read.damaged() || !acceptable(read.object, &why)) {
            m_error = why;
            return false;
        }
        root = read.object;
    }
    for (const Edit& edit : m_pending)
        apply(root, edit);
    QString why;
    if (!writeJsonFile(m_path, root, &why)) {
        m_error = why;
        return false;
    }
    m_root = root;
    m_pending.clear();
    m_error.clear();
    return true;
}

QString LabelStore::keyForMac(const QString& mac)
{
    QString hex = mac.trimmed().toUpper();
    hex.remove(QRegularExpression(QStringLiteral("[-:. ]")));
    static const QRegularExpression twelveHex(QStringLiteral("^[0-9A-F]{12}$"));
    if (!twelveHex.match(hex).hasMatch())
        return {};
    QStringList pairs;
    for (int i = 0; i < 12; i += 2)
        pairs << hex.mid(i, 2);
    return QStringLiteral("mac:") + pairs.join(u'-');
}

QString LabelStore::keyForPort(int comNumber)
{
    if (comNumber < 1)
        return {};
    return QStringLiteral("port:COM%1").arg(comNumber);
}

QString LabelStore::keyForHost(const QString& address)
{
    const QString trimmed = address.trimmed();
    if (trimmed.isEmpty())
        return {};
    const QHostAddress parsed(trimmed);
    return QStringLiteral("host:") + (parsed.isNull() ? trimmed.toLower() : parsed.toString());
}

}  // namespace talvane
