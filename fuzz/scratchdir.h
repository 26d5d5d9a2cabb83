// A temporary directory for the files a fuzz target writes on every input,
// on a memory file system where there is one: a disk file system flushes a
// file that is truncated or replaced, which would cost milliseconds a run.
#pragma once

#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace fuzz {

inline std::unique_ptr<QTemporaryDir> scratchDir(const QString& name)
{
    const QString shm = QStringLiteral("/dev/shm");
    if (QDir(shm).exists()) {
        auto dir = std::make_unique<QTemporaryDir>(shm + QLatin1Char('/') + name + QStringLiteral("-XXXXXX"));
        if (dir->isValid())
            return dir;
    }
    return std::make_unique<QTemporaryDir>();
}

}  // namespace fuzz
