#include "daemon/TqdServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "common/TqRcgDefs.h"
#include "daemon/TqdPeer.h"
#include "host/EvDebug.h"
#include "service/TqRcgHandler.h"

namespace tqd {

// ---- OwnedFd ------------------------------------------------------------

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int OwnedFd::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void OwnedFd::reset(int fd) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
}

// ---- ConnectionQueue ----------------------------------------------------

bool ConnectionQueue::push(PendingConnection& connection) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || m_items.size() >= m_limit) return false;
        m_items.push_back(std::move(connection));
    }
    m_ready.notify_one();
    return true;
}

bool ConnectionQueue::pop(PendingConnection* connection) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait(lock, [this] { return m_closed || !m_items.empty(); });
    if (m_items.empty()) return false;
    *connection = std::move(m_items.front());
    m_items.pop_front();
    return true;
}

void ConnectionQueue::close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_ready.notify_all();
}

std::size_t ConnectionQueue::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.size();
}

// ---- one connection -----------------------------------------------------

namespace {

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

std::string ErrnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace

FrameReadResult ReadFrame(int fd, unsigned char* buffer, std::size_t length, Clock::time_point deadline) {
    std::size_t received = 0;
    while (received < length) {
        const ssize_t count = recv(fd, buffer + received, length - received, MSG_DONTWAIT);
        if (count > 0) {
            received += static_cast<std::size_t>(count);
            continue;
        }
        if (count == 0) return FrameReadResult{FrameStatus::Truncated, received, 0};
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return FrameReadResult{FrameStatus::Failed, received, errno};
        }
        const int left = MillisecondsUntil(deadline);
        if (left == 0) return FrameReadResult{FrameStatus::TimedOut, received, 0};
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, left) < 0 && errno != EINTR) {
            return FrameReadResult{FrameStatus::Failed, received, errno};
        }
    }
    return FrameReadResult{FrameStatus::Complete, received, 0};
}

std::string FrameProblem(const unsigned char* frame) {
    TqRcgFrameHeader header;
    std::memcpy(&header, frame, sizeof(header));
    const std::uint32_t length = ntohl(header.frameLength);
    const std::uint32_t code = ntohl(header.requestCode);
    char text[128];
    if (length != k_TqRcgFrameSize) {
        snprintf(text, sizeof(text), "frame length %u is not %zu", length, k_TqRcgFrameSize);
        return text;
    }
    if (code != k_RcgMgrRequestCode) {
        snprintf(text, sizeof(text), "request code 0x%X is not 0x%X", code, k_RcgMgrRequestCode);
        return text;
    }
    return std::string();
}

std::vector<char> MakeReply(const std::string& text) {
    std::vector<char> reply(k_TqRcgMgrCQiErrorSize, '\0');
    std::memcpy(reply.data(), text.data(), std::min(text.size(), reply.size() - 1));
    return reply;
}

std::string AccessDeniedText(const std::string& message) {
    return FXErrorUtil::ErrorWin32(
               FXCodeLocation{"TqdServer.cpp",
                              "void tqd::ServeConnection(tqd::PendingConnection, const tqd::ServeContext&)",
                              __LINE__},
               k_TqWin32AccessDenied, "%s", message.c_str())
        .AsString();
}

void ServeConnection(PendingConnection connection, const ServeContext& context) {
    EvDebug log(nullptr);
    const int fd = connection.fd.get();
    const std::string& peer = connection.peer;

    // Exactly as long as a frame; a handler that read past it would be caught
    // by the sanitizer builds.
    std::vector<unsigned char> frame(k_TqRcgFrameSize, 0);
    const Clock::time_point deadline = connection.acceptedAt + std::chrono::seconds(context.frameSeconds);
    const FrameReadResult read = ReadFrame(fd, frame.data(), frame.size(), deadline);
    switch (read.status) {
        case FrameStatus::Complete:
            break;
        case FrameStatus::Truncated:
            log.Error(
                kLogTag,
                "closing the connection from %s without a reply: the request ended after %zu of %zu bytes",
                peer.c_str(), read.received, frame.size());
            return;
        case FrameStatus::TimedOut:
            log.Error(kLogTag,
                      "closing the connection from %s without a reply: no complete request within %d seconds "
                      "(%zu of %zu bytes)",
                      peer.c_str(), context.frameSeconds, read.received, frame.size());
            return;
        case FrameStatus::Failed:
            log.Error(kLogTag, "closing the connection from %s without a reply: receive failed: %s",
                      peer.c_str(), ErrnoText(read.error).c_str());
            return;
    }

    const std::string problem = FrameProblem(frame.data());
    if (!problem.empty()) {
        log.Error(kLogTag, "closing the connection from %s without a reply: %s", peer.c_str(),
                  problem.c_str());
        return;
    }

    const std::string denial = context.checkPeer ? context.checkPeer(fd) : std::string();
    if (!denial.empty()) {
        log.Error(kLogTag, "refused the request from %s: %s", peer.c_str(), denial.c_str());
        const std::vector<char> reply = MakeReply(AccessDeniedText(denial));
        CQiSocket socket(fd);
        int timedOut = 0;
        if (socket.SendWithTimeOut(reply.data(), reply.size(), kFrameSeconds, &timedOut, 0, nullptr)
                .IsError() ||
            timedOut != 0 || socket.Shutdown(1).IsError()) {
            log.Error(kLogTag, "could not send the refusal to %s", peer.c_str());
        }
        return;
    }

    log.DebugLvl(kLogTag, 4, "request from %s goes to rcgMgrHandler", peer.c_str());
    try {
        context.handler(CQiSocket(fd), frame.data());
    } catch (const std::exception& error) {
        log.Error(kLogTag, "the request handler failed for %s: %s", peer.c_str(), error.what());
    } catch (...) {
        log.Error(kLogTag, "the request handler failed for %s with an unknown exception", peer.c_str());
    }
    // The connection closes as `connection` goes.
}

// ---- listening ----------------------------------------------------------

bool OpenListeners(const std::vector<std::string>& addresses, std::uint16_t port,
                   std::vector<Listener>* listeners, std::vector<std::string>* skipped,
                   std::string* problem) {
    std::vector<Listener> opened;
    for (const std::string& address : addresses) {
        sockaddr_storage storage;
        std::memset(&storage, 0, sizeof(storage));
        socklen_t length = 0;
        int family = AF_INET;
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&storage);
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        if (inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
            in->sin_family = AF_INET;
            in->sin_port = htons(port);
            length = sizeof(sockaddr_in);
        } else if (inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
            family = AF_INET6;
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port);
            length = sizeof(sockaddr_in6);
        } else {
            *problem = "\"" + address + "\" is not a numeric IPv4 or IPv6 address";
            return false;
        }
        const std::string where = family == AF_INET6 ? "[" + address + "]" : address;

        OwnedFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (fd.get() < 0) {
            if (family == AF_INET6 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
                skipped->push_back(address);
                continue;
            }
            *problem = "cannot open a socket for " + where + ": " + ErrnoText(errno);
            return false;
        }
        const int on = 1;
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (family == AF_INET6) setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
        if (bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
            const int error = errno;
            if (family == AF_INET6 && error == EADDRNOTAVAIL) {
                skipped->push_back(address);
                continue;
            }
            if (error == EADDRINUSE) {
                *problem = "port " + std::to_string(port) + " on " + address +
                           " is in use: is tqd already running? Stop it (service tqd stop) or choose another "
                           "port with --port or the Session/nTQDPORT value of the configuration store.";
            } else {
                *problem = "cannot listen on port " + std::to_string(port) + " of " + address + ": " +
                           ErrnoText(error);
            }
            return false;
        }
        if (listen(fd.get(), SOMAXCONN) != 0) {
            *problem =
                "cannot listen on port " + std::to_string(port) + " of " + address + ": " + ErrnoText(errno);
            return false;
        }
        // The port actually bound (port 0 asks the kernel for one).
        std::uint16_t bound = port;
        sockaddr_storage self;
        socklen_t selfLength = sizeof(self);
        if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&self), &selfLength) == 0) {
            bound = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&self)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&self)->sin_port);
        }
        opened.push_back(Listener{std::move(fd), where + ":" + std::to_string(bound)});
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

// ---- the server ---------------------------------------------------------

struct Server::Shared {
    Shared(ServeContext serve, std::size_t limit) : context(std::move(serve)), queue(limit) {}
    ServeContext context;
    ConnectionQueue queue;
    std::mutex mutex;
    std::condition_variable changed;
    unsigned alive = 0;      // workers still running
    std::size_t active = 0;  // connections being served
};

Server::Server(std::vector<Listener> listeners, ServeContext context, unsigned workers,
               std::size_t queueLimit)
    : m_listeners(std::move(listeners)),
      m_shared(std::make_shared<Shared>(std::move(context), queueLimit)),
      m_workerCount(workers == 0 ? 1 : workers) {}

Server::~Server() {
    m_shared->queue.close();
    for (auto& worker : m_workers) {
        if (worker.joinable()) worker.join();
    }
}

void Server::startWorkers() {
    if (!m_workers.empty()) return;
    for (unsigned index = 0; index < m_workerCount; ++index) {
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            ++m_shared->alive;
        }
        // Each worker holds the shared state, so one left running at exit
        // never sees it go.
        std::shared_ptr<Shared> shared = m_shared;
        m_workers.emplace_back([shared] {
            PendingConnection connection;
            while (shared->queue.pop(&connection)) {
                {
                    std::lock_guard<std::mutex> lock(shared->mutex);
                    ++shared->active;
                }
                try {
                    ServeConnection(std::move(connection), shared->context);
                } catch (...) {
                    EvDebug log(nullptr);
                    log.Error(kLogTag, "serving a connection failed with an exception");
                }
                connection = PendingConnection();
                {
                    std::lock_guard<std::mutex> lock(shared->mutex);
                    --shared->active;
                }
            }
            std::lock_guard<std::mutex> lock(shared->mutex);
            --shared->alive;
            shared->changed.notify_all();
        });
    }
}

void Server::acceptUntil(int stopFd) {
    startWorkers();
    EvDebug log(nullptr);
    std::vector<pollfd> entries;
    for (const Listener& listener : m_listeners) entries.push_back(pollfd{listener.fd.get(), POLLIN, 0});
    entries.push_back(pollfd{stopFd, POLLIN, 0});

    for (;;) {
        for (auto& entry : entries) entry.revents = 0;
        const int ready = poll(entries.data(), entries.size(), -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            log.Error(kLogTag, "waiting for connections failed: %s", ErrnoText(errno).c_str());
            break;
        }
        if (entries.back().revents != 0) break;
        for (std::size_t index = 0; index + 1 < entries.size(); ++index) {
            if (entries[index].revents == 0) continue;
            // Take what is waiting now; the listener is non-blocking.
            for (int taken = 0; taken < 64; ++taken) {
                Endpoint peer;
                peer.length = sizeof(peer.address);
                const int fd = accept4(entries[index].fd, reinterpret_cast<sockaddr*>(&peer.address),
                                       &peer.length, SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                    log.Error(kLogTag, "accepting a connection failed: %s", ErrnoText(errno).c_str());
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        // Out of resources: give the workers time to close some.
                        poll(nullptr, 0, 100);
                    }
                    break;
                }
                PendingConnection connection{OwnedFd(fd), Clock::now(), EndpointText(peer)};
                log.DebugLvl(kLogTag, 4, "accepted a connection from %s on %s", connection.peer.c_str(),
                             m_listeners[index].address.c_str());
                if (!m_shared->queue.push(connection)) {
                    log.Error(
                        kLogTag,
                        "too many connections waiting for a worker (%zu): closing the connection from %s",
                        m_shared->queue.size(), connection.peer.c_str());
                }
            }
        }
    }
    // No new connections from here on.
    m_listeners.clear();
}

std::size_t Server::inFlight() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->active + m_shared->queue.size();
}

bool Server::drain(std::chrono::milliseconds limit) {
    startWorkers();
    m_shared->queue.close();
    bool finished;
    {
        std::unique_lock<std::mutex> lock(m_shared->mutex);
        finished = m_shared->changed.wait_for(lock, limit, [this] { return m_shared->alive == 0; });
    }
    for (auto& worker : m_workers) {
        if (!worker.joinable()) continue;
        if (finished) {
            worker.join();
        } else {
            worker.detach();
        }
    }
    return finished;
}

}  // namespace tqd
