// Setting properties through the driver of each hierarchy: the cgroup2
// filesystem (in memory) and the cgroup v1 tools (scripted), all or none;
// the remembered settings applied again; nested groups deleted whole.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/TQPlatformInfo.h"
#include "rcg/RcgCapKeeper.h"
#include "rcg/RcgHierarchy.h"
#include "rcg/RcgReader.h"
#include "rcg/TqRcgCtrllr.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/TestSupport.h"

using namespace TqRcgCtrllr;
using Commands = std::vector<std::string>;

namespace {

const char kBase[] = "/sys/fs/cgroup/tqrcg";

std::vector<RcgSetting> Settings(const std::vector<std::string>& texts) {
    std::vector<RcgSetting> settings;
    std::string problem;
    EXPECT_TRUE(ParseRcgSettings(texts, &settings, &problem)) << problem;
    return settings;
}

CQiError Set(const std::string& group, const std::vector<std::string>& texts) {
    return detail::SetRcgProperties(group.c_str(), Settings(texts));
}

bool ListsControllerIn(const std::string& text, const char* controller) {
    return detail::ListsController(text, controller);
}

std::string Trimmed(const std::string& text) {
    const std::size_t end = text.find_last_not_of(" \n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string StoreValue(const char* key) {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    std::string value;
    return store.getString("Base", key, value) ? value : "<absent>";
}

// ---- cgroup2 ------------------------------------------------------------------------

class Cgroup2Settings : public ::testing::Test {
protected:
    Cgroup2Settings() {
        fs.files["/proc/meminfo"] = "MemTotal:        2097152 kB\n";  // 2 GiB
        fs.files["/sys/devices/system/cpu/online"] = "0-1\n";
        TqRcgPtr group;
        EXPECT_FALSE(GetNewRcg("web", group).IsError());
    }
    std::string file(const std::string& name) const { return fs.fileText(std::string(kBase) + "/web/" + name); }

    tqtest::TempStore store{"[Base]\n"};
    tqtest::FakeCgroupFs fs;
};

TEST_F(Cgroup2Settings, EachSettingReachesItsFileWithItsControllerEnabled) {
    ASSERT_FALSE(Set("web", {"memory.max=64M", "cpu.weight=300", "pids.max=20", "cpuset.cpus=1", "memory.high=10%"})
                     .IsError());
    EXPECT_EQ("67108864\n", file("memory.max"));
    EXPECT_EQ("300\n", file("cpu.weight"));
    EXPECT_EQ("20\n", file("pids.max"));
    EXPECT_EQ("1", file("cpuset.cpus"));
    EXPECT_EQ("214748364\n", file("memory.high")) << "10 % of 2 GiB";
    for (const std::string& folder : {std::string("/sys/fs/cgroup"), std::string(kBase)}) {
        const std::string enabled = fs.fileText(folder + "/cgroup.subtree_control");
        for (const char* controller : {"cpu", "memory", "pids", "cpuset"})
            EXPECT_TRUE(ListsControllerIn(enabled, controller)) << folder << ": " << enabled;
    }

    const GroupFigures figures = detail::ChooseReader()->figures("web");
    EXPECT_EQ("67108864", figures.properties[static_cast<std::size_t>(RcgProperty::kMemoryMax)]);
    EXPECT_EQ("300", figures.properties[static_cast<std::size_t>(RcgProperty::kCpuWeight)]);
    EXPECT_EQ("1", figures.properties[static_cast<std::size_t>(RcgProperty::kCpus)]);
    EXPECT_TRUE(figures.hasMemory);
    EXPECT_TRUE(figures.hasOomKills);
    EXPECT_TRUE(figures.hasTasks);
}

TEST_F(Cgroup2Settings, WhatTheMachineOrHierarchyCannotTakeIsRefusedAndNothingWritten) {
    struct Case {
        std::string group;
        std::vector<std::string> settings;
        std::uint32_t code;
    };
    fs.files["/sys/fs/cgroup/cgroup.controllers"] = "cpuset cpu memory\n";  // no pids
    const std::vector<Case> cases = {
        {"web", {"cpu.weight=300", "cpuset.cpus=1-5"}, 87},  // processors 2-5 are not online
        {"web", {"cpu.weight=300", "pids.max=20"}, 774},     // no pids controller
        {"gone", {"cpu.weight=300"}, 1168},
        {"../web", {"cpu.weight=300"}, 123},
    };
    for (const Case& c : cases) {
        fs.writes.clear();
        const CQiError result = Set(c.group, c.settings);
        EXPECT_EQ(c.code, result.Win32Code()) << c.group << ": " << result.AsString();
        EXPECT_TRUE(fs.writes.empty()) << c.group << " wrote " << fs.writes.front();
    }
    fs.files.erase("/proc/meminfo");
    EXPECT_EQ(87u, Set("web", {"memory.max=10%"}).Win32Code()) << "a share of an unknown memory";
    EXPECT_EQ("100\n", file("cpu.weight"));
}

TEST_F(Cgroup2Settings, AFailingSettingRestoresTheEarlierOnes) {
    // The kernel refuses a burst while there is no cap to burst above.
    const CQiError result = Set("web", {"cpu.weight=300", "memory.max=1G", "cpu.max.burst=50"});
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_NE(std::string::npos, result.AsString().find("cpu.max.burst")) << result.AsString();
    EXPECT_EQ("100", Trimmed(file("cpu.weight")));
    EXPECT_EQ("max", Trimmed(file("memory.max")));

    TqRcgPtr group;
    ASSERT_FALSE(GetSysRcg("web", group).IsError());
    ASSERT_FALSE(group->setCPUConstraint(50).IsError());
    EXPECT_FALSE(Set("web", {"cpu.max.burst=25"}).IsError()) << "within the cap it is taken";
    EXPECT_EQ("50000\n", file("cpu.max.burst")) << "25 % of 2 processors";
}

TEST_F(Cgroup2Settings, NestedGroupsTakeTheirEmptyUnlistedParentsAlong) {
    TqRcgPtr group;
    ASSERT_FALSE(GetNewRcg("jobs", group).IsError());
    ASSERT_FALSE(GetNewRcg("jobs/a/b/c", group).IsError());
    ASSERT_FALSE(GetNewRcg("x/y", group).IsError());
    EXPECT_FALSE(DeleteRcg("jobs/a/b/c").IsError());
    EXPECT_FALSE(fs.isDir(std::string(kBase) + "/jobs/a")) << "made for jobs/a/b/c, listed nowhere";
    EXPECT_TRUE(fs.isDir(std::string(kBase) + "/jobs")) << "a group of its own";
    fs.files[std::string(kBase) + "/x/cgroup.procs"] = "4711\n";
    EXPECT_FALSE(DeleteRcg("x/y").IsError());
    EXPECT_TRUE(fs.isDir(std::string(kBase) + "/x")) << "holds a process";
}

TEST_F(Cgroup2Settings, SomethingElseInAGroupsPlaceIsNotTakenAsMade) {
    fs.failures[std::string(kBase) + "/odd"] = EEXIST;
    TqRcgPtr group;
    EXPECT_EQ(123u, GetNewRcg("odd", group).Win32Code());
    EXPECT_EQ(123u, GetNewRcg("memory.max", group).Win32Code());
    EXPECT_EQ(std::string::npos, StoreValue(k_TQRCGMGR_Groups_RegKey).find("odd"));
    EXPECT_EQ(std::string::npos, StoreValue(k_TQRCGMGR_Groups_RegKey).find("memory.max"));
}

TEST_F(Cgroup2Settings, StartAppliesRememberedSettingsAgainAndAShareFollowsTheMemory) {
    detail::RememberSettings("web", Settings({"memory.max=10%", "cpu.weight=300"}));
    detail::RememberSettings("gone", Settings({"pids.max=20"}));
    EXPECT_EQ(0, detail::ReapplyCaps(nullptr));
    EXPECT_EQ("214748364\n", file("memory.max"));
    EXPECT_EQ("300\n", file("cpu.weight"));
    EXPECT_EQ("20\n", fs.fileText(std::string(kBase) + "/gone/pids.max")) << "the vanished group is made again";

    fs.files["/proc/meminfo"] = "MemTotal:        4194304 kB\n";
    fs.writes.clear();
    EXPECT_EQ(0, detail::ReapplyCaps(nullptr));
    EXPECT_EQ("429496729\n", file("memory.max")) << "10 % of the machine's new 4 GiB";
    EXPECT_EQ(1u, fs.writes.size()) << "only what changed is written";
    EXPECT_NE(std::string::npos, store.log().find("memory.max=10% (was 214748364)")) << store.log();
}

TEST_F(Cgroup2Settings, RemembersEachGroupOnceAndRefusesCapsThatAreNoShare) {
    TQPlatformInfo info;
    info.setFocus(TQPI_Focus::getFocus());
    const std::string caps = " web=25 cpu:/web=50 db=0 big=4294967295";
    ASSERT_TRUE(info.setString("Base", "sTQRCGMGRCAPS", caps.c_str(), static_cast<std::int32_t>(caps.size())));
    fs.writes.clear();
    EXPECT_EQ(2, detail::ReapplyCaps(nullptr)) << "db and big";
    EXPECT_EQ("50000 100000\n", file("cpu.max")) << "the first entry of web counts";
    EXPECT_NE(std::string::npos, store.log().find("4294967295% is not a share of the machine")) << store.log();
    EXPECT_EQ("max 100000\n", fs.fileText(std::string(kBase) + "/big/cpu.max"));
}

// ---- cgroup v1 ----------------------------------------------------------------------

const char kV1Mounts[] =
    "cgroup /sys/fs/cgroup/cpu cgroup rw,cpu 0 0\n"
    "cgroup /sys/fs/cgroup/memory cgroup rw,memory 0 0\n"
    "cgroup /sys/fs/cgroup/pids cgroup rw,pids 0 0\n";
const char kStatus[] = "service cgconfig status";
const char kWebLookup[] = "lscgroup | grep :/web | cut -d\"/\" -f2 | grep -w web";

class V1Settings : public ::testing::Test {
protected:
    V1Settings() : fs("/sys/fs/cgroup/unified", "", kV1Mounts) {
        fs.files["/proc/meminfo"] = "MemTotal:        2097152 kB\n";
        fs.files["/sys/devices/system/cpu/online"] = "0-1\n";
        fs.files["/sys/fs/cgroup/memory/memory.memsw.limit_in_bytes"] = "9223372036854771712\n";
        fs.dirs.insert("/sys/fs/cgroup/cpu/web");
        fs.files["/sys/fs/cgroup/cpu/web/cpu.shares"] = "1024\n";
        reset();
    }
    // Forgets the commands run so far; web stays listed.
    void reset() {
        runner.clear();
        runner.always(kWebLookup, 0, "web\n");
    }
    // The group as the memory hierarchy holds it after cgcreate.
    void inMemory(const std::string& limit, const std::string& memsw) {
        fs.dirs.insert("/sys/fs/cgroup/memory/web");
        fs.files["/sys/fs/cgroup/memory/web/memory.limit_in_bytes"] = limit + "\n";
        fs.files["/sys/fs/cgroup/memory/web/memory.memsw.limit_in_bytes"] = memsw + "\n";
    }
    Commands commandsAfterLookup() const {
        Commands all = runner.commands();
        return Commands(all.begin() + std::min<std::size_t>(2, all.size()), all.end());
    }

    tqtest::TempStore store{"[Base]\n"};
    tqtest::FakeCgroupFs fs;
    tqtest::ScriptedRunner runner;
};

TEST_F(V1Settings, TheToolsJoinTheControllersHierarchyAndSetItsFiles) {
    ASSERT_FALSE(Set("web", {"memory.max=64M", "cpu.weight=300"}).IsError());
    EXPECT_EQ((Commands{"cgcreate -g memory:/web", "cgset -r cpu.shares=3072 web",
                        "cgset -r memory.limit_in_bytes=67108864 web"}),
              commandsAfterLookup());
}

TEST_F(V1Settings, MemoryAndSwapAreSetInTheOrderTheKernelKeeps) {
    struct Case {
        std::string limit, memsw;
        std::vector<std::string> settings;
        Commands commands;
    };
    const std::string l = "cgset -r memory.limit_in_bytes=", m = "cgset -r memory.memsw.limit_in_bytes=";
    const std::vector<Case> cases = {
        // no limits yet: memory first, then memory and swap together
        {"9223372036854771712", "9223372036854771712", {"memory.max=64M", "memory.swap.max=32M"},
         {l + "67108864 web", m + "100663296 web"}},
        // a higher limit than memory and swap allow now: memsw first, the swap kept
        {"134217728", "167772160", {"memory.max=256M"}, {m + "301989888 web", l + "268435456 web"}},
        // a lower one: memory first
        {"268435456", "301989888", {"memory.max=128M"}, {l + "134217728 web", m + "167772160 web"}},
        // swap alone, within the limit there is
        {"134217728", "134217728", {"memory.swap.max=0"}, {m + "134217728 web"}},
        {"134217728", "167772160", {"memory.swap.max=max"}, {m + "-1 web"}},
    };
    for (const Case& c : cases) {
        inMemory(c.limit, c.memsw);
        reset();
        const CQiError result = Set("web", c.settings);
        EXPECT_FALSE(result.IsError()) << result.AsString();
        EXPECT_EQ(c.commands, commandsAfterLookup()) << c.settings.front();
    }
}

TEST_F(V1Settings, WhatV1CannotTakeIsRefusedBeforeAnyCommand) {
    struct Case {
        std::vector<std::string> settings;
        std::uint32_t code;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"memory.high=1G"}, 87, "cgroup v1 has no such limit"},
        {{"cpuset.cpus=0"}, 774, "cpuset controller is not available"},
        {{"memory.swap.max=1G"}, 87, "needs memory.max as well"},
        {{"cpu.weight=300", "cpuset.cpus=0"}, 774, "cpuset"},
    };
    for (const Case& c : cases) {
        reset();
        const CQiError result = Set("web", c.settings);
        EXPECT_EQ(c.code, result.Win32Code()) << c.settings.front();
        EXPECT_NE(std::string::npos, result.AsString().find(c.says)) << result.AsString();
        EXPECT_EQ(Commands{}, commandsAfterLookup()) << c.settings.front();
    }
}

TEST_F(V1Settings, AFailingCgsetRestoresWhatWasSetAndLeavesTheNewHierarchy) {
    runner.on("cgset -r memory.limit_in_bytes", 1, "", "cgset: Device or resource busy\n");
    const CQiError result = Set("web", {"cpu.weight=300", "memory.max=64M"});
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_NE(std::string::npos, result.AsString().find("None of the request's settings was kept"));
    EXPECT_EQ((Commands{"cgcreate -g memory:/web", "cgset -r cpu.shares=3072 web",
                        "cgset -r memory.limit_in_bytes=67108864 web", "cgset -r cpu.shares=1024 web",
                        "cgdelete -g memory:/web"}),
              commandsAfterLookup());
}

TEST_F(V1Settings, AGroupInSeveralHierarchiesMovesAndLeavesInAllOfThem) {
    inMemory("67108864", "67108864");
    fs.dirs.insert("/sys/fs/cgroup/pids/web");
    TqRcgPtr group;
    ASSERT_FALSE(GetSysRcg("web", group).IsError());
    reset();
    ASSERT_FALSE(group->AssignPidsTo({4711, 4712}).IsError());
    ASSERT_FALSE(group->RemovePidsFrom({4711}).IsError());
    const Commands commands = runner.commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ("cgclassify -g cpu,memory,pids:/web  4711 4712", commands.front());
    EXPECT_NE(std::find(commands.begin(), commands.end(), "cgcreate -g memory:/tqrcgmgrdummy"), commands.end());
    EXPECT_EQ("cgclassify -g cpu,memory,pids:/tqrcgmgrdummy  4711", commands.back());

    reset();
    runner.on("lscgroup | grep -w cpu:/web", 0, "cpu:/web\n");
    ASSERT_FALSE(DeleteRcg("cpu:/web").IsError());
    EXPECT_EQ((Commands{"lscgroup | grep -w cpu:/web", "cgdelete -g cpu:/web\n", "cgdelete -g memory:/web",
                        "cgdelete -g pids:/web"}),
              runner.commands());
}

TEST_F(V1Settings, AGroupWithOnlyACapKeepsItsCommandLines) {
    TqRcgPtr group;
    ASSERT_FALSE(GetSysRcg("web", group).IsError());
    reset();
    ASSERT_FALSE(group->AssignPidsTo({4711}).IsError());
    EXPECT_EQ(Commands{"cgclassify -g cpu:/web  4711"}, runner.commands());
}

}  // namespace
