// The platform layer under CSerialPort: one serial device. CSerialPort holds
// the logic (watching the line on the event loop, queued writes, loss); a
// device only opens, configures, reads and writes without blocking, and names
// the descriptor the event loop watches. PosixSerialDevice is the Linux
// backend over termios; another platform adds its own class.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "portlocks.h"

namespace talvane {

struct LineSettings {
    int baud = 115200;
    char parity = 'N';  // N, E, O, M (mark) or S (space)
    int dataBits = 8;
    int stopBits = 2;
    bool dtr = true;
    bool rts = true;
};

// Outcome of one read or write call.
struct IoResult {
    enum Status { Done, WouldBlock, HungUp, Failed };
    Status status = Done;
    std::size_t count = 0;
};

class SerialDevice {
public:
    // Names of the set-up steps, as they appear in the port's warning text.
    static constexpr const char* kStepGetState = "GetCommState()";
    static constexpr const char* kStepBuildSettings = "BuildCommDCB()";
    static constexpr const char* kStepSetState = "SetCommState()";
    static constexpr const char* kStepControlLines = "ioctl(TIOCMBIS)";

    virtual ~SerialDevice() = default;

    // Opens the device for exclusive use. Fails, without touching the device,
    // when another process holds it (lock file, exclusive lock or simply open)
    // or this process already has it open. `provider` is the process offering
    // a virtual port, which keeps its own end open; it does not count.
    virtual bool open(const QString& devicePath, qint64 provider = 0) = 0;
    virtual bool isOpen() const = 0;
    // Closes the device, dropping output not yet sent.
    virtual void close() = 0;

    // Applies the line settings; on failure names the step that failed in
    // `failedStep` and leaves the remaining steps undone.
    virtual bool configure(const LineSettings& settings, std::string& failedStep) = 0;
    // Discards received bytes not yet read, and (with `output`) bytes not yet sent.
    virtual bool purge(bool output) = 0;

    // Neither call blocks: WouldBlock when nothing can be read or written now.
    virtual IoResult read(std::uint8_t* buffer, std::size_t capacity) = 0;
    virtual IoResult write(const std::uint8_t* bytes, std::size_t length) = 0;

    // The descriptor the event loop watches for received bytes, room to
    // write and the line's hang-up; -1 while closed.
    virtual int descriptor() const = 0;

    // The system's message text for the last failed call.
    virtual QString errorText() const = 0;
};

class PosixSerialDevice : public SerialDevice {
public:
    explicit PosixSerialDevice(PortLockPaths locks = PortLockPaths::system());
    ~PosixSerialDevice() override;
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    bool open(const QString& devicePath, qint64 provider = 0) override;
    bool isOpen() const override { return fd_ >= 0; }
    void close() override;
    bool configure(const LineSettings& settings, std::string& failedStep) override;
    bool purge(bool output) override;
    IoResult read(std::uint8_t* buffer, std::size_t capacity) override;
    IoResult write(const std::uint8_t* bytes, std::size_t length) override;
    int descriptor() const override { return fd_; }
    QString errorText() const override;

private:
    void setError(int err) { errno_ = err; }

    PortLockPaths locks_;
    int fd_ = -1;
    int errno_ = 0;
};

}  // namespace talvane
