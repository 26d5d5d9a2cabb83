// A network namespace of the test's own, for tests that must listen beyond
// loopback or send limited broadcasts (255.255.255.255) without anything
// leaving this machine: only a loopback interface, up, with a route for the
// limited broadcast over it. Root makes one directly; anyone else through a
// user namespace, where the kernel allows it.
#pragma once

#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talvane {
namespace netns {

inline bool writeFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Enters it; why it could not, or empty. Must run before any thread starts
// (a user namespace needs a single thread): first thing in main().
inline QString enterOwn()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        writeFile("/proc/self/setgroups", "deny");
        if (!writeFile("/proc/self/uid_map", "0 " + uid + " 1") || !writeFile("/proc/self/gid_map", "0 " + gid + " 1"))
            return QStringLiteral("cannot map the user into the namespace");
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    // The limited broadcast goes out over loopback, so it comes back to this host.
    rtentry rt{};
    for (sockaddr* a : {&rt.rt_dst, &rt.rt_genmask}) {
        auto* in = reinterpret_cast<sockaddr_in*>(a);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_BROADCAST);
    }
    rt.rt_flags = RTF_UP | RTF_HOST;
    char device[] = "lo";
    rt.rt_dev = device;
    ok = ok && ::ioctl(s, SIOCADDRT, &rt) == 0;
    const int err = errno;
    if (s >= 0)
        ::close(s);
    return ok ? QString() : QStringLiteral("network set-up: %1").arg(QString::fromLocal8Bit(std::strerror(err)));
}

}  // namespace netns
}  // namespace talvane
