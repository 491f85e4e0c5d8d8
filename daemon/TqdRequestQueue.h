// The complete requests of tqd and the bounded queue that carries them from
// the reading thread to the workers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/UniqueFd.h"

namespace tqd {

// A complete request whose header is right, with its connection: what the
// workers take.
struct Request {
    UniqueFd fd;
    std::string peer;
    std::vector<unsigned char> frame;  // exactly one frame
    std::string denial;                // not empty: send it instead of serving
};

// Bounded queue of requests between the reading thread and the workers.
// It also counts the requests taken and not yet finished, so that a request
// is never between two counts.
class RequestQueue {
public:
    explicit RequestQueue(std::size_t limit) : m_limit(limit) {}
    // False (the request stays with the caller) when full or closed.
    bool push(Request& request);
    // Waits for a request; false once the queue is closed and empty.  A
    // request taken counts as busy until finished() is called for it.
    bool pop(Request* request);
    void finished();
    // No more pushes; pops drain what is left.
    void close();
    // Requests waiting.
    std::size_t size() const;
    // Requests waiting or busy.
    std::size_t unfinished() const;
    // Waits until no request is waiting or busy; false when `deadline`
    // passes first.
    bool waitUntilIdle(std::chrono::steady_clock::time_point deadline);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_idle;
    std::deque<Request> m_items;
    std::size_t m_limit;
    std::size_t m_busy = 0;
    bool m_closed = false;
};

}  // namespace tqd
