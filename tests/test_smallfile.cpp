// Reading a chosen file: whatever the path names, the read ends at once with
// the file's bytes or the reason it was refused. Special files are made in a
// temporary directory; a FIFO, with or without a writer, must not block.
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/smallfile.h"

Q_DECLARE_METATYPE(talvane::FileRefusal)

using namespace talvane;

namespace {

constexpr std::size_t kBound = 256;

QByteArray pattern(int size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = char(i * 7 + 1);
    return b;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

}  // namespace

class TestSmallFile : public QObject {
    Q_OBJECT
private slots:
    void read_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("size");
        QTest::addColumn<FileRefusal>("refusal");
        QTest::newRow("a file") << "file" << 128 << FileRefusal::None;
        QTest::newRow("at the bound") << "file" << int(kBound) << FileRefusal::None;
        QTest::newRow("empty") << "file" << 0 << FileRefusal::None;
        QTest::newRow("one byte past the bound") << "file" << int(kBound) + 1 << FileRefusal::TooLarge;
        QTest::newRow("far past the bound") << "file" << (1 << 20) << FileRefusal::TooLarge;
        QTest::newRow("a link to a file") << "link" << 100 << FileRefusal::None;
        QTest::newRow("a FIFO") << "fifo" << 0 << FileRefusal::NotRegular;
        QTest::newRow("a FIFO with a writer") << "fifo+writer" << 0 << FileRefusal::NotRegular;
        QTest::newRow("a link to a FIFO") << "link to fifo" << 0 << FileRefusal::NotRegular;
        QTest::newRow("a directory") << "directory" << 0 << FileRefusal::NotRegular;
        QTest::newRow("a socket") << "socket" << 0 << FileRefusal::NotRegular;
        QTest::newRow("a device") << "/dev/zero" << 0 << FileRefusal::NotRegular;
        QTest::newRow("missing") << "missing" << 0 << FileRefusal::Missing;
        QTest::newRow("a dangling link") << "dangling" << 0 << FileRefusal::Missing;
        QTest::newRow("below a file") << "file/below" << 0 << FileRefusal::Missing;
    }

    void read()
    {
        QFETCH(QString, kind);
        QFETCH(int, size);
        QFETCH(FileRefusal, refusal);
        QTemporaryDir dir;
        const QString file = dir.filePath("file"), path = dir.filePath("path");
        const QByteArray bytes = pattern(size);
        QVERIFY(writeFile(file, bytes));
        QString chosen = kind.startsWith('/') ? kind : path;
        int writer = -1, reader = -1, server = -1;
        if (kind == "file")
            chosen = file;
        if (kind == "file/below")
            chosen = file + "/below";
        if (kind == "link")
            QVERIFY(QFile::link(file, path));
        if (kind.contains("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(kind == "link to fifo" ? file + ".fifo" : path).constData(), 0600), 0);
        if (kind == "link to fifo")
            QVERIFY(QFile::link(file + ".fifo", path));
        if (kind == "fifo+writer") {
            reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(reader >= 0 && writer >= 0);
        }
        if (kind == "directory")
            QVERIFY(QDir().mkdir(path));
        if (kind == "socket") {
            server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            const QByteArray name = QFile::encodeName(path);
            QVERIFY(std::size_t(name.size()) < sizeof a.sun_path);
            std::memcpy(a.sun_path, name.constData(), std::size_t(name.size()));
            QCOMPARE(::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        }
        if (kind == "dangling")
            QVERIFY(QFile::link(dir.filePath("nothing"), path));

        const SmallFile got = readSmallFile(chosen, kBound);
        QCOMPARE(got.refusal, refusal);
        QCOMPARE(got.ok(), refusal == FileRefusal::None);
        QCOMPARE(got.bytes, got.ok() ? bytes : QByteArray());
        for (int fd : {writer, reader, server})
            if (fd >= 0)
                ::close(fd);
    }

    // Permissions count as the user's: run as nobody where the test runs as root.
    void unreadable()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("secret.bin");
        QVERIFY(writeFile(path, pattern(16)));
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            constexpr uid_t kNobody = 65534;
            if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
                ::_exit(2);
            ::_exit(readSmallFile(path, kBound).refusal == FileRefusal::Unreadable ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
};

QTEST_APPLESS_MAIN(TestSmallFile)
#include "test_smallfile.moc"
