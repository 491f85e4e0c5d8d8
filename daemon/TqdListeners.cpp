#include "daemon/TqdListeners.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>

#include "daemon/TqdLogLines.h"

namespace tqd {

namespace {

// A numeric address with the port, as bind() takes it.
struct SocketAddress {
    sockaddr_storage storage;
    socklen_t length = 0;
    int family = AF_INET;
};

bool ParseSocketAddress(const std::string& address, std::uint16_t port, SocketAddress* parsed) {
    std::memset(&parsed->storage, 0, sizeof(parsed->storage));
    sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&parsed->storage);
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&parsed->storage);
    if (inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
        parsed->family = AF_INET;
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        parsed->length = sizeof(sockaddr_in);
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        parsed->family = AF_INET6;
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        parsed->length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

// The port actually bound (port 0 asks the kernel for one).
std::uint16_t BoundPort(int fd, int family, std::uint16_t port) {
    sockaddr_storage self;
    socklen_t selfLength = sizeof(self);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0) return port;
    return ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&self)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&self)->sin_port);
}

std::string BindProblem(int error, std::uint16_t port, const std::string& address) {
    if (error == EADDRINUSE) {
        return "port " + std::to_string(port) + " on " + address +
               " is in use: is tqd already running? Stop it (service tqd stop) or choose another "
               "port with --port or the Session/nTQDPORT value of the configuration store.";
    }
    return "cannot listen on port " + std::to_string(port) + " of " + address + ": " + ErrnoText(error);
}

enum class Opened { Yes, Skipped, Failed };

// Opens the listener on one address; an IPv6 address that the host cannot
// serve is Skipped.
Opened OpenListener(const std::string& address, std::uint16_t port, int backlog, Listener* listener,
                    std::string* problem) {
    SocketAddress parsed;
    if (!ParseSocketAddress(address, port, &parsed)) {
        *problem = "\"" + address + "\" is not a numeric IPv4 or IPv6 address";
        return Opened::Failed;
    }
    const bool v6 = parsed.family == AF_INET6;
    const std::string where = v6 ? "[" + address + "]" : address;
    UniqueFd fd(socket(parsed.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        if (v6 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) return Opened::Skipped;
        *problem = "cannot open a socket for " + where + ": " + ErrnoText(errno);
        return Opened::Failed;
    }
    const int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (v6) setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&parsed.storage), parsed.length) != 0) {
        const int error = errno;
        if (v6 && error == EADDRNOTAVAIL) return Opened::Skipped;
        *problem = BindProblem(error, port, address);
        return Opened::Failed;
    }
    if (listen(fd.get(), backlog) != 0) {
        *problem = "cannot listen on port " + std::to_string(port) + " of " + address + ": " + ErrnoText(errno);
        return Opened::Failed;
    }
    const std::uint16_t bound = BoundPort(fd.get(), parsed.family, port);
    *listener = Listener{std::move(fd), where + ":" + std::to_string(bound)};
    return Opened::Yes;
}

}  // namespace

int ListenBacklog(std::size_t held) {
    return static_cast<int>(std::min<std::size_t>(std::max<std::size_t>(held, SOMAXCONN), INT_MAX));
}

long BacklogCap(const std::string& path) {
    std::ifstream in(path);
    long cap = -1;
    if (!(in >> cap)) return -1;
    return cap;
}

std::string BacklogCapLine(long cap, std::size_t held) {
    if (cap < 0 || static_cast<std::size_t>(cap) >= held) return std::string();
    return "net.core.somaxconn (" + std::to_string(cap) + ") keeps the listen backlog below the " +
           std::to_string(held) + " connections tqd may hold: under a flood of connections root's may be " +
           "dropped and retried a second later; raise it with sysctl -w net.core.somaxconn=" +
           std::to_string(held) + " (and in /etc/sysctl.d/) and restart tqd";
}

bool OpenListeners(const std::vector<std::string>& addresses, std::uint16_t port,
                   std::vector<Listener>* listeners, std::vector<std::string>* skipped, std::string* problem,
                   int backlog) {
    std::vector<Listener> opened;
    for (const std::string& address : addresses) {
        Listener listener;
        switch (OpenListener(address, port, backlog, &listener, problem)) {
            case Opened::Yes:
                opened.push_back(std::move(listener));
                break;
            case Opened::Skipped:
                skipped->push_back(address);
                break;
            case Opened::Failed:
                return false;
        }
    }
    if (opened.empty()) {
        *problem =
            "none of the addresses can be listened on (IPv6 is not available on this host); "
            "name an IPv4 address with --address or the Session/sTQDADDRESS value.";
        return false;
    }
    listeners->swap(opened);
    return true;
}

}  // namespace tqd
