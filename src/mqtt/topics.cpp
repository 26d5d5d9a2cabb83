#include "topics.h"

#include <QStringList>

#include "protocol/commands.h"

namespace talvane {
namespace mqtt {

namespace {

const QString kRoot = QStringLiteral("talvane");
const QString kSet = QStringLiteral("/set");
const QString kMacPrefix = QStringLiteral("mac:");

}  // namespace

QString slug(const QString& text)
{
    QString out;
    for (QChar c : text.toLower()) {
        const bool keep = (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_' || c == u'-';
        const QChar put = keep ? c : QChar(u'-');
        if (put == u'-' && (out.isEmpty() || out.endsWith(u'-')))
            continue;
        out += put;
    }
    while (out.endsWith(u'-'))
        out.chop(1);
    return out;
}

QString switchIdFor(const QString& switchKey, const QString& givenId)
{
    if (switchKey.startsWith(kMacPrefix))
        return slug(switchKey.mid(kMacPrefix.size()).remove(u'-').remove(u':'));
    if (!givenId.isEmpty())
        return slug(givenId);
    // "port:COM129" -> "com129", "host:192.168.1.50:8001" -> "192-168-1-50-8001".
    return slug(switchKey.section(u':', 1));
}

std::optional<bool> onOffPayload(const QByteArray& payload)
{
    const QByteArray p = payload.trimmed().toUpper();
    if (p == kOn)
        return true;
    if (p == kOff)
        return false;
    return std::nullopt;
}

Topics::Topics(QString switchId, QString discoveryPrefix)
    : id_(std::move(switchId))
    , prefix_(std::move(discoveryPrefix))
{
}

QString Topics::base() const { return kRoot + u'/' + id_; }
QString Topics::availability() const { return base() + QStringLiteral("/availability"); }

QString Topics::output(int output, const char* leaf) const
{
    return base() + QStringLiteral("/output/") + QChar(outputLetter(output)) + u'/' + QLatin1String(leaf);
}

QString Topics::input(int input, const char* leaf) const
{
    return base() + QStringLiteral("/input/") + QString::number(input) + u'/' + QLatin1String(leaf);
}

QString Topics::outputInput(int o) const { return output(o, "input"); }
QString Topics::outputInputName(int o) const { return output(o, "input/name"); }
QString Topics::outputArc(int o) const { return output(o, "arc"); }
QString Topics::outputLock(int o) const { return output(o, "lock"); }
QString Topics::outputLockHolder(int o) const { return output(o, "lock/holder"); }
QString Topics::outputDisplay(int o) const { return output(o, "display"); }
QString Topics::outputName(int o) const { return output(o, "name"); }
QString Topics::inputSource(int i) const { return input(i, "source"); }
QString Topics::inputName(int i) const { return input(i, "name"); }
QString Topics::power() const { return base() + QStringLiteral("/power"); }
QString Topics::beeper() const { return base() + QStringLiteral("/beeper"); }
QString Topics::preset() const { return base() + QStringLiteral("/preset"); }
QString Topics::firmware() const { return base() + QStringLiteral("/firmware"); }
QString Topics::result() const { return base() + QStringLiteral("/result"); }

QString Topics::commandOf(const QString& stateTopic) { return stateTopic + kSet; }

QStringList Topics::commandFilters() const
{
    return {base() + QStringLiteral("/output/+/input/set"), base() + QStringLiteral("/output/+/arc/set"),
            base() + QStringLiteral("/output/+/lock/set"),
            powerCommand(), beeperCommand(), presetCommand()};
}

QString Topics::homeAssistantStatus() const { return prefix_ + QStringLiteral("/status"); }

QString Topics::discovery(const QString& component, const QString& objectId) const
{
    return prefix_ + u'/' + component + u'/' + nodeId() + u'/' + objectId + QStringLiteral("/config");
}

QString Topics::nodeId() const { return kRoot + u'_' + QString(id_).replace(u'-', u'_'); }

}  // namespace mqtt
}  // namespace talvane
