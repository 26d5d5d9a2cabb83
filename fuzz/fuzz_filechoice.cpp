// Loading a chosen file: the input is the file (and, in its first bytes,
// what the path names and the page's bound). A regular file, or a link to
// one, within the bound reads back exactly; a longer one is refused as too
// large; a FIFO, a directory or a link to either is refused before it is
// opened (a FIFO would block), a dangling link as missing. With the EDID
// page's bound, the EDID file check takes what was read exactly as it takes
// the file itself.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fuzzinput.h"
#include "scratchdir.h"
#include "link/smallfile.h"
#include "protocol/edidfile.h"

using namespace talvane;

namespace {

enum Kind { Regular, LinkToRegular, Fifo, Directory, LinkToFifo, Dangling, kKinds };

QTemporaryDir& root()
{
    static const std::unique_ptr<QTemporaryDir> dir = fuzz::scratchDir(QStringLiteral("fuzz_filechoice"));
    return *dir;
}

void clear()
{
    QDir dir(root().path());
    for (const QFileInfo& e : dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (e.isDir() && !e.isSymLink())
            QDir(e.filePath()).removeRecursively();
        else
            dir.remove(e.fileName());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using fuzz::check;
    fuzz::Input in(data, size);
    const Kind kind = Kind(in.byte() % kKinds);
    // The EDID page's bound most of the time, else one near the file's size.
    const std::uint8_t b = in.byte();
    std::size_t contentSize = 0;
    const std::uint8_t* content = in.slice(size, contentSize);
    const long near = long(contentSize) + b % 5 - 2;
    const std::size_t bound = b < 128 ? edidfile::kMaxFileSize : std::size_t(std::max(0L, near));
    const QByteArray bytes(reinterpret_cast<const char*>(content), qsizetype(contentSize));

    clear();
    const QString file = root().filePath("file.bin"), fifo = root().filePath("fifo"), chosen = root().filePath("chosen.bin");
    QString path = file;
    {
        QFile f(file);
        check(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }
    if (kind == Fifo || kind == LinkToFifo)
        check(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    if (kind == Fifo)
        path = fifo;
    if (kind == Directory)
        path = root().path();
    if (kind == LinkToRegular || kind == LinkToFifo || kind == Dangling) {
        path = chosen;
        check(QFile::link(kind == LinkToRegular ? file : kind == LinkToFifo ? fifo : root().filePath("gone"), chosen));
    }

    const SmallFile got = readSmallFile(path, bound);
    switch (kind) {
    case Regular:
    case LinkToRegular:
        if (contentSize <= bound)
            check(got.ok() && got.bytes == bytes);
        else
            check(got.refusal == FileRefusal::TooLarge && got.bytes.isEmpty());
        break;
    case Fifo:
    case Directory:
    case LinkToFifo:
        check(got.refusal == FileRefusal::NotRegular);
        break;
    case Dangling:
        check(got.refusal == FileRefusal::Missing);
        break;
    case kKinds:
        break;
    }
    if (bound == edidfile::kMaxFileSize && (kind == Regular || kind == LinkToRegular)) {
        const auto* read = reinterpret_cast<const std::uint8_t*>(got.bytes.constData());
        check((got.ok() && edidfile::accepted(read, std::size_t(got.bytes.size()))) == edidfile::accepted(content, contentSize));
        if (got.ok())
            check(edidfile::describe(read, std::size_t(got.bytes.size())) == edidfile::describe(content, contentSize));
    }
    return 0;
}
