// The serial link to the switch: one COM device with fixed line settings,
// watched on the event loop of the thread that opened it. Each time bytes
// are waiting, one read of at most kReadChunk bytes is handed on as
// received(), so a flood never keeps the loop from its other work; frames go
// out whole through a short queue of writes; a hang-up, a removed device or a
// failed write closes the port and reports lost() once.
#pragma once

#include <QLoggingCategory>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "core/link.h"
#include "protocol/frame.h"
#include "protocol/serialline.h"
#include "serialdevice.h"

class QSocketNotifier;

Q_DECLARE_LOGGING_CATEGORY(lcSerial)

namespace talvane {

class CSerialPort : public Link {
    Q_OBJECT
public:
    // Largest single write: one firmware data frame.
    static constexpr std::size_t kWriteBufferSize = kDataFrameSize;
    // Frames waiting for room on the line, at most; more are refused.
    static constexpr std::size_t kMaxQueuedWrites = 16;
    // Bytes taken from the device per turn of the event loop.
    static constexpr std::size_t kReadChunk = 4096;

    using DeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

    // `makeDevice` builds the platform device; empty: PosixSerialDevice.
    explicit CSerialPort(DeviceFactory makeDevice = {}, QObject* parent = nullptr);
    ~CSerialPort() override;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens COM `portNumber` (see serialportlist.h for the numbering); an open
    // port is closed first. Returns false when there is no such device or it
    // cannot be opened (in use); a failed line set-up is reported to the debug
    // log and the port still counts as open. Also reported as opened().
    bool Open(int portNumber, int baud = serial::kBaudRate, char parity = serial::kParity,
              int dataBits = serial::kDataBits, int stopBits = serial::kStopBits);
    // Queues one frame (1..kWriteBufferSize bytes): received bytes not yet read
    // are discarded and the frame is written in one call, or, when the line
    // has no room, as soon as it has. Never waits. False when the port is
    // closed or the frame is refused.
    bool QueueWrite(const std::uint8_t* bytes, std::size_t length);
    // Closes the port; reports no loss.
    void RequestStop();

    bool isOpen() const override;
    bool writeFrame(const std::uint8_t* bytes, std::size_t length) override { return QueueWrite(bytes, length); }
    void closeLink() override { RequestStop(); }

    int portNumber() const { return port_; }
    QString devicePath() const { return devicePath_; }
    // The last warning composed by ReportError (also written to lcSerial).
    QString lastWarning() const { return lastWarning_; }

private:
    void onReadable();
    void onWritable();
    // Writes what is queued until the line has no room; false when the line is gone.
    bool flushWrites();
    void loseLine();
    void ReportError(const char* call, const QString& systemText);
    void closeDevice();

    std::unique_ptr<SerialDevice> device_;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    std::deque<std::vector<std::uint8_t>> writes_;
    std::size_t writtenOfFirst_ = 0;  // bytes of writes_.front() already on the line
    int port_ = 0;
    QString devicePath_;
    NodeId ownNode_;  // this port in the process-wide set of open ports
    QString lastWarning_;
};

}  // namespace talvane
