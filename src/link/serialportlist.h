// The serial ports present on this machine and not in use, for the port list,
// and the mapping from a COM number to the device that CSerialPort opens.
//
// COM numbers are stable and come from kernel names: ttyS<n> -> COM n+1,
// ttyUSB<n> -> COM n+33, ttyACM<n> -> COM n+65 (n below 32 each); any other
// device-backed tty gets a number from 97 to 128 the first time it is seen,
// and keeps it (ComNumberStore). Registered virtual ports (VirtualPortRegistry)
// keep their own numbers 129..255.
//
// Left out of the list: ports in use (see portlocks.h) and ports this user may
// not open, except a port a hub holds (HubRegistry): that one is listed as
// reachable through the hub. No device is opened to find out.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "hubregistry.h"
#include "portlocks.h"
#include "virtualports.h"

namespace talvane {

struct SerialPortRecord {
    QString devicePath;       // /dev/ttyUSB0, or the registered path of a virtual port
    QString portName;         // "COM33"
    QString friendlyName;     // "<description> (COM33)"
    bool usb = false;
    QString portDescription;  // the friendly name without its " (COMn)"
    int comNumber = 0;
    // A USB adapter's vendor and product ids and its serial number, as
    // "vendor:product:serial" (the serial may be empty); empty for any other
    // port. It tells the same adapter again when it comes back elsewhere.
    QString usbIdentity;
    // Where the control port of the hub that holds this port listens
    // ("127.0.0.1:8000"): it is reached through the hub. Empty when no hub holds it.
    QString hub;
};

// One serial device as the system describes it.
struct TtyDevice {
    QString kernelName;   // ttyUSB0
    QString devicePath;   // /dev/ttyUSB0
    QString description;  // USB product (else interface) string; empty when none
    bool usb = false;
    int uartType = -1;    // sysfs "type" of a serial8250 port; 0 = no UART behind it; -1 unknown
    QString usbIdentity;  // see SerialPortRecord
};

// Where the enumeration reads the system's serial devices from.
class TtyDeviceSource {
public:
    virtual ~TtyDeviceSource() = default;
    // Every tty that has a device behind it. False with an error text when the
    // list cannot be read at all.
    virtual bool devices(std::vector<TtyDevice>& out, QString& error) const = 0;
    // Directories that change whenever the devices do. The enumeration reads
    // the devices again only after one of them changed; with none, it reads
    // them every time.
    virtual QStringList watchDirectories() const { return {}; }
};

// Reads <sysRoot>/class/tty/*/device; device nodes are <devRoot>/<name>.
class SysfsTtyDeviceSource : public TtyDeviceSource {
public:
    explicit SysfsTtyDeviceSource(QString sysRoot = QStringLiteral("/sys"),
                                  QString devRoot = QStringLiteral("/dev"));
    bool devices(std::vector<TtyDevice>& out, QString& error) const override;
    // <devRoot> (a device node comes and goes with its tty) and <sysRoot>/class/tty.
    QStringList watchDirectories() const override;

private:
    QString sysRoot_;
    QString devRoot_;
};

namespace com {
constexpr int kFirstSerial = 1;   // ttyS0
constexpr int kFirstUsb = 33;     // ttyUSB0
constexpr int kFirstAcm = 65;     // ttyACM0
constexpr int kFirstOther = 97;   // other device-backed ttys, in sorted name order
constexpr int kLastKernel = 128;
constexpr int kPerFamily = kFirstUsb - kFirstSerial;  // 32 numbers for each of ttyS, ttyUSB, ttyACM
}  // namespace com

// COM number for the ttyS/ttyUSB/ttyACM families, or 0 for any other name.
int fixedComNumber(const QString& kernelName);

// The COM numbers 97..128 given to ttys of other families, by kernel name. A
// name keeps its number while the device is away, so a device coming or going
// never renumbers the others. Kept in a file shared by every panel of the user.
class ComNumberStore {
public:
    // `file` empty: kept in this object only.
    explicit ComNumberStore(QString file = {});
    // <user configuration directory>/talvane-controller/com-numbers
    static QString defaultFile();

    // Numbers for the present devices `names`. A name seen for the first time
    // gets the lowest number no name holds; when every number is held, the one
    // of the absent name that got it longest ago. A name left without a number
    // (more than 32 present) is not in the result.
    std::map<QString, int> assign(const QStringList& names);

private:
    using Table = std::vector<std::pair<QString, int>>;  // in the order given
    bool load(Table& table) const;
    bool save(const Table& table) const;

    QString file_;
    Table memory_;
};

// COM numbers for a set of devices, in ascending COM order. Devices past
// COM 128 and a second device of the same kernel name are left out.
std::vector<std::pair<int, TtyDevice>> assignComNumbers(std::vector<TtyDevice> devices, ComNumberStore& store);

// Whether this user may open the device for reading and writing, decided
// without opening it (effective ids, groups and access lists all count).
using AccessCheck = std::function<bool(const QString& devicePath)>;
bool mayOpenDevice(const QString& devicePath);

// The port list's hint for USB and ACM adapters left out because this user
// may not open them; `groups` are the groups owning them whose members may,
// and the hint names the command that adds the user to them. Empty when
// `count` is 0.
QString permissionHint(int count, const QStringList& groups);

// The description the port list derives from a friendly name: the text
// before its " (" when " (" is not at the start and the first ")" is the
// last character ("Communications Port (COM1)" -> "Communications Port");
// otherwise the whole text.
QString descriptionFromFriendlyName(const QString& friendlyName);
// Fills an empty friendly name from the port name, and an empty description
// from the friendly name as above.
void completeRecord(SerialPortRecord& record);

class SerialPortEnumerator {
public:
    // How often in a row the enumeration trusts that unchanged watched
    // directories mean unchanged devices before it reads them anyway.
    static constexpr int kRescanEvery = 50;

    // The system: sysfs, the default virtual port and hub registries, the
    // system lock files, the user's COM number file and the real access check.
    SerialPortEnumerator();
    // `comNumberFile` empty: numbers kept in this object; `mayOpen` empty: mayOpenDevice.
    SerialPortEnumerator(std::shared_ptr<const TtyDeviceSource> source, VirtualPortRegistry registry,
                         PortLockPaths locks, QString comNumberFile = {}, AccessCheck mayOpen = {},
                         HubRegistry hubs = HubRegistry::none());
    ~SerialPortEnumerator();
    SerialPortEnumerator(SerialPortEnumerator&&) noexcept;
    SerialPortEnumerator& operator=(SerialPortEnumerator&&) noexcept;

    // The ports present, not in use and open to this user, and those a hub
    // holds (with SerialPortRecord::hub), in ascending COM order. On failure returns false with an error text and leaves `out` as
    // it was. `hint` gets permissionHint() for the adapters left out.
    //
    // Meant to be called again and again: the devices and the registry are
    // read again only when they changed, and whether a listed device is held
    // open by another process is looked up only when it was opened or closed.
    bool enumerate(std::vector<SerialPortRecord>& out, QString& error, QString& hint);
    bool enumerate(std::vector<SerialPortRecord>& out, QString& error);
    // The device of every port present at the last enumeration, listed or
    // not (in use, or not open to this user): what to watch for changes.
    QStringList presentDevices() const;
    // The device of a COM number, whether in use or not; empty when none.
    // `provider` gets the process offering it when it is a virtual port.
    QString devicePathOf(int comNumber, qint64* provider = nullptr) const;

private:
    struct State;

    std::shared_ptr<const TtyDeviceSource> source_;
    VirtualPortRegistry registry_;
    HubRegistry hubs_;
    PortLockPaths locks_;
    AccessCheck mayOpen_;
    std::unique_ptr<ComNumberStore> store_;
    std::unique_ptr<State> state_;
};

// Shorthands on the system enumerator, which lives as long as the process so
// that each refresh of the list costs little.
bool enumerateSerialPorts(std::vector<SerialPortRecord>& out, QString& error, QString& hint);
bool enumerateSerialPorts(std::vector<SerialPortRecord>& out, QString& error);
QString serialDevicePathOf(int comNumber, qint64* provider = nullptr);
QStringList presentSerialDevices();

}  // namespace talvane
