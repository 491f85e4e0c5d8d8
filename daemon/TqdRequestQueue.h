// The complete requests of tqd and the bounded queue that carries them from
// the reading thread to the workers, fairly between their owners.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/TqdAdmission.h"
#include "host/UniqueFd.h"

namespace tqd {

// A complete request whose header is right, with its connection: what the
// workers take.
struct Request {
    UniqueFd fd;
    std::string peer;
    std::vector<unsigned char> frame;  // exactly one frame
    std::string denial;                // not empty: send it instead of serving
    AdmissionKey owner;                // whose request it is
};

// Bounded queue of requests between the reading thread and the workers.
//  - Who may queue: `limit` places, shared as AdmissionLimits::forTotal
//    says (the last eighth kept for root, a sixteenth for any other uid).
//  - Who goes first: root's requests, then the other uids' in turn, one
//    request each, so that a uid with many requests waiting delays another
//    uid by one request, not by all of them.
//  - Who runs: with more than one worker, the other uids' requests never
//    take the last free worker, which is kept for root.
// It also counts the requests taken and not yet finished, so that a request
// is never between two counts.
class RequestQueue {
public:
    explicit RequestQueue(std::size_t limit, unsigned workers = 1);
    // False (the request stays with the caller; *verdict, when given, says
    // why) when its owner has no place left or the queue is closed.
    bool push(Request& request, Admission::Verdict* verdict = nullptr);
    // Waits for a request that may run now; false once the queue is closed
    // and empty.  A request taken counts as busy until finished() is called
    // with its owner.
    bool pop(Request* request);
    void finished(const AdmissionKey& owner);
    // No more pushes; pops drain what is left.
    void close();
    // Requests waiting.
    std::size_t size() const;
    // Requests waiting or busy.
    std::size_t unfinished() const;
    // Waits until no request is waiting or busy; false when `deadline`
    // passes first.
    bool waitUntilIdle(std::chrono::steady_clock::time_point deadline);
    const AdmissionLimits& limits() const { return m_places.limits(); }

private:
    // Whether a waiting request may run now (caller holds the mutex).
    bool runnable() const;
    // Takes the next request in the order above (caller holds the mutex).
    Request takeNext();

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_idle;
    Admission m_places;
    std::deque<Request> m_root;
    std::map<uid_t, std::deque<Request>> m_others;
    // The uid whose request went last; the next turn is the next uid.
    uid_t m_lastTurn = 0;
    std::size_t m_waiting = 0;
    std::size_t m_busy = 0;
    std::size_t m_othersBusy = 0;
    std::size_t m_othersWorkers;
    bool m_closed = false;
};

}  // namespace tqd
