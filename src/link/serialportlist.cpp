#include "serialportlist.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <set>

namespace talvane {

namespace {
const char kComPrefix[] = "COM";
const char kSerialFamily[] = "ttyS";
const char kUsbFamily[] = "ttyUSB";
const char kAcmFamily[] = "ttyACM";
const char kSerialDescription[] = "Communications Port";
const char kUsbDescription[] = "USB Serial Port";
const char kOtherDescription[] = "Serial Port";
const char kVirtualDescription[] = "Virtual Serial Port";
constexpr int kNoUart = 0;          // sysfs "type" of a ttyS with no UART behind it
constexpr int kMaxSysfsDepth = 12;  // levels walked up from a tty to its USB device

// n when `name` is `family` followed by decimal digits only, else -1.
int familyIndex(const QString& name, const char* family)
{
    const QLatin1String prefix(family);
    if (!name.startsWith(prefix) || name.size() == prefix.size())
        return -1;
    const QStringView digits = QStringView(name).mid(prefix.size());
    for (QChar c : digits)
        if (!c.isDigit())
            return -1;
    bool ok = false;
    const int n = digits.toInt(&ok);
    return ok ? n : -1;
}

bool isSerialFamily(const QString& name) { return familyIndex(name, kSerialFamily) >= 0; }

// Name order with a trailing number compared as a number: ttyAMA2 < ttyAMA10.
bool naturalLess(const QString& a, const QString& b)
{
    auto split = [](const QString& s) {
        int i = s.size();
        while (i > 0 && s.at(i - 1).isDigit())
            --i;
        return std::make_pair(s.left(i), s.mid(i));
    };
    const auto [pa, na] = split(a);
    const auto [pb, nb] = split(b);
    if (pa != pb)
        return pa < pb;
    if (na.size() != nb.size())
        return na.size() < nb.size();
    return na < nb;
}

QString readSysfsText(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).trimmed();
}

QString comName(int n) { return QLatin1String(kComPrefix) + QString::number(n); }

QString descriptionOf(const TtyDevice& d)
{
    if (isSerialFamily(d.kernelName))
        return QLatin1String(kSerialDescription);
    if (!d.description.isEmpty())
        return d.description;
    return QLatin1String(d.usb ? kUsbDescription : kOtherDescription);
}

SerialPortRecord makeRecord(int n, const QString& devicePath, const QString& description, bool usb)
{
    SerialPortRecord r;
    r.devicePath = devicePath;
    r.portName = comName(n);
    r.friendlyName = description + QStringLiteral(" (") + r.portName + QLatin1Char(')');
    r.usb = usb;
    r.comNumber = n;
    return r;
}

// Present devices that can carry a serial line, with their COM numbers.
bool kernelPorts(const TtyDeviceSource& source, std::vector<std::pair<int, TtyDevice>>& out, QString& error)
{
    std::vector<TtyDevice> devices;
    if (!source.devices(devices, error))
        return false;
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [](const TtyDevice& d) { return isSerialFamily(d.kernelName) && d.uartType == kNoUart; }),
                  devices.end());
    out = assignComNumbers(std::move(devices));
    return true;
}
}  // namespace

// ---------------------------------------------------------------------------

SysfsTtyDeviceSource::SysfsTtyDeviceSource(QString sysRoot, QString devRoot)
    : sysRoot_(std::move(sysRoot))
    , devRoot_(std::move(devRoot))
{
}

bool SysfsTtyDeviceSource::devices(std::vector<TtyDevice>& out, QString& error) const
{
    const QString classDir = sysRoot_ + QStringLiteral("/class/tty");
    DIR* dir = ::opendir(QFile::encodeName(classDir).constData());
    if (!dir) {
        error = QStringLiteral("Could not read from %1. (err=%2)").arg(classDir).arg(errno, 0, 16);
        return false;
    }
    std::vector<TtyDevice> found;
    while (const dirent* entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name.startsWith(QLatin1Char('.')))
            continue;
        const QString entryDir = classDir + QLatin1Char('/') + name;
        // Consoles, ptmx and pseudo-terminals have no device behind them.
        const QString device = QFileInfo(entryDir + QStringLiteral("/device")).canonicalFilePath();
        if (device.isEmpty())
            continue;
        TtyDevice d;
        d.kernelName = name;
        d.devicePath = devRoot_ + QLatin1Char('/') + name;
        bool ok = false;
        const int type = readSysfsText(entryDir + QStringLiteral("/type")).toInt(&ok);
        d.uartType = ok ? type : -1;

        // Walk up to the USB device, if any: its directory has idVendor; the
        // directory below it on the way is the interface.
        const QString devicesRoot = QFileInfo(sysRoot_ + QStringLiteral("/devices")).canonicalFilePath();
        QString below;
        QString at = device;
        for (int depth = 0; depth < kMaxSysfsDepth && !devicesRoot.isEmpty() && at.startsWith(devicesRoot + QLatin1Char('/'));
             ++depth) {
            if (QFileInfo::exists(at + QStringLiteral("/idVendor"))) {
                d.usb = true;
                d.description = readSysfsText(at + QStringLiteral("/product"));
                if (d.description.isEmpty() && !below.isEmpty())
                    d.description = readSysfsText(below + QStringLiteral("/interface"));
                break;
            }
            below = at;
            at = at.left(at.lastIndexOf(QLatin1Char('/')));
        }
        found.push_back(std::move(d));
    }
    ::closedir(dir);
    out = std::move(found);
    return true;
}

// ---------------------------------------------------------------------------

int fixedComNumber(const QString& kernelName)
{
    const struct {
        const char* family;
        int first;
    } families[] = {{kSerialFamily, com::kFirstSerial}, {kUsbFamily, com::kFirstUsb}, {kAcmFamily, com::kFirstAcm}};
    for (const auto& f : families) {
        const int n = familyIndex(kernelName, f.family);
        if (n >= 0 && n < com::kPerFamily)
            return f.first + n;
    }
    return 0;
}

std::vector<std::pair<int, TtyDevice>> assignComNumbers(std::vector<TtyDevice> devices)
{
    std::sort(devices.begin(), devices.end(),
              [](const TtyDevice& a, const TtyDevice& b) { return naturalLess(a.kernelName, b.kernelName); });
    std::vector<std::pair<int, TtyDevice>> out;
    std::set<QString> seen;
    int nextOther = com::kFirstOther;
    for (TtyDevice& d : devices) {
        if (!seen.insert(d.kernelName).second)
            continue;
        int n = fixedComNumber(d.kernelName);
        if (n == 0) {
            if (nextOther > com::kLastKernel)
                continue;
            n = nextOther++;
        }
        out.emplace_back(n, std::move(d));
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

QString descriptionFromFriendlyName(const QString& friendlyName)
{
    const int open = friendlyName.indexOf(QStringLiteral(" ("));
    const int close = friendlyName.indexOf(QLatin1Char(')'));
    if (open > 0 && close == friendlyName.size() - 1)
        return friendlyName.left(open);
    return friendlyName;
}

void completeRecord(SerialPortRecord& record)
{
    if (record.friendlyName.isEmpty())
        record.friendlyName = record.portName;
    if (record.portDescription.isEmpty())
        record.portDescription = descriptionFromFriendlyName(record.friendlyName);
}

// ---------------------------------------------------------------------------

SerialPortEnumerator::SerialPortEnumerator()
    : SerialPortEnumerator(std::make_shared<SysfsTtyDeviceSource>(), VirtualPortRegistry(), PortLockPaths::system())
{
}

SerialPortEnumerator::SerialPortEnumerator(std::shared_ptr<const TtyDeviceSource> source, VirtualPortRegistry registry,
                                           PortLockPaths locks)
    : source_(std::move(source))
    , registry_(std::move(registry))
    , locks_(std::move(locks))
{
}

bool SerialPortEnumerator::present(std::vector<SerialPortRecord>& out, QString& error) const
{
    std::vector<std::pair<int, TtyDevice>> kernel;
    if (!kernelPorts(*source_, kernel, error))
        return false;
    for (const auto& [n, d] : kernel)
        out.push_back(makeRecord(n, d.devicePath, descriptionOf(d), d.usb));
    for (const VirtualPort& v : registry_.list()) {
        const QString description = v.description.isEmpty() ? QLatin1String(kVirtualDescription) : v.description;
        out.push_back(makeRecord(v.comNumber, v.devicePath, description, false));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const SerialPortRecord& a, const SerialPortRecord& b) { return a.comNumber < b.comNumber; });
    for (SerialPortRecord& r : out)
        completeRecord(r);
    return true;
}

bool SerialPortEnumerator::enumerate(std::vector<SerialPortRecord>& out, QString& error) const
{
    std::vector<SerialPortRecord> all;
    if (!present(all, error))
        return false;
    std::vector<SerialPortRecord> free;
    for (SerialPortRecord& r : all)
        if (!portInUse(r.devicePath, locks_))
            free.push_back(std::move(r));
    out.swap(free);
    return true;
}

QString SerialPortEnumerator::devicePathOf(int comNumber) const
{
    if (comNumber >= VirtualPortRegistry::kFirstCom && comNumber <= VirtualPortRegistry::kLastCom)
        return registry_.devicePathOf(comNumber);
    if (comNumber < com::kFirstSerial || comNumber > com::kLastKernel)
        return {};
    std::vector<std::pair<int, TtyDevice>> kernel;
    QString error;
    if (!kernelPorts(*source_, kernel, error))
        return {};
    for (const auto& [n, d] : kernel)
        if (n == comNumber)
            return d.devicePath;
    return {};
}

bool enumerateSerialPorts(std::vector<SerialPortRecord>& out, QString& error)
{
    return SerialPortEnumerator().enumerate(out, error);
}

QString serialDevicePathOf(int comNumber) { return SerialPortEnumerator().devicePathOf(comNumber); }

}  // namespace talvane
