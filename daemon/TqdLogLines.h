// Pieces of tqd's log lines about connections: the system's error text and
// the throttling of lines about connections closed in numbers.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace tqd {

typedef std::chrono::steady_clock Clock;

// The system's text for an errno value.
std::string ErrnoText(int error);

// Lines about connections closed in numbers, each kind of line (a uid and a
// reason, say) on its own: the first is written, then at most one every few
// seconds, which tells how many of its kind went unlogged.  Kinds that have
// been quiet for a while are forgotten once there are many, so that the
// kinds held stay few.
class KeyedThrottle {
public:
    explicit KeyedThrottle(Clock::duration quiet = std::chrono::seconds(10), std::size_t many = 1024)
        : m_quiet(quiet), m_many(many) {}
    // Whether a line of kind `key` is due at `now`; when it is, *unlogged
    // is the number of events of that kind that had no line of their own
    // since its last one.  While `many` kinds are busy, new kinds share one.
    bool due(const std::string& key, Clock::time_point now, std::size_t* unlogged);
    std::size_t kinds() const { return m_kinds.size(); }

private:
    struct Kind {
        Clock::time_point lastLine;
        Clock::time_point lastEvent;
        std::size_t unlogged = 0;
    };
    void forgetQuietKinds(Clock::time_point now);

    Clock::duration m_quiet;
    std::size_t m_many;
    std::map<std::string, Kind> m_kinds;
};

// What a throttled line adds about the events that had no line: empty when
// there were none.
std::string MoreSince(std::size_t unlogged);

}  // namespace tqd
