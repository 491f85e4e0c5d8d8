#include "tests/daemon/RootProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tests/support/TqdHarness.h"

namespace tqdtest {

namespace {

typedef std::chrono::steady_clock Clock;

std::string Milliseconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f ms", seconds * 1000);
    return text;
}

}  // namespace

std::string ProbeFigures::summary() const {
    return std::to_string(served) + "/" + std::to_string(sent) + " served, p50 " + Milliseconds(p50) +
           ", p95 " + Milliseconds(p95) + ", worst " + Milliseconds(worst);
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(share * static_cast<double>(values.size()));
    const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

ProbeFigures ProbeAsRoot(std::uint16_t port, double seconds, std::chrono::milliseconds every, double patience) {
    std::mutex mutex;
    std::vector<double> times;
    int served = 0;
    std::vector<std::thread> probes;
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    for (Clock::time_point next = Clock::now(); next < end; next += every) {
        std::this_thread::sleep_until(next);
        probes.emplace_back([&] {
            const Clock::time_point start = Clock::now();
            const bool answered = TextOf(Ask(port, HarmlessFrame(), patience)) == kUnsupportedReply;
            const double took = std::chrono::duration<double>(Clock::now() - start).count();
            std::lock_guard<std::mutex> lock(mutex);
            times.push_back(took);
            served += answered ? 1 : 0;
        });
    }
    for (std::thread& probe : probes) probe.join();
    ProbeFigures figures;
    figures.sent = static_cast<int>(times.size());
    figures.served = served;
    figures.p50 = Percentile(times, 0.5);
    figures.p95 = Percentile(times, 0.95);
    figures.worst = Percentile(times, 1.0);
    return figures;
}

}  // namespace tqdtest
