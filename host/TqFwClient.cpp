#include "TqFwClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "host/UniqueFd.h"

namespace {

constexpr int kDefaultConnectTimeoutSeconds = 5;

// Waits for a non-blocking connect to finish; true when it connected.
bool WaitForConnect(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, POLLOUT, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready == 0) return false;
        int error = 0;
        socklen_t size = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
        return error == 0;
    }
}

// One blocking, close-on-exec stream socket connected to `address`; none
// when it cannot connect.
UniqueFd ConnectToAddress(const addrinfo& address, int timeoutSeconds) {
    UniqueFd fd(socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       address.ai_protocol));
    if (!fd.open()) return UniqueFd();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool connected = ::connect(fd.get(), address.ai_addr, address.ai_addrlen) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) connected = WaitForConnect(fd.get(), deadline);
    if (connected) {
        const int flags = fcntl(fd.get(), F_GETFL);
        connected = flags >= 0 && fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
    }
    if (!connected) return UniqueFd();
    return fd;
}

// Tries every address of `host` in the resolver's order; the first that
// connects wins.
UniqueFd ConnectToPort(const std::string& host, int port, int timeoutSeconds) {
    if (port <= 0 || port > 65535) return UniqueFd();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0) return UniqueFd();
    UniqueFd fd;
    for (const addrinfo* address = addresses; address && !fd.open(); address = address->ai_next) {
        fd = ConnectToAddress(*address, timeoutSeconds);
    }
    freeaddrinfo(addresses);
    return fd;
}

}  // namespace

TqFwClient::TqFwClient() = default;
TqFwClient::~TqFwClient() = default;

CQiSocket TqFwClient::connect(const std::string& host, int port, int fallbackPort, int connectTimeoutSeconds,
                              int /*retries*/, TqFwConnectCallback /*callback*/, void* /*context*/,
                              bool /*keepAlive*/) {
    const int timeout = connectTimeoutSeconds < 0 ? kDefaultConnectTimeoutSeconds : connectTimeoutSeconds;
    UniqueFd fd = ConnectToPort(host, port, timeout);
    if (!fd.open() && fallbackPort != port) fd = ConnectToPort(host, fallbackPort, timeout);
    // The socket closes the connection from here on.
    return CQiSocket(fd.release());
}
