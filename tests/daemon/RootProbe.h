// Root's view of tqd under attack: a request sent every few milliseconds,
// each on a connection of its own, and how many were answered and how fast.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tqdtest {

struct ProbeFigures {
    int sent = 0;
    int served = 0;  // answered with the handler's reply
    // Seconds from the connect to the reply's end, of every request sent (a
    // request not served counts with the time it was given up after).
    double p50 = 0;
    double p95 = 0;
    double worst = 0;
    std::string summary() const;  // "194/194 served, p50 4 ms, p95 7 ms, worst 9 ms"
};

// Sends a request that runs no command (HarmlessFrame) every `every` for
// `seconds`, each given `patience` seconds, as this process (root).
ProbeFigures ProbeAsRoot(std::uint16_t port, double seconds,
                         std::chrono::milliseconds every = std::chrono::milliseconds(50), double patience = 20);

// The value at `share` (0..1) of `values` once sorted; 0 when empty.
double Percentile(std::vector<double> values, double share);

}  // namespace tqdtest
