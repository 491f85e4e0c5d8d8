#include "daemon/TqdServer.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "daemon/TqdPeer.h"
#include "host/EvDebug.h"

namespace tqd {

// Connections taken from one listener before the others and the reading
// get their turn: enough to empty a listen queue that a flood filled.
constexpr int kAcceptBatch = 1024;

struct Server::Shared {
    Shared(ServeContext serve, std::size_t limit, unsigned workers)
        : context(std::move(serve)), queue(limit, workers) {}
    ServeContext context;
    RequestQueue queue;
    // Connections still sending their frame, as last counted by the
    // reading thread.
    std::atomic<std::size_t> reading{0};
};

Server::Server(std::vector<Listener> listeners, ServeContext context, unsigned workers,
               std::size_t queueLimit, std::size_t pendingLimit)
    : m_listeners(std::move(listeners)),
      m_shared(std::make_shared<Shared>(std::move(context), queueLimit, workers == 0 ? 1 : workers)),
      m_workerCount(workers == 0 ? 1 : workers),
      m_reader(m_shared->context.frameSeconds, AdmissionLimits::forTotal(pendingLimit)) {
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
                const AdmissionKey owner = request.owner;
                try {
                    ServeRequest(std::move(request), shared->context);
                } catch (...) {
                    EvDebug log(nullptr);
                    log.Error(kLogTag, "serving a request failed with an exception");
                }
                request = Request();
                shared->queue.finished(owner);
            }
        });
    }
}

void Server::take(Request& request) {
    if (!request.denial.empty()) return refuse(request);
    Admission::Verdict verdict = Admission::Admitted;
    if (m_shared->queue.push(request, &verdict)) return;
    std::size_t unlogged = 0;
    if (!m_lines.due(RefusalKind(request.owner, "queue"), Clock::now(), &unlogged)) return;
    EvDebug log(nullptr);
    const AdmissionLimits& limits = m_shared->queue.limits();
    std::string reason;
    switch (verdict) {
        case Admission::KeptForRoot:
            reason = "the last " + std::to_string(limits.rootReserve) + " places for requests waiting for a worker "
                     "are kept for root";
            break;
        case Admission::UidShareTaken:
            reason = OwnerText(request.owner) + " holds its share of " + std::to_string(limits.perUid) +
                     " requests waiting for a worker";
            break;
        default:
            reason = "too many connections waiting for a worker (" + std::to_string(m_shared->queue.size()) + ")";
            break;
    }
    log.Error(kLogTag, "%s: closing the connection from %s%s", reason.c_str(), request.peer.c_str(),
              MoreSince(unlogged).c_str());
    // The connection closes as `request` goes.
}

void Server::refuse(Request& request) {
    // Answered here and now: a peer that is not served never waits for, nor
    // holds up, a worker.
    Refusal refusal = RefusalOf(request.peer, request.owner, request.denial);
    refusal.logged = m_lines.due(RefusalKind(request.owner, "access"), Clock::now(), &refusal.unlogged);
    if (m_shared->context.events) m_shared->context.events->peerRefused(request.fd.get(), refusal);
    SendRefusal(request.fd.get(), request.denial);
    // The connection closes as `request` goes.
}

void Server::noteReading() { m_shared->reading = m_reader.size(); }

namespace {

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
    if (!m_lines.due(RefusalKind(owner, "admission " + std::to_string(verdict)), acceptedAt, &unlogged)) return;
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
    for (int taken = 0; taken < kAcceptBatch; ++taken) {
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
    const FrameReader::Take take = [this](Request& request) { this->take(request); };
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
    const FrameReader::Take take = [this](Request& request) { this->take(request); };
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
