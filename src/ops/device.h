// What the switch says about itself: its kind, port counts and firmware
// version, and its 32-character identification text, which can also be
// written.
#pragma once

#include <QByteArray>
#include <QMetaType>

#include <array>
#include <optional>

#include "ops/limits.h"
#include "ops/operation.h"
#include "protocol/commands.h"

namespace talvane {

struct DeviceInfo {
    int kind = 0;  // kDeviceKindTalvane, kDeviceKindMarbeck, or another number for the third kind
    int inputs = 0;
    int outputs = 0;
    int versionMajor = 0;
    int versionMinor = 0;
};

// Reads the device information (three queries) and then the identification
// text (four parts of eight characters), or the text alone.
class DeviceRead : public Operation {
    Q_OBJECT
public:
    enum class What { InfoAndIdent, IdentOnly };

    // Every query of the read waits as `purpose` says.
    DeviceRead(Session& session, What what, Purpose purpose, QObject* parent = nullptr);
    // The kind is known already (the answer to the poll after an upgrade's
    // reboot is the answer to the first query): the read starts with the second.
    void setKnownKind(int kind) { knownKind_ = kind; }

signals:
    void infoReported(const talvane::DeviceInfo& info);
    void identReported(const QByteArray& text);  // cmd::IdentTextLength characters

protected:
    void begin() override;

private:
    void queryInfo(int step);
    void readIdent(int part);

    What what_;
    Purpose purpose_;
    std::optional<int> knownKind_;
    DeviceInfo info_;
    QByteArray ident_;
};

// Writes the identification text in four parts. Refused when the switch
// answers a part with a non-zero status.
class IdentWrite : public Operation {
    Q_OBJECT
public:
    using Text = std::array<std::uint8_t, cmd::IdentTextLength>;
    IdentWrite(Session& session, const Text& text, QObject* parent = nullptr);

protected:
    void begin() override;

private:
    void writePart(int part);

    Text text_;
};

}  // namespace talvane

Q_DECLARE_METATYPE(talvane::DeviceInfo)
