// Following the number of online processors: caps are shares of the whole
// machine, so tqd applies them again when processors come or go.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tqd {

// The processors of a kernel cpu list such as "0-3,5,7-8\n"; 0 when the
// text is not such a list.
int CountCpuList(const std::string& text);

// Reads `path` (the kernel's /sys/devices/system/cpu/online) every
// `interval` on a thread of its own and calls `changed(old, new)` when the
// count differs from the last one read.  Stops and joins when it goes.
class ProcessorWatch {
public:
    ProcessorWatch(std::string path, std::chrono::milliseconds interval,
                   std::function<void(int before, int after)> changed);
    ~ProcessorWatch();
    ProcessorWatch(const ProcessorWatch&) = delete;
    ProcessorWatch& operator=(const ProcessorWatch&) = delete;

private:
    int count() const;
    void run();

    const std::string m_path;
    const std::chrono::milliseconds m_interval;
    const std::function<void(int, int)> m_changed;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace tqd
