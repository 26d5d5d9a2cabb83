// The switch's serial line: a pseudo-terminal in raw mode, registered as a
// virtual port so that the panel lists it among its COM ports.
//
// The simulator keeps its own descriptor of the slave side open, so the
// master never reports a hang-up when the panel closes the port (which would
// make the poll loop spin). A deliberate hang-up closes both sides, and a
// fresh pseudo-terminal is then created and registered.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "link/virtualports.h"

class QSocketNotifier;

namespace talvane {
namespace sim {

class Session;
class SwitchDevice;
class Trace;

class PtyEndpoint : public QObject {
    Q_OBJECT
public:
    PtyEndpoint(SwitchDevice& device, Trace* trace, const QString& registryDirectory, QObject* parent = nullptr);
    ~PtyEndpoint() override;

    bool open(QString* error = nullptr);
    void close();
    // Closes the line as a cable pulled would, then opens and registers a fresh one.
    bool hangUp(QString* error = nullptr);

    bool isOpen() const { return master_ >= 0; }
    const QString& devicePath() const { return path_; }
    int comNumber() const { return com_; }  // -1 when the registration failed

signals:
    void reopened();

private:
    void onReadable();
    void onWritable();
    void writeBytes(const QByteArray& bytes);
    void flushPending();

    SwitchDevice& device_;
    Trace* trace_;
    VirtualPortRegistry registry_;
    int master_ = -1;
    int slave_ = -1;
    QString path_;
    int com_ = -1;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    std::unique_ptr<Session> session_;
    QByteArray pending_;
};

}  // namespace sim
}  // namespace talvane
