// Who is at the other end of a connection: its address, and the user that
// owns the peer's socket, read from the kernel's socket table (sock_diag).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
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

// Asks the kernel (NETLINK_SOCK_DIAG) who owns the peer's socket of the
// connection `fd`.  False with the reason when that cannot be told.
bool LookupPeerOwner(int fd, uid_t* uid, std::string* problem);
// The same, with the inode of the peer's socket (which names the process
// that holds it, see FindSocketHolder).
bool LookupPeerSocket(int fd, uid_t* uid, std::uint32_t* inode, std::string* problem);

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
PeerIdentity IdentifyPeer(int fd, const std::set<uid_t>& allowedUids);

// The verdict on a peer: empty when it may be served, else the denial text.
std::string CheckPeer(int fd, const std::set<uid_t>& allowedUids);

}  // namespace tqd
