// The built tqrcg through a real tqd on a cgroup v2 host: every subcommand,
// its failures and `run`, judged by the group folders and exit statuses.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "include/tqrcgmgr/tqrcgmgr.h"
#include "tests/lab/LabV2Support.h"

namespace {

using tqtest::ListLine;

using namespace tqlab;

TEST(V2Tqrcg, EverySubcommandActsOnTheGroupFolder) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("cli");
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    SleepingChild child;
    const std::string folder = GroupFolder(group);
    const std::string pid = std::to_string(child.pid());

    Outcome outcome = tqd.tqrcg({"create", group});
    ASSERT_EQ(outcome.status, 0) << outcome.err << tqd.log();
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_EQ(tqd.tqrcg({"create", group}).status, 0);

    outcome = tqd.tqrcg({"cap", group, "30"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ControlValue(folder, "cpu.max"), CpuMaxFor(30));

    outcome = tqd.tqrcg({"assign", group, pid});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(Holds(folder, child.pid()));

    outcome = tqd.tqrcg({"list"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ListLine(outcome.out, group, 6), group + " 30% 1 30% 0% 0.00s") << outcome.out;

    outcome = tqd.tqrcg({"remove", group, pid});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(Holds(GroupFolder(kDummy), child.pid()));
    EXPECT_EQ(ListLine(tqd.tqrcg({"list"}).out, group, 6), group + " 30% 0 30% 0% 0.00s");

    outcome = tqd.tqrcg({"delete", group});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_FALSE(IsFolder(folder));
    outcome = tqd.tqrcg({"list"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ListLine(outcome.out, group), group + " (no longer exists)") << outcome.out;

    outcome = tqd.tqrcg({"enabled"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "0\n");
}

TEST(V2Tqrcg, FailuresExitWithOneAndSayWhy) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("clifail");
    const std::string missing = OwnedName("climissing");
    V2Cleanup cleanup;
    cleanup.group(group);
    cleanup.group(missing);
    LabTqd tqd;
    SleepingChild child;

    Outcome outcome = tqd.tqrcg({"cap", missing, "50"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "tqrcg: The resource group " + missing + " doesn't exist.\n");
    EXPECT_EQ(tqd.tqrcg({"delete", missing}).status, 0);

    ASSERT_EQ(tqd.tqrcg({"create", group}).status, 0) << tqd.log();
    ASSERT_EQ(tqd.tqrcg({"assign", group, std::to_string(child.pid())}).status, 0);
    EXPECT_EQ(tqd.tqrcg({"delete", group}).status, 1);
    EXPECT_TRUE(IsFolder(GroupFolder(group)));

    outcome = tqd.tqrcg({"assign", group, std::to_string(EndedPid())});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("No such process"), std::string::npos) << outcome.err;

    outcome = tqd.tqrcg({"create", OwnedName("bad name")});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err.rfind("tqrcg: ", 0), 0u) << outcome.err;
    EXPECT_FALSE(IsFolder(GroupFolder(OwnedName("bad name"))));

    // The base's own control files, and one inside a group, are never groups.
    for (const std::string& name :
         {std::string("memory.max"), std::string("pids.max"), std::string("cgroup.procs"), group + "/cgroup.procs"}) {
        outcome = tqd.tqrcg({"create", name});
        EXPECT_EQ(outcome.status, 1) << name;
        const CQiError refused = createRcgGroup(name);
        EXPECT_EQ(refused.Message().rfind("[Win32 error 123] ", 0), 0u) << name << ": " << refused.Message();
        EXPECT_EQ(ListLine(tqd.tqrcg({"list"}).out, name), "") << name;
        EXPECT_FALSE(IsFolder(GroupFolder(name))) << name;
    }
}

TEST(V2Tqrcg, RunStartsTheCommandInsideTheCappedGroup) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("run");
    const std::string once = OwnedName("once");
    V2Cleanup cleanup;
    cleanup.group(group);
    cleanup.group(once);
    LabTqd tqd;

    // The shell reports its own group, as the kernel sees it.
    Outcome outcome = tqd.tqrcg({"run", group, "25", "--", "sh", "-c", "cat /proc/$$/cgroup"});
    EXPECT_EQ(outcome.status, 0) << outcome.err << tqd.log();
    EXPECT_EQ(outcome.out, std::string("0::/") + kDefaultBase + "/" + group + "\n");
    EXPECT_EQ(ControlValue(GroupFolder(group), "cpu.max"), CpuMaxFor(25));

    EXPECT_EQ(tqd.tqrcg({"run", group, "25", "--", "sh", "-c", "exit 3"}).status, 3);
    EXPECT_TRUE(IsFolder(GroupFolder(group)));  // kept without --delete

    outcome = tqd.tqrcg({"run", "--delete", once, "20", "--", "true"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_FALSE(IsFolder(GroupFolder(once)));
}

}  // namespace
