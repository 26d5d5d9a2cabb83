// What the port list reads to tell a port in use: a /proc/locks table and
// UUCP lock files, whatever they hold.
//
// /proc/locks: the input is the table. Whatever it holds, an exclusive lock
// line for a node added after it is seen, and neither a waiter's line nor a
// shared lock's line for the node changes the verdict on it.
// Lock files: the input is a file's content (with stand-ins for a live, an
// ended and this process's id). The owner found is none, or a live process
// other than this one whose id the file holds: as its first word, or as the
// native integer of a 4-byte file. And a device path from the input gives
// lock file names that all start "LCK.." and hold no '/', so that every lock
// file looked at lies in a lock directory.
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "fuzzinput.h"
#include "scratchdir.h"
#include "shortstacks.h"
#include "link/portlocks.h"

using namespace talvane;

namespace {

struct World {
    std::unique_ptr<QTemporaryDir> scratch = fuzz::scratchDir(QStringLiteral("fuzz_locks"));
    QTemporaryDir& root = *scratch;
    QString node = root.filePath("ttyUSB0");  // stands in for a device node
    QString table = root.filePath("locks");
    QString lockFile = root.filePath("LCK..ttyUSB0");
    NodeId id;
    QByteArray idText;  // as /proc/locks writes it: major:minor (hex) and inode (decimal)
    qint64 endedPid = 0;

    World()
    {
        QFile f(node);
        f.open(QIODevice::WriteOnly);
        f.close();
        struct stat st {};
        ::stat(QFile::encodeName(node).constData(), &st);
        id = NodeId::of(st);
        idText = QString::asprintf("%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev), (unsigned long long)st.st_ino)
                     .toLatin1();
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        ::waitpid(child, nullptr, 0);
        endedPid = child;
    }
};

World& world()
{
    static World w;
    return w;
}

bool write(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

bool holds(const QByteArray& table)
{
    World& w = world();
    write(w.table, table);
    ExclusiveLocks locks;
    fuzz::check(locks.load(w.table));
    return locks.holds(w.id);
}

void checkTable(const QByteArray& text)
{
    using fuzz::check;
    World& w = world();
    // Stand-in: byte 1 is the node's id.
    QByteArray table;
    for (char c : text)
        table += c == 1 ? w.idText : QByteArray(1, c);
    const QByteArray line = " FLOCK  ADVISORY  WRITE " + QByteArray::number(QCoreApplication::applicationPid()) + ' ' + w.idText
                            + " 0 EOF";
    const bool before = holds(table);
    check(holds(table + "\n99:" + line + '\n'));
    check(holds(table + "\n99: ->" + line + '\n') == before);
    QByteArray shared = line;
    shared.replace("WRITE", "READ ");
    check(holds(table + "\n99:" + shared + '\n') == before);
}

void checkLockFile(const QByteArray& text)
{
    using fuzz::check;
    World& w = world();
    const qint64 self = QCoreApplication::applicationPid();
    const qint64 parent = ::getppid();
    QByteArray content;
    for (char c : text) {
        if (c == 1)
            content += QByteArray::number(self);
        else if (c == 2)
            content += QByteArray::number(parent);
        else if (c == 3)
            content += QByteArray::number(w.endedPid);
        else
            content += c;
    }
    write(w.lockFile, content);
    const qint64 owner = liveLockFileOwner(QStringList{w.lockFile});
    if (owner == 0)
        return;
    check(owner != self && processAlive(owner));
    // The file names it: a 4-byte file holding a NUL as a native integer,
    // any other by its first word.
    if (content.size() == 4 && content.contains('\0')) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        check(binary == owner);
    } else {
        const QList<QByteArray> words = content.simplified().split(' ');
        check(!words.isEmpty() && words.first().toLongLong() == owner);
    }
}

void checkNames(QByteArray path)
{
    using fuzz::check;
    path.replace('\0', "");  // no device path holds one (the registry refuses them)
    for (const QString& name : lockFileNames(QString::fromUtf8(path))) {
        check(name.startsWith(QLatin1String("LCK..")));
        check(!name.contains(QLatin1Char('/')));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    std::size_t n = 0;
    const std::uint8_t* table = in.slice(std::size_t(in.byte()) << 3, n);
    checkTable(QByteArray(reinterpret_cast<const char*>(table), qsizetype(n)));
    const std::uint8_t* lock = in.slice(in.byte(), n);
    checkLockFile(QByteArray(reinterpret_cast<const char*>(lock), qsizetype(n)));
    const std::uint8_t* path = in.slice(in.byte(), n);
    checkNames(QByteArray(reinterpret_cast<const char*>(path), qsizetype(n)));
    return 0;
}
