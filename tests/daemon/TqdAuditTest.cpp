// The audit trail: its lines, the reply passed on through the socket pair,
// and the peer's process found by its socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <vector>
#include <string>

#include "daemon/TqdAudit.h"
#include "daemon/TqdPeer.h"
#include "daemon/TqdPeerProcess.h"
#include "host/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqd;

TqRcgRequest Request(std::int32_t type, const std::string& name, std::uint32_t share = 0,
                     std::list<unsigned int> pids = {}) {
    TqRcgRequest request;
    request.msgType = type;
    request.name = name;
    request.cpuShare = share;
    request.pids = std::move(pids);
    return request;
}

PeerFacts Peer() {
    PeerFacts peer;
    peer.address = "127.0.0.1:41234";
    peer.uidKnown = true;
    peer.uid = 0;
    peer.pid = 4711;
    return peer;
}

TEST(TqdAuditLines, EachRequestNamesPeerTypeGroupArgumentsOutcomeAndDuration) {
    EXPECT_EQ(
        "peer=127.0.0.1:41234 uid=0 pid=4711 request=cap group=\"backup\" cap=25% outcome=\"Success\" "
        "ms=12.3",
        ServedLine(Peer(), Request(RcgMsgSetCPUShare, "backup", 25), "Success", 12.34));
    EXPECT_EQ(
        "peer=127.0.0.1:41234 uid=0 pid=4711 request=assign group=\"web\" pids=12,13 outcome=\"Success\" "
        "ms=1.0",
        ServedLine(Peer(), Request(RcgMsgAssignPids, "web", 0, {12, 13}), "Success", 1));
    EXPECT_EQ("peer=127.0.0.1:41234 uid=0 pid=4711 request=create group=\"web\" outcome=\"Success\" ms=0.5",
              ServedLine(Peer(), Request(RcgMsgCreateGroup, "web"), "Success", 0.5));
    PeerFacts unknown;
    unknown.address = "?";
    EXPECT_EQ(
        "peer=? uid=? pid=? request=unknown(9) group=\"a\\\"b\\n\" outcome=\"[Win32 error 1630] x\" ms=2.0",
        ServedLine(unknown, Request(9, "a\"b\n"), "[Win32 error 1630] x", 2));
    EXPECT_EQ("remove", std::string(RequestTypeName(RcgMsgRemovePids)));
}

TEST(TqdAuditLines, SettingsAreNamedAndAnUnmarkedSettingsTypeIsUnknown) {
    TqRcgRequest set = Request(RcgMsgSetProperties, "web", kRcgSettingsMark);
    set.settings = {{'M', "64M"}, {'W', "300"}, {'Z', "a\x01\""}};
    EXPECT_EQ(
        "peer=127.0.0.1:41234 uid=0 pid=4711 request=set group=\"web\" "
        "settings=\"memory.max=64M cpu.weight=300 ?=a\\x01\\\"\" outcome=\"Success\" ms=1.0",
        ServedLine(Peer(), set, "Success", 1));
    EXPECT_EQ("peer=127.0.0.1:41234 uid=0 pid=4711 request=unknown(16) group=\"web\" outcome=\"x\" ms=1.0",
              ServedLine(Peer(), Request(RcgMsgSetProperties, "web", 25), "x", 1));
}

// Refusals of one owner and reason are one line every few seconds, which
// says how many more of its kind had none.
TEST(TqdAuditLines, RefusalLinesNameTheOwnerAndHowManyMoreCame) {
    Refusal refusal;
    refusal.peer = "[::1]:5";
    refusal.why = "frame length 5 is not 368";
    EXPECT_EQ("peer=[::1]:5 uid=? refused_frame=\"frame length 5 is not 368\"", RefusedFrameLine(refusal));
    refusal.uidKnown = true;
    refusal.uid = 1000;
    refusal.unlogged = 37;
    EXPECT_EQ("peer=[::1]:5 uid=1000 refused_frame=\"frame length 5 is not 368\" more=37", RefusedFrameLine(refusal));
    refusal.why = "Access denied";
    refusal.unlogged = 0;
    EXPECT_EQ("peer=127.0.0.1:41234 uid=0 pid=4711 refused=\"Access denied\"", RefusedPeerLine(Peer(), refusal));
    refusal.unlogged = 2;
    EXPECT_EQ("peer=127.0.0.1:41234 uid=0 pid=4711 refused=\"Access denied\" more=2", RefusedPeerLine(Peer(), refusal));
}

// Audit values are quoted, and nothing in them reaches a terminal raw.
TEST(TqdAuditLines, QuotedValuesEscapeQuotesBackslashesAndEveryControl) {
    const struct {
        const char* text;
        const char* quoted;
    } cases[] = {
        {"a\x1b" "b\\", "\"a\\x1bb\\\\\""},
        {"say \"hi\"\n", "\"say \\\"hi\\\"\\n\""},
        {"\xc2\x9b" "31m", "\"\\u009b31m\""},
        {"\x9b" "31m\xff", "\"\\x9b31m\\xff\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.quoted, AuditQuoted(c.text)) << c.text;
}

// The client's end of a connection to `relay` (both ends local): what the
// handler's reply turns into on the client's side.
std::string ClientSees(int client) {
    std::string seen;
    char buffer[2048];
    ssize_t got;
    while ((got = recv(client, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) seen.append(buffer, got);
    return seen + (got == 0 ? "<end>" : "<open>");
}

TEST(TqdAuditRelay, TheReplyReachesTheClientUnchanged) {
    tqtest::SocketPair connection;
    const TqRcgReply sent = MakeRcgReply("Success");
    const RequestHandler handler = [&sent](CQiSocket socket, void*) {
        int timedOut = 0;
        socket.SendWithTimeOut(sent.data(), sent.size(), 15, &timedOut, 0, nullptr);
        socket.Shutdown(1);
    };
    std::string reply;
    char frame[kTqRcgFrameSize] = {};
    ASSERT_TRUE(RelayReply(handler, connection.ours, frame, &reply));
    EXPECT_EQ(std::string(sent.data(), sent.size()), reply);
    EXPECT_EQ(std::string(sent.data(), sent.size()) + "<end>", ClientSees(connection.theirs));
    EXPECT_EQ("Success", ReadRcgReply(reply.data(), reply.size()));
}

TEST(TqdAuditRelay, AHandlerThatThrowsStillHasItsReplyPassedOn) {
    tqtest::SocketPair connection;
    const RequestHandler handler = [](CQiSocket socket, void*) {
        int timedOut = 0;
        socket.SendWithTimeOut("half", 4, 15, &timedOut, 0, nullptr);
        throw std::runtime_error("broken");
    };
    std::string reply;
    char frame[kTqRcgFrameSize] = {};
    EXPECT_THROW(RelayReply(handler, connection.ours, frame, &reply), std::runtime_error);
    EXPECT_EQ("half", reply);
    EXPECT_EQ("half<open>", ClientSees(connection.theirs)) << "no end of sending: the handler did not end it";

    const RequestHandler silent = [](CQiSocket, void*) {};
    EXPECT_TRUE(RelayReply(silent, connection.ours, frame, &reply));
    EXPECT_EQ("", reply);
}

TEST(TqdAuditRelay, AuditLogsAndCountsEveryServedRequest) {
    tqtest::TempStore store;
    tqtest::SocketPair connection;
    RequestStats stats;
    Audit audit(stats);
    const RequestHandler handler = audit.wrap([](CQiSocket socket, void*) {
        const TqRcgReply reply = MakeRcgReply("[Win32 error 1168] The resource group x doesn't exist.");
        int timedOut = 0;
        socket.SendWithTimeOut(reply.data(), reply.size(), 15, &timedOut, 0, nullptr);
        socket.Shutdown(1);
    });
    TqRcgMsg msg = MakeRcgMsg(RcgMsgSetCPUShare, "x");
    msg.cpuShare = 30;
    TqRcgFrame frame = EncodeRcgFrame(msg);
    handler(CQiSocket(connection.ours), frame.data());
    EXPECT_NE(
        std::string::npos,
        store.log().find("INFO tqd audit peer=? uid=? pid=? request=cap group=\"x\" cap=30% outcome=\"[Win32 "
                         "error 1168] The resource group x doesn't exist.\" ms="))
        << store.log();
    const DaemonCounts counts = stats.snapshot();
    EXPECT_EQ(1u, counts.requests.at(std::make_pair(std::string("cap"), std::string("failure"))));
    EXPECT_EQ(1u, counts.durationCount);
    Refusal logged;
    logged.peer = "127.0.0.1:9";
    logged.why = "ended after 5 bytes";
    audit.frameRefused(logged, true);
    Refusal quiet;
    quiet.peer = "127.0.0.1:10";
    quiet.why = "nothing sent";
    quiet.logged = false;
    audit.frameRefused(quiet, true);
    EXPECT_EQ(2u, stats.snapshot().framesRefused.at("incomplete"));
    EXPECT_EQ(std::string::npos, store.log().find("127.0.0.1:10")) << "quiet: counted only";
    EXPECT_NE(std::string::npos,
              store.log().find("audit peer=127.0.0.1:9 uid=? refused_frame=\"ended after 5 bytes\""));
}

// A loopback TCP connection within this process.
struct Loopback {
    UniqueFd listener, client, server;
    Loopback() {
        listener.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener.get(), 1);
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
        client.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        server.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
};

std::uint32_t InodeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<std::uint32_t>(st.st_ino) : 0;
}

TEST(TqdPeerProcess, TheHolderOfASocketIsFoundByItsInode) {
    Loopback connection;
    ASSERT_TRUE(connection.server.open());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(getpid(), FindSocketHolder(InodeOf(connection.client.get()), geteuid(), std::chrono::seconds(2)));
    printf("found this process by its socket in %.2f ms\n",
           std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(0, FindSocketHolder(0, geteuid(), std::chrono::seconds(1)));
    EXPECT_EQ("socket:[42]", SocketLinkText(42));
    tqtest::TempStore empty;
    EXPECT_EQ(0, FindSocketHolder(InodeOf(connection.client.get()), geteuid(), std::chrono::seconds(1), empty.dir()));
}

// A budget of so many looks, whatever the time.
class LooksBudget : public SearchBudget {
public:
    explicit LooksBudget(int looks) : SearchBudget(std::chrono::microseconds(0)), m_left(looks) {}
    bool spent() override { return m_left-- <= 0; }

private:
    int m_left;
};

// A /proc of the test's own: processes with an owner and descriptor links.
class FakeProc {
public:
    void process(pid_t pid, uid_t owner, int descriptors, std::uint32_t socket = 0) {
        const std::string folder = m_root.dir() + "/" + std::to_string(pid);
        mkdir(folder.c_str(), 0755);
        mkdir((folder + "/fd").c_str(), 0755);
        if (chown(folder.c_str(), owner, 0) != 0) m_owned = false;
        if (socket != 0) link(folder, 0, SocketLinkText(socket));
        for (int fd = 1; fd <= descriptors; ++fd) link(folder, fd, "anon_inode:[eventfd]");
    }
    std::string root() const { return m_root.dir(); }
    // Whether the owners could be set (only root may).
    bool owned() const { return m_owned; }

private:
    static void link(const std::string& folder, int fd, const std::string& target) {
        const std::string path = folder + "/fd/" + std::to_string(fd);
        if (symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink " + path);
    }
    tqtest::TempStore m_root;
    bool m_owned = true;
};

// The budget is looked at inside a process too: one that holds thousands of
// descriptors cannot make the search outlast it.
TEST(TqdPeerProcess, TheBudgetEndsTheSearchInsideAProcessWithManyDescriptors) {
    FakeProc proc;
    proc.process(100, 0, 4000);
    proc.process(50, 0, 3, 77);
    LooksBudget few(10);
    EXPECT_EQ(0, FindSocketHolder(77, 0, few, proc.root()));
    LooksBudget plenty(1000);
    EXPECT_EQ(50, FindSocketHolder(77, 0, plenty, proc.root()));
}

// The owner's processes come first, newest first: another user's processes
// with many descriptors and newer pids do not stand in the way.
TEST(TqdPeerProcess, AnotherUsersBusyProcessesAreLookedAtLast) {
    EXPECT_EQ((std::vector<pid_t>{25, 20, 30, 10}), SearchOrder({{10, 0}, {20, 1000}, {30, 0}, {25, 1000}}, 1000));
    FakeProc proc;
    proc.process(300, 65534, 4000);
    proc.process(200, 65534, 4000);
    proc.process(50, 1000, 3, 77);
    if (!proc.owned()) GTEST_SKIP() << "needs root to give the fake processes owners";
    LooksBudget few(10);
    EXPECT_EQ(50, FindSocketHolder(77, 1000, few, proc.root()));
}

TEST(TqdPeerProcess, APeerIsItsAddressUidAndProcess) {
    Loopback connection;
    uid_t uid = 0;
    std::uint32_t inode = 0;
    std::string problem;
    if (!LookupPeerSocket(connection.server.get(), &uid, &inode, &problem))
        GTEST_SKIP() << "the kernel's socket table cannot be asked here: " << problem;
    EXPECT_EQ(InodeOf(connection.client.get()), inode);
    const PeerFacts peer = IdentifyPeerProcess(connection.server.get(), std::chrono::seconds(2));
    EXPECT_TRUE(peer.uidKnown);
    EXPECT_EQ(geteuid(), peer.uid);
    EXPECT_EQ(getpid(), peer.pid);
    EXPECT_EQ(0u, peer.address.rfind("127.0.0.1:", 0)) << peer.address;
}

}  // namespace
