#include "daemon/TqdAudit.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include "common/TqRcgDefs.h"
#include "daemon/TqdPeer.h"
#include "daemon/TqdPeerProcess.h"
#include "host/EvDebug.h"
#include "host/UniqueFd.h"
#include "rcg/RcgProperties.h"

namespace tqd {

namespace {

typedef std::chrono::steady_clock Clock;

std::string UidWord(bool known, uid_t uid) { return " uid=" + (known ? std::to_string(uid) : std::string("?")); }

std::string PeerWords(const PeerFacts& peer) {
    return "peer=" + peer.address + UidWord(peer.uidKnown, peer.uid) +
           " pid=" + (peer.pid > 0 ? std::to_string(peer.pid) : "?");
}

// How many more refusals of the kind had no line since the one before.
std::string MoreWord(const Refusal& refusal) {
    return refusal.unlogged > 0 ? " more=" + std::to_string(refusal.unlogged) : std::string();
}

// What the request asks beyond its type and group.
std::string RequestWords(const TqRcgRequest& request) {
    const RcgRequestType* type = RequestTypeOf(request);
    if (type == nullptr) return "";
    switch (type->fields) {
        case RcgRequestFields::kName:
            return "";
        case RcgRequestFields::kShare:
            return " cap=" + std::to_string(request.cpuShare) + "%";
        case RcgRequestFields::kPids: {
            std::string pids;
            for (unsigned int pid : request.pids) pids += (pids.empty() ? "" : ",") + std::to_string(pid);
            return " pids=" + (pids.empty() ? std::string("none") : pids);
        }
        case RcgRequestFields::kSettings:
            break;
    }
    // Sent by the peer: shown quoted, whatever it holds.
    std::string settings;
    for (const TqRcgWireSetting& setting : request.settings) {
        const TqRcgCtrllr::RcgPropertyInfo* info = TqRcgCtrllr::FindPropertyByWireCode(setting.code);
        settings += (settings.empty() ? "" : " ") + (info ? std::string(info->name) : std::string("?")) + "=" +
                    setting.value;
    }
    return " settings=" + AuditQuoted(settings);
}

// Reads what the handler wrote into its end of the pair, which it has left.
std::string DrainReply(int fd) {
    std::string reply;
    char buffer[k_TqRcgMgrCQiErrorSize];
    for (;;) {
        const ssize_t got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got > 0) {
            reply.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return reply;
    }
}

}  // namespace

const char* RequestTypeName(std::int32_t msgType) {
    const RcgRequestType* type = FindRcgRequestType(msgType);
    return type == nullptr ? "unknown" : type->name;
}

PeerFacts IdentifyPeerProcess(int fd, std::chrono::microseconds budget) {
    PeerFacts facts;
    Endpoint peer;
    peer.length = sizeof(peer.address);
    facts.address = getpeername(fd, reinterpret_cast<sockaddr*>(&peer.address), &peer.length) == 0
                        ? EndpointText(peer)
                        : std::string("?");
    std::uint32_t inode = 0;
    std::string problem;
    if (LookupPeerSocket(fd, &facts.uid, &inode, &problem)) {
        facts.uidKnown = true;
        facts.pid = FindSocketHolder(inode, facts.uid, budget);
    }
    return facts;
}

std::string AuditQuoted(const std::string& text) {
    std::string plain;
    for (char c : text) {
        if (c == '"' || c == '\\') plain += '\\';
        plain += c;
    }
    std::string quoted = "\"";
    tqfw::AppendTerminalSafe(quoted, plain);
    return quoted + "\"";
}

std::string ServedLine(const PeerFacts& peer, const TqRcgRequest& request, const std::string& outcome,
                       double milliseconds) {
    char duration[32];
    snprintf(duration, sizeof(duration), "%.1f", milliseconds);
    const RcgRequestType* known = RequestTypeOf(request);
    const std::string type =
        known != nullptr ? known->name : "unknown(" + std::to_string(request.msgType) + ")";
    return PeerWords(peer) + " request=" + type + " group=" + AuditQuoted(request.name) +
           RequestWords(request) + " outcome=" + AuditQuoted(outcome) + " ms=" + duration;
}

std::string RefusedPeerLine(const PeerFacts& peer, const Refusal& refusal) {
    return PeerWords(peer) + " refused=" + AuditQuoted(refusal.why) + MoreWord(refusal);
}

std::string RefusedFrameLine(const Refusal& refusal) {
    return "peer=" + refusal.peer + UidWord(refusal.uidKnown, refusal.uid) +
           " refused_frame=" + AuditQuoted(refusal.why) + MoreWord(refusal);
}

bool RelayReply(const RequestHandler& handler, int fd, void* frame, std::string* reply) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        handler(CQiSocket(fd), frame);
        return false;
    }
    UniqueFd handlerEnd(pair[0]), ourEnd(pair[1]);
    std::exception_ptr failure;
    try {
        handler(CQiSocket(handlerEnd.get()), frame);
    } catch (...) {
        failure = std::current_exception();
    }
    // A handler that ended its sending side has answered in full.
    char probe;
    *reply = DrainReply(ourEnd.get());
    const bool ended = recv(ourEnd.get(), &probe, 1, MSG_DONTWAIT) == 0;
    CQiSocket socket(fd);
    int timedOut = 0;
    if (!reply->empty() &&
        (socket.SendWithTimeOut(reply->data(), reply->size(), kFrameSeconds, &timedOut, 0, nullptr)
             .IsError() ||
         timedOut != 0)) {
        EvDebug log(nullptr);
        log.Error(kLogTag, "could not pass the reply on to the client within %d seconds", kFrameSeconds);
    } else if (ended) {
        socket.Shutdown(1);
    }
    if (failure) std::rethrow_exception(failure);
    return true;
}

RequestHandler Audit::wrap(RequestHandler inner) {
    return [this, inner](CQiSocket socket, void* frame) { serve(inner, socket, frame); };
}

void Audit::serve(const RequestHandler& inner, CQiSocket socket, void* frame) {
    const Clock::time_point start = Clock::now();
    const PeerFacts peer = IdentifyPeerProcess(socket.Descriptor(), kPeerProcessBudget);
    const TqRcgRequest request = DecodeRcgFrame(frame);
    std::string reply, outcome;
    std::exception_ptr failure;
    try {
        const bool seen = RelayReply(inner, socket.Descriptor(), frame, &reply);
        outcome = !seen           ? "reply not seen"
                  : reply.empty() ? "no reply"
                                  : ReadRcgReply(reply.data(), reply.size());
    } catch (...) {
        failure = std::current_exception();
        outcome = reply.empty() ? "the handler failed" : ReadRcgReply(reply.data(), reply.size());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    m_stats.served(RequestTypeOf(request) ? RequestTypeOf(request)->name : "unknown", outcome == k_TQRCGMGR_Success, seconds);
    EvDebug log(nullptr);
    log.Info(kLogTag, "audit %s", ServedLine(peer, request, outcome, seconds * 1000).c_str());
    if (failure) std::rethrow_exception(failure);
}

void Audit::peerRefused(int fd, const Refusal& refusal) {
    m_stats.peerRefused("access");
    if (!refusal.logged) return;
    // The process is looked for only for a line: a flood of refused peers
    // costs no scan of /proc per connection.
    PeerFacts facts = IdentifyPeerProcess(fd, kPeerProcessBudget);
    if (facts.address == "?") facts.address = refusal.peer;
    if (!facts.uidKnown) {
        facts.uidKnown = refusal.uidKnown;
        facts.uid = refusal.uid;
    }
    EvDebug log(nullptr);
    log.Info(kLogTag, "audit %s", RefusedPeerLine(facts, refusal).c_str());
}

void Audit::frameRefused(const Refusal& refusal, bool incomplete) {
    m_stats.frameRefused(incomplete ? "incomplete" : "header");
    if (!refusal.logged) return;
    EvDebug log(nullptr);
    log.Info(kLogTag, "audit %s", RefusedFrameLine(refusal).c_str());
}

}  // namespace tqd
