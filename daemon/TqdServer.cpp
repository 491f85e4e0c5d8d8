#include "daemon/TqdServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <exception>

#include "common/TqRcgDefs.h"
#include "daemon/TqdPeer.h"
#include "host/EvDebug.h"
#include "service/TqRcgHandler.h"

namespace tqd {

// ---- RequestQueue -------------------------------------------------------

bool RequestQueue::push(Request& request) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || m_items.size() >= m_limit) return false;
        m_items.push_back(std::move(request));
    }
    m_ready.notify_one();
    return true;
}

bool RequestQueue::pop(Request* request) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait(lock, [this] { return m_closed || !m_items.empty(); });
    if (m_items.empty()) return false;
    *request = std::move(m_items.front());
    m_items.pop_front();
    ++m_busy;
    return true;
}

void RequestQueue::finished() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_busy > 0) --m_busy;
    }
    m_idle.notify_all();
}

void RequestQueue::close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_ready.notify_all();
}

std::size_t RequestQueue::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.size();
}

std::size_t RequestQueue::unfinished() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.size() + m_busy;
}

bool RequestQueue::waitUntilIdle(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_until(lock, deadline, [this] { return m_items.empty() && m_busy == 0; });
}

// ---- reading frames -----------------------------------------------------

namespace {

std::string ErrnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

// What a throttled line adds about the events that had no line.
std::string MoreSince(std::size_t unlogged) {
    if (unlogged == 0) return std::string();
    return " (and " + std::to_string(unlogged) + " more since the last such line)";
}

}  // namespace

ReadResult ReadAvailable(PendingConnection* connection) {
    std::vector<unsigned char>& frame = connection->frame;
    if (frame.size() != k_TqRcgFrameSize) frame.resize(k_TqRcgFrameSize, 0);
    std::size_t& received = connection->received;
    while (received < frame.size()) {
        const ssize_t count =
            recv(connection->fd.get(), frame.data() + received, frame.size() - received, MSG_DONTWAIT);
        if (count > 0) {
            const bool headerWasIn = received >= kCheckedHeaderBytes;
            received += static_cast<std::size_t>(count);
            if (!headerWasIn && received >= kCheckedHeaderBytes) {
                std::string problem = FrameProblem(frame.data());
                if (!problem.empty()) return ReadResult{ReadState::Rejected, std::move(problem)};
            }
            continue;
        }
        if (count == 0) return ReadResult{ReadState::Ended, std::string()};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult{ReadState::Waiting, std::string()};
        return ReadResult{ReadState::Failed, ErrnoText(errno)};
    }
    return ReadResult{ReadState::Complete, std::string()};
}

bool ThrottledLog::due(Clock::time_point now, std::size_t* unlogged) {
    constexpr auto kQuiet = std::chrono::seconds(10);
    if (m_started && now - m_last < kQuiet) {
        ++m_unlogged;
        return false;
    }
    m_started = true;
    m_last = now;
    *unlogged = m_unlogged;
    m_unlogged = 0;
    return true;
}

bool FrameReader::add(PendingConnection& connection, Admission::Verdict* verdict) {
    const Admission::Verdict admitted = m_admission.admit(connection.owner);
    if (verdict) *verdict = admitted;
    if (admitted != Admission::Admitted) return false;
    connection.frame.assign(k_TqRcgFrameSize, 0);
    connection.received = 0;
    connection.hurried = m_admission.scarce(connection.owner);
    m_connections.push_back(std::move(connection));
    return true;
}

void FrameReader::addPollEntries(std::vector<pollfd>* entries) const {
    for (const PendingConnection& connection : m_connections) {
        entries->push_back(pollfd{connection.fd.get(), POLLIN, 0});
    }
}

Clock::time_point FrameReader::frameDeadline(const PendingConnection& connection) const {
    return connection.acceptedAt + std::chrono::seconds(m_frameSeconds);
}

Clock::time_point FrameReader::silenceDeadline(const PendingConnection& connection,
                                               const Admission& admission) const {
    if (connection.received > 0 || !(connection.hurried || admission.scarce(connection.owner))) {
        return Clock::time_point::max();
    }
    return connection.acceptedAt + std::chrono::seconds(m_admission.limits().firstByteSeconds);
}

int FrameReader::millisecondsToDeadline(Clock::time_point now) const {
    if (m_connections.empty()) return -1;
    Clock::time_point earliest = Clock::time_point::max();
    for (const PendingConnection& connection : m_connections) {
        earliest = std::min({earliest, frameDeadline(connection), silenceDeadline(connection, m_admission)});
    }
    const Clock::duration left = earliest - now;
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up: a wait never ends just before the deadline.
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
        left + std::chrono::milliseconds(1) - Clock::duration(1));
    return milliseconds.count() > INT_MAX ? INT_MAX : static_cast<int>(milliseconds.count());
}

bool FrameReader::stepOne(PendingConnection& connection, const pollfd* entry, Clock::time_point now,
                          const Admission& atStart, const Take& take) {
    EvDebug log(nullptr);
    const char* peer = connection.peer.c_str();
    if (entry == nullptr || entry->revents != 0) {
        // Read before looking at the clock: a frame that is all there is
        // served even when its deadline has just passed.
        const ReadResult read = ReadAvailable(&connection);
        switch (read.state) {
            case ReadState::Waiting:
                break;
            case ReadState::Complete: {
                Request request{std::move(connection.fd), std::move(connection.peer),
                                std::move(connection.frame), std::move(connection.denial)};
                take(request);
                return false;
            }
            case ReadState::Ended:
                log.Error(kLogTag,
                          "closing the connection from %s without a reply: the request ended after %zu "
                          "of %zu bytes",
                          peer, connection.received, k_TqRcgFrameSize);
                refused(connection, true, "ended after " + std::to_string(connection.received) + " bytes");
                return false;
            case ReadState::Failed:
                log.Error(kLogTag, "closing the connection from %s without a reply: receive failed: %s", peer,
                          read.problem.c_str());
                refused(connection, true, "receive failed: " + read.problem);
                return false;
            case ReadState::Rejected:
                log.Error(kLogTag, "closing the connection from %s without a reply: %s", peer,
                          read.problem.c_str());
                refused(connection, false, read.problem);
                return false;
        }
    }
    if (now >= frameDeadline(connection)) {
        log.Error(kLogTag,
                  "closing the connection from %s without a reply: no complete request within %d seconds "
                  "(%zu of %zu bytes)",
                  peer, m_frameSeconds, connection.received, k_TqRcgFrameSize);
        refused(connection, true, "no complete request within " + std::to_string(m_frameSeconds) + " seconds");
        return false;
    }
    // Once slots run low for it, it stays hurried: cutting a few silent
    // connections must not let the others wait out the whole frame time.
    if (atStart.scarce(connection.owner)) connection.hurried = true;
    if (now >= silenceDeadline(connection, atStart)) {
        std::size_t unlogged = 0;
        const bool due = m_silenceLog.due(now, &unlogged);
        if (due) {
            log.Error(kLogTag,
                      "closing the connection from %s without a reply: nothing sent within %d seconds while "
                      "connections sending their request are many%s",
                      peer, m_admission.limits().firstByteSeconds, MoreSince(unlogged).c_str());
        }
        // Counted always; an audit line only with the log's line.
        if (m_events) {
            m_events->frameRefused(connection.peer, true, "nothing sent while connections are many", !due);
        }
        return false;
    }
    return true;
}

void FrameReader::refused(const PendingConnection& connection, bool incomplete, const std::string& why) {
    if (m_events) m_events->frameRefused(connection.peer, incomplete, why, false);
}

void FrameReader::step(const pollfd* entries, Clock::time_point now, const Take& take) {
    // Whether slots run low is judged once for the whole step, so that the
    // connections that go in it do not change the verdict for the others.
    const Admission atStart = m_admission;
    std::vector<PendingConnection> waiting;
    waiting.reserve(m_connections.size());
    for (std::size_t index = 0; index < m_connections.size(); ++index) {
        PendingConnection& connection = m_connections[index];
        if (stepOne(connection, entries == nullptr ? nullptr : &entries[index], now, atStart, take)) {
            waiting.push_back(std::move(connection));
        } else {
            m_admission.release(connection.owner);
        }
    }
    // The connections not kept in `waiting` close as the old list goes.
    m_connections.swap(waiting);
}

void FrameReader::closeIdle() {
    EvDebug log(nullptr);
    std::vector<PendingConnection> begun;
    for (PendingConnection& connection : m_connections) {
        if (connection.received > 0) {
            begun.push_back(std::move(connection));
        } else {
            log.Info(kLogTag, "closing the connection from %s: tqd is stopping and no request had begun",
                     connection.peer.c_str());
            m_admission.release(connection.owner);
        }
    }
    m_connections.swap(begun);
}

void FrameReader::closeAll(const char* why) {
    EvDebug log(nullptr);
    for (const PendingConnection& connection : m_connections) {
        log.Error(kLogTag, "closing the connection from %s without a reply: %s (%zu of %zu bytes)",
                  connection.peer.c_str(), why, connection.received, k_TqRcgFrameSize);
        m_admission.release(connection.owner);
    }
    m_connections.clear();
}

static_assert(offsetof(TqRcgFrameHeader, frameLength) + sizeof(std::uint32_t) <= kCheckedHeaderBytes &&
                  offsetof(TqRcgFrameHeader, requestCode) + sizeof(std::uint32_t) == kCheckedHeaderBytes,
              "the checked words end at kCheckedHeaderBytes");

std::string FrameProblem(const unsigned char* frame) {
    std::uint32_t length = 0, code = 0;
    std::memcpy(&length, frame + offsetof(TqRcgFrameHeader, frameLength), sizeof(length));
    std::memcpy(&code, frame + offsetof(TqRcgFrameHeader, requestCode), sizeof(code));
    length = ntohl(length);
    code = ntohl(code);
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

// ---- one request --------------------------------------------------------

std::vector<char> MakeReply(const std::string& text) {
    std::vector<char> reply(k_TqRcgMgrCQiErrorSize, '\0');
    std::memcpy(reply.data(), text.data(), std::min(text.size(), reply.size() - 1));
    return reply;
}

std::string AccessDeniedText(const std::string& message) {
    return FXErrorUtil::ErrorWin32(
               FXCodeLocation{"TqdServer.cpp",
                              "void tqd::ServeRequest(tqd::Request, const tqd::ServeContext&)",
                              __LINE__},
               k_TqWin32AccessDenied, "%s", message.c_str())
        .AsString();
}

void ServeRequest(Request request, const ServeContext& context) {
    EvDebug log(nullptr);
    const int fd = request.fd.get();
    const std::string& peer = request.peer;

    const std::string& denial = request.denial;
    if (!denial.empty()) {
        log.Error(kLogTag, "refused the request from %s: %s", peer.c_str(), denial.c_str());
        if (context.events) context.events->peerRefused(fd, peer, denial);
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
        // The frame is exactly as long as a frame: a handler that read past
        // it would be caught by the sanitizer builds.
        context.handler(CQiSocket(fd), request.frame.data());
    } catch (const std::exception& error) {
        log.Error(kLogTag, "the request handler failed for %s: %s", peer.c_str(), error.what());
    } catch (...) {
        log.Error(kLogTag, "the request handler failed for %s with an unknown exception", peer.c_str());
    }
    // The connection closes as `request` goes.
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

        UniqueFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
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
    RequestQueue queue;
    // Connections still sending their frame, as last counted by the
    // reading thread.
    std::atomic<std::size_t> reading{0};
};

Server::Server(std::vector<Listener> listeners, ServeContext context, unsigned workers,
               std::size_t queueLimit, std::size_t pendingLimit)
    : m_listeners(std::move(listeners)),
      m_shared(std::make_shared<Shared>(std::move(context), queueLimit)),
      m_workerCount(workers == 0 ? 1 : workers),
      m_reader(m_shared->context.frameSeconds, AdmissionLimits::ForTotal(pendingLimit)) {
    m_reader.setEvents(m_shared->context.events);
}

Server::~Server() {
    m_shared->queue.close();
    for (auto& worker : m_workers) {
        if (worker.joinable()) worker.join();
    }
}

void Server::startWorkers() {
    if (!m_workers.empty()) return;
    for (unsigned index = 0; index < m_workerCount; ++index) {
        // Each worker holds the shared state, so one left running at exit
        // never sees it go.
        std::shared_ptr<Shared> shared = m_shared;
        m_workers.emplace_back([shared] {
            Request request;
            while (shared->queue.pop(&request)) {
                try {
                    ServeRequest(std::move(request), shared->context);
                } catch (...) {
                    EvDebug log(nullptr);
                    log.Error(kLogTag, "serving a request failed with an exception");
                }
                request = Request();
                shared->queue.finished();
            }
        });
    }
}

void Server::enqueue(Request& request) {
    if (m_shared->queue.push(request)) return;
    EvDebug log(nullptr);
    log.Error(kLogTag, "too many connections waiting for a worker (%zu): closing the connection from %s",
              m_shared->queue.size(), request.peer.c_str());
    // The connection closes as `request` goes.
}

void Server::noteReading() { m_shared->reading = m_reader.size(); }

namespace {

std::string OwnerText(const AdmissionKey& owner) {
    if (owner.uid == static_cast<uid_t>(-1)) return "an owner that cannot be found";
    return "uid " + std::to_string(owner.uid);
}

// Why a connection is closed at its accept.
std::string DropReason(Admission::Verdict verdict, const Admission& admission, const AdmissionKey& owner) {
    const AdmissionLimits& limits = admission.limits();
    switch (verdict) {
        case Admission::AllTaken:
            return "too many connections sending their request (" + std::to_string(admission.pending()) + ")";
        case Admission::KeptForRoot:
            return "the last " + std::to_string(limits.rootReserve) +
                   " slots for connections sending their request are kept for root";
        case Admission::UidShareTaken:
            return OwnerText(owner) + " holds its share of " +
                   std::to_string(owner.served ? limits.perUid : limits.refusedPerUid) +
                   " connections sending their request";
        case Admission::RefusedTaken:
            return "peers that are not served hold their " + std::to_string(limits.refusedTotal) +
                   " connections sending their request";
        case Admission::Admitted:
            break;
    }
    return std::string();
}

}  // namespace

void Server::admit(PendingConnection& connection, std::size_t listener) {
    EvDebug log(nullptr);
    const std::string peer = connection.peer;
    const AdmissionKey owner = connection.owner;
    const Clock::time_point acceptedAt = connection.acceptedAt;
    Admission::Verdict verdict = Admission::Admitted;
    if (m_reader.add(connection, &verdict)) {
        log.DebugLvl(kLogTag, 4, "accepted a connection from %s (%s) on %s", peer.c_str(),
                     OwnerText(owner).c_str(), m_listeners[listener].address.c_str());
        return;
    }
    std::size_t unlogged = 0;
    if (!m_dropLogs[verdict].due(acceptedAt, &unlogged)) return;
    const std::string reason = DropReason(verdict, m_reader.admission(), owner);
    log.Error(kLogTag, "%s: closing the connection from %s%s", reason.c_str(), peer.c_str(),
              MoreSince(unlogged).c_str());
    // The connection closes as it goes.
}

void Server::acceptFrom(std::size_t index, Clock::time_point* acceptPausedUntil) {
    EvDebug log(nullptr);
    const int listener = m_listeners[index].fd.get();
    // Take what is waiting now; the listener is non-blocking.  The
    // connections stay blocking for the handler: their frames are read with
    // MSG_DONTWAIT.
    for (int taken = 0; taken < 64; ++taken) {
        Endpoint peer;
        peer.length = sizeof(peer.address);
        const int fd =
            accept4(listener, reinterpret_cast<sockaddr*>(&peer.address), &peer.length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            const int error = errno;
            log.Error(kLogTag, "accepting a connection failed: %s", ErrnoText(error).c_str());
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // Out of resources: give the reading and the workers time to
                // close some.
                *acceptPausedUntil = Clock::now() + std::chrono::milliseconds(100);
            }
            break;
        }
        PendingConnection connection;
        connection.fd.reset(fd);
        connection.acceptedAt = Clock::now();
        connection.peer = EndpointText(peer);
        // Who it is decides which slots it may take, before any work is done
        // for it.
        PeerIdentity identity;
        identity.served = identity.known = true;
        if (m_shared->context.identifyPeer) identity = m_shared->context.identifyPeer(fd);
        connection.owner = KeyOf(identity);
        connection.denial = std::move(identity.denial);
        admit(connection, index);
    }
}

void Server::acceptUntil(int stopFd) {
    startWorkers();
    EvDebug log(nullptr);
    const FrameReader::Take take = [this](Request& request) { enqueue(request); };
    std::vector<pollfd> entries;
    // Out of descriptors or memory, accepting pauses for a while; reading
    // goes on.
    Clock::time_point acceptPausedUntil;
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool paused = now < acceptPausedUntil;
        entries.clear();
        for (const Listener& listener : m_listeners) {
            entries.push_back(pollfd{listener.fd.get(), static_cast<short>(paused ? 0 : POLLIN), 0});
        }
        entries.push_back(pollfd{stopFd, POLLIN, 0});
        const std::size_t firstPending = entries.size();
        m_reader.addPollEntries(&entries);

        int wait = m_reader.millisecondsToDeadline(now);
        if (paused) {
            const int pause = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(acceptPausedUntil - now).count() + 1);
            if (wait < 0 || pause < wait) wait = pause;
        }
        const int ready = poll(entries.data(), entries.size(), wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            log.Error(kLogTag, "waiting for connections failed: %s", ErrnoText(errno).c_str());
            break;
        }
        // What has arrived first, then the deadlines.
        m_reader.step(entries.data() + firstPending, Clock::now(), take);
        noteReading();
        if (entries[firstPending - 1].revents != 0) break;

        for (std::size_t index = 0; index + 1 < firstPending; ++index) {
            if (entries[index].revents != 0) acceptFrom(index, &acceptPausedUntil);
        }
        noteReading();
    }
    // No new connections from here on.
    m_listeners.clear();
    // Bytes that came with the stop still count; connections that have sent
    // nothing are let go, those in the middle of their frame are finished by
    // drain().
    m_reader.step(nullptr, Clock::now(), take);
    m_reader.closeIdle();
    noteReading();
}

std::size_t Server::inFlight() const { return m_shared->reading + m_shared->queue.unfinished(); }

bool Server::drain(std::chrono::milliseconds limit) {
    startWorkers();
    const Clock::time_point deadline = Clock::now() + limit;
    const FrameReader::Take take = [this](Request& request) { enqueue(request); };
    std::vector<pollfd> entries;
    while (m_reader.size() > 0) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            m_reader.closeAll("tqd stopped before the request was complete");
            break;
        }
        entries.clear();
        m_reader.addPollEntries(&entries);
        int wait = m_reader.millisecondsToDeadline(now);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (wait < 0 || wait > left) wait = static_cast<int>(left);
        if (poll(entries.data(), entries.size(), wait) < 0 && errno != EINTR) {
            m_reader.closeAll("waiting for the request failed");
            break;
        }
        m_reader.step(entries.data(), Clock::now(), take);
        noteReading();
    }
    noteReading();
    m_shared->queue.close();
    // Once nothing waits and nothing runs, the workers are on their way out
    // of an empty, closed queue: they can be joined even past the limit.
    const bool finished = m_shared->queue.waitUntilIdle(deadline);
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
