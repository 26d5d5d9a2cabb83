// A small JSON settings file (the port labels, the routing presets): read in
// one go, telling a missing file from a damaged one and saying why, and
// written atomically so that a crash or a full disk never leaves half a file.
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstddef>

namespace talvane {

// Far more than any settings file of the panel needs; a larger file is
// refused as damaged rather than read into memory.
constexpr std::size_t kJsonFileMaxBytes = 1024 * 1024;

struct JsonFileRead {
    enum class State { Missing, Damaged, Loaded };
    State state = State::Missing;
    QJsonObject object;  // the file's object when Loaded
    QString error;       // why it is Damaged

    bool missing() const { return state == State::Missing; }
    bool damaged() const { return state == State::Damaged; }
};

// Reads the JSON object at `path`. Anything but a regular file holding one
// JSON object of at most `maxBytes` bytes is Damaged, with the reason.
JsonFileRead readJsonFile(const QString& path, std::size_t maxBytes = kJsonFileMaxBytes);

// Writes `object` to `path` (making its directory) atomically: the old file
// stays whole until the new one is complete. On failure, `error` says why.
bool writeJsonFile(const QString& path, const QJsonObject& object, QString* error = nullptr);

}  // namespace talvane
