#include "hubregistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include "portlocks.h"
#include "registrydir.h"

namespace talvane {

namespace {
const char kEntryPrefix[] = "hub-";
constexpr qsizetype kMaxEntrySize = 4096;
// Instance directories read from the system place: more are not looked at.
constexpr int kMaxInstances = 64;
const QString kWhat = QStringLiteral("hubs");

namespace key {
const QByteArray Device = "device";
const QByteArray Com = "com";
const QByteArray Host = "host";
const QByteArray Control = "control";
const QByteArray ControlPort = "control-port";
const QByteArray Manage = "manage";
const QByteArray Pid = "pid";
const QByteArray Start = "start";
}  // namespace key

bool ownerRunning(const HubEntry& e)
{
    if (e.pid <= 0)
        return false;
    if (e.startTime < 0)
        return processAlive(e.pid);
    return processStartTime(e.pid) == e.startTime;
}

// No line breaks or NULs in a value: each would end it short of what it says.
bool plain(const QString& value)
{
    return !value.contains(QLatin1Char('\n')) && !value.contains(QLatin1Char('\r')) && !value.contains(QChar(0));
}
}  // namespace

QString HubEntry::control() const
{
    const QString host = controlAddress.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(controlAddress.toString())
                             : controlAddress.toString();
    return QStringLiteral("%1:%2").arg(host).arg(controlPort);
}

QString HubEntry::holds() const
{
    if (!isSerial())
        return host;
    return comNumber > 0 ? QStringLiteral("COM%1").arg(comNumber) : devicePath;
}

QString HubRegistry::ownDirectory()
{
    const QByteArray env = qgetenv("TALVANE_HUB_REGISTRY");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return registrydir::inRuntimeDirectory(QStringLiteral("talvane-hubs"));
}

QString HubRegistry::systemDirectory()
{
    if (qEnvironmentVariableIsSet("TALVANE_SYSTEM_HUB_REGISTRY"))
        return qEnvironmentVariable("TALVANE_SYSTEM_HUB_REGISTRY");
    return QStringLiteral("/run/talvane-hubs");
}

HubRegistry::HubRegistry(QString own, QString system)
    : own_(std::move(own))
    , system_(std::move(system))
{
}

HubRegistry::~HubRegistry() { remove(); }
HubRegistry::HubRegistry(HubRegistry&&) noexcept = default;
HubRegistry& HubRegistry::operator=(HubRegistry&&) noexcept = default;

QByteArray HubRegistry::format(const HubEntry& e)
{
    QByteArray out;
    auto line = [&out](const QByteArray& k, const QString& v) { out += k + '=' + v.toUtf8() + '\n'; };
    if (e.isSerial()) {
        line(key::Device, e.devicePath);
        line(key::Com, QString::number(e.comNumber));
    } else {
        line(key::Host, e.host);
    }
    line(key::Control, e.controlAddress.toString());
    line(key::ControlPort, QString::number(e.controlPort));
    if (!e.managePath.isEmpty())
        line(key::Manage, e.managePath);
    line(key::Pid, QString::number(e.pid));
    line(key::Start, QString::number(e.startTime));
    return out;
}

std::optional<HubEntry> HubRegistry::parse(const QByteArray& content)
{
    HubEntry e;
    bool hasPid = false, hasPort = false;
    for (const QByteArray& raw : content.split('\n')) {
        const qsizetype eq = raw.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray k = raw.left(eq);
        const QString v = QString::fromUtf8(raw.mid(eq + 1));
        bool ok = false;
        if (k == key::Device)
            e.devicePath = v;
        else if (k == key::Com)
            e.comNumber = v.toInt();
        else if (k == key::Host)
            e.host = v;
        else if (k == key::Control)
            e.controlAddress = QHostAddress(v);
        else if (k == key::Manage)
            e.managePath = v;
        else if (k == key::ControlPort) {
            const uint port = v.toUInt(&ok);
            hasPort = ok && port > 0 && port <= 0xFFFF;
            e.controlPort = quint16(port);
        } else if (k == key::Pid) {
            e.pid = v.toLongLong(&ok);
            hasPid = ok && e.pid > 0;
        } else if (k == key::Start) {
            e.startTime = v.toLongLong(&ok);
            if (!ok)
                e.startTime = -1;
        }
    }
    // A NUL would end the path where the system reads it, short of what is shown.
    if (e.devicePath.contains(QChar(0)))
        return std::nullopt;
    if (!hasPid || !hasPort || e.controlAddress.isNull() || (e.devicePath.isEmpty() == e.host.isEmpty()))
        return std::nullopt;
    return e;
}

bool HubRegistry::add(HubEntry entry, QString* why)
{
    auto refuse = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (own_.isEmpty())
        return refuse(QStringLiteral("no registry directory"));
    if (!plain(entry.devicePath) || !plain(entry.host) || !plain(entry.managePath))
        return refuse(QStringLiteral("what it holds has a line break in its name"));
    if (ownPlace(why).isEmpty())
        return false;
    entry.pid = QCoreApplication::applicationPid();
    entry.startTime = processStartTime(entry.pid);
    const QByteArray draft = registrydir::writeDraft(own_, format(entry), this);
    if (draft.isEmpty())
        return refuse(QStringLiteral("%1 cannot be written").arg(own_));
    const QString name = own_ + QLatin1Char('/') + QLatin1String(kEntryPrefix) + QString::number(entry.pid);
    if (std::rename(draft.constData(), QFile::encodeName(name).constData()) != 0) {
        QFile::remove(QFile::decodeName(draft));
        return refuse(QStringLiteral("%1 cannot be written").arg(name));
    }
    written_ = name;
    return true;
}

QString HubRegistry::ownPlace(QString* why) const
{
    if (own_.isEmpty()) {
        if (why)
            *why = QStringLiteral("no registry directory");
        return QString();
    }
    QString distrust;
    if (!registrydir::makePrivate(own_) || !registrydir::trusted(own_, registrydir::Owner::Self, &distrust)) {
        if (why)
            *why = QStringLiteral("the directory %1 %2").arg(own_, distrust.isEmpty() ? QStringLiteral("cannot be made") : distrust);
        return QString();
    }
    return own_;
}

void HubRegistry::remove()
{
    if (!written_.isEmpty())
        QFile::remove(written_);
    written_.clear();
}

void HubRegistry::readDirectory(const QString& dir, bool removeStale, std::vector<HubEntry>& out) const
{
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList names = QDir(dir).entryList({QLatin1String(kEntryPrefix) + QLatin1Char('*')}, QDir::Files);
    for (const QString& name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        QByteArray raw;
        if (!readWholeFile(QFile::encodeName(path), raw, kMaxEntrySize))
            continue;  // removed meanwhile
        const std::optional<HubEntry> e = parse(raw);
        if (!e || !ownerRunning(*e)) {
            // Removed only as it was judged: a new hub may have taken its name meanwhile.
            QByteArray now;
            if (removeStale && readWholeFile(QFile::encodeName(path), now, kMaxEntrySize) && now == raw)
                QFile::remove(path);
            continue;
        }
        if (e->pid != self)
            out.push_back(*e);
    }
}

std::vector<HubEntry> HubRegistry::list() const
{
    std::vector<HubEntry> out;
    if (!own_.isEmpty() && QFileInfo::exists(own_) && registrydir::usable(own_, registrydir::Owner::Self, kWhat))
        readDirectory(own_, true, out);
    QStringList instances;
    watchDirectories(&instances);
    for (const QString& dir : instances)
        if (QFileInfo(dir).canonicalFilePath() != QFileInfo(own_).canonicalFilePath())
            readDirectory(dir, false, out);
    return out;
}

QStringList HubRegistry::watchDirectories(QStringList* instances) const
{
    QStringList dirs;
    if (!own_.isEmpty())
        dirs << own_;
    if (system_.isEmpty())
        return dirs;
    dirs << system_;
    if (!instances || !QFileInfo::exists(system_) || !registrydir::usable(system_, registrydir::Owner::Root, kWhat))
        return dirs;
    const QStringList names = QDir(system_).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names.mid(0, kMaxInstances)) {
        // Inside a directory only root may write, whoever owns an instance
        // directory was given it by root (systemd, for the service's user).
        const QString dir = system_ + QLatin1Char('/') + name;
        if (registrydir::usable(dir, registrydir::Owner::Any, kWhat))
            *instances << dir;
    }
    return dirs;
}

const HubEntry* HubRegistry::holding(const std::vector<HubEntry>& hubs, const QString& devicePath)
{
    const QString wanted = canonicalDevicePath(devicePath);
    for (const HubEntry& e : hubs)
        if (e.isSerial() && (e.devicePath == devicePath || canonicalDevicePath(e.devicePath) == wanted))
            return &e;
    return nullptr;
}

std::optional<HubEntry> HubRegistry::servingDevice(const QString& devicePath) const
{
    const std::vector<HubEntry> hubs = list();
    const HubEntry* e = holding(hubs, devicePath);
    return e ? std::optional<HubEntry>(*e) : std::nullopt;
}

std::optional<HubEntry> HubRegistry::servingHost(const QString& hostAndPort) const
{
    for (const HubEntry& e : list())
        if (!e.isSerial() && e.host == hostAndPort)
            return e;
    return std::nullopt;
}

}  // namespace talvane
