#include "daemon/TqdRequestQueue.h"

namespace tqd {

RequestQueue::RequestQueue(std::size_t limit, unsigned workers)
    : m_places(AdmissionLimits::forTotal(limit)), m_othersWorkers(workers > 1 ? workers - 1 : 1) {}

bool RequestQueue::push(Request& request, Admission::Verdict* verdict) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Admission::Verdict placed = m_closed ? Admission::AllTaken : m_places.admit(request.owner);
        if (verdict) *verdict = placed;
        if (placed != Admission::Admitted) return false;
        if (request.owner.root) {
            m_root.push_back(std::move(request));
        } else {
            m_others[request.owner.uid].push_back(std::move(request));
        }
        ++m_waiting;
    }
    m_ready.notify_one();
    return true;
}

bool RequestQueue::runnable() const {
    return !m_root.empty() || (!m_others.empty() && m_othersBusy < m_othersWorkers);
}

Request RequestQueue::takeNext() {
    Request next;
    if (!m_root.empty()) {
        next = std::move(m_root.front());
        m_root.pop_front();
    } else {
        auto turn = m_others.upper_bound(m_lastTurn);
        if (turn == m_others.end()) turn = m_others.begin();
        m_lastTurn = turn->first;
        next = std::move(turn->second.front());
        turn->second.pop_front();
        if (turn->second.empty()) m_others.erase(turn);
        ++m_othersBusy;
    }
    m_places.release(next.owner);
    --m_waiting;
    ++m_busy;
    return next;
}

bool RequestQueue::pop(Request* request) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait(lock, [this] { return runnable() || (m_closed && m_waiting == 0); });
    if (!runnable()) return false;
    *request = takeNext();
    return true;
}

void RequestQueue::finished(const AdmissionKey& owner) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_busy > 0) --m_busy;
        if (!owner.root && m_othersBusy > 0) --m_othersBusy;
    }
    // A worker kept from the other uids' requests may take one now.
    m_ready.notify_one();
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
    return m_waiting;
}

std::size_t RequestQueue::unfinished() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiting + m_busy;
}

bool RequestQueue::waitUntilIdle(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_until(lock, deadline, [this] { return m_waiting == 0 && m_busy == 0; });
}

}  // namespace tqd
