#include "smallfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvane {

namespace {

FileRefusal refusalOf(int error) { return error == ENOENT || error == ENOTDIR ? FileRefusal::Missing : FileRefusal::Unreadable; }

SmallFile refused(FileRefusal why)
{
    SmallFile f;
    f.refusal = why;
    return f;
}

// Reads to the end, or past `maxBytes` (which tells a file that grew).
bool readAll(int fd, std::size_t maxBytes, QByteArray& out)
{
    char chunk[64 * 1024];
    out.clear();
    while (std::size_t(out.size()) <= maxBytes) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;  // also EAGAIN: nothing here blocks, nor waits
        if (n == 0)
            break;
        out.append(chunk, qsizetype(n));
    }
    return true;
}

}  // namespace

SmallFile readSmallFile(const QString& path, std::size_t maxBytes)
{
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty())
        return refused(FileRefusal::Missing);
    struct stat checked {};
    if (::stat(name.constData(), &checked) != 0)
        return refused(refusalOf(errno));
    if (!S_ISREG(checked.st_mode))
        return refused(FileRefusal::NotRegular);
    if (std::size_t(checked.st_size) > maxBytes)
        return refused(FileRefusal::TooLarge);

    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return refused(refusalOf(errno));
    SmallFile file;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0)
        file.refusal = FileRefusal::Unreadable;
    else if (!S_ISREG(opened.st_mode))
        file.refusal = FileRefusal::NotRegular;
    else if (opened.st_dev != checked.st_dev || opened.st_ino != checked.st_ino)
        file.refusal = FileRefusal::Changed;
    else if (std::size_t(opened.st_size) > maxBytes)
        file.refusal = FileRefusal::TooLarge;
    else if (!readAll(fd, maxBytes, file.bytes))
        file.refusal = FileRefusal::Unreadable;
    else if (std::size_t(file.bytes.size()) > maxBytes)
        file.refusal = FileRefusal::TooLarge;  // it grew after the check
    ::close(fd);
    if (!file.ok())
        file.bytes.clear();
    return file;
}

}  // namespace talvane
