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
#include <thread>

#include "tests/daemon/SilentFlood.h"
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
// still answered, each within a second.
TEST(TqdPeersAsRoot, RefusedUserHoldingThousandsOfSilentConnectionsLocksNobodyOut) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TqdProcess tqd("", {}, "", /*allowOwnUid=*/false);
    SilentFlood flood(kNobody, tqd.port(), 2000, 10);
    ASSERT_TRUE(flood.started());
    std::this_thread::sleep_for(std::chrono::seconds(1));

    int served = 0;
    double slowest = 0;
    for (int request = 0; request < 20; ++request) {
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = TextOf(Ask(tqd.port(), HarmlessFrame(), 2));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (reply == kUnsupportedReply && seconds < 1.0) ++served;
        if (seconds > slowest) slowest = seconds;
        EXPECT_EQ(reply, kUnsupportedReply) << "request " << request;
        EXPECT_LT(seconds, 1.0) << "request " << request;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    const SilentFlood::Figures figures = flood.stop();
    std::cout << "root requests served within 1 s during the attempt: " << served << " of 20 (slowest "
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

TEST(TqdEndToEnd, CreatesCapsAssignsRemovesAndDeletesAGroupThroughTheDaemon) {
    TQ_REQUIRE_SYSTEM();
    const std::string group = tqtest::OwnedGroupName("tqd");
    const bool dummyExisted = GroupExists(k_TQRCGMGR_DummyGroup);
    tqtest::GroupCleanup cleanup({group});
    if (!dummyExisted) cleanup.add(k_TQRCGMGR_DummyGroup);
    TqdProcess tqd;
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
