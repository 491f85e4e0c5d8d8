// The cgroup group object against a scripted command runner.
#include <gtest/gtest.h>

#include <list>
#include <set>
#include <string>
#include <vector>

#include "rcg/TqRcgCtrllr.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/TestSupport.h"

using TqRcgCtrllr::linuxRcg;
using Commands = std::vector<std::string>;

namespace {

const char kDummyLookup[] =
    "lscgroup | grep :/tqrcgmgrdummy | cut -d\"/\" -f2 | grep -w tqrcgmgrdummy";

const char kCtorFunction[] = "TqRcgCtrllr::linuxRcg::linuxRcg(const char*, bool, CQiError&)";
const char kSetCpuFunction[] = "virtual CQiError TqRcgCtrllr::linuxRcg::setCPUConstraint(unsigned int)";
const char kAssignFunction[] =
    "virtual CQiError TqRcgCtrllr::linuxRcg::AssignPidsTo(const std::__cxx11::list<unsigned int>&)";

// The error was built in this unit, in `function`, at a real line.
::testing::AssertionResult BuiltIn(const CQiError& error, const char* function) {
    if (error.File() == "linuxRcg.cpp" && error.Function() == function && error.Line() > 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "built at [" << error.File() << "] [" << error.Function() << "] line "
                                         << error.Line();
}

class rcgLinuxGroup : public ::testing::Test {
protected:
    tqtest::TempStore store{"dTQDEBUGLEVEL=4\n"};
    tqtest::ScriptedRunner runner;
    // A plain cgroup v1 host: the scripted tools alone tell which groups exist.
    tqtest::FakeCgroupFs fs{"/sys/fs/cgroup/unified", "", "cgroup /sys/fs/cgroup/cpu cgroup rw,cpu 0 0\n"};
};

CQiError SomeEarlierError() {
    return FXErrorUtil::ErrorWin32(FXCodeLocation{"t", "t", 1}, 1168, "earlier");
}

TEST_F(rcgLinuxGroup, ExistingGroupRunsNothingAndKeepsTheErrorObject) {
    CQiError error = SomeEarlierError();
    linuxRcg group("cpu,cpuacct:/a/b", true, error);
    EXPECT_EQ(Commands{}, runner.commands());
    EXPECT_EQ(1168u, error.Win32Code());
    EXPECT_EQ("earlier", error.Message());
    EXPECT_EQ("t", error.File());
    EXPECT_EQ("a/b", group.name());
    EXPECT_EQ("cpu,cpuacct:/a/b", group.qualifiedName());

    CQiError success;
    linuxRcg other("foo", true, success);
    EXPECT_FALSE(success.IsError());
}

TEST_F(rcgLinuxGroup, NewGroupIsCreatedUnderItsControllerQualifiedName) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"foo", "cgcreate -g cpu:/foo"},
        {"cpu:/foo", "cgcreate -g cpu:/foo"},
        {"cpu,cpuacct:/a/b", "cgcreate -g cpu,cpuacct:/a/b"},
        {"a:/b:/c", "cgcreate -g a:/b:/c"},
        {"cpu:foo", "cgcreate -g cpu:/cpu:foo"},
        {"", "cgcreate -g cpu:/"},
    };
    for (const auto& [name, line] : cases) {
        runner.clear();
        CQiError error;
        linuxRcg group(name.c_str(), false, error);
        EXPECT_FALSE(error.IsError()) << name;
        EXPECT_EQ(Commands{line}, runner.commands()) << name;
    }
}

TEST_F(rcgLinuxGroup, FailedCreationLeavesAWholeObjectAndA774Error) {
    runner.on("cgcreate", 96, "some out", "cgcreate: can't create cgroup /foo: Cgroup, operation not allowed\n");
    CQiError error;
    linuxRcg group("foo", false, error);
    const std::string text =
        "Failed to run cmd [cgcreate -g cpu:/foo] out[some out] "
        "err[cgcreate: can't create cgroup /foo: Cgroup, operation not allowed\n]\n";
    ASSERT_TRUE(error.IsError());
    EXPECT_EQ(774u, error.Win32Code());
    EXPECT_EQ(text, error.Message());
    EXPECT_TRUE(BuiltIn(error, kCtorFunction));
    EXPECT_EQ("foo", group.name());
    EXPECT_EQ("cpu:/foo", group.qualifiedName());
    EXPECT_NE(std::string::npos,
              store.log().find(" ERROR linuxRcg::linuxRcg Failed to run cmd [cgcreate -g cpu:/foo] "
                               "out[some out] err[cgcreate: can't create cgroup /foo: Cgroup, "
                               "operation not allowed\\n]\\n\n"))
        << store.log();
}

TEST_F(rcgLinuxGroup, DestroyingAGroupRunsNoCommand) {
    {
        CQiError error;
        TqRcgPtr group(new linuxRcg("foo", true, error));
    }
    EXPECT_EQ(Commands{}, runner.commands());
}

// ---- setCPUConstraint ---------------------------------------------------

struct QuotaCase {
    unsigned int percent;
    std::string nproc;
    std::string quotaLine;
};

TEST_F(rcgLinuxGroup, CapWritesThePeriodThenPercentOfAllProcessors) {
    const std::vector<QuotaCase> cases = {
        {50, "4\n", "cgset -r cpu.cfs_quota_us=200000 foo"},
        {100, "8\n", "cgset -r cpu.cfs_quota_us=800000 foo"},
        {1, "1\n", "cgset -r cpu.cfs_quota_us=1000 foo"},
        {0, "2\n", "cgset -r cpu.cfs_quota_us=0 foo"},
        {50, "", "cgset -r cpu.cfs_quota_us=0 foo"},
        {50, "no number\n", "cgset -r cpu.cfs_quota_us=0 foo"},
        {4294967295u, "4\n", "cgset -r cpu.cfs_quota_us=17179869180000 foo"},
    };
    CQiError error;
    linuxRcg group("cpu:/foo", true, error);
    for (const auto& c : cases) {
        runner.clear();
        runner.on("nproc", 0, c.nproc);
        CQiError result = group.setCPUConstraint(c.percent);
        EXPECT_FALSE(result.IsError()) << c.percent;
        EXPECT_EQ((Commands{"nproc", "cgset -r cpu.cfs_period_us=100000 foo", c.quotaLine}),
                  runner.commands())
            << c.percent << " with nproc " << c.nproc;
    }
}

TEST_F(rcgLinuxGroup, CapStopsAtAFailedProcessorCount) {
    runner.on("nproc", 127, "", "sh: nproc: not found\n");
    CQiError error;
    linuxRcg group("foo", true, error);
    CQiError result = group.setCPUConstraint(50);
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_EQ("Failed to run cmd [nproc] out[] err[sh: nproc: not found\n]\n", result.Message());
    EXPECT_EQ(Commands{"nproc"}, runner.commands());
    EXPECT_NE(std::string::npos, store.log().find(" ERROR linuxRcg::setCPUConstraint Failed to run cmd [nproc]"));
}

TEST_F(rcgLinuxGroup, FailedPeriodRunsNoQuotaCommand) {
    runner.on("nproc", 0, "2\n").on("cgset -r cpu.cfs_period_us", 96, "", "cgset: cgroup foo not found\n");
    CQiError error;
    linuxRcg group("foo", true, error);
    CQiError result = group.setCPUConstraint(50);
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_EQ("Failed to run cmd [cgset -r cpu.cfs_period_us=100000 foo] out[] "
              "err[cgset: cgroup foo not found\n]\n",
              result.Message());
    EXPECT_EQ((Commands{"nproc", "cgset -r cpu.cfs_period_us=100000 foo"}), runner.commands());
}

TEST_F(rcgLinuxGroup, FailedQuotaReportsTheQuotaCommandWithItsOwnOutput) {
    // The two strings serve all three commands: each run replaces their text.
    runner.on("nproc", 0, "2\n", "nproc noise")
        .on("cgset -r cpu.cfs_period_us", 0, "period out", "")
        .on("cgset -r cpu.cfs_quota_us", 1, "", "Invalid argument\n");
    CQiError error;
    linuxRcg group("foo", true, error);
    CQiError result = group.setCPUConstraint(50);
    EXPECT_EQ("Failed to run cmd [cgset -r cpu.cfs_quota_us=100000 foo] out[] err[Invalid argument\n]\n",
              result.Message());
    EXPECT_EQ(3u, runner.commands().size());
}

TEST_F(rcgLinuxGroup, EachFailedCapStepIsPlacedAtItsOwnLine) {
    const std::vector<std::string> failing = {"nproc", "cgset -r cpu.cfs_period_us", "cgset -r cpu.cfs_quota_us"};
    std::set<std::int32_t> lines;
    for (const std::string& step : failing) {
        runner.clear();
        if (step != "nproc") runner.on("nproc", 0, "2\n");
        runner.on(step, 1);
        CQiError error;
        linuxRcg group("foo", true, error);
        const CQiError result = group.setCPUConstraint(50);
        EXPECT_TRUE(BuiltIn(result, kSetCpuFunction)) << step;
        lines.insert(result.Line());
    }
    EXPECT_EQ(failing.size(), lines.size());
}

// ---- AssignPidsTo ---------------------------------------------------------

TEST_F(rcgLinuxGroup, AssignPassesAllIdsInOneCommandInListOrder) {
    struct Case {
        std::list<unsigned int> pids;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{123, 456}, "cgclassify -g cpu:/foo  123 456"},
        {{}, "cgclassify -g cpu:/foo "},
        {{7}, "cgclassify -g cpu:/foo  7"},
        {{9, 9, 1}, "cgclassify -g cpu:/foo  9 9 1"},
        {{4294967295u, 0}, "cgclassify -g cpu:/foo  4294967295 0"},
    };
    CQiError error;
    linuxRcg group("foo", true, error);
    for (const auto& c : cases) {
        runner.clear();
        EXPECT_FALSE(group.AssignPidsTo(c.pids).IsError());
        EXPECT_EQ(Commands{c.line}, runner.commands());
    }
}

TEST_F(rcgLinuxGroup, FailureTextKeepsPercentSignsInMessageAndLog) {
    runner.on("cgclassify", 1, "100%s%d%n", "%x%%");
    CQiError error;
    linuxRcg group("foo", true, error);
    CQiError result = group.AssignPidsTo({5});
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_EQ("Failed to run cmd [cgclassify -g cpu:/foo  5] out[100%s%d%n] err[%x%%]\n",
              result.Message());
    EXPECT_TRUE(BuiltIn(result, kAssignFunction));
    EXPECT_NE(std::string::npos,
              store.log().find(" ERROR linuxRcg::AssignPidsTo Failed to run cmd [cgclassify -g "
                               "cpu:/foo  5] out[100%s%d%n] err[%x%%]\\n\n"))
        << store.log();
}

TEST_F(rcgLinuxGroup, FailureTextIsCutAt999Characters) {
    runner.on("cgclassify", 1, std::string(3000, 'o'), std::string(3000, 'e'));
    CQiError error;
    linuxRcg group("foo", true, error);
    const std::string message = group.AssignPidsTo({5}).Message();
    const std::string start = "Failed to run cmd [cgclassify -g cpu:/foo  5] out[";
    ASSERT_EQ(999u, message.size());
    EXPECT_EQ(start + std::string(999 - start.size(), 'o'), message);
    EXPECT_NE(std::string::npos, store.log().find(message + "\n")) << "log line holds the cut text";
}

// ---- RemovePidsFrom -------------------------------------------------------

TEST_F(rcgLinuxGroup, RemoveMovesIntoAnExistingDummyWithoutCreatingIt) {
    runner.on("lscgroup", 0, "tqrcgmgrdummy\n");
    CQiError error;
    linuxRcg group("foo", true, error);
    EXPECT_FALSE(group.RemovePidsFrom({5, 6}).IsError());
    EXPECT_EQ((Commands{"service cgconfig status", kDummyLookup,
                        "cgclassify -g cpu:/tqrcgmgrdummy  5 6"}),
              runner.commands());
}

TEST_F(rcgLinuxGroup, RemoveCreatesTheDummyOnlyWhenTheLookupFails) {
    for (int lookupStatus : {1, 2}) {
        runner.clear();
        runner.on("lscgroup", lookupStatus, "", lookupStatus == 1 ? "" : "lscgroup: broken\n");
        CQiError error;
        linuxRcg group("foo", true, error);
        EXPECT_FALSE(group.RemovePidsFrom({5}).IsError());
        // A lookup that selected nothing reads the listing (libcgroup 3's form).
        Commands expected{"service cgconfig status", kDummyLookup};
        if (lookupStatus == 1) expected.push_back("lscgroup | grep -w tqrcgmgrdummy");
        expected.insert(expected.end(), {"service cgconfig status", "cgcreate -g cpu:/tqrcgmgrdummy",
                                         "cgclassify -g cpu:/tqrcgmgrdummy  5"});
        EXPECT_EQ(expected, runner.commands()) << lookupStatus;
    }
}

TEST_F(rcgLinuxGroup, RemoveReturnsTheCreationFailureAndMovesNothing) {
    runner.on("lscgroup", 1).on("cgcreate", 96, "", "no\n");
    CQiError error;
    linuxRcg group("tqrcgmgrdummy", true, error);  // on the dummy itself: the same
    CQiError result = group.RemovePidsFrom({5});
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_EQ("Failed to run cmd [cgcreate -g cpu:/tqrcgmgrdummy] out[] err[no\n]\n", result.Message());
    EXPECT_TRUE(BuiltIn(result, kCtorFunction)) << "passed on unchanged";
    for (const auto& command : runner.commands()) EXPECT_EQ(std::string::npos, command.find("cgclassify"));
}

TEST_F(rcgLinuxGroup, RemoveReturnsTheDummysAssignFailure) {
    runner.on("lscgroup", 0, "tqrcgmgrdummy\n").on("cgclassify", 1, "", "bad pid\n");
    CQiError error;
    linuxRcg group("foo", true, error);
    CQiError result = group.RemovePidsFrom({5});
    EXPECT_EQ("Failed to run cmd [cgclassify -g cpu:/tqrcgmgrdummy  5] out[] err[bad pid\n]\n",
              result.Message());
    EXPECT_TRUE(BuiltIn(result, kAssignFunction)) << "passed on unchanged";
    EXPECT_NE(std::string::npos, store.log().find(" ERROR linuxRcg::AssignPidsTo "));
}

}  // namespace
