#include "daemon/TqdLogLines.h"

#include <cstring>

namespace tqd {

std::string ErrnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

bool KeyedThrottle::due(const std::string& kindKey, Clock::time_point now, std::size_t* unlogged) {
    std::string key = kindKey;
    if (m_kinds.size() >= m_many && m_kinds.count(key) == 0) {
        forgetQuietKinds(now);
        // Still many kinds, all of them busy: the new ones share one.
        if (m_kinds.size() >= m_many) key.clear();
    }
    const auto found = m_kinds.find(key);
    if (found != m_kinds.end() && now - found->second.lastLine < m_quiet) {
        found->second.lastEvent = now;
        ++found->second.unlogged;
        return false;
    }
    Kind& kind = m_kinds[key];
    *unlogged = kind.unlogged;
    kind = Kind{now, now, 0};
    return true;
}

void KeyedThrottle::forgetQuietKinds(Clock::time_point now) {
    // A kind forgotten with events unlogged loses only the count in its
    // next line: the metrics keep every event.
    for (auto kind = m_kinds.begin(); kind != m_kinds.end();) {
        if (now - kind->second.lastEvent >= m_quiet) {
            kind = m_kinds.erase(kind);
        } else {
            ++kind;
        }
    }
}

std::string MoreSince(std::size_t unlogged) {
    if (unlogged == 0) return std::string();
    return " (and " + std::to_string(unlogged) + " more since the last such line)";
}

}  // namespace tqd
