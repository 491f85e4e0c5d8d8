// What both modes of tqrcg_bench share: the stop request of SIGINT and
// SIGTERM, a free port, medians and times, the child the bench moves, and
// the daemon the store names.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "host/CQiError.h"

namespace tqbench {

using Clock = std::chrono::steady_clock;

// SIGINT and SIGTERM ask the bench to stop; it checks StopRequested().
void InstallStopHandlers();
bool StopRequested();

int FreeLoopbackPort();
double Median(std::vector<double> values);
double Milliseconds(Clock::time_point start);

// Times one call of a client function for the request `name`; the time is
// kept in `times` from round 1 on (round 0 warms up).  False, with a line on
// standard error, when the call failed.
bool TimeClientCall(const std::string& name, const std::function<CQiError()>& call, int round,
                    std::vector<double>* times);

// The daemon as the client functions find it from the store (TQ_CONFIG).
struct DaemonAddress {
    std::string host;
    int port = 0;
};
DaemonAddress ConfiguredDaemon();
// Waits until the configured daemon accepts a connection; false after `seconds`.
bool WaitForDaemon(int seconds);

// A child of the bench that sleeps until it is ended: the one process that
// the bench moves.
class SleepingChild {
public:
    SleepingChild();
    ~SleepingChild();
    SleepingChild(const SleepingChild&) = delete;
    SleepingChild& operator=(const SleepingChild&) = delete;
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
};

}  // namespace tqbench
