// Process-level pieces of tqd: becoming a daemon and the pid file.
#pragma once

#include <string>

#include "host/UniqueFd.h"

namespace tqd {

// Turns the process into a daemon (fork, setsid, fork again, chdir /,
// standard streams on /dev/null) while the original process waits until the
// daemon reports how its start-up went.
class Daemonizer {
public:
    Daemonizer() = default;
    Daemonizer(const Daemonizer&) = delete;
    Daemonizer& operator=(const Daemonizer&) = delete;

    // In the daemon returns -1; in the original process returns its exit
    // status (0 when the daemon reported ready, 1 otherwise, after printing
    // the daemon's message to standard error).
    int start();
    // From the daemon: start-up worked / failed with `message`.
    void ready();
    void failed(const std::string& message);

private:
    // The write end of the report pipe, in the daemon until it has reported.
    UniqueFd m_pipe;
};

// A pid file holding this process's id; removed when the object goes (only
// while it still holds this process's id).
class PidFile {
public:
    PidFile() = default;
    ~PidFile() { remove(); }
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    bool write(const std::string& path, std::string* problem);
    void remove();

private:
    std::string m_path;
};

}  // namespace tqd
