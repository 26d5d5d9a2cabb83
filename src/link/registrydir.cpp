#include "registrydir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <mutex>
#include <set>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvane {
namespace registrydir {

namespace {
constexpr mode_t kPrivateMode = 0700;
// Write permission for anyone but the owner.
constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;

bool ownerFits(uid_t uid, Owner owner)
{
    switch (owner) {
    case Owner::Self:
        return uid == ::geteuid();
    case Owner::Root:
        return uid == 0;
    case Owner::Any:
        break;
    }
    return true;
}

QString expected(Owner owner)
{
    return owner == Owner::Root ? QStringLiteral("user 0") : QStringLiteral("user %1").arg(::geteuid());
}
}  // namespace

bool trusted(const QString& dir, Owner owner, QString* why)
{
    auto refuse = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QByteArray path = QFile::encodeName(dir);
    struct stat st {};
    if (path.isEmpty() || ::lstat(path.constData(), &st) != 0)
        return refuse(QStringLiteral("cannot be looked at (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
    // A link is followed only when its owner is trusted as the directory is:
    // anyone else could point it elsewhere at any moment.
    if (S_ISLNK(st.st_mode)) {
        if (!ownerFits(st.st_uid, owner))
            return refuse(QStringLiteral("is a symbolic link owned by user %1").arg(st.st_uid));
        if (::stat(path.constData(), &st) != 0)
            return refuse(QStringLiteral("is a link to nothing"));
    }
    if (!S_ISDIR(st.st_mode))
        return refuse(QStringLiteral("is not a directory"));
    if (!ownerFits(st.st_uid, owner))
        return refuse(QStringLiteral("is owned by user %1, not by %2").arg(st.st_uid).arg(expected(owner)));
    if (st.st_mode & kOthersWrite)
        return refuse(QStringLiteral("may be written by other users (mode %1)").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    return true;
}

bool usable(const QString& dir, Owner owner, const QString& what)
{
    QString why;
    if (trusted(dir, owner, &why))
        return true;
    static std::mutex reportedMutex;
    static std::set<QString> reported;
    const QString line = QStringLiteral("%1 in %2 ignored: the directory %3").arg(what, dir, why);
    std::lock_guard<std::mutex> lock(reportedMutex);
    if (reported.insert(line).second)
        qWarning("%s", qPrintable(line));
    return false;
}

bool makePrivate(const QString& dir)
{
    const QByteArray path = QFile::encodeName(dir);
    struct stat st {};
    if (path.isEmpty())
        return false;
    if (::lstat(path.constData(), &st) == 0 || errno != ENOENT)
        return true;  // there already: whether it may be used is trusted()'s to say
    // Made private from the start; a parent made on the way keeps the usual mode.
    QDir().mkpath(QFileInfo(dir).absolutePath());
    return ::mkdir(path.constData(), kPrivateMode) == 0 || errno == EEXIST;
}

QString inRuntimeDirectory(const QString& name)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime + QLatin1Char('/') + name;
    return QDir::tempPath() + QLatin1Char('/') + name + QLatin1Char('-') + QString::number(::getuid());
}

QByteArray writeDraft(const QString& dir, const QByteArray& content, const void* writer)
{
    const QByteArray draft = QFile::encodeName(dir + QStringLiteral("/.draft-")
                                               + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-')
                                               + QString::number(quintptr(writer), 16));
    const int fd = ::open(draft.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return {};
    const bool written = ::write(fd, content.constData(), static_cast<size_t>(content.size())) == content.size();
    ::close(fd);
    if (!written) {
        ::unlink(draft.constData());
        return {};
    }
    return draft;
}

}  // namespace registrydir
}  // namespace talvane
