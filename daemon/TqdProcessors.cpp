#include "daemon/TqdProcessors.h"

#include <cstdlib>
#include <sstream>

#include "host/StoreText.h"

namespace tqd {

namespace {
// A decimal number of digits only.
bool ReadNumber(const std::string& text, long* value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::strtol(text.c_str(), nullptr, 10);
    return true;
}
}  // namespace

int CountCpuList(const std::string& text) {
    std::string list = text;
    while (!list.empty() && (list.back() == '\n' || list.back() == ' ')) list.pop_back();
    if (list.empty()) return 0;
    std::istringstream ranges(list);
    std::string range;
    long count = 0;
    while (std::getline(ranges, range, ',')) {
        const std::size_t dash = range.find('-');
        long first = 0, last = 0;
        if (!ReadNumber(range.substr(0, dash), &first)) return 0;
        last = first;
        if (dash != std::string::npos && !ReadNumber(range.substr(dash + 1), &last)) return 0;
        if (last < first) return 0;
        count += last - first + 1;
    }
    return static_cast<int>(count);
}

ProcessorWatch::ProcessorWatch(std::string path, std::chrono::milliseconds interval,
                               std::function<void(int, int)> changed)
    : m_path(std::move(path)), m_interval(interval), m_changed(std::move(changed)) {
    m_thread = std::thread([this] { run(); });
}

ProcessorWatch::~ProcessorWatch() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

int ProcessorWatch::count() const {
    std::string text;
    bool missing = false;
    if (!tqfw::ReadWholeFile(m_path, &text, &missing) || missing) return 0;
    return CountCpuList(text);
}

void ProcessorWatch::run() {
    int last = count();
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, m_interval, [this] { return m_stop; })) {
        lock.unlock();
        const int now = count();
        if (now > 0 && last > 0 && now != last) m_changed(last, now);
        if (now > 0) last = now;
        lock.lock();
    }
}

}  // namespace tqd
