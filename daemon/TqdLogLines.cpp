#include "daemon/TqdLogLines.h"

#include <cstring>

namespace tqd {

std::string ErrnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

bool ThrottledLog::due(Clock::time_point now, std::size_t* unlogged) {
    constexpr auto kQuiet = std::chrono::seconds(10);
    if (m_started && now - m_last < kQuiet) {
        ++m_unlogged;
        return false;
    }
    m_started = true;
    m_last = now;
    *unlogged = m_unlogged;
    m_unlogged = 0;
    return true;
}

std::string MoreSince(std::size_t unlogged) {
    if (unlogged == 0) return std::string();
    return " (and " + std::to_string(unlogged) + " more since the last such line)";
}

}  // namespace tqd
