// The pure parts of tqd: settings from the command line and the store, the
// library path, frame checks, the reply, the request queue, the reading of
// frames against their deadline, and the sock_diag request and answer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "daemon/TqdConfig.h"
#include "daemon/TqdPeer.h"
#include "daemon/TqdServer.h"
#include "host/TqdPort.h"
#include "service/TqRcgProtocol.h"
#include "tests/daemon/RecordingEvents.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqd;
using tqdtest::RecordingEvents;

// ---- settings -------------------------------------------------------------

TEST(TqdSettings, ParsesPortsAndWorkerCountsStrictly) {
    std::uint16_t port = 0;
    EXPECT_TRUE(ParseTqdListenPort("8400", &port));
    EXPECT_EQ(port, 8400);
    EXPECT_TRUE(ParseTqdListenPort(" 1\t", &port));
    EXPECT_EQ(port, 1);
    EXPECT_TRUE(ParseTqdListenPort("65535", &port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"", "0", "65536", "-1", "84x", "8 400", "0x50", "99999999999999999999999"}) {
        EXPECT_FALSE(ParseTqdListenPort(bad, &port)) << bad;
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
    std::vector<unsigned char> frame(kTqRcgFrameSize, 0);
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
    TqRcgReply reply = MakeRcgReply("Denied");
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(std::string(reply.data()), "Denied");
    EXPECT_EQ(std::count(reply.begin(), reply.end(), '\0'), 1024 - 6);
    reply = MakeRcgReply(std::string(2000, 'x'));
    EXPECT_EQ(std::string(reply.data()).size(), 1023u);
    EXPECT_EQ(reply[1023], '\0');
    EXPECT_EQ(
        AccessDeniedText(DeniedUidMessage(65534)),
        "[Win32 error 5] Access denied: tqd serves root and the uids listed in Session/sTQDALLOWEDUIDS; "
        "uid 65534 is not allowed.");
}

// ---- queue ---------------------------------------------------------------

Request Named(const std::string& peer) {
    Request request;
    request.peer = peer;
    return request;
}

TEST(TqdQueue, HoldsAtMostItsLimitAndHandsOutInOrder) {
    RequestQueue queue(2);
    Request a = Named("a"), b = Named("b"), c = Named("c");
    EXPECT_TRUE(queue.push(a));
    EXPECT_TRUE(queue.push(b));
    EXPECT_FALSE(queue.push(c));
    EXPECT_EQ(c.peer, "c");  // still the caller's
    EXPECT_EQ(queue.size(), 2u);
    Request out;
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(out.peer, "a");
    EXPECT_TRUE(queue.push(c));
    queue.close();
    Request d = Named("d");
    EXPECT_FALSE(queue.push(d));
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(out.peer, "b");
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(out.peer, "c");
    EXPECT_FALSE(queue.pop(&out));
}

TEST(TqdQueue, CloseWakesWaitingWorkers) {
    RequestQueue queue(4);
    bool popped = true;
    std::thread worker([&] {
        Request out;
        popped = queue.pop(&out);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.close();
    worker.join();
    EXPECT_FALSE(popped);
}

TEST(TqdQueue, CountsTakenRequestsUntilTheyAreFinished) {
    RequestQueue queue(4);
    Request a = Named("a"), b = Named("b");
    ASSERT_TRUE(queue.push(a));
    ASSERT_TRUE(queue.push(b));
    Request out;
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.unfinished(), 2u);
    queue.finished(out.owner);
    EXPECT_EQ(queue.unfinished(), 1u);
    ASSERT_TRUE(queue.pop(&out));
    EXPECT_EQ(queue.unfinished(), 1u);
    EXPECT_FALSE(queue.waitUntilIdle(Clock::now() + std::chrono::milliseconds(20)));
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        queue.finished(AdmissionKey());
    });
    EXPECT_TRUE(queue.waitUntilIdle(Clock::now() + std::chrono::seconds(5)));
    worker.join();
    EXPECT_EQ(queue.unfinished(), 0u);
    // Idle already: no wait, even with the deadline gone.
    EXPECT_TRUE(queue.waitUntilIdle(Clock::now() - std::chrono::seconds(1)));
}

Request Owned(const std::string& peer, uid_t uid) {
    Request request = Named(peer);
    request.owner.uid = uid;
    request.owner.root = uid == 0;
    return request;
}

// Root first; the other uids one request each in turn, however many one of
// them has waiting.
TEST(TqdQueue, RootGoesFirstAndTheOtherUidsTakeTurns) {
    RequestQueue queue(64, 1);
    const std::vector<std::pair<std::string, uid_t>> pushed = {
        {"a1", 1000}, {"a2", 1000}, {"a3", 1000}, {"b1", 2000}, {"r1", 0}, {"c1", 3000}, {"r2", 0}};
    for (const auto& one : pushed) {
        Request request = Owned(one.first, one.second);
        ASSERT_TRUE(queue.push(request)) << one.first;
    }
    std::vector<std::string> order;
    Request out;
    while (queue.size() > 0 && queue.pop(&out)) {
        order.push_back(out.peer);
        queue.finished(out.owner);
    }
    EXPECT_EQ((std::vector<std::string>{"r1", "r2", "a1", "b1", "c1", "a2", "a3"}), order);
}

// The places are shared as the connections sending their frame are: a
// sixteenth for any uid but root, and the last eighth kept for root.
TEST(TqdQueue, PlacesAreSharedAndTheLastAreKeptForRoot) {
    RequestQueue queue(16);
    Admission::Verdict verdict = Admission::Admitted;
    Request first = Owned("a1", 1000), second = Owned("a2", 1000);
    EXPECT_TRUE(queue.push(first));
    EXPECT_FALSE(queue.push(second, &verdict));
    EXPECT_EQ(Admission::UidShareTaken, verdict);
    for (uid_t uid = 1; uid <= 13; ++uid) {
        Request request = Owned("u", uid);
        EXPECT_TRUE(queue.push(request)) << uid;
    }
    Request late = Owned("late", 99);
    EXPECT_FALSE(queue.push(late, &verdict));
    EXPECT_EQ(Admission::KeptForRoot, verdict);
    for (int index = 0; index < 2; ++index) {
        Request root = Owned("r", 0);
        EXPECT_TRUE(queue.push(root)) << index;
    }
    Request more = Owned("r", 0);
    EXPECT_FALSE(queue.push(more, &verdict));
    EXPECT_EQ(Admission::AllTaken, verdict);
}

// With two workers, one busy with another uid's request, the other waits for
// root: a second request of that uid waits until the first is finished.
TEST(TqdQueue, TheLastFreeWorkerIsKeptForRoot) {
    RequestQueue queue(64, 2);
    Request a1 = Owned("a1", 1000), a2 = Owned("a2", 1000);
    ASSERT_TRUE(queue.push(a1));
    ASSERT_TRUE(queue.push(a2));
    Request running;
    ASSERT_TRUE(queue.pop(&running));
    EXPECT_EQ("a1", running.peer);
    std::atomic<bool> taken{false};
    std::string second;
    std::thread worker([&] {
        Request out;
        if (queue.pop(&out)) second = out.peer;
        taken = true;
        queue.finished(out.owner);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(taken) << "a2 took the worker kept for root";
    Request root = Owned("r", 0);
    ASSERT_TRUE(queue.push(root));
    worker.join();
    EXPECT_EQ("r", second);
    queue.finished(running.owner);
    ASSERT_TRUE(queue.pop(&running));
    EXPECT_EQ("a2", running.peer);
}

// ---- reading frames ------------------------------------------------------

// Our end goes to the reader; the test writes on `theirs`.
struct ReaderPair : tqtest::SocketPair {
    // Hands our end over as a connection accepted at `acceptedAt`.
    PendingConnection connection(const std::string& peer, Clock::time_point acceptedAt) {
        PendingConnection pending;
        pending.fd.reset(ours);
        ours = -1;
        pending.acceptedAt = acceptedAt;
        pending.peer = peer;
        return pending;
    }
    void send(const std::vector<unsigned char>& bytes, std::size_t from, std::size_t count) const {
        ASSERT_EQ(::send(theirs, bytes.data() + from, count, MSG_NOSIGNAL), static_cast<ssize_t>(count));
    }
    // Whether our end was closed (a read sees the end, or the peer reset).
    bool closedByReader() const {
        char byte;
        const ssize_t count = recv(theirs, &byte, 1, MSG_DONTWAIT);
        return count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
};

// A frame as a client sends it: the header words, then `fill`.
std::vector<unsigned char> ClientFrame(std::uint32_t length, std::uint32_t code, unsigned char fill) {
    std::vector<unsigned char> frame = Header(length, code);
    std::fill(frame.begin() + 16, frame.end(), fill);
    return frame;
}

// Runs steps of the reader as if every connection were ready.
struct Collector {
    std::vector<Request> taken;
    FrameReader::Take take() {
        return [this](Request& request) { taken.push_back(std::move(request)); };
    }
};

TEST(TqdFrameReader, AssemblesAFrameSentInPiecesAndLeavesWhatFollows) {
    tqtest::TempStore store;
    ReaderPair pair;
    FrameReader reader(15, 8);
    PendingConnection pending = pair.connection("peer:1", Clock::now());
    ASSERT_TRUE(reader.add(pending));
    Collector collector;
    const std::vector<unsigned char> frame = ClientFrame(368, 0xEAFF, 7);

    // Nothing yet, then a part of the header, then past it: still waiting.
    reader.step(nullptr, Clock::now(), collector.take());
    pair.send(frame, 0, 5);
    reader.step(nullptr, Clock::now(), collector.take());
    pair.send(frame, 5, 95);
    reader.step(nullptr, Clock::now(), collector.take());
    EXPECT_TRUE(collector.taken.empty());
    EXPECT_EQ(reader.size(), 1u);

    std::vector<unsigned char> more = frame;
    more.insert(more.end(), 32, 9);
    pair.send(more, 100, 300);
    reader.step(nullptr, Clock::now(), collector.take());
    ASSERT_EQ(collector.taken.size(), 1u);
    EXPECT_EQ(reader.size(), 0u);
    const Request& request = collector.taken.front();
    EXPECT_EQ(request.peer, "peer:1");
    EXPECT_EQ(request.frame, frame);
    ASSERT_GE(request.fd.get(), 0);
    char rest[64];
    EXPECT_EQ(recv(request.fd.get(), rest, sizeof(rest), MSG_DONTWAIT), 32);  // not taken
    EXPECT_EQ(store.log(), "");
}

// The refusals the reader told `events` about `peer`, as "why" texts.
std::vector<std::string> FramesRefused(const RecordingEvents& events, const std::string& peer) {
    std::vector<std::string> why;
    for (const RecordingEvents::Told& told : events.about(peer)) {
        if (!told.peerRefused) why.push_back(told.refusal.why);
    }
    return why;
}

TEST(TqdFrameReader, DropsAWrongHeaderAsSoonAsItsSixteenBytesAreIn) {
    struct Case {
        std::uint32_t length, code;
        std::size_t sent;  // bytes sent before the check
        std::string logged;
    };
    const std::vector<Case> cases = {
        {369, 0xEAFF, 16, "frame length 369 is not 368"},
        {368, 0xEAFE, 16, "request code 0xEAFE is not 0xEAFF"},
        {0, 0, 200, "frame length 0 is not 368"},
        {368, 0xEAFF, 15, ""},  // not all of the header yet: no verdict
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        tqtest::TempStore store;
        ReaderPair pair;
        FrameReader reader(15, 8);
        RecordingEvents events;
        reader.setEvents(&events);
        PendingConnection pending = pair.connection("peer:2", Clock::now());
        ASSERT_TRUE(reader.add(pending));
        pair.send(ClientFrame(c.length, c.code, 1), 0, c.sent);
        Collector collector;
        reader.step(nullptr, Clock::now(), collector.take());
        EXPECT_TRUE(collector.taken.empty());
        if (c.logged.empty()) {
            EXPECT_EQ(reader.size(), 1u);
            EXPECT_FALSE(pair.closedByReader());
            EXPECT_TRUE(events.told().empty());
        } else {
            EXPECT_EQ(reader.size(), 0u);
            EXPECT_TRUE(pair.closedByReader());
            EXPECT_EQ(std::vector<std::string>{c.logged}, FramesRefused(events, "peer:2"));
            EXPECT_FALSE(events.told().at(0).incomplete);
        }
        // The line is the events' to write.
        EXPECT_EQ(store.log(), "");
    }
}

TEST(TqdFrameReader, ClosesAConnectionThatEndsBeforeItsFrame) {
    for (std::size_t sent : {0u, 3u, 367u}) {
        SCOPED_TRACE(sent);
        ReaderPair pair;
        FrameReader reader(15, 8);
        RecordingEvents events;
        reader.setEvents(&events);
        PendingConnection pending = pair.connection("peer:3", Clock::now());
        ASSERT_TRUE(reader.add(pending));
        pair.send(ClientFrame(368, 0xEAFF, 1), 0, sent);
        shutdown(pair.theirs, SHUT_WR);
        Collector collector;
        reader.step(nullptr, Clock::now(), collector.take());
        EXPECT_TRUE(collector.taken.empty());
        EXPECT_EQ(reader.size(), 0u);
        EXPECT_EQ(std::vector<std::string>{"the request ended after " + std::to_string(sent) + " of 368 bytes"},
                  FramesRefused(events, "peer:3"));
    }
}

TEST(TqdFrameReader, DeadlineCountsFromTheAcceptOverTheWholeFrame) {
    const Clock::time_point accepted = Clock::now();
    ReaderPair slow, done, late;
    FrameReader reader(15, 8);
    RecordingEvents events;
    reader.setEvents(&events);
    PendingConnection a = slow.connection("slow:1", accepted);
    PendingConnection b = done.connection("done:1", accepted);
    PendingConnection c = late.connection("late:1", accepted + std::chrono::seconds(5));
    ASSERT_TRUE(reader.add(a));
    ASSERT_TRUE(reader.add(b));
    ASSERT_TRUE(reader.add(c));
    EXPECT_EQ(reader.millisecondsToDeadline(accepted), 15000);
    EXPECT_EQ(reader.millisecondsToDeadline(accepted + std::chrono::microseconds(2500500)), 12500);
    EXPECT_EQ(reader.millisecondsToDeadline(accepted + std::chrono::seconds(15)), 0);
    EXPECT_EQ(reader.millisecondsToDeadline(accepted + std::chrono::seconds(40)), 0);

    const std::vector<unsigned char> frame = ClientFrame(368, 0xEAFF, 2);
    Collector collector;
    slow.send(frame, 0, 300);
    reader.step(nullptr, accepted + std::chrono::seconds(14), collector.take());
    EXPECT_EQ(reader.size(), 3u);
    // At the deadline: the one whose frame is all there is still taken.
    done.send(frame, 0, 368);
    reader.step(nullptr, accepted + std::chrono::seconds(15), collector.take());
    ASSERT_EQ(collector.taken.size(), 1u);
    EXPECT_EQ(collector.taken.front().peer, "done:1");
    EXPECT_EQ(reader.size(), 1u);
    EXPECT_TRUE(slow.closedByReader());
    EXPECT_EQ(std::vector<std::string>{"no complete request within 15 seconds (300 of 368 bytes)"},
              FramesRefused(events, "slow:1"));
    EXPECT_EQ(reader.millisecondsToDeadline(accepted + std::chrono::seconds(15)), 5000);
    EXPECT_TRUE(FramesRefused(events, "late:1").empty());
}

// A refused user's connections, closed in numbers, are one line per owner
// and reason every ten seconds; every one of them is told (and counted).
TEST(TqdFrameReader, RefusalsOfOneOwnerAndReasonHaveOneLineEveryTenSeconds) {
    const Clock::time_point start = Clock::now();
    FrameReader reader(15, 64);
    RecordingEvents events;
    reader.setEvents(&events);
    const auto refuseOne = [&](const std::string& peer, uid_t uid, std::uint32_t length, Clock::time_point now) {
        ReaderPair pair;
        PendingConnection pending = pair.connection(peer, now);
        pending.owner.uid = uid;
        pending.owner.root = false;
        ASSERT_TRUE(reader.add(pending));
        pair.send(ClientFrame(length, 0xEAFF, 1), 0, 16);
        Collector collector;
        reader.step(nullptr, now, collector.take());
    };
    for (int index = 0; index < 5; ++index) refuseOne("a:" + std::to_string(index), 1000, 5, start);
    refuseOne("b:0", 2000, 5, start);  // another owner
    refuseOne("later:0", 1000, 5, start + std::chrono::seconds(10));
    const std::vector<RecordingEvents::Told> told = events.told();
    ASSERT_EQ(7u, told.size());
    std::vector<std::string> lines;
    for (const auto& one : told) {
        if (one.refusal.logged) lines.push_back(one.refusal.peer + " more=" + std::to_string(one.refusal.unlogged));
    }
    EXPECT_EQ((std::vector<std::string>{"a:0 more=0", "b:0 more=0", "later:0 more=4"}), lines);
    EXPECT_TRUE(told.at(0).refusal.uidKnown);
    EXPECT_EQ(1000u, told.at(0).refusal.uid);
}

TEST(TqdFrameReader, ReadsOnlyTheConnectionsPollReportsReady) {
    tqtest::TempStore store;
    ReaderPair first, second;
    FrameReader reader(15, 8);
    PendingConnection a = first.connection("first:1", Clock::now());
    PendingConnection b = second.connection("second:1", Clock::now());
    ASSERT_TRUE(reader.add(a));
    ASSERT_TRUE(reader.add(b));
    std::vector<pollfd> entries = {pollfd{-1, 0, 0}};  // entries of the caller's come first
    reader.addPollEntries(&entries);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].events, POLLIN);
    const std::vector<unsigned char> frame = ClientFrame(368, 0xEAFF, 3);
    first.send(frame, 0, 368);
    second.send(frame, 0, 368);
    entries[2].revents = POLLIN;  // only the second one reported
    Collector collector;
    reader.step(entries.data() + 1, Clock::now(), collector.take());
    ASSERT_EQ(collector.taken.size(), 1u);
    EXPECT_EQ(collector.taken.front().peer, "second:1");
    EXPECT_EQ(reader.size(), 1u);
}

TEST(TqdFrameReader, HoldsAtMostItsLimit) {
    ReaderPair first, second;
    FrameReader reader(15, 1);
    PendingConnection a = first.connection("first:1", Clock::now());
    PendingConnection b = second.connection("second:1", Clock::now());
    EXPECT_TRUE(reader.add(a));
    EXPECT_FALSE(reader.add(b));
    EXPECT_EQ(b.peer, "second:1");  // still the caller's
    EXPECT_GE(b.fd.get(), 0);
    EXPECT_EQ(reader.size(), 1u);
    EXPECT_EQ(FrameReader(15, 4).millisecondsToDeadline(Clock::now()), -1);
}

TEST(TqdFrameReader, OnStopClosesOnlyTheConnectionsThatSentNothing) {
    tqtest::TempStore store;
    ReaderPair idle, begun;
    FrameReader reader(15, 8);
    PendingConnection a = idle.connection("idle:1", Clock::now());
    PendingConnection b = begun.connection("begun:1", Clock::now());
    ASSERT_TRUE(reader.add(a));
    ASSERT_TRUE(reader.add(b));
    begun.send(ClientFrame(368, 0xEAFF, 4), 0, 1);
    Collector collector;
    reader.step(nullptr, Clock::now(), collector.take());
    reader.closeIdle();
    EXPECT_EQ(reader.size(), 1u);
    EXPECT_TRUE(idle.closedByReader());
    EXPECT_FALSE(begun.closedByReader());
    EXPECT_NE(store.log().find(" INFO tqd closing the connection from idle:1: tqd is stopping and no request "
                               "had begun\n"),
              std::string::npos)
        << store.log();
    reader.closeAll("tqd stopped before the request was complete");
    EXPECT_EQ(reader.size(), 0u);
    EXPECT_TRUE(begun.closedByReader());
    EXPECT_NE(store.log().find(" ERROR tqd closing the connection from begun:1 without a reply: tqd stopped "
                               "before the request was complete (1 of 368 bytes)\n"),
              std::string::npos)
        << store.log();
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
