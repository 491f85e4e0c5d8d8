// The listening sockets of tqd.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/UniqueFd.h"

namespace tqd {

struct Listener {
    UniqueFd fd;
    std::string address;  // "127.0.0.1:8400"
};

// The listen backlog for `held` connections (those tqd may hold at once:
// still sending their frame, and waiting for a worker): room for all of them
// while a flood fills the queue, and never less than SOMAXCONN.
int ListenBacklog(std::size_t held);

// The kernel's cap on every listen backlog (net.core.somaxconn, read from
// `path`); -1 when it cannot be read.
long BacklogCap(const std::string& path = "/proc/sys/net/core/somaxconn");
// The start's line when the cap keeps the backlog below `held` connections,
// saying how to raise it; empty when it does not (or is unknown).
std::string BacklogCapLine(long cap, std::size_t held);

// Opens a listening socket (SO_REUSEADDR, IPv6 only for IPv6) on each
// address, with `backlog`.  An IPv6 address on a host without IPv6 is left
// out and named in *skipped; any other failure, or no listener at all, gives
// false and a message saying what to do.
bool OpenListeners(const std::vector<std::string>& addresses, std::uint16_t port,
                   std::vector<Listener>* listeners, std::vector<std::string>* skipped, std::string* problem,
                   int backlog = ListenBacklog(0));

}  // namespace tqd
