// Which process holds a socket: the process id of a peer, for the audit
// trail.  The kernel names the owner of a TCP socket by uid only; the
// process is found by the socket's inode among the open descriptors in
// /proc/<pid>/fd.  The search starts where the peer most likely is (the
// processes of the socket's owner, newest first) and stops when its time is
// up, also in the middle of a process that holds many descriptors.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tqd {

// "socket:[<inode>]", as /proc/<pid>/fd/<n> links name a socket.
std::string SocketLinkText(std::uint32_t inode);

// A process as /proc lists it: its id and the owner of its folder (the
// process's user, or root for a process that is not dumpable).
struct ProcessEntry {
    pid_t pid = 0;
    uid_t owner = 0;
};

// The order in which to look through `processes` for a socket owned by
// `uid`: that uid's processes, then the others, each part from the highest
// process id down (the peer is usually a process started shortly before).
std::vector<pid_t> SearchOrder(std::vector<ProcessEntry> processes, uid_t uid);

// How long a search may go on; asked between processes and every few
// descriptors inside one.
class SearchBudget {
public:
    explicit SearchBudget(std::chrono::microseconds budget)
        : m_deadline(std::chrono::steady_clock::now() + budget) {}
    virtual ~SearchBudget() = default;
    virtual bool spent() { return std::chrono::steady_clock::now() >= m_deadline; }

private:
    std::chrono::steady_clock::time_point m_deadline;
};

// The process that holds the socket `inode` open, owned by `uid`, looked
// for among the processes of `procRoot` (normally "/proc") in SearchOrder;
// 0 when none is found before the budget is spent.
pid_t FindSocketHolder(std::uint32_t inode, uid_t uid, SearchBudget& budget, const std::string& procRoot = "/proc");
pid_t FindSocketHolder(std::uint32_t inode, uid_t uid, std::chrono::microseconds budget,
                       const std::string& procRoot = "/proc");

}  // namespace tqd
