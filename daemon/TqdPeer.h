// Who is at the other end of a connection: its address, and the user that
// owns the peer's socket, read from the kernel's socket table: through
// sock_diag, or from /proc/net/tcp and /proc/net/tcp6 where sock_diag is
// unavailable.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

namespace tqd {

// One end of a TCP connection.
struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// "127.0.0.1:8400" or "[::1]:8400"; "?" for other families.
std::string EndpointText(const Endpoint& end);
// 127.0.0.0/8, ::1, or ::ffff:127.x.y.z.
bool IsLoopback(const Endpoint& end);

// The sock_diag request (netlink header and inet_diag_req_v2) that finds
// the socket whose own end is `peer` and whose remote end is `local`: the
// socket of the process that connected to us.  v4-mapped IPv6 ends are asked
// for as IPv4.  Empty when the family is neither IPv4 nor IPv6 or the two
// ends differ in family.
std::vector<unsigned char> BuildOwnerQuery(const Endpoint& peer, const Endpoint& local,
                                           std::uint32_t sequence);

// Reads the kernel's answer to that request.  Returns true with the owner's
// uid when it describes that socket and a process still holds it open (a
// socket that its process already closed reports uid 0 and inode 0: that is
// no owner).  Otherwise false with the reason.
// *inode (when given) becomes the inode of the peer's socket.
bool ParseOwnerAnswer(const unsigned char* data, std::size_t size, const Endpoint& peer,
                      const Endpoint& local, std::uint32_t sequence, uid_t* uid, std::string* problem,
                      std::uint32_t* inode = nullptr);

// One socket of the kernel's TCP tables (/proc/net/tcp, /proc/net/tcp6).
struct TcpTableEntry {
    Endpoint local;   // the socket's own end
    Endpoint remote;  // the end it is connected to
    unsigned state = 0;
    uid_t uid = 0;
    std::uint64_t inode = 0;  // 0: no process holds the socket any more
};

// Reads one line of a table: `family` AF_INET for tcp, AF_INET6 for tcp6.
// The fields are "sl: local remote st tx:rx tr:when retrnsmt uid timeout
// inode ...", addresses as the kernel prints them (each 32-bit word of the
// address in hexadecimal as this host stores it), ports in hexadecimal, uid
// and inode in decimal.  False for the heading and any malformed line.
bool ParseTcpTableLine(const std::string& line, int family, TcpTableEntry* entry);

// Looks through one table for the socket whose own end is `peer` and whose
// other end is `local`: the socket of the process that connected to us (a
// v4-mapped entry of tcp6 stands for its IPv4 ends).  True with its owner's
// uid when a process still holds it; otherwise false with the reason, also
// when `deadline` passes before the socket is found.
bool FindOwnerInTcpTable(std::istream& table, int family, const Endpoint& peer, const Endpoint& local,
                         uid_t* uid, std::string* problem,
                         std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

// Time the search for the owner of a peer's socket may take: a peer whose
// owner is not found within it is refused, not waited for.  sock_diag
// answers at once; the TCP tables grow with the host's connections (13,000
// of them take about 100 ms to read and parse).
constexpr std::chrono::milliseconds kPeerOwnerBudget{250};

// Where the owner of a peer's socket is read.  sock_diag is asked first;
// when it cannot be used (not even for tqd's own end of the connection) the
// tables <procNet>/tcp and <procNet>/tcp6 are read instead; all within
// `budget`.
struct PeerOwnerSources {
    bool sockDiag = true;
    std::string procNet = "/proc/net";
    std::chrono::microseconds budget = kPeerOwnerBudget;
};

// Who owns the peer's socket of the connection `fd`.  False with the reason
// when no source can tell: such a peer is never served.
bool LookupPeerOwner(int fd, uid_t* uid, std::string* problem,
                     const PeerOwnerSources& sources = PeerOwnerSources());
// The same, with the inode of the peer's socket (which names the process
// that holds it, see FindSocketHolder); 0 when only the TCP tables told.
bool LookupPeerSocket(int fd, uid_t* uid, std::uint32_t* inode, std::string* problem,
                      const PeerOwnerSources& sources = PeerOwnerSources());

// The text of the access-denied reply for a peer owned by `uid`.
std::string DeniedUidMessage(uid_t uid);
// The same when the owner could not be found.
std::string DeniedUnknownOwnerMessage(const std::string& why);
// The same for a peer that is not on this host.
std::string DeniedRemoteMessage(const std::string& peer);

// Who owns the peer's socket, and whether tqd serves it.
struct PeerIdentity {
    bool served = false;
    bool known = false;  // the owner's uid was found
    uid_t uid = 0;       // the owner, when known
    std::string denial;  // the denial text, when not served
};
// Identifies the peer of the connection `fd`: served when it is on this host
// and owned by root or one of `allowedUids`.
PeerIdentity IdentifyPeer(int fd, const std::set<uid_t>& allowedUids,
                          const PeerOwnerSources& sources = PeerOwnerSources());

// The verdict on a peer: empty when it may be served, else the denial text.
std::string CheckPeer(int fd, const std::set<uid_t>& allowedUids,
                      const PeerOwnerSources& sources = PeerOwnerSources());

}  // namespace tqd
