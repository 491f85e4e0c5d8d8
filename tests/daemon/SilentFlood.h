// A local user that tries to lock others out of tqd: a child process running
// as that user holds many silent connections, opens a new one whenever tqd
// closes one, and reopens each of them every few seconds.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace tqdtest {

class SilentFlood {
public:
    struct Figures {
        long opened = 0;          // connections opened in all
        long closedByServer = 0;  // of those, closed by tqd
        long held = 0;            // open when the flood stopped
    };

    // Starts the child (this process must be root to become `uid`) and
    // returns once it holds `count` connections or has tried for 10 s.
    SilentFlood(uid_t uid, std::uint16_t port, int count, int refreshSeconds);
    ~SilentFlood();
    SilentFlood(const SilentFlood&) = delete;
    SilentFlood& operator=(const SilentFlood&) = delete;

    bool started() const { return m_ready; }
    // Ends the child and returns what it did.
    Figures stop();

private:
    pid_t m_pid = -1;
    int m_control = -1;  // closing it tells the child to stop
    int m_report = -1;   // the child's "ready" byte, then its figures
    bool m_ready = false;
    Figures m_figures;
};

}  // namespace tqdtest
