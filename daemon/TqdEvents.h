// What the server tells about the connections it turns away, for the audit
// trail and the metrics.  Called on the server's reading thread;
// implementations are thread-safe.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace tqd {

// One connection turned away.  Refusals of one owner and one reason get one
// line per interval between them: `logged` says whether this one gets a
// line, and a line tells how many of its kind had none since the one before.
struct Refusal {
    std::string peer;  // "127.0.0.1:41234"
    bool uidKnown = false;
    uid_t uid = 0;    // the owner of the peer's socket, when known
    std::string why;  // the denial's text, or what was wrong with the frame
    bool logged = true;
    std::size_t unlogged = 0;
};

class ServerEvents {
public:
    virtual ~ServerEvents() = default;
    // A peer that tqd does not serve, answered with the denial on the
    // connection `fd` (still open).
    virtual void peerRefused(int fd, const Refusal& refusal) = 0;
    // A connection closed without a reply: its frame's header was wrong
    // (`incomplete` false) or it did not send a whole frame (true).
    virtual void frameRefused(const Refusal& refusal, bool incomplete) = 0;
};

}  // namespace tqd
