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
            *problem = "the socket table's answer is malformed";
            return false;
        }
        const unsigned char* payload = data + offset + NLMSG_HDRLEN;
        const std::size_t payloadSize = header.nlmsg_len - NLMSG_HDRLEN;
        offset += NLMSG_ALIGN(header.nlmsg_len);
        if (header.nlmsg_seq != sequence) continue;
        if (header.nlmsg_type == NLMSG_ERROR) {
            nlmsgerr error;
            if (payloadSize < sizeof(error)) {
                *problem = "the socket table's answer is malformed";
                return false;
            }
            std::memcpy(&error, payload, sizeof(error));
            if (error.error == -ENOENT) {
                *problem = "the peer's socket is not in the socket table";
            } else {
                *problem = std::string("the socket table cannot be read: ") + std::strerror(-error.error);
            }
            return false;
        }
        if (header.nlmsg_type == NLMSG_DONE) break;
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
        inet_diag_msg message;
        if (payloadSize < sizeof(message)) {
            *problem = "the socket table's answer is malformed";
            return false;
        }
        std::memcpy(&message, payload, sizeof(message));
        if (!AnswerNames(message, from, to)) continue;
        if (message.idiag_inode == 0) {
            // Closed by its process already (an orphan or time-wait entry,
            // which the kernel reports as uid 0): nobody to serve.
            *problem = "the peer's socket is no longer held by any process";
            return false;
        }
        *uid = message.idiag_uid;
        if (inode != nullptr) *inode = message.idiag_inode;
        return true;
    }
    *problem = "the socket table has no entry for the peer's socket";
    return false;
}

bool LookupPeerOwner(int fd, uid_t* uid, std::string* problem) {
    return LookupPeerSocket(fd, uid, nullptr, problem);
}

bool LookupPeerSocket(int fd, uid_t* uid, std::uint32_t* inode, std::string* problem) {
    Endpoint peer, local;
    peer.length = sizeof(peer.address);
    local.length = sizeof(local.address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer.address), &peer.length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local.address), &local.length) != 0) {
        *problem = std::string("the connection's ends cannot be read: ") + std::strerror(errno);
        return false;
    }
    // Each lookup has a netlink socket of its own: one question, one answer.
    const std::uint32_t sequence = 1;
    const std::vector<unsigned char> query = BuildOwnerQuery(peer, local, sequence);
    if (query.empty()) {
        *problem = "the connection is neither IPv4 nor IPv6";
        return false;
    }
    const int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0) {
        *problem = std::string("the socket table cannot be opened: ") + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{diag};
    timeval limit{2, 0};
    setsockopt(diag, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent =
            sendto(diag, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel));
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(query.size())) {
        *problem = std::string("the socket table cannot be asked: ") + std::strerror(errno);
        return false;
    }
    alignas(nlmsghdr) unsigned char answer[8192];
    for (;;) {
        const ssize_t received = recv(diag, answer, sizeof(answer), 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) {
            *problem = std::string("the socket table did not answer: ") +
                       (received < 0 ? std::strerror(errno) : "empty answer");
            return false;
        }
        return ParseOwnerAnswer(answer, static_cast<std::size_t>(received), peer, local, sequence, uid,
                                problem, inode);
    }
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

PeerIdentity IdentifyPeer(int fd, const std::set<uid_t>& allowedUids) {
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
    if (!LookupPeerOwner(fd, &identity.uid, &why)) {
        identity.uid = 0;
        identity.denial = DeniedUnknownOwnerMessage(why);
        return identity;
    }
    identity.known = true;
    identity.served = identity.uid == 0 || allowedUids.count(identity.uid) != 0;
    if (!identity.served) identity.denial = DeniedUidMessage(identity.uid);
    return identity;
}

std::string CheckPeer(int fd, const std::set<uid_t>& allowedUids) {
    return IdentifyPeer(fd, allowedUids).denial;
}

}  // namespace tqd
