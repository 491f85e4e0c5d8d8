// The pure parts of tqd: settings from the command line and the store, the
// library path, frame checks, the reply, the connection queue, frame reading
// against a deadline, and the sock_diag request and answer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "daemon/TqdConfig.h"
#include "daemon/TqdPeer.h"
#include "daemon/TqdServer.h"
#include "service/TqRcgHandler.h"

namespace {

using namespace tqd;

// ---- settings -------------------------------------------------------------

TEST(TqdSettings, ParsesPortsAndWorkerCountsStrictly) {
    std::uint16_t port = 0;
    EXPECT_TRUE(ParsePort("8400", &port));
    EXPECT_EQ(port, 8400);
    EXPECT_TRUE(ParsePort(" 1\t", &port));
    EXPECT_EQ(port, 1);
    EXPECT_TRUE(ParsePort("65535", &port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"", "0", "65536", "-1", "84x", "8 400", "0x50", "99999999999999999999999"}) {
        EXPECT_FALSE(ParsePort(bad, &port)) << bad;
    }
    unsigned workers = 0;
    EXPECT_TRUE(ParseWorkers("16", &workers));
    EXPECT_EQ(workers, 16u);
    EXPECT_TRUE(ParseWorkers("1024", &workers));
    for (const char* bad : {"0", "1025", "", "four"}) EXPECT_FALSE(ParseWorkers(bad, &workers)) << bad;
}

TEST(TqdSettings, ParsesUidListsSeparatedByBlanksOrCommas) {
    std::set<uid_t> uids;
    std::string problem;
    EXPECT_TRUE(ParseUidList("1000 1001,1002\t1003 ,, 1000", &uids, &problem));
    EXPECT_EQ(uids, (std::set<uid_t>{1000, 1001, 1002, 1003}));
    EXPECT_TRUE(ParseUidList("", &uids, &problem));
    EXPECT_TRUE(uids.empty());
    EXPECT_TRUE(ParseUidList("4294967294", &uids, &problem));
    EXPECT_EQ(uids, std::set<uid_t>{4294967294u});

    uids = {7};
    EXPECT_FALSE(ParseUidList("1000 alice", &uids, &problem));
    EXPECT_EQ(problem, "\"alice\" is not a uid");
    EXPECT_EQ(uids, std::set<uid_t>{7});  // unchanged on failure
    EXPECT_FALSE(ParseUidList("-1", &uids, &problem));
    EXPECT_FALSE(ParseUidList("4294967295", &uids, &problem));  // (uid_t)-1: nobody
    EXPECT_FALSE(ParseUidList("1000;1001", &uids, &problem));
}

TEST(TqdSettings, ParsesNumericAddressLists) {
    std::vector<std::string> addresses;
    std::string problem;
    EXPECT_TRUE(ParseAddressList("127.0.0.1,::1", &addresses, &problem));
    EXPECT_EQ(addresses, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_TRUE(ParseAddressList(" [::1] , 127.0.0.2,,127.0.0.2 ", &addresses, &problem));
    EXPECT_EQ(addresses, (std::vector<std::string>{"::1", "127.0.0.2"}));
    EXPECT_FALSE(ParseAddressList("localhost", &addresses, &problem));
    EXPECT_EQ(problem, "\"localhost\" is not a numeric IPv4 or IPv6 address");
    EXPECT_FALSE(ParseAddressList(" , ", &addresses, &problem));
    EXPECT_EQ(problem, "no address is given");
    EXPECT_FALSE(ParseAddressList("127.0.0.1:8400", &addresses, &problem));
}

TEST(TqdSettings, ResolvesTheLibraryInOrderOfPreference) {
    std::set<std::string> files;
    const auto exists = [&files](const std::string& path) { return files.count(path) != 0; };
    EXPECT_EQ(ResolveLibraryPath("/opt/a.so", "/opt/b.so", "/usr/local/sbin", exists), "/opt/a.so");
    EXPECT_EQ(ResolveLibraryPath("", "/opt/b.so", "/usr/local/sbin", exists), "/opt/b.so");
    EXPECT_EQ(ResolveLibraryPath("", "", "/usr/local/sbin", exists), "libtqrcgmgr.so");
    files.insert("/usr/local/sbin/../lib/libtqrcgmgr.so");
    EXPECT_EQ(ResolveLibraryPath("", "", "/usr/local/sbin", exists), "/usr/local/sbin/../lib/libtqrcgmgr.so");
    files.insert("/usr/local/sbin/libtqrcgmgr.so");
    EXPECT_EQ(ResolveLibraryPath("", "", "/usr/local/sbin", exists), "/usr/local/sbin/libtqrcgmgr.so");
}

TEST(TqdSettings, CommandLineOverridesTheStoreWhichOverridesDefaults) {
    const auto none = [](const std::string&) { return false; };
    Settings settings;
    std::string problem;

    ASSERT_TRUE(MakeSettings(CommandLine(), StoredSettings(), "/bin", none, &settings, &problem));
    EXPECT_EQ(settings.port, 8400);
    EXPECT_EQ(settings.addresses, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_EQ(settings.workers, 16u);
    EXPECT_TRUE(settings.allowedUids.empty());
    EXPECT_EQ(settings.library, "libtqrcgmgr.so");
    EXPECT_EQ(settings.pidFile, "/run/tqd.pid");

    StoredSettings stored;
    stored.hasPort = true;
    stored.port = "9000";
    stored.hasAddresses = true;
    stored.addresses = "127.0.0.5";
    stored.hasWorkers = true;
    stored.workers = "4";
    stored.hasAllowedUids = true;
    stored.allowedUids = "1000 1001";
    stored.hasLibrary = true;
    stored.library = "/stored/lib.so";
    ASSERT_TRUE(MakeSettings(CommandLine(), stored, "/bin", none, &settings, &problem));
    EXPECT_EQ(settings.port, 9000);
    EXPECT_EQ(settings.addresses, std::vector<std::string>{"127.0.0.5"});
    EXPECT_EQ(settings.workers, 4u);
    EXPECT_EQ(settings.allowedUids, (std::set<uid_t>{1000, 1001}));
    EXPECT_EQ(settings.library, "/stored/lib.so");

    CommandLine line;
    line.port = "9001";
    line.addresses = "::1";
    line.workers = "2";
    line.library = "/line/lib.so";
    line.foreground = true;
    ASSERT_TRUE(MakeSettings(line, stored, "/bin", none, &settings, &problem));
    EXPECT_EQ(settings.port, 9001);
    EXPECT_EQ(settings.addresses, std::vector<std::string>{"::1"});
    EXPECT_EQ(settings.workers, 2u);
    EXPECT_EQ(settings.library, "/line/lib.so");
    EXPECT_EQ(settings.pidFile, "");  // in front: only when asked for
    line.pidFile = "/tmp/x.pid";
    ASSERT_TRUE(MakeSettings(line, stored, "/bin", none, &settings, &problem));
    EXPECT_EQ(settings.pidFile, "/tmp/x.pid");
}

TEST(TqdSettings, NamesTheBadValue) {
    const auto none = [](const std::string&) { return false; };
    Settings settings;
    std::string problem;
    StoredSettings stored;
    stored.hasPort = true;
    stored.port = "99999";
    EXPECT_FALSE(MakeSettings(CommandLine(), stored, "/bin", none, &settings, &problem));
    EXPECT_EQ(problem, "Session/nTQDPORT=99999 is not a port number (1-65535)");

    stored = StoredSettings();
    stored.hasAllowedUids = true;
    stored.allowedUids = "root";
    EXPECT_FALSE(MakeSettings(CommandLine(), stored, "/bin", none, &settings, &problem));
    EXPECT_EQ(problem, "Session/sTQDALLOWEDUIDS=root: \"root\" is not a uid");

    CommandLine line;
    line.workers = "0";
    EXPECT_FALSE(MakeSettings(line, StoredSettings(), "/bin", none, &settings, &problem));
    EXPECT_EQ(problem, "--workers 0 is not a worker count (1-1024)");
    line = CommandLine();
    line.addresses = "host";
    EXPECT_FALSE(MakeSettings(line, StoredSettings(), "/bin", none, &settings, &problem));
    EXPECT_EQ(problem, "--address host: \"host\" is not a numeric IPv4 or IPv6 address");
}

// ---- frames and replies --------------------------------------------------

std::vector<unsigned char> Header(std::uint32_t length, std::uint32_t code) {
    std::vector<unsigned char> frame(k_TqRcgFrameSize, 0);
    const std::uint32_t words[2] = {htonl(length), htonl(code)};
    std::memcpy(frame.data(), &words[0], 4);
    std::memcpy(frame.data() + 12, &words[1], 4);
    return frame;
}

TEST(TqdFrames, PassesOnlyFramesOf368BytesWithTheManagersCode) {
    EXPECT_EQ(FrameProblem(Header(368, 0xEAFF).data()), "");
    EXPECT_EQ(FrameProblem(Header(369, 0xEAFF).data()), "frame length 369 is not 368");
    EXPECT_EQ(FrameProblem(Header(0x70010000, 0xEAFF).data()), "frame length 1879113728 is not 368");
    EXPECT_EQ(FrameProblem(Header(368, 0xEAFE).data()), "request code 0xEAFE is not 0xEAFF");
    EXPECT_EQ(FrameProblem(Header(368, 0xFFEA0000).data()), "request code 0xFFEA0000 is not 0xEAFF");
    // The other header words are not the daemon's concern.
    std::vector<unsigned char> frame = Header(368, 0xEAFF);
    std::memset(frame.data() + 16, 0xff, 24);
    EXPECT_EQ(FrameProblem(frame.data()), "");
}

TEST(TqdFrames, ReplyIs1024BytesWithTheTextCutTo1023) {
    std::vector<char> reply = MakeReply("Denied");
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(std::string(reply.data()), "Denied");
    EXPECT_EQ(std::count(reply.begin(), reply.end(), '\0'), 1024 - 6);
    reply = MakeReply(std::string(2000, 'x'));
    EXPECT_EQ(std::string(reply.data()).size(), 1023u);
    EXPECT_EQ(reply[1023], '\0');
    EXPECT_EQ(
        AccessDeniedText(DeniedUidMessage(65534)),
        "[Win32 error 5] Access denied: tqd serves root and the uids listed in Session/sTQDALLOWEDUIDS; "
        "uid 65534 is not allowed.");
}

// ---- queue ---------------------------------------------------------------

PendingConnection Pending(const std::string& peer) {
    PendingConnection connection;
    connection.peer = peer;
    return connection;
}

TEST(TqdQueue, HoldsAtMostItsLimitAndHandsOutInOrder) {
    ConnectionQueue queue(2);
    PendingConnection a = Pending("a"), b = Pending("b"), c = Pending("c");
    EXPECT_TRUE(queue.push(a));
    EXPECT_TRUE(queue.push(b));
    EXPECT_FALSE(queue.push(c));
    EXPECT_EQ(c.peer, "c");  // still the caller's
    EXPECT_EQ(queue.size(), 2u);
    PendingConnection out;
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(out.peer, "a");
    EXPECT_TRUE(queue.push(c));
    queue.close();
    PendingConnection d = Pending("d");
    EXPECT_FALSE(queue.push(d));
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(out.peer, "b");
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(out.peer, "c");
    EXPECT_FALSE(queue.pop(&out));
}

TEST(TqdQueue, CloseWakesWaitingWorkers) {
    ConnectionQueue queue(4);
    bool popped = true;
    std::thread worker([&] {
        PendingConnection out;
        popped = queue.pop(&out);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.close();
    worker.join();
    EXPECT_FALSE(popped);
}

// ---- reading a frame -----------------------------------------------------

struct SocketPair {
    int ours = -1;
    int theirs = -1;
    SocketPair() {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
            ours = ends[0];
            theirs = ends[1];
        }
    }
    ~SocketPair() {
        if (ours >= 0) close(ours);
        if (theirs >= 0) close(theirs);
    }
};

TEST(TqdReadFrame, ReadsExactlyTheFrameInPieces) {
    SocketPair pair;
    std::thread writer([&] {
        std::vector<unsigned char> bytes(400, 7);
        send(pair.theirs, bytes.data(), 100, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        send(pair.theirs, bytes.data(), 300, 0);
    });
    std::vector<unsigned char> frame(368);
    const FrameReadResult read =
        ReadFrame(pair.ours, frame.data(), frame.size(), Clock::now() + std::chrono::seconds(5));
    writer.join();
    EXPECT_EQ(read.status, FrameStatus::Complete);
    EXPECT_EQ(read.received, 368u);
    char rest[64];
    EXPECT_EQ(recv(pair.ours, rest, sizeof(rest), MSG_DONTWAIT), 32);  // not taken
}

TEST(TqdReadFrame, ReportsAPeerThatEndsEarly) {
    SocketPair pair;
    send(pair.theirs, "abc", 3, 0);
    shutdown(pair.theirs, SHUT_WR);
    std::vector<unsigned char> frame(368);
    const FrameReadResult read =
        ReadFrame(pair.ours, frame.data(), frame.size(), Clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(read.status, FrameStatus::Truncated);
    EXPECT_EQ(read.received, 3u);
}

TEST(TqdReadFrame, DeadlineCoversTheWholeReadNotEachPiece) {
    SocketPair pair;
    std::thread writer([&] {
        for (int piece = 0; piece < 8; ++piece) {
            send(pair.theirs, "x", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::vector<unsigned char> frame(368);
    const auto start = Clock::now();
    const FrameReadResult read =
        ReadFrame(pair.ours, frame.data(), frame.size(), start + std::chrono::milliseconds(350));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    EXPECT_EQ(read.status, FrameStatus::TimedOut);
    EXPECT_GE(read.received, 3u);
    EXPECT_LE(read.received, 5u);
    EXPECT_GE(seconds, 0.34);
    EXPECT_LT(seconds, 0.6);
}

TEST(TqdReadFrame, TakesAFrameAlreadyThereAfterItsDeadline) {
    // A connection that waited in the queue past its deadline is still
    // served when its frame is all there.
    SocketPair pair;
    std::vector<unsigned char> bytes(368, 1);
    send(pair.theirs, bytes.data(), bytes.size(), 0);
    std::vector<unsigned char> frame(368);
    const FrameReadResult read =
        ReadFrame(pair.ours, frame.data(), frame.size(), Clock::now() - std::chrono::seconds(1));
    EXPECT_EQ(read.status, FrameStatus::Complete);
}

// ---- peers ---------------------------------------------------------------

Endpoint V4(const char* address, std::uint16_t port) {
    Endpoint end;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address, &in.sin_addr);
    std::memcpy(&end.address, &in, sizeof(in));
    end.length = sizeof(in);
    return end;
}

Endpoint V6(const char* address, std::uint16_t port) {
    Endpoint end;
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &in6.sin6_addr);
    std::memcpy(&end.address, &in6, sizeof(in6));
    end.length = sizeof(in6);
    return end;
}

TEST(TqdPeers, TellsLoopbackAndShowsEnds) {
    EXPECT_TRUE(IsLoopback(V4("127.0.0.1", 1)));
    EXPECT_TRUE(IsLoopback(V4("127.200.0.9", 1)));
    EXPECT_FALSE(IsLoopback(V4("128.0.0.1", 1)));
    EXPECT_FALSE(IsLoopback(V4("10.0.0.1", 1)));
    EXPECT_TRUE(IsLoopback(V6("::1", 1)));
    EXPECT_TRUE(IsLoopback(V6("::ffff:127.0.0.1", 1)));
    EXPECT_FALSE(IsLoopback(V6("::ffff:10.0.0.1", 1)));
    EXPECT_FALSE(IsLoopback(V6("fe80::1", 1)));
    EXPECT_FALSE(IsLoopback(Endpoint()));
    EXPECT_EQ(EndpointText(V4("127.0.0.1", 8400)), "127.0.0.1:8400");
    EXPECT_EQ(EndpointText(V6("::1", 50000)), "[::1]:50000");
    EXPECT_EQ(EndpointText(Endpoint()), "?");
}

struct Query {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

TEST(TqdPeers, AsksForThePeersSocketByItsExactEnds) {
    std::vector<unsigned char> bytes = BuildOwnerQuery(V4("127.0.0.1", 50000), V4("127.0.0.2", 8400), 77);
    ASSERT_EQ(bytes.size(), sizeof(Query));
    Query query;
    std::memcpy(&query, bytes.data(), sizeof(query));
    EXPECT_EQ(query.header.nlmsg_len, sizeof(Query));
    EXPECT_EQ(query.header.nlmsg_type, SOCK_DIAG_BY_FAMILY);
    EXPECT_EQ(query.header.nlmsg_flags, NLM_F_REQUEST);  // one socket, no dump
    EXPECT_EQ(query.header.nlmsg_seq, 77u);
    EXPECT_EQ(query.request.sdiag_family, AF_INET);
    EXPECT_EQ(query.request.sdiag_protocol, IPPROTO_TCP);
    EXPECT_EQ(ntohs(query.request.id.idiag_sport), 50000);
    EXPECT_EQ(ntohs(query.request.id.idiag_dport), 8400);
    EXPECT_EQ(ntohl(query.request.id.idiag_src[0]), 0x7f000001u);
    EXPECT_EQ(ntohl(query.request.id.idiag_dst[0]), 0x7f000002u);
    EXPECT_EQ(query.request.id.idiag_cookie[0], INET_DIAG_NOCOOKIE);
    EXPECT_EQ(query.request.id.idiag_cookie[1], INET_DIAG_NOCOOKIE);

    bytes = BuildOwnerQuery(V6("::1", 50001), V6("::1", 8400), 78);
    std::memcpy(&query, bytes.data(), sizeof(query));
    EXPECT_EQ(query.request.sdiag_family, AF_INET6);
    EXPECT_EQ(ntohl(query.request.id.idiag_src[3]), 1u);
    EXPECT_EQ(ntohs(query.request.id.idiag_sport), 50001);

    // A v4-mapped connection is asked for as IPv4.
    bytes = BuildOwnerQuery(V6("::ffff:127.0.0.1", 50002), V6("::ffff:127.0.0.1", 8400), 79);
    std::memcpy(&query, bytes.data(), sizeof(query));
    EXPECT_EQ(query.request.sdiag_family, AF_INET);
    EXPECT_EQ(ntohl(query.request.id.idiag_src[0]), 0x7f000001u);

    EXPECT_TRUE(BuildOwnerQuery(V4("127.0.0.1", 1), V6("::1", 2), 1).empty());
    EXPECT_TRUE(BuildOwnerQuery(Endpoint(), Endpoint(), 1).empty());
}

std::vector<unsigned char> Answer(std::uint32_t sequence, std::uint16_t sport, std::uint16_t dport,
                                  std::uint32_t uid, std::uint32_t inode) {
    struct {
        nlmsghdr header;
        inet_diag_msg message;
    } answer;
    std::memset(&answer, 0, sizeof(answer));
    answer.header.nlmsg_len = sizeof(answer);
    answer.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    answer.header.nlmsg_seq = sequence;
    answer.message.idiag_family = AF_INET;
    answer.message.id.idiag_sport = htons(sport);
    answer.message.id.idiag_dport = htons(dport);
    answer.message.id.idiag_src[0] = htonl(0x7f000001);
    answer.message.id.idiag_dst[0] = htonl(0x7f000001);
    answer.message.idiag_uid = uid;
    answer.message.idiag_inode = inode;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&answer);
    return std::vector<unsigned char>(bytes, bytes + sizeof(answer));
}

TEST(TqdPeers, ReadsTheOwnerOnlyFromAnAnswerAboutThatLiveSocket) {
    const Endpoint peer = V4("127.0.0.1", 50000), local = V4("127.0.0.1", 8400);
    uid_t uid = 0;
    std::string problem;
    std::vector<unsigned char> answer = Answer(5, 50000, 8400, 1234, 99);
    EXPECT_TRUE(ParseOwnerAnswer(answer.data(), answer.size(), peer, local, 5, &uid, &problem));
    EXPECT_EQ(uid, 1234u);

    // Closed by its process: uid 0 is no owner.
    answer = Answer(5, 50000, 8400, 0, 0);
    EXPECT_FALSE(ParseOwnerAnswer(answer.data(), answer.size(), peer, local, 5, &uid, &problem));
    EXPECT_EQ(problem, "the peer's socket is no longer held by any process");

    // About another socket, or another question.
    answer = Answer(5, 50001, 8400, 1234, 99);
    EXPECT_FALSE(ParseOwnerAnswer(answer.data(), answer.size(), peer, local, 5, &uid, &problem));
    EXPECT_EQ(problem, "the socket table has no entry for the peer's socket");
    answer = Answer(6, 50000, 8400, 1234, 99);
    EXPECT_FALSE(ParseOwnerAnswer(answer.data(), answer.size(), peer, local, 5, &uid, &problem));

    // Cut short.
    answer = Answer(5, 50000, 8400, 1234, 99);
    EXPECT_FALSE(ParseOwnerAnswer(answer.data(), answer.size() - 8, peer, local, 5, &uid, &problem));
    EXPECT_EQ(problem, "the socket table's answer is malformed");

    struct {
        nlmsghdr header;
        nlmsgerr error;
    } error;
    std::memset(&error, 0, sizeof(error));
    error.header.nlmsg_len = sizeof(error);
    error.header.nlmsg_type = NLMSG_ERROR;
    error.header.nlmsg_seq = 5;
    error.error.error = -ENOENT;
    EXPECT_FALSE(ParseOwnerAnswer(reinterpret_cast<unsigned char*>(&error), sizeof(error), peer, local, 5,
                                  &uid, &problem));
    EXPECT_EQ(problem, "the peer's socket is not in the socket table");
}

// A loopback TCP connection within this process: both ends are ours.
struct LoopbackConnection {
    int listener = -1, client = -1, server = -1;
    explicit LoopbackConnection(int family) {
        listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length;
        if (family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof(*in);
        } else {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof(*in6);
        }
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        client = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) return;
        server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ~LoopbackConnection() {
        for (int fd : {listener, client, server}) {
            if (fd >= 0) close(fd);
        }
    }
};

TEST(TqdPeers, FindsTheOwnerOfARealLoopbackPeer) {
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        LoopbackConnection connection(family);
        if (connection.server < 0) {
            if (family == AF_INET6) continue;  // no IPv6 here
            FAIL() << "no loopback connection";
        }
        uid_t uid = 12345;
        std::string problem;
        ASSERT_TRUE(LookupPeerOwner(connection.server, &uid, &problem)) << problem;
        EXPECT_EQ(uid, geteuid());
        // Our own uid is served when listed (and root always).
        EXPECT_EQ(CheckPeer(connection.server, std::set<uid_t>{geteuid()}), "");
    }
}

}  // namespace
