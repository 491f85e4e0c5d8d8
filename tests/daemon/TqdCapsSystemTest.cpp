// Caps that stay true, through real tqd processes on the host's hierarchy:
// a restarted tqd makes a vanished group again with its remembered cap, a
// deleted group stays deleted, and concurrent caps and deletes leave exactly
// the entries they should.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "rcg/RcgCaps.h"
#include "tests/support/TqdHarness.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqdtest;

// The remembered caps of a daemon's store, as a [Base] line for the next one.
std::string CapsLineOf(const TqdProcess& tqd) {
    const std::string text = tqd.store().text();
    const std::string key = std::string(TqRcgCtrllr::kCapsKey) + "=";
    const std::size_t start = text.find(key);
    if (start == std::string::npos) return "";
    return text.substr(start, text.find('\n', start) - start + 1);
}

TEST(TqdCaps, ARestartMakesAVanishedGroupAgainWithItsCapAndForgetsDeletedOnes) {
    TQ_REQUIRE_SYSTEM();
    const std::string group = tqtest::OwnedGroupName("keep");
    tqtest::GroupCleanup cleanup({group});
    std::string caps;
    {
        TqdProcess tqd("", {}, tqtest::BaseLine());
        ASSERT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, group))), "Success") << tqd.log();
        ASSERT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgSetCPUShare, group, 30))), "Success") << tqd.log();
        caps = CapsLineOf(tqd);
        EXPECT_NE(std::string::npos, caps.find(" " + group + "=30")) << caps;
    }
    tqtest::GroupCleanup::removeGroup(group);  // as a reboot would
    ASSERT_FALSE(GroupExists(group));
    {
        TqdProcess tqd("", {}, tqtest::BaseLine() + caps);
        EXPECT_TRUE(GroupExists(group)) << tqd.log();
        EXPECT_EQ(std::to_string(30 * tqtest::ProcessorCount() * 1000), QuotaOf(group));
        EXPECT_NE(std::string::npos, tqd.log().find(group + " 30%: quota none (group re-created)")) << tqd.log();
        ASSERT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgDeleteGroup, group))), "Success") << tqd.log();
        caps = CapsLineOf(tqd);
        EXPECT_EQ(std::string::npos, caps.find(group)) << caps;
    }
    TqdProcess tqd("", {}, tqtest::BaseLine() + caps);
    EXPECT_FALSE(GroupExists(group)) << tqd.log();
}

TEST(TqdCaps, ConcurrentCapsAndDeletesLoseNoEntryAndLeaveNoStaleOne) {
    TQ_REQUIRE_SYSTEM();
    constexpr int kClients = 4, kGroups = 5, kRequests = 25;
    std::vector<std::string> groups;
    for (int c = 0; c < kClients; ++c)
        for (int g = 0; g < kGroups; ++g) groups.push_back(tqtest::OwnedGroupName("cc" + std::to_string(c * 10 + g)));
    tqtest::GroupCleanup cleanup(groups);
    TqdProcess tqd("", {}, tqtest::BaseLine());
    for (const auto& group : groups) ASSERT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, group))), "Success");

    // Each client caps its own groups over and over, then deletes the odd ones.
    std::vector<std::map<std::string, unsigned>> expected(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < kRequests; ++i) {
                const int g = i % kGroups;
                const std::string& group = groups[c * kGroups + g];
                const bool remove = i >= kRequests - kGroups && g % 2 == 1;
                const unsigned percent = 5 + i;
                const std::string reply = TextOf(
                    Ask(tqd.port(), remove ? Frame(RcgMsgDeleteGroup, group) : Frame(RcgMsgSetCPUShare, group, percent)));
                if (reply != "Success") ADD_FAILURE() << group << ": " << reply;
                if (remove) expected[c].erase(group); else expected[c][group] = percent;
            }
        });
    }
    for (auto& client : clients) client.join();

    const auto caps = TqRcgCtrllr::ParseCaps(CapsLineOf(tqd).substr(CapsLineOf(tqd).find('=') + 1));
    std::map<std::string, unsigned> stored;
    for (const auto& cap : caps) stored[cap.name] = cap.percent;
    std::map<std::string, unsigned> wanted;
    for (const auto& client : expected) wanted.insert(client.begin(), client.end());
    EXPECT_EQ(wanted, stored);
    EXPECT_EQ(static_cast<std::size_t>(kClients * 3), stored.size());
}

}  // namespace
