// The serial ports present on this machine and not in use, for the port list,
// and the mapping from a COM number to the device that CSerialPort opens.
//
// COM numbers are stable and come from kernel names: ttyS<n> -> COM n+1,
// ttyUSB<n> -> COM n+33, ttyACM<n> -> COM n+65 (n below 32 each); any other
// device-backed tty gets a number from 97 on in sorted name order, up to 128.
// Registered virtual ports (VirtualPortRegistry) keep their own numbers
// 129..255.
#pragma once

#include <QString>

#include <memory>
#include <utility>
#include <vector>

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
};

// One serial device as the system describes it.
struct TtyDevice {
    QString kernelName;   // ttyUSB0
    QString devicePath;   // /dev/ttyUSB0
    QString description;  // USB product (else interface) string; empty when none
    bool usb = false;
    int uartType = -1;    // sysfs "type" of a serial8250 port; 0 = no UART behind it; -1 unknown
};

// Where the enumeration reads the system's serial devices from.
class TtyDeviceSource {
public:
    virtual ~TtyDeviceSource() = default;
    // Every tty that has a device behind it. False with an error text when the
    // list cannot be read at all.
    virtual bool devices(std::vector<TtyDevice>& out, QString& error) const = 0;
};

// Reads <sysRoot>/class/tty/*/device; device nodes are <devRoot>/<name>.
class SysfsTtyDeviceSource : public TtyDeviceSource {
public:
    explicit SysfsTtyDeviceSource(QString sysRoot = QStringLiteral("/sys"),
                                  QString devRoot = QStringLiteral("/dev"));
    bool devices(std::vector<TtyDevice>& out, QString& error) const override;

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
// COM numbers for a set of devices, in ascending COM order. Devices past
// COM 128 and a second device of the same kernel name are left out.
std::vector<std::pair<int, TtyDevice>> assignComNumbers(std::vector<TtyDevice> devices);

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
    // The system: sysfs, the default virtual port registry, the system lock files.
    SerialPortEnumerator();
    SerialPortEnumerator(std::shared_ptr<const TtyDeviceSource> source, VirtualPortRegistry registry,
                         PortLockPaths locks);

    // The ports present and not in use, in ascending COM order. On failure
    // returns false with an error text and leaves `out` as it was.
    bool enumerate(std::vector<SerialPortRecord>& out, QString& error) const;
    // The device of a COM number, whether in use or not; empty when none.
    QString devicePathOf(int comNumber) const;

private:
    bool present(std::vector<SerialPortRecord>& out, QString& error) const;

    std::shared_ptr<const TtyDeviceSource> source_;
    VirtualPortRegistry registry_;
    PortLockPaths locks_;
};

// Shorthands on the system enumerator.
bool enumerateSerialPorts(std::vector<SerialPortRecord>& out, QString& error);
QString serialDevicePathOf(int comNumber);

}  // namespace talvane
