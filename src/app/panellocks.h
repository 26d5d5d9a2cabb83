// The panel's side of the hub's output locks: while the panel reaches the
// switch through a hub (talvane-ctl serve), its Matrix page shows the locks
// the hub holds and its toggles take and release them over the hub's
// management channel, as this panel (its connection to the hub's control
// port among them). Alone, the page keeps locks of its own.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QJsonObject;

namespace talvane {

class CMatrixDlg;
class Connection;
namespace hubchannel {
class Client;
}

class PanelLocks : public QObject {
    Q_OBJECT
public:
    // `connection` outlives this.
    explicit PanelLocks(Connection& connection, QObject* parent = nullptr);
    ~PanelLocks() override;

    // The page, once it exists; the locks known reach it at once.
    void setPage(CMatrixDlg* page);
    // The channel is open and the hub knows this panel.
    bool shared() const { return !name_.isEmpty(); }

signals:
    // A line for the status line: a refusal, a change at the switch's front panel.
    void statusMessage(const QString& text);

private:
    void start();
    void stop();
    void request(int output, bool lock);
    void changeSeen(const QJsonObject& event);
    void applyTo(CMatrixDlg* page);

    Connection& connection_;
    QPointer<CMatrixDlg> page_;
    std::unique_ptr<hubchannel::Client> channel_;
    QString name_;  // this panel, as the hub names it
    struct Held {
        QString holder;
        bool mine = false;
    };
    Held held_[8];
};

}  // namespace talvane
