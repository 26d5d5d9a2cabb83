// The serial link to the switch: one COM device with fixed line settings and
// one monitor thread. The thread hands the bytes of each read to the owner in
// one synchronous send, which the owner's dispatchWindowMessage() turns into
// one byte-received message per byte (0x407, wParam = byte, lParam = port
// number), and performs the writes that the user-interface thread queues.
//
// The owner is a QObject that also implements MessageWindow and calls
// dispatchWindowMessage() from its event(); it must outlive the port's thread.
// The user-interface thread never waits for a delivery: RequestStop()
// cancels the pending one, so Open() on an open port and the destructor can
// end the thread while bytes are streaming and events are not processed.
#pragma once

#include <QLoggingCategory>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/link.h"
#include "core/windowmessage.h"
#include "protocol/frame.h"
#include "serialdevice.h"

Q_DECLARE_LOGGING_CATEGORY(lcSerial)

namespace talvane {

// The fixed line settings of the link to the switch.
namespace serial {
constexpr int kBaudRate = 115200;
constexpr char kParity = 'N';
constexpr int kDataBits = 8;
constexpr int kStopBits = 2;
}  // namespace serial

class CSerialPort : public Link {
public:
    // Event mask bits, numbered as the comm events they stand for.
    static constexpr quint32 EvRxChar = 0x0001;  // received bytes -> 0x407 each
    static constexpr quint32 EvRxFlag = 0x0002;  // the event character arrived -> 0x408
    static constexpr quint32 kMainWindowEventMask = EvRxChar | EvRxFlag;
    static constexpr std::uint8_t kEventChar = 'q';

    // Largest single write: one firmware data frame.
    static constexpr std::size_t kWriteBufferSize = kDataFrameSize;
    // Writes queued and not yet started; more are refused.
    static constexpr std::size_t kMaxQueuedWrites = 16;
    static constexpr int kMonitorExitCode = 100;
    static constexpr quintptr kLinkLostWParam = 1;

    using DeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

    // `makeDevice` builds the platform device; empty: PosixSerialDevice.
    explicit CSerialPort(DeviceFactory makeDevice = {});
    ~CSerialPort() override;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens COM `portNumber` (see serialportlist.h for the numbering). An open
    // port is closed first, its thread stopped. Returns false when there is no
    // such device or it cannot be opened (in use); a failed line set-up is
    // reported to the debug log and the port still counts as open.
    bool Open(QObject* owner, int portNumber, int baud = serial::kBaudRate, char parity = serial::kParity,
              int dataBits = serial::kDataBits, int stopBits = serial::kStopBits,
              quint32 eventMask = kMainWindowEventMask);
    // Starts MonitorThread on this port and keeps the thread; call right after
    // a successful Open(). False when the port is not open or a thread runs.
    bool StartMonitorThread();
    static int MonitorThread(CSerialPort* port);

    // Queues one frame (1..kWriteBufferSize bytes) for the monitor thread,
    // which discards unread received bytes and writes the frame in one call.
    // Never waits. False when the port is closed or the frame is refused.
    bool QueueWrite(const std::uint8_t* bytes, std::size_t length);
    // Asks the monitor thread to close the device and end; does not wait.
    void RequestStop();

    // The link: open while the device is; a frame goes to QueueWrite; closing
    // is RequestStop.
    bool isOpen() const override { return open_.load(); }
    bool writeFrame(const std::uint8_t* bytes, std::size_t length) override { return QueueWrite(bytes, length); }
    void closeLink() override { RequestStop(); }

    bool isAlive() const { return alive_.load(); }
    int portNumber() const { return port_; }
    QString devicePath() const { return devicePath_; }
    // The last warning composed by ReportError (also written to lcSerial).
    QString lastWarning() const;
    // How often the monitor loop has woken up; a dead line must not make it spin.
    quint64 wakeCount() const { return wakes_.load(); }

private:
    enum class LineState { Up, Lost };

    void run();
    LineState ReceiveQueued(bool hungUp);
    LineState TransmitBuffer(bool lineLost);
    bool takeWrite(std::vector<std::uint8_t>& frame);
    bool hasQueuedWrite() const;
    // Sends a message synchronously to the owner; false when cancelled by RequestStop.
    bool deliver(int message, quintptr wParam, qintptr lParam, QByteArray payload = {});
    void postLinkLost();
    void ReportError(const char* call, const QString& systemText);
    void stopThread();
    void closeDevice();

    std::unique_ptr<SerialDevice> device_;
    std::thread thread_;
    std::atomic<bool> alive_{false};
    std::atomic<bool> open_{false};
    std::atomic<bool> shutdown_{false};
    std::atomic<quint64> wakes_{0};

    QObject* owner_ = nullptr;
    int port_ = 0;
    quint32 eventMask_ = 0;
    QString devicePath_;
    NodeId ownNode_;  // this port in the process-wide set of open ports

    mutable std::mutex lock_;  // the write queue and the last warning
    std::deque<std::vector<std::uint8_t>> writes_;
    QString lastWarning_;

    std::mutex syncLock_;  // the pending delivery and the session token
    std::shared_ptr<MessageSync> pending_;
    // Carried by the posted link-lost message; cancelled by RequestStop so a
    // link-lost of a closed session is dropped.
    std::shared_ptr<MessageSync> session_;
};

}  // namespace talvane
