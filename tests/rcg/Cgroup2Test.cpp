// The cgroup2 path: which hierarchy a host uses, and every request of the
// controller and the group objects against an in-memory cgroup2 filesystem.
// No command may run on this path.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>

#include "host/TQPlatformInfo.h"
#include "rcg/CgroupFs.h"
#include "rcg/RcgHierarchy.h"
#include "rcg/TqRcgCtrllr.h"
#include "rcg/cgroup2Rcg.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/TestSupport.h"

using namespace TqRcgCtrllr;
using namespace TqRcgCtrllr::detail;

namespace {

const char kRoot[] = "/sys/fs/cgroup";
const char kBase[] = "/sys/fs/cgroup/tqrcg";

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::string GroupList() {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    std::string value;
    return store.getString("Base", "sTQRCGMGRGROUPS", value) ? value : "<absent>";
}

// ---- which hierarchy ------------------------------------------------------

Hierarchy ChooseFrom(const std::string& table, const std::string& rootControllers = "cpu memory") {
    tqtest::FakeCgroupFs fs;
    fs.files["/proc/self/mounts"] = table;
    for (const char* mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified", "/mnt/my cg"}) {
        fs.files[std::string(mount) + "/cgroup.controllers"] = rootControllers + "\n";
    }
    return ChooseHierarchy(fs);
}

TEST(rcgHierarchy, TheMountTableDecidesBetweenV1AndCgroup2) {
    const std::string v1Cpu = "cgroup /sys/fs/cgroup/cpu cgroup rw,relatime,cpu 0 0\n";
    const std::string v1Joint = "cgroup /sys/fs/cgroup/cpu,cpuacct cgroup rw,cpu,cpuacct 0 0\n";
    const std::string v1Other = "cgroup /sys/fs/cgroup/cpuacct cgroup rw,cpuacct 0 0\n"
                                "cgroup /sys/fs/cgroup/cpuset cgroup rw,cpuset 0 0\n";
    const std::string unified = "cgroup2 /sys/fs/cgroup/unified cgroup2 rw 0 0\n";
    const std::string pure = "cgroup2 /sys/fs/cgroup cgroup2 rw,nosuid 0 0\n";

    EXPECT_EQ(Hierarchy::kV1, ChooseFrom(v1Cpu).kind);
    EXPECT_EQ(Hierarchy::kV1, ChooseFrom(v1Joint + unified).kind) << "a v1 cpu hierarchy always wins";
    EXPECT_EQ(Hierarchy::kV1, ChooseFrom(v1Other + unified, "").kind) << "hybrid host without cpu anywhere";
    EXPECT_EQ(Hierarchy::kV1, ChooseFrom("").kind) << "nothing mounted: as always";
    EXPECT_EQ(Hierarchy::kV1, ChooseFrom("tmpfs /cpu tmpfs rw,cpu 0 0\n").kind);

    Hierarchy chosen = ChooseFrom(pure);
    EXPECT_EQ(Hierarchy::kCgroup2, chosen.kind);
    EXPECT_EQ("/sys/fs/cgroup", chosen.mount);
    chosen = ChooseFrom(v1Other + unified, "cpu io");
    EXPECT_EQ(Hierarchy::kCgroup2, chosen.kind) << "cpu not bound to v1, offered by cgroup2";
    EXPECT_EQ("/sys/fs/cgroup/unified", chosen.mount);
    chosen = ChooseFrom("cgroup2 /mnt/my\\040cg cgroup2 rw 0 0\n");
    EXPECT_EQ("/mnt/my cg", chosen.mount) << "octal escapes of the mount table";

    chosen = ChooseFrom(pure, "memory pids");
    EXPECT_EQ(Hierarchy::kCgroup2WithoutCpu, chosen.kind);
    EXPECT_NE(std::string::npos, CpuUnavailableText(chosen).find("memory pids"));
}

TEST(rcgHierarchy, ControllerListsAndCpuMaxValues) {
    EXPECT_TRUE(ListsController("cpuset cpu io\n", "cpu"));
    EXPECT_FALSE(ListsController("cpuset cpuacct io\n", "cpu"));
    EXPECT_FALSE(ListsController("", "cpu"));

    CpuMax value;
    ASSERT_TRUE(ParseCpuMax("50000 100000\n", &value));
    EXPECT_EQ(50000u, value.quotaUs);
    EXPECT_EQ(100000u, value.periodUs);
    EXPECT_FALSE(value.unlimited);
    ASSERT_TRUE(ParseCpuMax("max 100000\n", &value));
    EXPECT_TRUE(value.unlimited);
    for (const char* bad : {"", "max", "50000", "-1 100000", "5x 100000", "1 0", "1 2 3", "max max"}) {
        EXPECT_FALSE(ParseCpuMax(bad, &value)) << bad;
    }
    // What is written reads back as written.
    EXPECT_EQ("25000 100000", FormatCpuMax(25000));
    ASSERT_TRUE(ParseCpuMax(FormatCpuMax(1000, 50000), &value));
    EXPECT_EQ(1000u, value.quotaUs);
    EXPECT_EQ(50000u, value.periodUs);
}

// ---- requests ---------------------------------------------------------------

class rcgCgroup2 : public ::testing::Test {
protected:
    tqtest::TempStore store{"dTQDEBUGLEVEL=4\n"};
    tqtest::ScriptedRunner runner;
    tqtest::FakeCgroupFs fs;

    void TearDown() override { EXPECT_TRUE(runner.commands().empty()) << "cgroup2 runs no command"; }

    TqRcgPtr Create(const char* name) {
        TqRcgPtr group;
        const CQiError result = TqRcgCtrllr::GetNewRcg(name, group);
        EXPECT_FALSE(result.IsError()) << result.AsString();
        return group;
    }
};

TEST_F(rcgCgroup2, CreationMakesTheBaseAndTheGroupWithCpuEnabledAbove) {
    TqRcgPtr group = Create("web");
    ASSERT_TRUE(group);
    EXPECT_EQ(std::string(kBase) + "/web", dynamic_cast<TqRcgCtrllr::cgroup2Rcg&>(*group).folder());
    EXPECT_TRUE(fs.isDir(std::string(kBase) + "/web"));
    EXPECT_TRUE(ListsController(fs.fileText(std::string(kRoot) + "/cgroup.subtree_control"), "cpu"));
    EXPECT_TRUE(ListsController(fs.fileText(std::string(kBase) + "/cgroup.subtree_control"), "cpu"));
    EXPECT_FALSE(ListsController(fs.fileText(std::string(kBase) + "/web/cgroup.subtree_control"), "cpu"));
    EXPECT_EQ(" web", GroupList());

    TqRcgPtr found;
    EXPECT_FALSE(TqRcgCtrllr::GetSysRcg("web", found).IsError());
    EXPECT_TRUE(found);
    fs.writes.clear();
    Create("db");
    EXPECT_EQ(" web db", GroupList());
    EXPECT_FALSE(Contains(fs.writes, std::string(kRoot) + "/cgroup.subtree_control=+cpu"))
        << "cpu already enabled is not written again";
}

TEST_F(rcgCgroup2, PrefixedAndNestedNamesNameFoldersBelowTheBase) {
    Create("cpu:/api");
    Create("cpu,cpuacct:/jobs/nightly/db");
    EXPECT_TRUE(fs.isDir(std::string(kBase) + "/api"));
    EXPECT_TRUE(fs.isDir(std::string(kBase) + "/jobs/nightly/db"));
    EXPECT_TRUE(ListsController(fs.fileText(std::string(kBase) + "/jobs/nightly/cgroup.subtree_control"), "cpu"));

    TqRcgPtr group;
    for (const char* name : {"api", "cpu:/api", "cpu,cpuacct:/api", "jobs", "jobs/nightly", "cpu:/jobs/nightly/db"}) {
        EXPECT_FALSE(TqRcgCtrllr::GetSysRcg(name, group).IsError()) << name;
    }
    const CQiError missing = TqRcgCtrllr::GetSysRcg("cpu:/nightly", group);
    EXPECT_EQ(1168u, missing.Win32Code());
    EXPECT_EQ("The resource group cpu:/nightly doesn't exist.", missing.Message());
}

TEST_F(rcgCgroup2, AConfiguredBaseIsUsedAndABadOneTouchesNothing) {
    fs.dirs.insert("/sys/fs/cgroup/delegated");
    fs.files["/sys/fs/cgroup/delegated/cgroup.subtree_control"] = "cpu memory\n";
    fs.failures["/sys/fs/cgroup/cgroup.subtree_control"] = EACCES;
    fs.files["/sys/fs/cgroup/cgroup.subtree_control"] = "cpu memory\n";
    store.write("[Base]\nsTQRCGMGRCGROUP2BASE=delegated/mgr\n");
    Create("web");
    EXPECT_TRUE(fs.isDir("/sys/fs/cgroup/delegated/mgr/web"));

    for (const char* bad : {"../etc", "cpu:/x", "a//b", "-x", "cgroup.procs"}) {
        store.write(std::string("[Base]\nsTQRCGMGRCGROUP2BASE=") + bad + "\n");
        const std::size_t dirs = fs.dirs.size();
        TqRcgPtr group;
        const CQiError result = TqRcgCtrllr::GetNewRcg("db", group);
        EXPECT_EQ(123u, result.Win32Code()) << bad;
        EXPECT_NE(std::string::npos, result.Message().find("sTQRCGMGRCGROUP2BASE")) << result.Message();
        EXPECT_EQ(dirs, fs.dirs.size());
    }
}

TEST_F(rcgCgroup2, OnASystemdHostNothingAboveTheBaseIsWritten) {
    fs.dirs.insert("/run/systemd/system");
    store.write("[Base]\nsTQRCGMGRCGROUP2BASE=tq.slice/holder.service/groups\n");
    TqRcgPtr group;
    CQiError result = TqRcgCtrllr::GetNewRcg("web", group);
    EXPECT_EQ(774u, result.Win32Code()) << "the delegated base is missing";
    EXPECT_NE(std::string::npos, result.Message().find("tqrcg-groups.service")) << result.Message();
    EXPECT_TRUE(fs.writes.empty()) << fs.writes.front();
    EXPECT_EQ(2u, fs.dirs.size()) << "only the mount and /run/systemd/system";

    // systemd made the subtree and enabled cpu down to the delegated unit;
    // the base is the unit's own.
    for (const char* dir : {"/sys/fs/cgroup/tq.slice", "/sys/fs/cgroup/tq.slice/holder.service",
                            "/sys/fs/cgroup/tq.slice/holder.service/groups"}) {
        ASSERT_EQ(0, fs.makeDir(dir));
    }
    fs.files["/sys/fs/cgroup/tq.slice/holder.service/cgroup.subtree_control"] = "cpu\n";
    result = TqRcgCtrllr::GetNewRcg("web", group);
    EXPECT_EQ(774u, result.Win32Code()) << "cpu is not enabled at the root";
    EXPECT_NE(std::string::npos, result.Message().find("/sys/fs/cgroup/cgroup.subtree_control"));
    EXPECT_TRUE(fs.writes.empty());

    fs.files["/sys/fs/cgroup/cgroup.subtree_control"] = "cpu memory\n";
    fs.files["/sys/fs/cgroup/tq.slice/cgroup.subtree_control"] = "cpu\n";
    result = TqRcgCtrllr::GetNewRcg("jobs/web", group);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_TRUE(fs.isDir("/sys/fs/cgroup/tq.slice/holder.service/groups/jobs/web"));
    for (const std::string& write : fs.writes) {
        EXPECT_EQ(0u, write.find("/sys/fs/cgroup/tq.slice/holder.service/groups/")) << "written above the base: " << write;
    }
}

TEST_F(rcgCgroup2, CreationFailuresNameTheFileAndTheReason) {
    fs.failures[std::string(kRoot) + "/cgroup.subtree_control"] = EACCES;
    TqRcgPtr group;
    CQiError result = TqRcgCtrllr::GetNewRcg("web", group);
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_NE(std::string::npos, result.Message().find("/sys/fs/cgroup/cgroup.subtree_control"));
    EXPECT_NE(std::string::npos, result.Message().find("Permission denied"));
    EXPECT_FALSE(group);
    EXPECT_EQ("<absent>", GroupList());

    fs.failures.clear();
    fs.failures[std::string(kBase) + "/web"] = ENOSPC;
    result = TqRcgCtrllr::GetNewRcg("web", group);
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_NE(std::string::npos, result.Message().find("No space left on device"));
    EXPECT_EQ("<absent>", GroupList());
    EXPECT_NE(std::string::npos, store.log().find("No space left on device")) << "failures are logged";
}

TEST_F(rcgCgroup2, ACreationThatCannotBeListedIsUndone) {
    const std::string blocker = store.dir() + "/plainfile";
    tqtest::WriteFile(blocker, "x");
    TqRcgPtr group;
    CQiError result;
    {
        tqtest::EnvGuard config("TQ_CONFIG", (blocker + "/tq.conf").c_str());
        tqtest::EnvGuard log("TQ_LOG_STDERR", nullptr);
        result = TqRcgCtrllr::GetNewRcg("web", group);
    }
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_NE(std::string::npos, result.Message().find(blocker)) << result.Message();
    EXPECT_FALSE(group);
    EXPECT_FALSE(fs.isDir(std::string(kBase) + "/web")) << "either both happened or neither";
}

TEST_F(rcgCgroup2, CapsAreAShareOfEveryOnlineProcessor) {
    TqRcgPtr group = Create("web");
    const std::string cpuMax = std::string(kBase) + "/web/cpu.max";
    EXPECT_FALSE(group->setCPUConstraint(25).IsError());
    EXPECT_EQ("50000 100000\n", fs.fileText(cpuMax));
    fs.processors = 4;
    EXPECT_FALSE(group->setCPUConstraint(50).IsError());
    EXPECT_EQ("200000 100000\n", fs.fileText(cpuMax));

    const CQiError refused = group->setCPUConstraint(0);
    EXPECT_EQ(774u, refused.Win32Code()) << "the kernel refuses a quota of 0";
    EXPECT_NE(std::string::npos, refused.Message().find("cpu.max"));
    EXPECT_NE(std::string::npos, refused.Message().find("Invalid argument"));
    EXPECT_EQ("200000 100000\n", fs.fileText(cpuMax));
}

TEST_F(rcgCgroup2, AssignMovesEachProcessAndStopsAtTheFirstFailure) {
    TqRcgPtr group = Create("web");
    const std::string folder = std::string(kBase) + "/web";
    EXPECT_FALSE(group->AssignPidsTo({4711, 4712}).IsError());
    EXPECT_EQ((std::vector<std::string>{"4711", "4712"}), fs.procsOf(folder));

    const CQiError result = group->AssignPidsTo({4713, 999999, 1});
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_NE(std::string::npos, result.Message().find("999999"));
    EXPECT_NE(std::string::npos, result.Message().find("No such process"));
    EXPECT_TRUE(Contains(fs.procsOf(folder), "4713"));
    EXPECT_FALSE(Contains(fs.procsOf(folder), "1")) << "nothing after the failure is moved";
    EXPECT_FALSE(group->AssignPidsTo({}).IsError());
}

TEST_F(rcgCgroup2, RemovedProcessesGoToTheDummyGroupUnderTheBase) {
    TqRcgPtr group = Create("web");
    ASSERT_FALSE(group->AssignPidsTo({4711, 4712}).IsError());
    EXPECT_FALSE(group->RemovePidsFrom({4711}).IsError());
    const std::string dummy = std::string(kBase) + "/tqrcgmgrdummy";
    EXPECT_EQ(std::vector<std::string>{"4711"}, fs.procsOf(dummy));
    EXPECT_EQ(std::vector<std::string>{"4712"}, fs.procsOf(std::string(kBase) + "/web"));
    EXPECT_FALSE(group->RemovePidsFrom({4712}).IsError()) << "the dummy group is found the second time";
    EXPECT_EQ((std::vector<std::string>{"4711", "4712"}), fs.procsOf(dummy));
    EXPECT_EQ(" web tqrcgmgrdummy", GroupList());
}

TEST_F(rcgCgroup2, DeletionRemovesExactlyTheGroupAndRefusesBusyOnes) {
    TqRcgPtr web = Create("web");
    Create("webserver");
    Create("jobs/db");
    EXPECT_FALSE(TqRcgCtrllr::DeleteRcg("web").IsError());
    EXPECT_FALSE(fs.isDir(std::string(kBase) + "/web"));
    EXPECT_TRUE(fs.isDir(std::string(kBase) + "/webserver"));
    EXPECT_FALSE(TqRcgCtrllr::DeleteRcg("web").IsError()) << "a missing group is deleted already";

    const CQiError parent = TqRcgCtrllr::DeleteRcg("jobs");
    EXPECT_EQ(774u, parent.Win32Code());
    EXPECT_NE(std::string::npos, parent.Message().find("groups of its own"));
    EXPECT_TRUE(fs.isDir(std::string(kBase) + "/jobs"));

    TqRcgPtr server;
    ASSERT_FALSE(TqRcgCtrllr::GetSysRcg("webserver", server).IsError());
    ASSERT_FALSE(server->AssignPidsTo({4711}).IsError());
    const CQiError busy = TqRcgCtrllr::DeleteRcg("cpu:/webserver");
    EXPECT_EQ(774u, busy.Win32Code());
    EXPECT_NE(std::string::npos, busy.Message().find("holds processes"));
    EXPECT_TRUE(fs.isDir(std::string(kBase) + "/webserver"));
}

TEST_F(rcgCgroup2, RefusedNamesTouchNothing) {
    for (const char* bad : {"", "a b", "../x", "web/cpu.max", "cgroup.procs", "memory:/x", "-x"}) {
        TqRcgPtr group;
        EXPECT_EQ(123u, TqRcgCtrllr::GetNewRcg(bad, group).Win32Code()) << bad;
        EXPECT_EQ(123u, TqRcgCtrllr::DeleteRcg(bad).Win32Code()) << bad;
    }
    EXPECT_TRUE(fs.writes.empty());
    EXPECT_EQ(1u, fs.dirs.size());
}

TEST(rcgCgroup2WithoutCpu, EveryRequestSaysTheControllerIsMissing) {
    tqtest::TempStore store;
    tqtest::ScriptedRunner runner;
    tqtest::FakeCgroupFs fs("/sys/fs/cgroup", "memory pids");
    TqRcgPtr group;
    for (const CQiError& result : {TqRcgCtrllr::GetNewRcg("web", group), TqRcgCtrllr::GetSysRcg("web", group),
                                   TqRcgCtrllr::DeleteRcg("web")}) {
        EXPECT_EQ(774u, result.Win32Code());
        EXPECT_NE(std::string::npos, result.Message().find("cpu controller is not available"));
    }
    EXPECT_EQ(1u, fs.dirs.size());
    EXPECT_TRUE(runner.commands().empty()) << "no service cgconfig on a cgroup2 host";
}

// ---- the real filesystem ----------------------------------------------------

TEST(rcgCgroupFs, RealCallsReportTheSystemsErrors) {
    char folder[] = "/tmp/tqcgfs_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    RealCgroupFs fs;
    const std::string dir = std::string(folder) + "/g";
    EXPECT_EQ(0, fs.makeDir(dir));
    EXPECT_EQ(EEXIST, fs.makeDir(dir));
    EXPECT_TRUE(fs.isDir(dir));
    EXPECT_EQ(ENOENT, fs.writeFile(dir + "/cpu.max", "1 2"));
    tqtest::WriteFile(dir + "/cpu.max", "");
    EXPECT_EQ(0, fs.writeFile(dir + "/cpu.max", "50000 100000"));
    std::string text;
    EXPECT_EQ(0, fs.readFile(dir + "/cpu.max", &text));
    EXPECT_EQ("50000 100000", text);
    EXPECT_EQ(ENOTEMPTY, fs.removeDir(dir));
    unlink((dir + "/cpu.max").c_str());
    EXPECT_EQ(0, fs.removeDir(dir));
    EXPECT_EQ(ENOENT, fs.removeDir(dir));
    EXPECT_EQ(ENOENT, fs.readFile(dir + "/cpu.max", &text));
    EXPECT_EQ(sysconf(_SC_NPROCESSORS_ONLN), fs.onlineProcessors());
    // As nproc counts them: those of this process's affinity mask.
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(0, sched_getaffinity(0, sizeof(set), &set));
    EXPECT_EQ(CPU_COUNT(&set), fs.usableProcessors());
    rmdir(folder);
}

}  // namespace
