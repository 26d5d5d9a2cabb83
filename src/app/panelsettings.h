// What the panel remembers between runs: whether the page shown follows the
// switch, whether the Matrix page preselects routes (take mode), whether a
// lost link is opened again by itself, and the port last connected. One small
// JSON file in the configuration directory, beside the COM-number file; each
// change is written at once, atomically.
#pragma once

#include <QJsonObject>
#include <QString>

namespace talvane {

class PanelSettings {
public:
    // <configuration directory>/talvane-controller/panel.json
    static QString defaultPath();
    // Reads `path`; a missing file means the defaults (all off, no port).
    explicit PanelSettings(QString path = defaultPath());

    bool followChanges() const;
    void setFollowChanges(bool on);
    bool takeMode() const;
    void setTakeMode(bool on);
    bool reconnect() const;
    void setReconnect(bool on);
    QString lastPort() const;
    void setLastPort(const QString& portName);

    // The file could not be read as settings: it is left as it is and what
    // is set lives for this run only.
    bool damaged() const { return damaged_; }
    QString path() const { return path_; }

private:
    void set(const QString& key, const QJsonValue& value);
    void load();
    void save();

    QString path_;
    QJsonObject values_;  // unknown keys are kept as they were read
    bool damaged_ = false;
    bool saveFailed_ = false;
};

}  // namespace talvane
