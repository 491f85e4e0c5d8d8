// tqd as root on this host: peers of other users, and whole requests that
// run the real cgroup tools on groups this test owns.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>

#include "tests/daemon/Floods.h"
#include "tests/daemon/RootProbe.h"
#include "tests/support/TqdHarness.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqdtest;

const uid_t kNobody = 65534;

// Asks tqd from a child process that runs as `uid`; the reply text.
std::string AskAs(uid_t uid, std::uint16_t port) {
    int ends[2];
    if (pipe(ends) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        std::string reply = "setuid failed";
        if (setgid(uid) == 0 && setuid(uid) == 0) reply = TextOf(Ask(port, HarmlessFrame(), 10));
        if (write(ends[1], reply.data(), reply.size()) < 0) _exit(2);
        _exit(0);
    }
    close(ends[1]);
    std::string reply;
    char buffer[512];
    ssize_t count;
    while ((count = read(ends[0], buffer, sizeof(buffer))) > 0) reply.append(buffer, count);
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return reply;
}

TEST(TqdPeersAsRoot, RefusesAUidThatIsNotAllowedAndServesRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TqdProcess tqd("", {}, "", /*allowOwnUid=*/false);
    EXPECT_EQ(
        AskAs(kNobody, tqd.port()),
        "[Win32 error 5] Access denied: tqd serves root and the uids listed in Session/sTQDALLOWEDUIDS; "
        "uid 65534 is not allowed.");
    EXPECT_TRUE(tqd.waitForLog(" INFO tqd audit peer=127.0.0.1:", 5)) << tqd.log();
    EXPECT_NE(tqd.log().find(" uid=65534 pid="), std::string::npos) << tqd.log();
    // Nothing ran for the refused peer: the handler's line is root's alone.
    EXPECT_EQ(tqd.log().find("RcgMsgType 5 is not correct."), std::string::npos);
    EXPECT_EQ(TextOf(Ask(tqd.port(), HarmlessFrame())), kUnsupportedReply);
    EXPECT_NE(tqd.log().find("RcgMsgType 5 is not correct."), std::string::npos);
}

TEST(TqdPeersAsRoot, ServesAUidListedInTheStore) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TqdProcess tqd("sTQDALLOWEDUIDS=1000, 65534\n", {}, "", /*allowOwnUid=*/false);
    EXPECT_EQ(AskAs(kNobody, tqd.port()), kUnsupportedReply);
}

// One user that tqd refuses holds 2,000 silent connections, reopening each
// one that tqd closes and all of them every 10 seconds: root's requests are
// still answered, every one (how fast is printed, not asserted).
TEST(TqdPeersAsRoot, RefusedUserHoldingThousandsOfSilentConnectionsLocksNobodyOut) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TqdProcess tqd("", {}, "", /*allowOwnUid=*/false);
    ConnectionFlood::Options options;
    options.uid = kNobody;
    options.port = tqd.port();
    options.count = 2000;
    options.refreshSeconds = 10;
    ConnectionFlood flood(options);
    ASSERT_TRUE(flood.started());
    std::this_thread::sleep_for(std::chrono::seconds(1));

    int served = 0;
    double slowest = 0;
    for (int request = 0; request < 20; ++request) {
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = TextOf(Ask(tqd.port(), HarmlessFrame(), 30));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (reply == kUnsupportedReply) ++served;
        if (seconds > slowest) slowest = seconds;
        EXPECT_EQ(reply, kUnsupportedReply) << "request " << request;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    const ConnectionFlood::Figures figures = flood.stop();
    std::cout << "root requests served during the attempt: " << served << " of 20 (slowest "
              << slowest << " s); the flood opened " << figures.opened << " connections, tqd closed "
              << figures.closedByServer << ", " << figures.held << " open at the end\n";
    RecordProperty("root_requests_served", served);
    EXPECT_EQ(served, 20);
    // The attempt was real: the flood kept its connections coming.
    EXPECT_GE(figures.opened, 2000);
    EXPECT_GE(figures.held, 1900);
    EXPECT_NE(tqd.log().find("ERROR tqd uid 65534 holds its share of 16 connections sending their request: "
                             "closing the connection from 127.0.0.1:"),
              std::string::npos);
    EXPECT_NE(tqd.log().find(" uid=65534 refused_frame=\"nothing sent within 2 seconds while connections "
                             "sending their request are many\""),
              std::string::npos);
}

// A refused user keeps 3,000 connections, each with a complete request
// sent, and opens a new one as soon as tqd closes one: every one of root's
// requests is still served (the figures are printed, not asserted).
TEST(TqdPeersAsRoot, RefusedUserHoldingThousandsOfCompleteFramesLocksRootOutOfNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TqdProcess tqd("", {}, "dTQDEBUGLEVEL=0\n", /*allowOwnUid=*/false);
    ConnectionFlood::Options options;
    options.uid = kNobody;
    options.port = tqd.port();
    options.count = 3000;
    options.frame = HarmlessFrame();
    ConnectionFlood flood(options);
    ASSERT_TRUE(flood.started());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const ProbeFigures probe = ProbeAsRoot(tqd.port(), 5);
    const ConnectionFlood::Figures figures = flood.stop();
    std::cout << "root under 3,000 refused complete frames: " << probe.summary() << "; the flood opened "
              << figures.opened << " connections, " << figures.answered << " refused with a reply, "
              << figures.closedByServer << " closed without one\n";
    EXPECT_EQ(probe.sent, probe.served);
    EXPECT_GT(probe.sent, 0);
    // The attempt was real: the flood was answered and kept coming.
    EXPECT_GE(figures.opened, 3000);
    EXPECT_GT(figures.answered, 0);
}

// Floods of refused peers, of wrong frames and of connections reset at
// once, all three together for a little over 10 s, add little to the log:
// one line per owner and reason every ten seconds, with a count.
TEST(TqdPeersAsRoot, FloodsOfRefusedConnectionsGrowTheLogByLittle) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TqdProcess tqd("", {}, "dTQDEBUGLEVEL=0\n", /*allowOwnUid=*/false);
    std::vector<unsigned char> wrongLength = HarmlessFrame();
    wrongLength[3] = 0x71;  // frame length 369
    std::vector<ConnectionFlood::Options> kinds(3);
    kinds[0].frame = HarmlessFrame();
    kinds[1].frame = wrongLength;
    kinds[2].reset = true;
    const std::size_t before = tqd.log().size();
    std::vector<std::unique_ptr<ConnectionFlood>> floods;
    for (ConnectionFlood::Options& options : kinds) {
        options.uid = kNobody;
        options.port = tqd.port();
        options.count = 1000;
        floods.emplace_back(new ConnectionFlood(options));
        ASSERT_TRUE(floods.back()->started());
    }
    std::this_thread::sleep_for(std::chrono::seconds(11));
    long opened = 0;
    for (auto& flood : floods) opened += flood->stop().opened;
    const std::size_t grown = tqd.log().size() - before;
    std::cout << "11 s of floods that opened " << opened << " refused connections grew the log by " << grown
              << " bytes\n";
    EXPECT_GE(opened, 3000);
    EXPECT_LE(grown, 2u * 1000 * 1000);
    EXPECT_NE(tqd.log().find(" uid=65534 pid="), std::string::npos) << "the refused peers have their line";
    EXPECT_NE(tqd.log().find(" uid=65534 refused_frame=\"frame length 369 is not 368\""), std::string::npos);
    EXPECT_NE(tqd.log().find(" more="), std::string::npos) << "the lines count the refusals they stand for";
}

TEST(TqdEndToEnd, CreatesCapsAssignsRemovesAndDeletesAGroupThroughTheDaemon) {
    TQ_REQUIRE_SYSTEM();
    const std::string group = tqtest::OwnedGroupName("tqd");
    const bool dummyExisted = GroupExists(k_TQRCGMGR_DummyGroup);
    tqtest::GroupCleanup cleanup({group});
    if (!dummyExisted) cleanup.add(k_TQRCGMGR_DummyGroup);
    TqdProcess tqd("", {}, tqtest::BaseLine());
    tqtest::BusyChild child;

    EXPECT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, group))), "Success") << tqd.log();
    EXPECT_TRUE(GroupExists(group));
    // Asking again finds it and creates nothing.
    EXPECT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, group))), "Success");

    EXPECT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgSetCPUShare, group, 50))), "Success") << tqd.log();
    EXPECT_EQ(QuotaOf(group), std::to_string(50 * tqtest::ProcessorCount() * 1000));

    EXPECT_EQ(
        TextOf(Ask(tqd.port(), Frame(RcgMsgAssignPids, group, 0, {static_cast<unsigned>(child.pid())}))),
        "Success")
        << tqd.log();
    EXPECT_EQ(tqtest::CpuCgroupOf(child.pid()), "/" + group);

    EXPECT_EQ(
        TextOf(Ask(tqd.port(), Frame(RcgMsgRemovePids, group, 0, {static_cast<unsigned>(child.pid())}))),
        "Success")
        << tqd.log();
    EXPECT_EQ(tqtest::CpuCgroupOf(child.pid()), std::string("/") + k_TQRCGMGR_DummyGroup);

    EXPECT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgDeleteGroup, group))), "Success") << tqd.log();
    EXPECT_FALSE(GroupExists(group));

    // A group that is not there is reported by the lookup, not acted on.
    const std::string reply = TextOf(Ask(tqd.port(), Frame(RcgMsgSetCPUShare, group, 50)));
    EXPECT_EQ(reply, "[Win32 error 1168] The resource group " + group + " doesn't exist.");
    EXPECT_EQ(tqd.stop(), 0);
}

}  // namespace
