#include "virtualports.h"

#include "portlocks.h"
#include "registrydir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace talvane {

namespace {
const char kEntryPrefix[] = "COM";
constexpr qsizetype kMaxEntrySize = 4096;

bool isCharacterDevice(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}
}  // namespace

QString VirtualPortRegistry::defaultDirectory()
{
    const QByteArray env = qgetenv("TALVANE_PORT_REGISTRY");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return registrydir::inRuntimeDirectory(QStringLiteral("talvane-ports"));
}

VirtualPortRegistry::VirtualPortRegistry(QString directory)
    : dir_(std::move(directory))
{
}

QString VirtualPortRegistry::entryPath(int comNumber) const
{
    return dir_ + QLatin1Char('/') + QLatin1String(kEntryPrefix) + QString::number(comNumber);
}

bool VirtualPortRegistry::parseEntry(int comNumber, const QByteArray& content, VirtualPort& out)
{
    // Device path, description, owner PID and (since it is recorded) the
    // owner's start time, one a line.
    const QStringList lines = QString::fromUtf8(content).split(QLatin1Char('\n'));
    if (lines.size() < 3)
        return false;
    bool pidOk = false;
    out.comNumber = comNumber;
    out.devicePath = lines.at(0);
    out.description = lines.at(1);
    out.ownerPid = lines.at(2).toLongLong(&pidOk);
    bool startOk = false;
    out.ownerStartTime = lines.size() > 3 ? lines.at(3).toLongLong(&startOk) : -1;
    if (!startOk)
        out.ownerStartTime = -1;
    // A NUL would end the path where the system reads it, short of what is shown.
    return pidOk && !out.devicePath.isEmpty() && !out.devicePath.contains(QChar(0));
}

bool VirtualPortRegistry::trusted(QString* why) const
{
    return registrydir::trusted(dir_, registrydir::Owner::Self, why);
}

bool VirtualPortRegistry::usable() const
{
    return registrydir::usable(dir_, registrydir::Owner::Self, QStringLiteral("virtual serial ports"));
}

int VirtualPortRegistry::add(const QString& devicePath, const QString& description)
{
    if (!registrydir::makePrivate(dir_) || !usable())
        return -1;
    for (const VirtualPort& p : list())
        if (p.devicePath == devicePath)
            return p.comNumber;
    const qint64 pid = QCoreApplication::applicationPid();
    const QByteArray content = (devicePath + QLatin1Char('\n') + description + QLatin1Char('\n') + QString::number(pid)
                                + QLatin1Char('\n') + QString::number(processStartTime(pid)) + QLatin1Char('\n'))
                                   .toUtf8();
    // The entry is linked from its draft to its COM name, which claims the
    // number atomically: a crash leaves no entry without an owner.
    const QByteArray draft = registrydir::writeDraft(dir_, content, this);
    if (draft.isEmpty())
        return -1;
    int claimed = -1;
    for (int n = kFirstCom; n <= kLastCom; ++n) {
        if (::link(draft.constData(), QFile::encodeName(entryPath(n)).constData()) == 0) {
            claimed = n;
            break;
        }
        if (errno != EEXIST)
            break;
    }
    ::unlink(draft.constData());
    return claimed;
}

bool VirtualPortRegistry::remove(int comNumber) { return QFile::remove(entryPath(comNumber)); }

bool VirtualPortRegistry::ownerRunning(const VirtualPort& port)
{
    if (port.ownerStartTime < 0)
        return processAlive(port.ownerPid);
    return processStartTime(port.ownerPid) == port.ownerStartTime;
}

void VirtualPortRegistry::removeIfUnchanged(int comNumber, const QByteArray& raw) const
{
    // Another panel may have cleaned the entry up and a new owner taken the
    // number meanwhile: remove only what was judged.
    QByteArray now;
    if (readWholeFile(QFile::encodeName(entryPath(comNumber)), now, kMaxEntrySize) && now == raw)
        QFile::remove(entryPath(comNumber));
}

std::vector<VirtualPort> VirtualPortRegistry::list() const
{
    std::vector<VirtualPort> out;
    if (!QFileInfo::exists(dir_) || !usable())
        return out;
    const QDir dir(dir_);
    const QStringList names = dir.entryList({QLatin1String(kEntryPrefix) + QLatin1Char('*')}, QDir::Files);
    for (const QString& name : names) {
        bool ok = false;
        const int n = name.mid(int(sizeof kEntryPrefix) - 1).toInt(&ok);
        if (!ok || n < kFirstCom || n > kLastCom)
            continue;
        QByteArray raw;
        if (!readWholeFile(QFile::encodeName(entryPath(n)), raw, kMaxEntrySize))
            continue;  // removed meanwhile
        VirtualPort p;
        if (!parseEntry(n, raw, p) || !ownerRunning(p) || !isCharacterDevice(p.devicePath)) {
            removeIfUnchanged(n, raw);
            continue;
        }
        out.push_back(p);
    }
    std::sort(out.begin(), out.end(), [](const VirtualPort& a, const VirtualPort& b) { return a.comNumber < b.comNumber; });
    return out;
}

QString VirtualPortRegistry::devicePathOf(int comNumber, qint64* owner) const
{
    for (const VirtualPort& p : list())
        if (p.comNumber == comNumber) {
            if (owner)
                *owner = p.ownerPid;
            return p.devicePath;
        }
    return {};
}

}  // namespace talvane
