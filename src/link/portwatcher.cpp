#include "portwatcher.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <sys/inotify.h>
#include <unistd.h>

#include <QDir>

#include "core/clock.h"
#include "hubregistry.h"
#include "portlocks.h"
#include "virtualports.h"

namespace talvane {

namespace {
// Entries added, removed or renamed, or with a new owner or mode (a node gets
// its group a moment after it appears). Not opens and closes: in /dev those
// of /dev/null alone would never stop (registrations and lock files appear
// whole, by link or create).
constexpr uint32_t kDirectoryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF
                                      | IN_MOVE_SELF | IN_ONLYDIR;
// A port opened or closed by anyone, or its owner or mode changed.
constexpr uint32_t kNodeEvents = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_ATTRIB | IN_DELETE_SELF;

// One path per file, whatever links lead to it; the path itself when it does not exist.
QStringList canonical(const QStringList& paths)
{
    QStringList out;
    for (const QString& p : paths) {
        const QString c = QFileInfo(p).canonicalFilePath();
        out << (c.isEmpty() ? p : c);
    }
    out.removeDuplicates();
    return out;
}
}  // namespace

QStringList PortWatcher::systemDirectories()
{
    QStringList dirs = {QStringLiteral("/dev"), QStringLiteral("/dev/serial"), QStringLiteral("/dev/serial/by-id"),
                        VirtualPortRegistry::defaultDirectory()};
    dirs << PortLockPaths::system().lockDirectories;
    dirs << HubRegistry::ownDirectory();
    return dirs;
}

QStringList PortWatcher::systemTrees()
{
    const QString system = HubRegistry::systemDirectory();
    return system.isEmpty() ? QStringList() : QStringList{system};
}

PortWatcher::PortWatcher(QStringList directories, Clock* clock, QObject* parent, QStringList trees)
    : QObject(parent)
    , directories_(std::move(directories))
    , trees_(std::move(trees))
    , clock_(clock ? clock : &appClock())
{
}

PortWatcher::~PortWatcher()
{
    stopTimer(settleTimer_);
    stopTimer(safetyTimer_);
    closeWatch();
}

void PortWatcher::setActive(bool active)
{
    if (active == active_)
        return;
    active_ = active;
    if (!active) {
        stopTimer(settleTimer_);
        stopTimer(safetyTimer_);
        closeWatch();
        return;
    }
    openWatch();
    startSettle();
}

void PortWatcher::setNodes(const QStringList& paths)
{
    nodes_ = canonical(paths);
    if (fd_ < 0)
        return;
    for (auto it = nodeWatches_.begin(); it != nodeWatches_.end();) {
        if (nodes_.contains(it->first)) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(fd_, it->second);
        it = nodeWatches_.erase(it);
    }
    for (const QString& node : nodes_) {
        if (nodeWatches_.count(node))
            continue;
        const int wd = ::inotify_add_watch(fd_, QFile::encodeName(node).constData(), kNodeEvents);
        if (wd >= 0)
            nodeWatches_[node] = wd;
    }
}

void PortWatcher::openWatch()
{
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        return;  // the safety refresh alone keeps the list current
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &PortWatcher::onEvents);
    watchMissing();
    setNodes(nodes_);
}

void PortWatcher::closeWatch()
{
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    dirWatches_.clear();
    nodeWatches_.clear();
}

// Directories that did not exist (/dev/serial/by-id before the first USB
// adapter) are watched once they do; a burst that created one is followed by
// a refresh anyway. So is a new directory in a tree (a hub's instance
// directory): what is written into it before its watch, the refresh reads.
void PortWatcher::watchMissing()
{
    if (fd_ < 0)
        return;
    QStringList dirs = canonical(directories_ + trees_);
    for (const QString& tree : canonical(trees_))
        for (const QString& name : QDir(tree).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            dirs << tree + QLatin1Char('/') + name;
    for (const QString& dir : dirs) {
        if (dirWatches_.count(dir))
            continue;
        const int wd = ::inotify_add_watch(fd_, QFile::encodeName(dir).constData(), kDirectoryEvents);
        if (wd >= 0)
            dirWatches_[dir] = wd;
    }
}

void PortWatcher::onEvents()
{
    alignas(inotify_event) char buffer[8192];
    bool relevant = false;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                // That watch is gone: its path may come back later.
                for (auto* watches : {&dirWatches_, &nodeWatches_})
                    for (auto it = watches->begin(); it != watches->end();)
                        it = it->second == e->wd ? watches->erase(it) : std::next(it);
            }
            // IN_IGNORED alone follows a watch this object removed itself.
            if (e->mask != IN_IGNORED)
                relevant = true;
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
    if (relevant && !changePending())
        startSettle();
}

void PortWatcher::startSettle()
{
    settleTimer_ = clock_->startTimer(kSettleMs, [this] { settled(); });
}

void PortWatcher::settled()
{
    stopTimer(settleTimer_);
    watchMissing();
    restartSafety();
    emit changed();
}

void PortWatcher::restartSafety()
{
    stopTimer(safetyTimer_);
    safetyTimer_ = clock_->startTimer(kSafetyRefreshMs, [this] {
        watchMissing();
        emit changed();
    });
}

void PortWatcher::stopTimer(int& handle)
{
    if (handle)
        clock_->stopTimer(handle);
    handle = 0;
}

}  // namespace talvane
