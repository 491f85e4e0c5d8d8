#include "daemon/TqdRequestQueue.h"

namespace tqd {

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

}  // namespace tqd
