#include "daemon/TqdPeer.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <sstream>

#include "host/UniqueFd.h"

namespace tqd {

namespace {

const char kAccessPrefix[] =
    "Access denied: tqd serves root and the uids listed in Session/sTQDALLOWEDUIDS; ";

// The address and port of an end, as sock_diag wants them: an IPv4 end (or
// a v4-mapped IPv6 one) as AF_INET, an IPv6 end as AF_INET6.
struct DiagEnd {
    int family = AF_UNSPEC;
    std::uint32_t address[4] = {0, 0, 0, 0};  // network order
    std::uint16_t port = 0;                   // network order
};

DiagEnd ToDiagEnd(const Endpoint& end) {
    DiagEnd diag;
    if (end.address.ss_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, &end.address, sizeof(in));
        diag.family = AF_INET;
        std::memcpy(&diag.address[0], &in.sin_addr, 4);
        diag.port = in.sin_port;
    } else if (end.address.ss_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, &end.address, sizeof(in6));
        diag.port = in6.sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            diag.family = AF_INET;
            std::memcpy(&diag.address[0], &in6.sin6_addr.s6_addr[12], 4);
        } else {
            diag.family = AF_INET6;
            std::memcpy(diag.address, &in6.sin6_addr, 16);
        }
    }
    return diag;
}

bool SameAddress(const DiagEnd& end, const std::uint32_t* address) {
    const std::size_t bytes = end.family == AF_INET ? 4 : 16;
    return std::memcmp(end.address, address, bytes) == 0;
}

// Whether an answer describes the socket asked for.  A socket of an IPv6
// process that reached an IPv4 address is reported with v4-mapped ends.
bool AnswerNames(const inet_diag_msg& message, const DiagEnd& from, const DiagEnd& to) {
    if (message.id.idiag_sport != from.port || message.id.idiag_dport != to.port) return false;
    if (message.idiag_family == from.family) {
        return SameAddress(from, message.id.idiag_src) && SameAddress(to, message.id.idiag_dst);
    }
    if (message.idiag_family != AF_INET6 || from.family != AF_INET) return false;
    in6_addr source, destination;
    std::memcpy(&source, message.id.idiag_src, sizeof(source));
    std::memcpy(&destination, message.id.idiag_dst, sizeof(destination));
    return IN6_IS_ADDR_V4MAPPED(&source) && IN6_IS_ADDR_V4MAPPED(&destination) &&
           std::memcmp(&source.s6_addr[12], from.address, 4) == 0 &&
           std::memcmp(&destination.s6_addr[12], to.address, 4) == 0;
}

struct OwnerQuery {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

bool SameEnd(const DiagEnd& a, const DiagEnd& b) {
    return a.family != AF_UNSPEC && a.family == b.family && a.port == b.port && SameAddress(a, b.address);
}

// `text` as a number in `base` (10 or 16) no greater than `max`: digits
// only, no sign, no blanks.
bool ParseNumber(const std::string& text, unsigned base, std::uint64_t max, std::uint64_t* value) {
    if (text.empty()) return false;
    std::uint64_t result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            return false;
        }
        if (result > (max - digit) / base) return false;
        result = result * base + digit;
    }
    *value = result;
    return true;
}

// "0100007F:1F90" (tcp) or 32 hexadecimal digits and a port (tcp6): each
// group of 8 digits is one 32-bit word of the address as this host stores
// it, so its bytes are copied as they lie in memory.
bool ParseTableEnd(const std::string& text, int family, Endpoint* end) {
    const std::size_t digits = family == AF_INET ? 8 : 32;
    if (text.size() != digits + 5 || text[digits] != ':') return false;
    unsigned char address[16] = {0};
    for (std::size_t word = 0; word < digits / 8; ++word) {
        std::uint64_t value = 0;
        if (!ParseNumber(text.substr(word * 8, 8), 16, UINT32_MAX, &value)) return false;
        const std::uint32_t native = static_cast<std::uint32_t>(value);
        std::memcpy(address + word * 4, &native, 4);
    }
    std::uint64_t port = 0;
    if (!ParseNumber(text.substr(digits + 1), 16, 0xFFFF, &port)) return false;
    *end = Endpoint();
    if (family == AF_INET) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&in.sin_addr, address, 4);
        std::memcpy(&end->address, &in, sizeof(in));
        end->length = sizeof(in);
    } else {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&in6.sin6_addr, address, 16);
        std::memcpy(&end->address, &in6, sizeof(in6));
        end->length = sizeof(in6);
    }
    return true;
}

const char kMalformedAnswer[] = "the socket table's answer is malformed";

// The problem that an NLMSG_ERROR answer reports.
std::string ErrorAnswerProblem(const unsigned char* payload, std::size_t size) {
    nlmsgerr error;
    if (size < sizeof(error)) return kMalformedAnswer;
    std::memcpy(&error, payload, sizeof(error));
    if (error.error == -ENOENT) return "the peer's socket is not in the socket table";
    return std::string("the socket table cannot be read: ") + std::strerror(-error.error);
}

// What one socket of a sock_diag answer says about the socket asked for.
enum class AnswerVerdict { OtherSocket, Owner, Failed };

// One SOCK_DIAG_BY_FAMILY message: the owner's uid (and the socket's inode)
// when it is the socket asked for and a process holds it.
AnswerVerdict ReadSocketAnswer(const unsigned char* payload, std::size_t size, const DiagEnd& from,
                               const DiagEnd& to, uid_t* uid, std::uint32_t* inode, std::string* problem) {
    inet_diag_msg message;
    if (size < sizeof(message)) {
        *problem = kMalformedAnswer;
        return AnswerVerdict::Failed;
    }
    std::memcpy(&message, payload, sizeof(message));
    if (!AnswerNames(message, from, to)) return AnswerVerdict::OtherSocket;
    if (message.idiag_inode == 0) {
        // Closed by its process already (an orphan or time-wait entry,
        // which the kernel reports as uid 0): nobody to serve.
        *problem = "the peer's socket is no longer held by any process";
        return AnswerVerdict::Failed;
    }
    *uid = message.idiag_uid;
    if (inode != nullptr) *inode = message.idiag_inode;
    return AnswerVerdict::Owner;
}

typedef std::chrono::steady_clock Clock;

// The time left until `deadline`, at least a millisecond.
timeval TimeLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    const long micros = left < 1000 ? 1000 : static_cast<long>(left);
    return timeval{micros / 1000000, micros % 1000000};
}

// Asks sock_diag for the owner of the socket whose own end is `from` and
// whose other end is `to`, waiting for its answer until `deadline`.
bool AskSockDiag(const Endpoint& from, const Endpoint& to, Clock::time_point deadline, uid_t* uid,
                 std::string* problem, std::uint32_t* inode = nullptr) {
    // Each lookup has a netlink socket of its own: one question, one answer.
    const std::uint32_t sequence = 1;
    const std::vector<unsigned char> query = BuildOwnerQuery(from, to, sequence);
    if (query.empty()) {
        *problem = "the connection is neither IPv4 nor IPv6";
        return false;
    }
    const UniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag.open()) {
        *problem = std::string("the socket table cannot be opened: ") + std::strerror(errno);
        return false;
    }
    const timeval limit = TimeLeft(deadline);
    setsockopt(diag.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent =
            sendto(diag.get(), query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel));
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(query.size())) {
        *problem = std::string("the socket table cannot be asked: ") + std::strerror(errno);
        return false;
    }
    alignas(nlmsghdr) unsigned char answer[8192];
    for (;;) {
        const ssize_t received = recv(diag.get(), answer, sizeof(answer), 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) {
            const bool late = received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            *problem = late ? std::string("the socket table did not answer in time")
                            : std::string("the socket table did not answer: ") +
                                  (received < 0 ? std::strerror(errno) : "empty answer");
            return false;
        }
        return ParseOwnerAnswer(answer, static_cast<std::size_t>(received), from, to, sequence, uid, problem,
                                inode);
    }
}

// Reads <procNet>/tcp (for an IPv4 peer) and <procNet>/tcp6 for the owner
// of the peer's socket, until `deadline`.
bool AskTcpTables(const std::string& procNet, const Endpoint& peer, const Endpoint& local,
                  Clock::time_point deadline, uid_t* uid, std::string* problem) {
    std::vector<std::pair<std::string, int>> tables;
    if (ToDiagEnd(peer).family == AF_INET) tables.emplace_back(procNet + "/tcp", AF_INET);
    tables.emplace_back(procNet + "/tcp6", AF_INET6);
    std::string reasons;
    for (const auto& table : tables) {
        std::string reason;
        std::ifstream in(table.first);
        if (!in) {
            reason = std::string("cannot be read: ") + std::strerror(errno);
        } else if (FindOwnerInTcpTable(in, table.second, peer, local, uid, &reason, deadline)) {
            return true;
        }
        reasons += (reasons.empty() ? "" : "; ") + table.first + ": " + reason;
    }
    *problem = reasons;
    return false;
}

}  // namespace

std::string EndpointText(const Endpoint& end) {
    char text[INET6_ADDRSTRLEN] = {0};
    if (end.address.ss_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, &end.address, sizeof(in));
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
        return std::string(text) + ":" + std::to_string(ntohs(in.sin_port));
    }
    if (end.address.ss_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, &end.address, sizeof(in6));
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6.sin6_port));
    }
    return "?";
}

bool IsLoopback(const Endpoint& end) {
    const DiagEnd diag = ToDiagEnd(end);
    if (diag.family == AF_INET) {
        return (ntohl(diag.address[0]) >> 24) == 127;
    }
    if (diag.family == AF_INET6) {
        in6_addr address;
        std::memcpy(&address, diag.address, sizeof(address));
        return IN6_IS_ADDR_LOOPBACK(&address);
    }
    return false;
}

std::vector<unsigned char> BuildOwnerQuery(const Endpoint& peer, const Endpoint& local,
                                           std::uint32_t sequence) {
    const DiagEnd from = ToDiagEnd(peer);
    const DiagEnd to = ToDiagEnd(local);
    if (from.family == AF_UNSPEC || from.family != to.family) return {};
    OwnerQuery query;
    std::memset(&query, 0, sizeof(query));
    query.header.nlmsg_len = sizeof(query);
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.header.nlmsg_seq = sequence;
    query.request.sdiag_family = static_cast<std::uint8_t>(from.family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    // The socket we look for has the peer's end as its own (source) end.
    query.request.id.idiag_sport = from.port;
    query.request.id.idiag_dport = to.port;
    std::memcpy(query.request.id.idiag_src, from.address, sizeof(from.address));
    std::memcpy(query.request.id.idiag_dst, to.address, sizeof(to.address));
    query.request.id.idiag_if = 0;
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&query);
    return std::vector<unsigned char>(bytes, bytes + sizeof(query));
}

bool ParseOwnerAnswer(const unsigned char* data, std::size_t size, const Endpoint& peer,
                      const Endpoint& local, std::uint32_t sequence, uid_t* uid, std::string* problem,
                      std::uint32_t* inode) {
    const DiagEnd from = ToDiagEnd(peer);
    const DiagEnd to = ToDiagEnd(local);
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= size) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof(header));
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size - offset) {
            *problem = kMalformedAnswer;
            return false;
        }
        const unsigned char* payload = data + offset + NLMSG_HDRLEN;
        const std::size_t payloadSize = header.nlmsg_len - NLMSG_HDRLEN;
        offset += NLMSG_ALIGN(header.nlmsg_len);
        if (header.nlmsg_seq != sequence) continue;
        if (header.nlmsg_type == NLMSG_ERROR) {
            *problem = ErrorAnswerProblem(payload, payloadSize);
            return false;
        }
        if (header.nlmsg_type == NLMSG_DONE) break;
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
        const AnswerVerdict verdict = ReadSocketAnswer(payload, payloadSize, from, to, uid, inode, problem);
        if (verdict == AnswerVerdict::OtherSocket) continue;
        return verdict == AnswerVerdict::Owner;
    }
    *problem = "the socket table has no entry for the peer's socket";
    return false;
}

bool ParseTcpTableLine(const std::string& line, int family, TcpTableEntry* entry) {
    if (family != AF_INET && family != AF_INET6) return false;
    std::istringstream fields(line);
    std::vector<std::string> words;
    std::string word;
    while (words.size() < 10 && fields >> word) words.push_back(word);
    if (words.size() < 10) return false;
    const std::string& slot = words[0];
    std::uint64_t number = 0;
    if (slot.size() < 2 || slot.back() != ':' ||
        !ParseNumber(slot.substr(0, slot.size() - 1), 10, UINT64_MAX, &number)) {
        return false;
    }
    TcpTableEntry parsed;
    if (!ParseTableEnd(words[1], family, &parsed.local) || !ParseTableEnd(words[2], family, &parsed.remote)) {
        return false;
    }
    if (words[3].size() != 2 || !ParseNumber(words[3], 16, 0xFF, &number)) return false;
    parsed.state = static_cast<unsigned>(number);
    if (!ParseNumber(words[7], 10, UINT32_MAX, &number)) return false;
    parsed.uid = static_cast<uid_t>(number);
    if (!ParseNumber(words[9], 10, UINT64_MAX, &parsed.inode)) return false;
    *entry = parsed;
    return true;
}

bool FindOwnerInTcpTable(std::istream& table, int family, const Endpoint& peer, const Endpoint& local,
                         uid_t* uid, std::string* problem, std::chrono::steady_clock::time_point deadline) {
    const DiagEnd from = ToDiagEnd(peer);
    const DiagEnd to = ToDiagEnd(local);
    if (from.family == AF_UNSPEC || from.family != to.family) {
        *problem = "the connection is neither IPv4 nor IPv6";
        return false;
    }
    bool orphan = false;
    std::size_t unreadable = 0;
    std::string line;
    for (std::size_t number = 1; std::getline(table, line); ++number) {
        if (number % 256 == 0 && Clock::now() >= deadline) {
            *problem = "the table was not read through in time";
            return false;
        }
        TcpTableEntry entry;
        if (!ParseTcpTableLine(line, family, &entry)) {
            if (number > 1) ++unreadable;  // the first line is the heading
            continue;
        }
        if (!SameEnd(ToDiagEnd(entry.local), from) || !SameEnd(ToDiagEnd(entry.remote), to)) continue;
        if (entry.inode == 0) {
            // Closed by its process already (time-wait or orphaned): its uid
            // reads 0, which is nobody's.
            orphan = true;
            continue;
        }
        *uid = entry.uid;
        return true;
    }
    *problem = orphan ? "the peer's socket is no longer held by any process"
                      : "the table has no entry for the peer's socket";
    if (unreadable > 0) *problem += " (" + std::to_string(unreadable) + " unreadable lines)";
    return false;
}

bool LookupPeerOwner(int fd, uid_t* uid, std::string* problem, const PeerOwnerSources& sources) {
    return LookupPeerSocket(fd, uid, nullptr, problem, sources);
}

bool LookupPeerSocket(int fd, uid_t* uid, std::uint32_t* inode, std::string* problem,
                      const PeerOwnerSources& sources) {
    if (inode != nullptr) *inode = 0;
    Endpoint peer, local;
    peer.length = sizeof(peer.address);
    local.length = sizeof(local.address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer.address), &peer.length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local.address), &local.length) != 0) {
        *problem = std::string("the connection's ends cannot be read: ") + std::strerror(errno);
        return false;
    }
    if (BuildOwnerQuery(peer, local, 1).empty()) {
        *problem = "the connection is neither IPv4 nor IPv6";
        return false;
    }
    const Clock::time_point deadline = Clock::now() + sources.budget;
    std::string diagProblem = "not used";
    if (sources.sockDiag) {
        if (AskSockDiag(peer, local, deadline, uid, &diagProblem, inode)) return true;
        // A sock_diag that finds tqd's own end of the connection works, and
        // its word on the peer's end is final.  One that cannot (its modules
        // absent, netlink refused) leaves the question to the TCP tables.
        uid_t own = 0;
        std::string ignored;
        if (AskSockDiag(local, peer, deadline, &own, &ignored)) {
            *problem = diagProblem;
            return false;
        }
    }
    std::string tableProblem;
    if (AskTcpTables(sources.procNet, peer, local, deadline, uid, &tableProblem)) return true;
    *problem = "sock_diag: " + diagProblem + "; " + tableProblem;
    return false;
}

std::string DeniedUidMessage(uid_t uid) {
    return std::string(kAccessPrefix) + "uid " + std::to_string(uid) + " is not allowed.";
}

std::string DeniedUnknownOwnerMessage(const std::string& why) {
    return std::string(kAccessPrefix) + "the owner of the connecting socket cannot be found (" + why + ").";
}

std::string DeniedRemoteMessage(const std::string& peer) {
    return "Access denied: tqd serves processes of this host only; " + peer + " is not a loopback address.";
}

PeerIdentity IdentifyPeer(int fd, const std::set<uid_t>& allowedUids, const PeerOwnerSources& sources) {
    PeerIdentity identity;
    Endpoint peer;
    peer.length = sizeof(peer.address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer.address), &peer.length) != 0) {
        identity.denial = DeniedUnknownOwnerMessage(std::string("the peer's address cannot be read: ") +
                                                    std::strerror(errno));
        return identity;
    }
    if (!IsLoopback(peer)) {
        identity.denial = DeniedRemoteMessage(EndpointText(peer));
        return identity;
    }
    std::string why;
    if (!LookupPeerOwner(fd, &identity.uid, &why, sources)) {
        identity.uid = 0;
        identity.denial = DeniedUnknownOwnerMessage(why);
        return identity;
    }
    identity.known = true;
    identity.served = identity.uid == 0 || allowedUids.count(identity.uid) != 0;
    if (!identity.served) identity.denial = DeniedUidMessage(identity.uid);
    return identity;
}

std::string CheckPeer(int fd, const std::set<uid_t>& allowedUids, const PeerOwnerSources& sources) {
    return IdentifyPeer(fd, allowedUids, sources).denial;
}

}  // namespace tqd
