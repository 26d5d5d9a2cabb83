// Names the operator gives a switch's inputs and outputs ("Stage camera",
// "Projector"), kept per switch in one small JSON file in the user's
// configuration directory, shared by the panel and talvane-ctl:
//
//   {"version": 1, "switches": {"mac:02-54-4C-56-53-09":
//       {"inputs": {"1": "Stage camera"}, "outputs": {"A": "Projector"}}}}
//
// Keys this program does not know are kept when the file is rewritten. A
// damaged file (not JSON, wrong types, an unknown version) is reported and
// never rewritten: the operator's names in it are not lost to a save.
#pragma once

#include <QJsonObject>
#include <QString>

#include <array>
#include <vector>

namespace talvane {

struct PortLabels {                  // an empty string = no name
    std::array<QString, 8> inputs;   // [0] = input 1
    std::array<QString, 8> outputs;  // [0] = output A
    bool operator==(const PortLabels& o) const { return inputs == o.inputs && outputs == o.outputs; }
    bool operator!=(const PortLabels& o) const { return !(*this == o); }
};

class LabelStore {
public:
    static constexpr int kMaxLength = 32;  // characters, after trimming
    static constexpr int kVersion = 1;

    // <user configuration directory>/talvane-controller/labels.json
    static QString defaultPath();

    explicit LabelStore(QString path = defaultPath());

    QString path() const { return m_path; }

    // Reads the file; a missing file is an empty store. False only when the
    // file exists but is damaged (error() says why).
    bool load();
    bool damaged() const { return m_damaged; }
    // Why the file is damaged, why a save failed, or why a name was refused.
    QString error() const { return m_error; }

    PortLabels labels(const QString& switchKey) const;

    // A name is plain text: trimmed, control characters refused, at most
    // kMaxLength characters; an empty name removes it. False if refused
    // (or while the file is damaged).
    bool setInput(const QString& switchKey, int input /*1..8*/, const QString& name);
    bool setOutput(const QString& switchKey, int output /*1..8*/, const QString& name);
    bool setLabels(const QString& switchKey, const PortLabels& labels);

    // Writes the names set since the last load or save over what the file
    // holds now (another program may have written it meanwhile), atomically.
    // Refused (false) while the file is damaged, or when it became damaged.
    bool save();

    // Which switch: by its MAC where known ("mac:02-54-4C-56-53-09"), else by
    // where it is reached ("port:COM129" for a serial port as the panel
    // numbers it, "host:192.168.1.50"). Empty when the argument is unusable.
    static QString keyForMac(const QString& mac);
    static QString keyForPort(int comNumber);
    static QString keyForHost(const QString& address);

    // The name as it is stored (trimmed) in `clean`, or false with the
    // reason in `why` when it is refused.
    static bool cleanName(const QString& name, QString* clean, QString* why = nullptr);
    // "1".."8" for inputs, "A".."H" for outputs: the keys in the file.
    static QString inputKey(int input);
    static QString outputKey(int output);

private:
    struct Edit {
        QString switchKey;
        bool output;
        int port;      // 1..8
        QString name;  // cleaned; empty removes it
    };

    bool setName(const QString& switchKey, bool output, int port, const QString& name);
    // Checks a file's object; false with m_error set when it is damaged.
    bool acceptable(const QJsonObject& root, QString* why) const;
    static void apply(QJsonObject& root, const Edit& edit);

    QString m_path;
    QJsonObject m_root;
    std::vector<Edit> m_pending;
    bool m_damaged = false;
    QString m_error;
};

}  // namespace talvane
