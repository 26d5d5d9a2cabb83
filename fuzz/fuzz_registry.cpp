// The virtual port registry and the COM-number file, whatever they hold.
//
// Registry entries are written from the input into a private directory, with
// stand-ins for what the input cannot know (this process's id and start
// time, a character device, a directory, an ended process). After list():
// the ports are in ascending COM order within 129..255, each a character
// device with a path free of NULs and a live owner; every entry file left in
// that range is listed (the rest were removed); listing again gives the
// same; a registration made then is listed under its number.
//
// The COM-number file is written from the input too, then numbers are given
// to a list of device names: each in 97..128, no two alike, every name
// numbered while there are numbers enough, and a fresh store reading the
// file back gives the same.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "fuzzinput.h"
#include "scratchdir.h"
#include "shortstacks.h"
#include "link/portlocks.h"
#include "link/serialportlist.h"
#include "link/virtualports.h"

using namespace talvane;

namespace {

struct World {
    std::unique_ptr<QTemporaryDir> scratch = fuzz::scratchDir(QStringLiteral("fuzz_registry"));
    QTemporaryDir& root = *scratch;
    QString registry = root.filePath("ports");
    QString comFile = root.filePath("com-numbers");
    QString pty;        // a character device this process keeps
    qint64 endedPid = 0;

    World()
    {
        QDir().mkdir(registry);
        ::chmod(QFile::encodeName(registry).constData(), 0700);
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            pty = QString::fromLocal8Bit(::ptsname(master));  // the master stays open for the run
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        ::waitpid(child, nullptr, 0);
        endedPid = child;
    }

    // Stand-ins, one byte each, for what the input cannot know.
    QByteArray expand(const std::uint8_t* data, std::size_t size) const
    {
        QByteArray out;
        for (std::size_t i = 0; i < size; ++i) {
            switch (data[i]) {
            case 1:
                out += QByteArray::number(QCoreApplication::applicationPid());
                break;
            case 2:
                out += QByteArray::number(processStartTime(QCoreApplication::applicationPid()));
                break;
            case 3:
                out += QFile::encodeName(pty);
                break;
            case 4:
                out += "/dev/null";
                break;
            case 5:
                out += QFile::encodeName(root.path());
                break;
            case 6:
                out += QByteArray::number(endedPid);
                break;
            default:
                out += char(data[i]);
            }
        }
        return out;
    }
};

World& world()
{
    static World w;
    return w;
}

bool isCharacterDevice(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool sameList(const std::vector<VirtualPort>& a, const std::vector<VirtualPort>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].comNumber != b[i].comNumber || a[i].devicePath != b[i].devicePath || a[i].description != b[i].description)
            return false;
    return true;
}

void checkRegistry(fuzz::Input& in)
{
    using fuzz::check;
    World& w = world();
    QDir dir(w.registry);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden))
        dir.remove(name);

    const int entries = in.byte() % 6;
    for (int i = 0; i < entries; ++i) {
        const int n = 125 + in.byte() % 136;  // a few outside 129..255 on either side
        std::size_t size = 0;
        const std::uint8_t* content = in.slice(in.byte(), size);
        QFile f(dir.filePath(QStringLiteral("COM%1").arg(n)));
        if (f.open(QIODevice::WriteOnly))
            f.write(w.expand(content, size));
    }

    const VirtualPortRegistry registry(w.registry);
    const std::vector<VirtualPort> listed = registry.list();
    int previous = 0;
    for (const VirtualPort& p : listed) {
        check(p.comNumber > previous && p.comNumber >= VirtualPortRegistry::kFirstCom
              && p.comNumber <= VirtualPortRegistry::kLastCom);
        previous = p.comNumber;
        check(!p.devicePath.contains(QChar(0)) && isCharacterDevice(p.devicePath));
        check(VirtualPortRegistry::ownerRunning(p));
    }
    std::set<int> listedNumbers;
    for (const VirtualPort& p : listed)
        listedNumbers.insert(p.comNumber);
    for (int n = VirtualPortRegistry::kFirstCom; n <= VirtualPortRegistry::kLastCom; ++n)
        check(!QFileInfo::exists(dir.filePath(QStringLiteral("COM%1").arg(n))) || listedNumbers.count(n));
    check(sameList(registry.list(), listed));

    if (in.byte() & 1) {
        VirtualPortRegistry writer(w.registry);
        const int n = writer.add(w.pty, QStringLiteral("Simulator"));
        check(n == -1 || (n >= VirtualPortRegistry::kFirstCom && n <= VirtualPortRegistry::kLastCom));
        if (n > 0)
            check(writer.devicePathOf(n) == w.pty);
        else
            check(listed.size() + 1 > std::size_t(VirtualPortRegistry::kLastCom - VirtualPortRegistry::kFirstCom));
    }
}

void checkComNumbers(fuzz::Input& in)
{
    using fuzz::check;
    World& w = world();
    std::size_t size = 0;
    const std::uint8_t* content = in.slice(std::size_t(in.byte()) << 2, size);
    {
        QFile f(w.comFile);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(w.expand(content, size));
    }
    // Kernel names: letters and digits.
    QStringList names;
    const int count = in.byte() % 40;
    for (int i = 0; i < count; ++i) {
        QString name = QStringLiteral("tty");
        const int length = 1 + in.byte() % 4;
        for (int c = 0; c < length; ++c)
            name += QLatin1Char("ABCXYZ0123456789"[in.byte() % 16]);
        names << name;
    }
    names.removeDuplicates();

    ComNumberStore store(w.comFile);
    const std::map<QString, int> numbers = store.assign(names);
    std::set<int> used;
    for (const auto& [name, n] : numbers) {
        check(names.contains(name));
        check(n >= com::kFirstOther && n <= com::kLastKernel);
        check(used.insert(n).second);
    }
    if (names.size() <= com::kLastKernel - com::kFirstOther + 1)
        check(numbers.size() == std::size_t(names.size()));
    check(ComNumberStore(w.comFile).assign(names) == numbers);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    checkRegistry(in);
    checkComNumbers(in);
    return 0;
}
