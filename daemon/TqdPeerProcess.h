// Which process holds a socket: the process id of a peer, for the audit
// trail.  The kernel names the owner of a TCP socket by uid only; the
// process is found by the socket's inode among the open descriptors in
// /proc/<pid>/fd.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace tqd {

// "socket:[<inode>]", as /proc/<pid>/fd/<n> links name a socket.
std::string SocketLinkText(std::uint32_t inode);

// The process that holds the socket `inode` open, looked for among the
// processes of `procRoot` (normally "/proc") from the highest process id
// down, since the peer is usually a process started shortly before; 0 when
// none is found within `budget`.
pid_t FindSocketHolder(std::uint32_t inode, std::chrono::microseconds budget,
                       const std::string& procRoot = "/proc");

}  // namespace tqd
