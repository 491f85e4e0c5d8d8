// Pieces of tqd's log lines about connections: the system's error text and
// the throttling of lines about connections closed in numbers.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tqd {

typedef std::chrono::steady_clock Clock;

// The system's text for an errno value.
std::string ErrnoText(int error);

// Lines about connections closed in numbers: the first is written, then at
// most one every few seconds, which tells how many went unlogged.
class ThrottledLog {
public:
    // Whether a line is due at `now`; when it is, *unlogged is the number
    // of events that had no line of their own since the last one.
    bool due(Clock::time_point now, std::size_t* unlogged);

private:
    bool m_started = false;
    Clock::time_point m_last;
    std::size_t m_unlogged = 0;
};

// What a throttled line adds about the events that had no line: empty when
// there were none.
std::string MoreSince(std::size_t unlogged);

}  // namespace tqd
