// The owner of a peer's socket where sock_diag cannot be used: the lines of
// the kernel's TCP tables (/proc/net/tcp, /proc/net/tcp6), the search for
// the peer's socket in them, and real loopback connections identified
// through them with sock_diag turned off.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/TqdPeer.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqd;

Endpoint End(const char* address, std::uint16_t port) {
    Endpoint end;
    sockaddr_in in{};
    sockaddr_in6 in6{};
    if (inet_pton(AF_INET, address, &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        std::memcpy(&end.address, &in, sizeof(in));
        end.length = sizeof(in);
    } else if (inet_pton(AF_INET6, address, &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        std::memcpy(&end.address, &in6, sizeof(in6));
        end.length = sizeof(in6);
    }
    return end;
}

// An end as the kernel prints it: each 32-bit word of the address in
// hexadecimal as this host stores it, a colon, the port in four digits.
std::string KernelEnd(const char* address, std::uint16_t port) {
    unsigned char bytes[16] = {0};
    std::size_t size = 4;
    if (inet_pton(AF_INET, address, bytes) != 1) {
        inet_pton(AF_INET6, address, bytes);
        size = 16;
    }
    std::string text;
    char word[16];
    for (std::size_t at = 0; at < size; at += 4) {
        std::uint32_t native;
        std::memcpy(&native, bytes + at, 4);
        std::snprintf(word, sizeof(word), "%08X", native);
        text += word;
    }
    std::snprintf(word, sizeof(word), ":%04X", port);
    return text + word;
}

// One table line in the kernel's layout.
std::string Line(int slot, const std::string& local, const std::string& remote, unsigned state, unsigned uid,
                 unsigned long long inode) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "%4d: %s %s %02X 00000000:00000000 00:00000000 00000000 %5u        0 %llu 1 "
                  "0000000000000000 20 4 30 10 -1",
                  slot, local.c_str(), remote.c_str(), state, uid, inode);
    return text;
}

const char kHeading4[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode";
const char kHeading6[] =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue "
    "tr tm->when retrnsmt   uid  timeout inode";

std::string Text(const Endpoint& end) { return EndpointText(end); }

TEST(TqdPeerTables, ReadsEveryFieldOfALineOfEitherTable) {
    TcpTableEntry entry;
    ASSERT_TRUE(ParseTcpTableLine(Line(3, KernelEnd("127.0.0.1", 50000), KernelEnd("127.0.0.2", 8400), 1, 1234, 98765),
                                  AF_INET, &entry));
    EXPECT_EQ(Text(entry.local), "127.0.0.1:50000");
    EXPECT_EQ(Text(entry.remote), "127.0.0.2:8400");
    EXPECT_EQ(entry.state, 1u);
    EXPECT_EQ(entry.uid, 1234u);
    EXPECT_EQ(entry.inode, 98765u);

    ASSERT_TRUE(ParseTcpTableLine(Line(0, KernelEnd("::1", 8400), KernelEnd("fe80::1:2", 65535), 0x0A, 0, 7),
                                  AF_INET6, &entry));
    EXPECT_EQ(Text(entry.local), "[::1]:8400");
    EXPECT_EQ(Text(entry.remote), "[fe80::1:2]:65535");
    EXPECT_EQ(entry.state, 0x0Au);

    ASSERT_TRUE(ParseTcpTableLine(Line(12, KernelEnd("::ffff:127.0.0.1", 1), KernelEnd("::ffff:127.0.0.1", 2), 6,
                                       4294967294u, 18446744073709551615ull),
                                  AF_INET6, &entry));
    EXPECT_EQ(Text(entry.local), "[::ffff:127.0.0.1]:1");
    EXPECT_EQ(entry.uid, 4294967294u);
    EXPECT_EQ(entry.inode, 18446744073709551615ull);

    // Lower-case digits and wider spacing are read too.
    ASSERT_TRUE(ParseTcpTableLine("  7:   0100007f:1f90    0100007f:c350 01 0:0 0:0 0   1000 0 42 extra", AF_INET,
                                  &entry));
    EXPECT_EQ(entry.uid, 1000u);
    EXPECT_EQ(entry.inode, 42u);
}

TEST(TqdPeerTables, ReadsLinesAsThisHostsKernelWritesThem) {
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    GTEST_SKIP() << "the lines below are a little-endian host's";
#endif
    TcpTableEntry entry;
    ASSERT_TRUE(ParseTcpTableLine("   1: 0100007F:C350 0100007F:20D0 01 00000000:00000000 00:00000000 00000000  "
                                  "1000        0 4711 1 0000000000000000 20 4 30 10 -1",
                                  AF_INET, &entry));
    EXPECT_EQ(Text(entry.local), "127.0.0.1:50000");
    EXPECT_EQ(Text(entry.remote), "127.0.0.1:8400");
    ASSERT_TRUE(ParseTcpTableLine("   0: 00000000000000000000000001000000:20D0 00000000000000000000000001000000:C351 "
                                  "01 00000000:00000000 00:00000000 00000000     0        0 4712 1",
                                  AF_INET6, &entry));
    EXPECT_EQ(Text(entry.local), "[::1]:8400");
    EXPECT_EQ(Text(entry.remote), "[::1]:50001");
    ASSERT_TRUE(ParseTcpTableLine("   2: 0000000000000000FFFF00000100007F:C352 0000000000000000FFFF00000100007F:20D0 "
                                  "01 00000000:00000000 00:00000000 00000000    33        0 4713 1",
                                  AF_INET6, &entry));
    EXPECT_EQ(Text(entry.local), "[::ffff:127.0.0.1]:50002");
    EXPECT_EQ(entry.uid, 33u);
}

TEST(TqdPeerTables, RefusesTheHeadingAndEveryMalformedLine) {
    const std::string v4 = KernelEnd("127.0.0.1", 50000);
    const std::string v6 = KernelEnd("::1", 50000);
    const std::string good = Line(1, v4, v4, 1, 1000, 5);
    TcpTableEntry entry;
    ASSERT_TRUE(ParseTcpTableLine(good, AF_INET, &entry));
    struct Case {
        const char* what;
        std::string line;
        int family;
    };
    const std::vector<Case> cases = {
        {"heading of tcp", kHeading4, AF_INET},
        {"heading of tcp6", kHeading6, AF_INET6},
        {"empty", "", AF_INET},
        {"blanks", "     ", AF_INET},
        {"nine fields", "1: " + v4 + " " + v4 + " 01 0:0 0:0 0 1000 0", AF_INET},
        {"slot without colon", "1 " + v4 + " " + v4 + " 01 0:0 0:0 0 1000 0 5", AF_INET},
        {"slot not a number", "x: " + v4 + " " + v4 + " 01 0:0 0:0 0 1000 0 5", AF_INET},
        {"slot only a colon", ": " + v4 + " " + v4 + " 01 0:0 0:0 0 1000 0 5", AF_INET},
        {"IPv6 address in tcp", Line(1, v6, v6, 1, 1000, 5), AF_INET},
        {"IPv4 address in tcp6", good, AF_INET6},
        {"short address", Line(1, "100007F:C350", v4, 1, 1000, 5), AF_INET},
        {"long address", Line(1, "00100007F:C350", v4, 1, 1000, 5), AF_INET},
        {"address not hexadecimal", Line(1, "0100007G:C350", v4, 1, 1000, 5), AF_INET},
        {"signed address word", Line(1, "+100007F:C350", v4, 1, 1000, 5), AF_INET},
        {"address without port", Line(1, "0100007F", v4, 1, 1000, 5), AF_INET},
        {"port of three digits", Line(1, "0100007F:350", v4, 1, 1000, 5), AF_INET},
        {"port of five digits", Line(1, "0100007F:1C350", v4, 1, 1000, 5), AF_INET},
        {"port not hexadecimal", Line(1, "0100007F:C3x0", v4, 1, 1000, 5), AF_INET},
        {"colon elsewhere", Line(1, "0100:007FC350", v4, 1, 1000, 5), AF_INET},
        {"remote end malformed", Line(1, v4, "0100007F:", 1, 1000, 5), AF_INET},
        {"state of three digits", "1: " + v4 + " " + v4 + " 001 0:0 0:0 0 1000 0 5", AF_INET},
        {"state not hexadecimal", "1: " + v4 + " " + v4 + " 0X 0:0 0:0 0 1000 0 5", AF_INET},
        {"uid negative", "1: " + v4 + " " + v4 + " 01 0:0 0:0 0 -1 0 5", AF_INET},
        {"uid not a number", "1: " + v4 + " " + v4 + " 01 0:0 0:0 0 root 0 5", AF_INET},
        {"uid beyond 32 bits", "1: " + v4 + " " + v4 + " 01 0:0 0:0 0 4294967296 0 5", AF_INET},
        {"uid in hexadecimal", "1: " + v4 + " " + v4 + " 01 0:0 0:0 0 3E8 0 5", AF_INET},
        {"inode not a number", "1: " + v4 + " " + v4 + " 01 0:0 0:0 0 1000 0 5x", AF_INET},
        {"inode beyond 64 bits", "1: " + v4 + " " + v4 + " 01 0:0 0:0 0 1000 0 18446744073709551616", AF_INET},
        {"family of neither table", good, AF_UNIX},
    };
    for (const auto& test : cases) {
        TcpTableEntry untouched;
        untouched.inode = 777;
        EXPECT_FALSE(ParseTcpTableLine(test.line, test.family, &untouched)) << test.what;
        EXPECT_EQ(untouched.inode, 777u) << test.what << ": nothing written";
    }
}

struct Found {
    bool ok;
    uid_t uid;
    std::string problem;
};

Found Find(const std::string& table, int family, const Endpoint& peer, const Endpoint& local) {
    std::istringstream in(table);
    Found found{false, 99999, ""};
    found.ok = FindOwnerInTcpTable(in, family, peer, local, &found.uid, &found.problem);
    return found;
}

TEST(TqdPeerTables, FindsOnlyTheLiveSocketWhoseOwnEndIsThePeers) {
    const Endpoint peer = End("127.0.0.1", 50000), local = End("127.0.0.1", 8400);
    const std::string peerEnd = KernelEnd("127.0.0.1", 50000), localEnd = KernelEnd("127.0.0.1", 8400);
    // The listener and tqd's own end of the connection (owned by root) are
    // in the same table: neither may answer for the peer.
    const std::string listener = Line(0, localEnd, KernelEnd("0.0.0.0", 0), 0x0A, 0, 100);
    const std::string ours = Line(1, localEnd, peerEnd, 1, 0, 101);
    const std::string otherPort = Line(2, KernelEnd("127.0.0.1", 50001), localEnd, 1, 0, 102);
    const std::string otherAddress = Line(3, KernelEnd("127.0.0.2", 50000), localEnd, 1, 0, 103);
    const std::string otherServer = Line(4, peerEnd, KernelEnd("127.0.0.1", 8401), 1, 0, 104);
    const std::string theirs = Line(5, peerEnd, localEnd, 1, 1234, 105);
    const std::string head = std::string(kHeading4) + "\n";

    Found found = Find(head + listener + "\n" + ours + "\n" + otherPort + "\n" + otherAddress + "\n" +
                           otherServer + "\n" + theirs + "\n",
                       AF_INET, peer, local);
    EXPECT_TRUE(found.ok) << found.problem;
    EXPECT_EQ(found.uid, 1234u);

    found = Find(head + listener + "\n" + ours + "\n" + otherPort + "\n" + otherAddress + "\n" + otherServer + "\n",
                 AF_INET, peer, local);
    EXPECT_FALSE(found.ok);
    EXPECT_EQ(found.uid, 99999u);
    EXPECT_EQ(found.problem, "the table has no entry for the peer's socket");

    EXPECT_EQ(Find("", AF_INET, peer, local).problem, "the table has no entry for the peer's socket");
    // The last line need not end.
    EXPECT_TRUE(Find(head + theirs, AF_INET, peer, local).ok);
}

TEST(TqdPeerTables, ASocketNoProcessHoldsIsNobodysAndALiveOneWins) {
    const Endpoint peer = End("127.0.0.1", 50000), local = End("127.0.0.1", 8400);
    const std::string head = std::string(kHeading4) + "\n";
    const std::string closed = Line(1, KernelEnd("127.0.0.1", 50000), KernelEnd("127.0.0.1", 8400), 6, 0, 0);
    const std::string live = Line(2, KernelEnd("127.0.0.1", 50000), KernelEnd("127.0.0.1", 8400), 1, 1000, 9);
    Found found = Find(head + closed + "\n", AF_INET, peer, local);
    EXPECT_FALSE(found.ok);
    EXPECT_EQ(found.problem, "the peer's socket is no longer held by any process");
    found = Find(head + closed + "\n" + live + "\n", AF_INET, peer, local);
    EXPECT_TRUE(found.ok);
    EXPECT_EQ(found.uid, 1000u);
}

TEST(TqdPeerTables, SkipsUnreadableLinesAndCountsThem) {
    const Endpoint peer = End("127.0.0.1", 50000), local = End("127.0.0.1", 8400);
    const std::string live = Line(2, KernelEnd("127.0.0.1", 50000), KernelEnd("127.0.0.1", 8400), 1, 1000, 9);
    Found found = Find(std::string(kHeading4) + "\ngarbage\n\n" + std::string(5000, 'x') + "\n" + live + "\n",
                       AF_INET, peer, local);
    EXPECT_TRUE(found.ok);
    found = Find(std::string(kHeading4) + "\ngarbage\n1: 2 3\n", AF_INET, peer, local);
    EXPECT_FALSE(found.ok);
    EXPECT_EQ(found.problem, "the table has no entry for the peer's socket (2 unreadable lines)");
    // A line where the table should have ended its previous one.
    found = Find(live.substr(0, 40) + "\n" + live.substr(40) + "\n", AF_INET, peer, local);
    EXPECT_FALSE(found.ok);
}

TEST(TqdPeerTables, MatchesIPv6AndV4MappedEnds) {
    const std::string head = std::string(kHeading6) + "\n";
    // A native IPv6 connection, tqd's own end listed first.
    Found found = Find(head + Line(1, KernelEnd("::1", 8400), KernelEnd("::1", 50001), 1, 0, 2) + "\n" +
                           Line(2, KernelEnd("::1", 50001), KernelEnd("::1", 8400), 1, 1001, 3) + "\n",
                       AF_INET6, End("::1", 50001), End("::1", 8400));
    EXPECT_TRUE(found.ok);
    EXPECT_EQ(found.uid, 1001u);

    // An IPv6 client that reached an IPv4 address: its socket is in tcp6
    // with v4-mapped ends, and the peer may be seen as IPv4 or v4-mapped.
    const std::string mapped = head + Line(0, KernelEnd("::ffff:127.0.0.1", 50002),
                                           KernelEnd("::ffff:127.0.0.1", 8400), 1, 1002, 4) + "\n";
    for (const auto& ends : {std::make_pair(End("127.0.0.1", 50002), End("127.0.0.1", 8400)),
                             std::make_pair(End("::ffff:127.0.0.1", 50002), End("::ffff:127.0.0.1", 8400))}) {
        found = Find(mapped, AF_INET6, ends.first, ends.second);
        EXPECT_TRUE(found.ok) << Text(ends.first);
        EXPECT_EQ(found.uid, 1002u);
    }
    // Never an IPv6 peer for a v4-mapped entry, nor across families.
    EXPECT_FALSE(Find(mapped, AF_INET6, End("::1", 50002), End("::1", 8400)).ok);
    EXPECT_FALSE(Find(mapped, AF_INET6, End("127.0.0.1", 50002), End("::1", 8400)).ok);
    EXPECT_EQ(Find(mapped, AF_INET6, Endpoint(), Endpoint()).problem, "the connection is neither IPv4 nor IPv6");
}

// ---- real connections with sock_diag turned off ---------------------------

PeerOwnerSources TablesOnly(const std::string& procNet = "/proc/net") {
    PeerOwnerSources sources;
    sources.sockDiag = false;
    sources.procNet = procNet;
    return sources;
}

sockaddr_storage Address(const char* text, std::uint16_t port, socklen_t* length) {
    const Endpoint end = End(text, port);
    *length = end.length;
    return end.address;
}

// A loopback connection from `clientFamily` to a listener on `listenAt`,
// reached at `connectTo`; fd -1 where it cannot be made here.
struct Connection {
    int listener = -1, client = -1, server = -1;
    Connection(const char* listenAt, int clientFamily, const char* connectTo) {
        socklen_t length = 0;
        sockaddr_storage address = Address(listenAt, 0, &length);
        listener = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        const std::uint16_t port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        sockaddr_storage target = Address(connectTo, port, &length);
        client = socket(clientFamily, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&target), length) != 0) return;
        server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ~Connection() {
        for (int fd : {listener, client, server}) {
            if (fd >= 0) close(fd);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
};

struct Route {
    const char* what;
    const char* listenAt;
    int clientFamily;
    const char* connectTo;
};
const Route kRoutes[] = {
    {"IPv4", "127.0.0.1", AF_INET, "127.0.0.1"},
    {"IPv6", "::1", AF_INET6, "::1"},
    {"IPv4 client, IPv6 listener", "::ffff:127.0.0.1", AF_INET, "127.0.0.1"},
    {"v4-mapped client and listener", "::ffff:127.0.0.1", AF_INET6, "::ffff:127.0.0.1"},
};

TEST(TqdPeersWithoutSockDiag, IdentifiesRealLoopbackPeersThroughTheTcpTables) {
    int identified = 0;
    for (const Route& route : kRoutes) {
        SCOPED_TRACE(route.what);
        Connection connection(route.listenAt, route.clientFamily, route.connectTo);
        if (connection.server < 0) {
            if (route.clientFamily == AF_INET && route.listenAt[0] != ':') FAIL() << "no IPv4 loopback";
            continue;  // no IPv6 here
        }
        uid_t uid = 12345;
        std::string problem;
        ASSERT_TRUE(LookupPeerOwner(connection.server, &uid, &problem, TablesOnly())) << problem;
        EXPECT_EQ(uid, geteuid());
        EXPECT_EQ(CheckPeer(connection.server, std::set<uid_t>{geteuid()}, TablesOnly()), "");
        // Where sock_diag works the tables are not needed.
        PeerOwnerSources diagOnly;
        diagOnly.procNet = "/nonexistent";
        uid = 12345;
        EXPECT_TRUE(LookupPeerOwner(connection.server, &uid, &problem, diagOnly)) << problem;
        EXPECT_EQ(uid, geteuid());
        ++identified;
    }
    EXPECT_GE(identified, 1);
}

TEST(TqdPeersWithoutSockDiag, NeverServesAPeerThatNoTableIdentifies) {
    Connection connection("127.0.0.1", AF_INET, "127.0.0.1");
    ASSERT_GE(connection.server, 0);
    uid_t uid = 12345;
    std::string problem;

    // No tables at all.
    EXPECT_FALSE(LookupPeerOwner(connection.server, &uid, &problem, TablesOnly("/nonexistent")));
    EXPECT_EQ(uid, 12345u);
    EXPECT_EQ(problem.rfind("sock_diag: not used; /nonexistent/tcp: cannot be read: ", 0), 0u) << problem;
    EXPECT_NE(problem.find("; /nonexistent/tcp6: cannot be read: "), std::string::npos) << problem;
    const std::string denial = CheckPeer(connection.server, std::set<uid_t>{geteuid()}, TablesOnly("/nonexistent"));
    EXPECT_EQ(denial, DeniedUnknownOwnerMessage(problem));

    // Tables that hold everything but the peer's socket: tqd's own end is
    // root's, and must not stand for the peer.
    tqtest::TempStore store;
    const std::string tables = store.dir() + "/net";
    ASSERT_EQ(mkdir(tables.c_str(), 0700), 0);
    std::ifstream realTable("/proc/net/tcp");
    std::ofstream fake(tables + "/tcp");
    std::string line;
    Endpoint client;
    client.length = sizeof(client.address);
    ASSERT_EQ(getsockname(connection.client, reinterpret_cast<sockaddr*>(&client.address), &client.length), 0);
    const std::string clientEnd = EndpointText(client);
    while (std::getline(realTable, line)) {
        TcpTableEntry entry;
        if (ParseTcpTableLine(line, AF_INET, &entry) && EndpointText(entry.local) == clientEnd) continue;
        fake << line << "\n";
    }
    fake.close();
    std::ofstream(tables + "/tcp6") << kHeading6 << "\n";
    EXPECT_FALSE(LookupPeerOwner(connection.server, &uid, &problem, TablesOnly(tables)));
    EXPECT_EQ(uid, 12345u);
    EXPECT_NE(problem.find("tcp: the table has no entry for the peer's socket"), std::string::npos) << problem;
    EXPECT_NE(CheckPeer(connection.server, std::set<uid_t>{}, TablesOnly(tables)), "");
}

TEST(TqdPeersWithoutSockDiag, TellsAnotherUsersPeerFromRootsThroughTheTables) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const uid_t nobody = 65534;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    socklen_t length = 0;
    sockaddr_storage address = Address("127.0.0.1", 0, &length);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls from here on: become nobody, connect, wait.
        close(gate[1]);
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
            setresuid(nobody, nobody, nobody) != 0) {
            _exit(2);
        }
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) _exit(3);
        char byte;
        while (read(gate[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    close(gate[0]);
    pollfd waiting{listener, POLLIN, 0};
    const int server = poll(&waiting, 1, 5000) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    uid_t uid = 0;
    std::string problem;
    const bool found = server >= 0 && LookupPeerOwner(server, &uid, &problem, TablesOnly());
    const std::string denied = server >= 0 ? CheckPeer(server, std::set<uid_t>{}, TablesOnly()) : "";
    const std::string served = server >= 0 ? CheckPeer(server, std::set<uid_t>{nobody}, TablesOnly()) : "x";
    // Both sources agree.
    uid_t byDiag = 0;
    const bool foundByDiag = server >= 0 && LookupPeerOwner(server, &byDiag, &problem);
    close(gate[1]);
    if (server >= 0) close(server);
    close(listener);
    int status = 0;
    waitpid(child, &status, 0);

    ASSERT_GE(server, 0);
    EXPECT_TRUE(found) << problem;
    EXPECT_EQ(uid, nobody);
    EXPECT_EQ(denied, DeniedUidMessage(nobody));
    EXPECT_EQ(served, "");
    EXPECT_TRUE(foundByDiag) << problem;
    EXPECT_EQ(byDiag, nobody);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
