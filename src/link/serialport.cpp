#include "serialport.h"

#include <QCoreApplication>

#include <cstring>

#include "portlocks.h"
#include "serialportlist.h"

Q_LOGGING_CATEGORY(lcSerial, "talvane.serial", QtInfoMsg)

namespace talvane {

namespace {
const char kWarningFormat[] = "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n";
const char kReadStep[] = "ReadFile()";
const char kPurgeStep[] = "PurgeComm()";
constexpr std::size_t kReadChunk = 4096;
}  // namespace

CSerialPort::CSerialPort(DeviceFactory makeDevice)
    : device_(makeDevice ? makeDevice() : std::make_unique<PosixSerialDevice>())
{
}

CSerialPort::~CSerialPort()
{
    stopThread();
    closeDevice();
}

bool CSerialPort::Open(QObject* owner, int portNumber, int baud, char parity, int dataBits, int stopBits,
                       quint32 eventMask)
{
    stopThread();
    closeDevice();
    {
        std::lock_guard<std::mutex> lock(syncLock_);
        shutdown_ = false;
        pending_.reset();
        session_ = std::make_shared<MessageSync>();
    }
    {
        std::lock_guard<std::mutex> lock(lock_);
        writes_.clear();
    }
    owner_ = owner;
    port_ = portNumber;
    eventMask_ = eventMask;

    qint64 provider = 0;
    const QString path = serialDevicePathOf(portNumber, &provider);
    if (path.isEmpty() || !device_->open(path, provider))
        return false;
    devicePath_ = path;
    NodeId::of(path, ownNode_);
    addOwnOpenPort(ownNode_);
    open_ = true;

    LineSettings settings;
    settings.baud = baud;
    settings.parity = parity;
    settings.dataBits = dataBits;
    settings.stopBits = stopBits;
    std::string failedStep;
    if (!device_->configure(settings, failedStep))
        ReportError(failedStep.c_str(), device_->errorText());
    if (!device_->purge(true))
        ReportError(kPurgeStep, device_->errorText());
    return true;
}

bool CSerialPort::StartMonitorThread()
{
    if (!open_ || thread_.joinable())
        return false;
    // The start-up purge runs here rather than on the new thread, so that no
    // byte arriving after this call returns can be thrown away by it.
    device_->purge(true);
    alive_ = true;
    thread_ = std::thread(&CSerialPort::MonitorThread, this);
    return true;
}

int CSerialPort::MonitorThread(CSerialPort* port)
{
    port->alive_ = true;
    port->run();
    port->closeDevice();
    port->alive_ = false;
    return kMonitorExitCode;
}

bool CSerialPort::QueueWrite(const std::uint8_t* bytes, std::size_t length)
{
    if (!bytes || length == 0 || length > kWriteBufferSize || !open_)
        return false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (writes_.size() >= kMaxQueuedWrites)
            return false;
        writes_.emplace_back(bytes, bytes + length);
    }
    device_->signal();
    return true;
}

void CSerialPort::RequestStop()
{
    {
        std::lock_guard<std::mutex> lock(syncLock_);
        shutdown_ = true;
        if (pending_)
            pending_->cancel();
        if (session_)
            session_->cancel();
    }
    device_->signal();
    // Without a monitor thread nobody else closes the device.
    if (!thread_.joinable())
        closeDevice();
}

QString CSerialPort::lastWarning() const
{
    std::lock_guard<std::mutex> lock(lock_);
    return lastWarning_;
}

// Monitor loop: shutdown first, then received bytes, then one queued write.
void CSerialPort::run()
{
    LineState line = LineState::Up;
    const unsigned watchIdle =
        (eventMask_ & EvRxChar) ? SerialDevice::WatchInput : SerialDevice::WatchLine;
    while (!shutdown_) {
        // A lost line is not watched again: its hang-up would wake us at once, forever.
        const unsigned watch = line == LineState::Up ? watchIdle : SerialDevice::WatchSignal;
        const bool writePending = hasQueuedWrite();
        const WaitResult w = device_->wait(watch, !writePending);
        ++wakes_;
        if (shutdown_)
            break;
        LineState now = line;
        if (line == LineState::Up && (w.readable || w.hungUp))
            now = (eventMask_ & EvRxChar) ? ReceiveQueued(w.hungUp) : LineState::Lost;
        else if (writePending)
            now = TransmitBuffer(line == LineState::Lost);
        if (line == LineState::Up && now == LineState::Lost)
            postLinkLost();  // once per loss
        line = now;
    }
}

CSerialPort::LineState CSerialPort::ReceiveQueued(bool hungUp)
{
    std::uint8_t buffer[kReadChunk];
    bool eventChar = false;
    while (!shutdown_) {
        const IoResult r = device_->read(buffer, sizeof buffer);
        if (r.status == IoResult::WouldBlock)
            break;
        if (r.status == IoResult::HungUp)
            return LineState::Lost;
        if (r.status == IoResult::Failed) {
            ReportError(kReadStep, device_->errorText());
            return LineState::Lost;
        }
        // One synchronous hand-over per read; the window still takes the
        // bytes one at a time, in order (see msg::BytesReceived).
        if (!deliver(msg::BytesReceived, 0, port_, QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(r.count))))
            return LineState::Up;  // stopping
        eventChar = eventChar || std::memchr(buffer, kEventChar, r.count) != nullptr;
    }
    if (eventChar && (eventMask_ & EvRxFlag))
        deliver(msg::LineEventChar, 0, port_);
    // A hang-up with bytes still queued: they were read above, the line is gone.
    return hungUp && !shutdown_ ? LineState::Lost : LineState::Up;
}

CSerialPort::LineState CSerialPort::TransmitBuffer(bool lineLost)
{
    std::vector<std::uint8_t> frame;
    if (!takeWrite(frame) || lineLost)
        return lineLost ? LineState::Lost : LineState::Up;
    // Received bytes not yet read belong to an earlier exchange. Only input is
    // discarded: output still queued is an earlier frame on its way out, and
    // on a pseudo-terminal it is bytes the peer has not read yet.
    if (!device_->purge(false))
        ReportError(kPurgeStep, device_->errorText());
    // One call hands the whole frame over; only when the driver's buffer is
    // short of room does the rest follow once there is room again.
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const IoResult r = device_->write(frame.data() + sent, frame.size() - sent);
        if (r.status == IoResult::Done) {
            sent += r.count;
            continue;
        }
        if (r.status != IoResult::WouldBlock)
            return LineState::Lost;
        const WaitResult w = device_->wait(SerialDevice::WatchOutput, true);
        if (shutdown_)
            return LineState::Up;
        if (w.hungUp && !w.writable)
            return LineState::Lost;
    }
    return LineState::Up;
}

bool CSerialPort::takeWrite(std::vector<std::uint8_t>& frame)
{
    std::lock_guard<std::mutex> lock(lock_);
    if (writes_.empty())
        return false;
    frame = std::move(writes_.front());
    writes_.pop_front();
    return true;
}

bool CSerialPort::hasQueuedWrite() const
{
    std::lock_guard<std::mutex> lock(lock_);
    return !writes_.empty();
}

bool CSerialPort::deliver(int message, quintptr wParam, qintptr lParam, QByteArray payload)
{
    if (!owner_)
        return !shutdown_;
    auto sync = std::make_shared<MessageSync>();
    {
        std::lock_guard<std::mutex> lock(syncLock_);
        if (shutdown_)
            return false;
        pending_ = sync;
    }
    QCoreApplication::postEvent(owner_, new WindowMessageEvent(message, wParam, lParam, sync, std::move(payload)));
    const bool handled = sync->wait();
    {
        std::lock_guard<std::mutex> lock(syncLock_);
        pending_.reset();
    }
    return handled;
}

void CSerialPort::postLinkLost()
{
    std::shared_ptr<MessageSync> session;
    {
        std::lock_guard<std::mutex> lock(syncLock_);
        if (shutdown_)
            return;
        session = session_;
    }
    if (owner_)
        QCoreApplication::postEvent(owner_, new WindowMessageEvent(msg::LinkLost, kLinkLostWParam, 0, session));
}

void CSerialPort::ReportError(const char* call, const QString& systemText)
{
    const QString text = QString::asprintf(kWarningFormat, call, systemText.toLocal8Bit().constData(), port_);
    {
        std::lock_guard<std::mutex> lock(lock_);
        lastWarning_ = text;
    }
    qCDebug(lcSerial).noquote() << text;
}

void CSerialPort::stopThread()
{
    if (!thread_.joinable())
        return;
    RequestStop();
    thread_.join();
}

void CSerialPort::closeDevice()
{
    if (!open_.exchange(false))
        return;
    device_->close();
    removeOwnOpenPort(ownNode_);
}

}  // namespace talvane
