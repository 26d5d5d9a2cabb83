#include "stopsignals.h"

#include <QSocketNotifier>

#include <atomic>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace talvane {
namespace ctl {

namespace {
// The write end the handler uses; one StopSignals at a time owns it.
std::atomic<int> writeEnd{-1};

extern "C" void onStopSignal(int number)
{
    const int saved = errno;
    const int fd = writeEnd.load();
    if (fd >= 0) {
        const char byte = char(number);
        // A full pipe already holds a request to stop: nothing is lost.
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

constexpr int kSignals[] = {SIGINT, SIGTERM};
}  // namespace

struct StopSignals::Saved {
    struct sigaction before[std::size(kSignals)] {};
};

StopSignals::StopSignals()
    : saved_(std::make_unique<Saved>())
{
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the signals keep their default: they end the process
    writeEnd.store(pipe_[1]);
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &StopSignals::drain);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &action, &saved_->before[i]);
}

StopSignals::~StopSignals()
{
    if (pipe_[0] < 0)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &saved_->before[i], nullptr);
    writeEnd.store(-1);
    notifier_.reset();
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void StopSignals::drain()
{
    char bytes[16];
    int last = 0;
    for (ssize_t n; (n = ::read(pipe_[0], bytes, sizeof bytes)) > 0;)
        last = bytes[n - 1];
    if (last == 0 || received_ != 0)
        return;
    received_ = last;
    emit stopRequested(last);
}

}  // namespace ctl
}  // namespace talvane
