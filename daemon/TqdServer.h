// The serving side of tqd: the server accepts on the listeners, finds who
// is at the other end of each connection, reads the request frames of all
// connections on one thread (TqdFrameReader.h), answers the peers it does
// not serve there and then, and hands the other complete requests through
// the queue (TqdRequestQueue.h) to a pool of workers that serve them
// (TqdServe.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "daemon/TqdAdmission.h"
#include "daemon/TqdConfig.h"
#include "daemon/TqdFrameReader.h"
#include "daemon/TqdListeners.h"
#include "daemon/TqdLogLines.h"
#include "daemon/TqdRequestQueue.h"
#include "daemon/TqdServe.h"

namespace tqd {

// Accepts on the listeners, reads the request frames of all connections on
// the accepting thread and hands complete requests to a pool of workers.
class Server {
public:
    // The `pendingLimit` slots for connections sending their frame are
    // shared as AdmissionLimits::forTotal says.
    Server(std::vector<Listener> listeners, ServeContext context, unsigned workers,
           std::size_t queueLimit = kQueueLimit, std::size_t pendingLimit = kPendingLimit);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts the workers, accepts and reads frames until `stopFd` becomes
    // readable; then closes the listeners and the connections that have not
    // begun their request, and returns.  Connections in the middle of their
    // frame are kept for drain().
    void acceptUntil(int stopFd);
    // Requests accepted but not finished: being read, queued or running.
    std::size_t inFlight() const;
    // After acceptUntil() has returned: finishes reading the frames begun
    // (each within its own deadline), then lets the workers finish the queued
    // and running requests, all within `limit`.  True when they did; false
    // when some are still running (the workers are then left to the
    // process's exit).
    bool drain(std::chrono::milliseconds limit);

private:
    struct Shared;
    void startWorkers();
    // A complete request: refused at once, or queued for the workers.
    void take(Request& request);
    void refuse(Request& request);
    void noteReading();
    // Takes what is waiting on the listener `index`.
    void acceptFrom(std::size_t index, Clock::time_point* acceptPausedUntil);
    void admit(PendingConnection& connection, std::size_t listener);

    std::vector<Listener> m_listeners;
    std::shared_ptr<Shared> m_shared;
    unsigned m_workerCount;
    std::vector<std::thread> m_workers;
    FrameReader m_reader;
    // Lines about connections turned away: one per owner and reason every
    // few seconds.
    KeyedThrottle m_lines;
};

}  // namespace tqd
