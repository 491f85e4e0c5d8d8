// The listening sockets of tqd.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/UniqueFd.h"

namespace tqd {

struct Listener {
    UniqueFd fd;
    std::string address;  // "127.0.0.1:8400"
};

// Opens a listening socket (SO_REUSEADDR, IPv6 only for IPv6) on each
// address.  An IPv6 address on a host without IPv6 is left out and named in
// *skipped; any other failure, or no listener at all, gives false and a
// message saying what to do.
bool OpenListeners(const std::vector<std::string>& addresses, std::uint16_t port,
                   std::vector<Listener>* listeners, std::vector<std::string>* skipped, std::string* problem);

}  // namespace tqd
