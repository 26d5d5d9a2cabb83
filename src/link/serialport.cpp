#include "serialport.h"

#include <QSocketNotifier>

#include "portlocks.h"
#include "serialportlist.h"

Q_LOGGING_CATEGORY(lcSerial, "talvane.serial", QtInfoMsg)

namespace talvane {

namespace {
const char kWarningFormat[] = "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n";
const char kReadStep[] = "ReadFile()";
const char kWriteStep[] = "WriteFile()";
const char kPurgeStep[] = "PurgeComm()";
}  // namespace

CSerialPort::CSerialPort(DeviceFactory makeDevice, QObject* parent)
    : Link(parent)
    , device_(makeDevice ? makeDevice() : std::make_unique<PosixSerialDevice>())
{
}

CSerialPort::~CSerialPort() { closeDevice(); }

bool CSerialPort::isOpen() const { return device_->isOpen(); }

bool CSerialPort::Open(int portNumber, int baud, char parity, int dataBits, int stopBits)
{
    closeDevice();
    port_ = portNumber;
    lastWarning_.clear();

    qint64 provider = 0;
    const QString path = serialDevicePathOf(portNumber, &provider);
    if (path.isEmpty() || !device_->open(path, provider)) {
        emit opened(false, path.isEmpty() ? QString() : device_->errorText());
        return false;
    }
    devicePath_ = path;
    NodeId::of(path, ownNode_);
    addOwnOpenPort(ownNode_);

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

    readNotifier_ = new QSocketNotifier(device_->descriptor(), QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &CSerialPort::onReadable);
    writeNotifier_ = new QSocketNotifier(device_->descriptor(), QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &CSerialPort::onWritable);
    emit opened(true, QString());
    return true;
}

bool CSerialPort::QueueWrite(const std::uint8_t* bytes, std::size_t length)
{
    if (!bytes || length == 0 || length > kWriteBufferSize || !isOpen() || writes_.size() >= kMaxQueuedWrites)
        return false;
    writes_.emplace_back(bytes, bytes + length);
    // Behind a frame still waiting for room, this one waits its turn.
    if (writes_.size() == 1 && !flushWrites())
        loseLine();
    return true;
}

void CSerialPort::RequestStop()
{
    const bool wasOpen = isOpen();
    closeDevice();
    if (wasOpen)
        emit closed();
}

bool CSerialPort::flushWrites()
{
    while (!writes_.empty()) {
        std::vector<std::uint8_t>& frame = writes_.front();
        // Received bytes not yet read belong to an earlier exchange. Only
        // input is discarded: output still queued is an earlier frame on its
        // way out, and on a pseudo-terminal bytes the peer has not read yet.
        if (writtenOfFirst_ == 0 && !device_->purge(false))
            ReportError(kPurgeStep, device_->errorText());
        const IoResult r = device_->write(frame.data() + writtenOfFirst_, frame.size() - writtenOfFirst_);
        if (r.status == IoResult::WouldBlock) {
            writeNotifier_->setEnabled(true);
            return true;
        }
        if (r.status != IoResult::Done) {
            ReportError(kWriteStep, device_->errorText());
            return false;
        }
        writtenOfFirst_ += r.count;
        if (writtenOfFirst_ == frame.size()) {
            writes_.pop_front();
            writtenOfFirst_ = 0;
        }
    }
    writeNotifier_->setEnabled(false);
    return true;
}

void CSerialPort::onWritable()
{
    if (!flushWrites())
        loseLine();
}

void CSerialPort::onReadable()
{
    std::uint8_t buffer[kReadChunk];
    const IoResult r = device_->read(buffer, sizeof buffer);
    switch (r.status) {
    case IoResult::Done:
        emit received(QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(r.count)));
        return;
    case IoResult::WouldBlock:
        return;
    case IoResult::Failed:
        ReportError(kReadStep, device_->errorText());
        loseLine();
        return;
    case IoResult::HungUp:
        loseLine();
        return;
    }
}

void CSerialPort::loseLine()
{
    if (!isOpen())
        return;
    const QString why = device_->errorText();
    closeDevice();
    emit lost(why);
}

void CSerialPort::ReportError(const char* call, const QString& systemText)
{
    lastWarning_ = QString::asprintf(kWarningFormat, call, systemText.toLocal8Bit().constData(), port_);
    qCDebug(lcSerial).noquote() << lastWarning_;
}

void CSerialPort::closeDevice()
{
    // The notifiers go before the descriptor they watch; one of them may be
    // the sender of the signal being handled, so they are deleted later.
    for (QSocketNotifier** n : {&readNotifier_, &writeNotifier_}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->disconnect(this);
            (*n)->deleteLater();  // a child: goes with the port at the latest
            *n = nullptr;
        }
    }
    writes_.clear();
    writtenOfFirst_ = 0;
    if (!device_->isOpen())
        return;
    device_->close();
    removeOwnOpenPort(ownNode_);
}

}  // namespace talvane
