// What the server tells about the connections it turns away, for the audit
// trail and the metrics.  Called on the server's threads; implementations
// are thread-safe.
#pragma once

#include <string>

namespace tqd {

class ServerEvents {
public:
    virtual ~ServerEvents() = default;
    // A peer that tqd does not serve, refused with `why` on the connection
    // `fd` (still open).
    virtual void peerRefused(int fd, const std::string& peer, const std::string& why) = 0;
    // A connection closed without a reply: its frame's header was wrong
    // (`incomplete` false) or it did not send a whole frame (true).  With
    // `quiet` it is counted without a line of its own (the server throttles
    // the lines of such closings).
    virtual void frameRefused(const std::string& peer, bool incomplete, const std::string& why, bool quiet) = 0;
};

}  // namespace tqd
