// The client functions through a real tqd on a cgroup v2 host: each request
// type, the failures, a configured base and concurrent creations, judged by
// the group folders, their control files and the store.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "include/tqrcgmgr/tqrcgmgr.h"
#include "tests/lab/LabV2Support.h"

namespace {

using namespace tqlab;

std::list<unsigned int> Pids(const std::vector<pid_t>& pids) {
    return std::list<unsigned int>(pids.begin(), pids.end());
}

long CountOf(const std::vector<std::string>& names, const std::string& name) {
    return std::count(names.begin(), names.end(), name);
}

std::string Missing(const std::string& group) {
    return "[Win32 error 1168] The resource group " + group + " doesn't exist.";
}

TEST(V2ClientRequests, CreateCapAssignRemoveAndDeleteActOnTheGroupFolder) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("client");
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    SleepingChild child;
    const std::string folder = GroupFolder(group);

    CQiError result = createRcgGroup(group);
    ASSERT_FALSE(result.IsError()) << result.AsString() << tqd.log();
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_TRUE(SubtreeEnables(std::string(kMount) + "/" + kDefaultBase, "cpu"));
    EXPECT_EQ(CountOf(tqd.storedGroups(), group), 1);
    // An existing group is a success and changes nothing.
    EXPECT_FALSE(createRcgGroup(group).IsError());
    EXPECT_EQ(CountOf(tqd.storedGroups(), group), 1);

    result = setRcgCPUShare(group, 30);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(ControlValue(folder, "cpu.max"), CpuMaxFor(30));

    result = assignPidsTo(group, Pids({child.pid()}));
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_TRUE(Holds(folder, child.pid()));
    EXPECT_EQ(CgroupOf(child.pid()), std::string("/") + kDefaultBase + "/" + group);

    result = removePidsFrom(group, Pids({child.pid()}));
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_FALSE(Holds(folder, child.pid()));
    EXPECT_TRUE(Holds(GroupFolder(kDummy), child.pid()));

    result = deleteRcgGroup(group);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_FALSE(IsFolder(folder));
    // A group that is not there is deleted already.
    EXPECT_FALSE(deleteRcgGroup(group).IsError());
}

TEST(V2ClientRequests, MoreThanSixteenPidsGoInAndOutTogether) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("many");
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    std::vector<std::unique_ptr<SleepingChild>> children;
    std::vector<pid_t> pids;
    for (int i = 0; i < 20; ++i) {
        children.emplace_back(new SleepingChild);
        pids.push_back(children.back()->pid());
    }
    ASSERT_FALSE(createRcgGroup(group).IsError()) << tqd.log();

    CQiError result = assignPidsTo(group, Pids(pids));
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(ProcessesIn(GroupFolder(group)).size(), pids.size());

    result = removePidsFrom(group, Pids(pids));
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_TRUE(ProcessesIn(GroupFolder(group)).empty());
    for (pid_t pid : pids) EXPECT_TRUE(Holds(GroupFolder(kDummy), pid)) << pid;
}

TEST(V2ClientRequests, PrefixedAndNestedNamesNameGroupsUnderTheBase) {
    LAB_REQUIRE_V2_HOST();
    const std::string parent = OwnedName("parent");
    const std::string child = parent + "/child";
    V2Cleanup cleanup;
    cleanup.group(parent);
    LabTqd tqd;

    CQiError result = createRcgGroup("cpu:/" + parent);
    ASSERT_FALSE(result.IsError()) << result.AsString() << tqd.log();
    EXPECT_TRUE(IsFolder(GroupFolder(parent)));
    result = setRcgCPUShare("cpu,cpuacct:/" + parent, 40);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(ControlValue(GroupFolder(parent), "cpu.max"), CpuMaxFor(40));

    result = createRcgGroup(child);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_TRUE(IsFolder(GroupFolder(child)));
    EXPECT_TRUE(SubtreeEnables(GroupFolder(parent), "cpu"));
    result = setRcgCPUShare(child, 20);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(ControlValue(GroupFolder(child), "cpu.max"), CpuMaxFor(20));

    // A group with a child group stays; the child first, then it goes.
    EXPECT_TRUE(deleteRcgGroup(parent).IsError());
    EXPECT_TRUE(IsFolder(GroupFolder(parent)));
    EXPECT_FALSE(deleteRcgGroup(child).IsError());
    EXPECT_FALSE(deleteRcgGroup(parent).IsError());
    EXPECT_FALSE(IsFolder(GroupFolder(parent)));
}

TEST(V2ClientFailures, AMissingGroupIsNamedForCapAssignAndRemove) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("missing");
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    SleepingChild child;

    const CQiError cap = setRcgCPUShare(group, 50);
    EXPECT_TRUE(cap.IsError());
    EXPECT_EQ(cap.Message(), Missing(group));
    EXPECT_EQ(assignPidsTo(group, Pids({child.pid()})).Message(), Missing(group));
    EXPECT_EQ(removePidsFrom(group, Pids({child.pid()})).Message(), Missing(group));
    EXPECT_FALSE(IsFolder(GroupFolder(group)));
    EXPECT_NE(CgroupOf(child.pid()), std::string("/") + kDefaultBase + "/" + kDummy);
}

TEST(V2ClientFailures, DeletingAGroupThatHoldsAProcessFailsAndKeepsIt) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("busy");
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    SleepingChild child;
    ASSERT_FALSE(createRcgGroup(group).IsError()) << tqd.log();
    ASSERT_FALSE(assignPidsTo(group, Pids({child.pid()})).IsError());

    const CQiError result = deleteRcgGroup(group);
    EXPECT_TRUE(result.IsError());
    EXPECT_NE(result.Message().find("[Win32 error 774]"), std::string::npos) << result.Message();
    EXPECT_TRUE(IsFolder(GroupFolder(group)));
    EXPECT_TRUE(Holds(GroupFolder(group), child.pid()));
}

TEST(V2ClientFailures, APidThatNamesNoProcessEndsTheRequestWithTheReason) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("badpid");
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    SleepingChild child;
    const pid_t ended = EndedPid();
    ASSERT_FALSE(createRcgGroup(group).IsError()) << tqd.log();

    // The first failure ends the request: the pid after it stays out.
    const CQiError result = assignPidsTo(group, Pids({ended, child.pid()}));
    EXPECT_TRUE(result.IsError());
    EXPECT_NE(result.Message().find("No such process"), std::string::npos) << result.Message();
    EXPECT_NE(result.Message().find(std::to_string(ended)), std::string::npos) << result.Message();
    EXPECT_FALSE(Holds(GroupFolder(group), child.pid()));
    EXPECT_TRUE(removePidsFrom(group, Pids({ended})).IsError());
}

TEST(V2ClientFailures, ZeroPercentIsAFailureAndLeavesTheCap) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("zero");
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    ASSERT_FALSE(createRcgGroup(group).IsError()) << tqd.log();
    ASSERT_FALSE(setRcgCPUShare(group, 30).IsError());

    const CQiError result = setRcgCPUShare(group, 0);
    EXPECT_TRUE(result.IsError()) << "a cap of 0 % must never be reported as done";
    EXPECT_NE(result.Message(), "Success");
    EXPECT_EQ(ControlValue(GroupFolder(group), "cpu.max"), CpuMaxFor(30));
}

TEST(V2ClientFailures, InvalidNamesAreRefusedWith123BeforeAnythingIsTouched) {
    LAB_REQUIRE_V2_HOST();
    const std::string escape = OwnedName("escape");
    V2Cleanup cleanup;
    LabTqd tqd;
    SleepingChild child;
    const std::vector<std::string> names = {OwnedName("a b"), "../" + escape, OwnedName("x") + "/../" + escape,
                                            "-" + escape, OwnedName("x") + "/cpu.max", "memory:/" + escape};
    for (const auto& name : names) {
        const std::vector<CQiError> results = {
            createRcgGroup(name), setRcgCPUShare(name, 50), assignPidsTo(name, Pids({child.pid()})),
            removePidsFrom(name, Pids({child.pid()})), deleteRcgGroup(name)};
        for (const auto& result : results) {
            EXPECT_EQ(result.Message().rfind("[Win32 error 123] ", 0), 0u) << name << ": " << result.Message();
        }
    }
    EXPECT_FALSE(IsFolder(std::string(kMount) + "/" + escape));
    EXPECT_FALSE(IsFolder(GroupFolder(OwnedName("x"))));
    EXPECT_FALSE(IsFolder(GroupFolder(OwnedName("a b"))));
    EXPECT_EQ(CgroupOf(child.pid()), CgroupOf(getpid()));
    EXPECT_TRUE(tqd.storedGroups().empty());
}

TEST(V2Base, AConfiguredNestedBaseHoldsTheGroupsAndTheDummy) {
    LAB_REQUIRE_V2_HOST();
    const std::string top = OwnedName("base");
    const std::string base = top + "/inner";
    const std::string group = OwnedName("based");
    V2Cleanup cleanup(base);
    cleanup.group(group);
    V2Cleanup defaultBase;
    defaultBase.group(group);
    LabTqd tqd("sTQRCGMGRCGROUP2BASE=" + base + "\n");
    SleepingChild child;
    const std::string folder = GroupFolder(group, base);

    CQiError result = createRcgGroup(group);
    ASSERT_FALSE(result.IsError()) << result.AsString() << tqd.log();
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_FALSE(IsFolder(GroupFolder(group)));
    for (const std::string& above : {std::string(kMount), std::string(kMount) + "/" + top,
                                     std::string(kMount) + "/" + base}) {
        EXPECT_TRUE(SubtreeEnables(above, "cpu")) << above;
    }
    EXPECT_EQ(CountOf(tqd.storedGroups(), group), 1);

    EXPECT_FALSE(setRcgCPUShare(group, 30).IsError());
    EXPECT_EQ(ControlValue(folder, "cpu.max"), CpuMaxFor(30));
    EXPECT_FALSE(assignPidsTo(group, Pids({child.pid()})).IsError());
    EXPECT_TRUE(Holds(folder, child.pid()));
    EXPECT_FALSE(removePidsFrom(group, Pids({child.pid()})).IsError());
    EXPECT_TRUE(Holds(GroupFolder(kDummy, base), child.pid()));
    EXPECT_FALSE(deleteRcgGroup(group).IsError());
    EXPECT_FALSE(IsFolder(folder));
}

// Each client process creates its share of groups; exits with the number of
// failed requests.
[[noreturn]] void CreateGroups(const std::vector<std::string>& names) {
    int failures = 0;
    for (const auto& name : names) failures += createRcgGroup(name).IsError() ? 1 : 0;
    _exit(failures);
}

TEST(V2Concurrency, FourClientsCreatingTwentyFiveGroupsEachLoseNoName) {
    LAB_REQUIRE_V2_HOST();
    constexpr int kClients = 4;
    constexpr int kEach = 25;
    V2Cleanup cleanup;
    std::vector<std::vector<std::string>> names(kClients);
    for (int client = 0; client < kClients; ++client) {
        for (int i = 0; i < kEach; ++i) {
            names[client].push_back(OwnedName("c" + std::to_string(client) + "_" + std::to_string(i)));
            cleanup.group(names[client].back());
        }
    }
    LabTqd tqd;

    std::vector<pid_t> clients;
    for (int client = 0; client < kClients; ++client) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) CreateGroups(names[client]);
        clients.push_back(pid);
    }
    int failures = 0;
    for (pid_t pid : clients) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        failures += WIFEXITED(status) ? WEXITSTATUS(status) : kEach;
    }
    EXPECT_EQ(failures, 0) << "failed creations; tqd's log:\n" << tqd.log();

    // One line for every name lost, rather than one failure per name.
    const std::vector<std::string> stored = tqd.storedGroups();
    std::string notStored, noFolder;
    for (const auto& each : names) {
        for (const auto& name : each) {
            if (CountOf(stored, name) != 1) notStored += " " + name;
            if (!IsFolder(GroupFolder(name))) noFolder += " " + name;
        }
    }
    EXPECT_EQ(notStored, "") << "not stored exactly once";
    EXPECT_EQ(noFolder, "") << "no group folder";
    EXPECT_EQ(stored.size(), static_cast<std::size_t>(kClients * kEach));
}

}  // namespace
