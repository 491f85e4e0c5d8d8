// The audit trail: every request tqd serves is one INFO line of the event
// log naming the peer (address, uid, pid), the request (type, group, cap or
// pids), its outcome (the reply's text) and how long it took; refused peers
// and refused frames get one line per owner and reason every few seconds,
// which tells in `more=` how many more of its kind had no line since the one
// before.  Every event is counted for the metrics.
//
//   audit peer=127.0.0.1:41234 uid=0 pid=4711 request=cap group="backup" cap=25% outcome="Success" ms=12.3
//   audit peer=127.0.0.1:41240 uid=1000 pid=4720 refused="Access denied: ..."
//   audit peer=127.0.0.1:41250 uid=1000 refused_frame="frame length 5 is not 368" more=37
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "daemon/TqdEvents.h"
#include "daemon/TqdMetrics.h"
#include "daemon/TqdServe.h"
#include "service/TqRcgProtocol.h"

namespace tqd {

// Time the search for a peer's process may take per request.
constexpr std::chrono::microseconds kPeerProcessBudget{20000};

// "create", "delete", "cap", "assign", "remove"; "unknown" for other codes.
const char* RequestTypeName(std::int32_t msgType);

// Who is at the other end of a connection.
struct PeerFacts {
    std::string address;  // "127.0.0.1:41234"
    bool uidKnown = false;
    uid_t uid = 0;
    pid_t pid = 0;  // 0: not found
};
// Reads the peer's address, the uid that owns its socket and the process
// that holds it (searched for within `budget`, among the uid's processes
// first).
PeerFacts IdentifyPeerProcess(int fd, std::chrono::microseconds budget);

// A text as a quoted audit value: '"' and '\\' escaped, and nothing that
// could act on a terminal (tqfw::AppendTerminalSafe).
std::string AuditQuoted(const std::string& text);

// The lines (see above), without the "audit " that starts them.
std::string ServedLine(const PeerFacts& peer, const TqRcgRequest& request, const std::string& outcome,
                       double milliseconds);
std::string RefusedPeerLine(const PeerFacts& peer, const Refusal& refusal);
std::string RefusedFrameLine(const Refusal& refusal);

// Runs `handler` on `fd` through a local socket pair so that the reply can
// be read, then passes the reply on to `fd` as the handler wrote it (ending
// the sending side when it did).  *reply holds what the handler sent; false
// when the pair cannot be made (the handler then ran on `fd` itself) or an
// exception left the handler (passed on after the reply is).
bool RelayReply(const RequestHandler& handler, int fd, void* frame, std::string* reply);

// Logs and counts what the server reports.
class Audit : public ServerEvents {
public:
    explicit Audit(RequestStats& stats) : m_stats(stats) {}
    // The handler with an audit line and the counts around each request.
    RequestHandler wrap(RequestHandler inner);
    void peerRefused(int fd, const Refusal& refusal) override;
    void frameRefused(const Refusal& refusal, bool incomplete) override;

private:
    void serve(const RequestHandler& inner, CQiSocket socket, void* frame);

    RequestStats& m_stats;
};

}  // namespace tqd
