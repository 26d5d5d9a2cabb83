// Reads a small file the operator chose (an EDID file, a firmware image) in
// one go, safely whatever the path names: a FIFO, a device or a directory is
// refused before it is opened (opening a FIFO waits for a writer, opening a
// tty raises its modem lines), the file is opened without blocking, and a
// file swapped for another between the check and the open is refused too.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

namespace talvane {

enum class FileRefusal {
    None,
    Missing,     // no such file (any more)
    NotRegular,  // a directory, FIFO, socket or device
    Unreadable,  // no permission, or reading failed
    TooLarge,    // more than the bound
    Changed,     // replaced by another file while being opened
};

struct SmallFile {
    QByteArray bytes;  // the whole file; empty when refused
    FileRefusal refusal = FileRefusal::None;

    bool ok() const { return refusal == FileRefusal::None; }
};

// The whole of the regular file at `path` (symbolic links followed) when it
// holds at most `maxBytes` bytes; otherwise the reason it was refused.
SmallFile readSmallFile(const QString& path, std::size_t maxBytes);

}  // namespace talvane
