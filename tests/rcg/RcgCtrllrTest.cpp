// The group controller against a scripted command runner and a temporary
// configuration store.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/TQPlatformInfo.h"
#include "rcg/RcgReport.h"
#include "rcg/TqRcgCtrllr.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/TestSupport.h"

using TqRcgCtrllr::linuxRcg;
using Commands = std::vector<std::string>;

namespace {

const char kStatus[] = "service cgconfig status";
const char kStart[] = "service cgconfig start";
const char kWebLookup[] = "lscgroup | grep :/web | cut -d\"/\" -f2 | grep -w web";

const char kInitFunction[] = "CQiError TqRcgCtrllr::Init()";
const char kGetSysFunction[] = "CQiError TqRcgCtrllr::GetSysRcg(const char*, TqRcgPtr&)";
const char kGetNewFunction[] = "CQiError TqRcgCtrllr::GetNewRcg(const char*, TqRcgPtr&)";
const char kDeleteFunction[] = "CQiError TqRcgCtrllr::DeleteRcg(const char*)";

// The error was built in `function` of `file`, at a real line.
::testing::AssertionResult BuiltIn(const CQiError& error, const char* function,
                                   const char* file = "TqRcgCtrllr.cpp") {
    if (error.File() == file && error.Function() == function && error.Line() > 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "built at [" << error.File() << "] [" << error.Function() << "] line "
                                         << error.Line();
}

std::string GroupList() {
    TQPlatformInfo info;
    info.setFocus(TQPI_Focus::getFocus());
    std::string value;
    if (!info.getString("Base", k_TQRCGMGR_Groups_RegKey, value)) return "<absent>";
    return value;
}

const linuxRcg& AsLinux(const TqRcgPtr& group) {
    return dynamic_cast<const linuxRcg&>(*group);
}

class rcgController : public ::testing::Test {
protected:
    tqtest::TempStore store{"dTQDEBUGLEVEL=4\n"};
    tqtest::ScriptedRunner runner;
    // A plain cgroup v1 host: the scripted tools alone tell which groups exist.
    tqtest::FakeCgroupFs fs{"/sys/fs/cgroup/unified", "", "cgroup /sys/fs/cgroup/cpu cgroup rw,cpu 0 0\n"};
};

// ---- Init -----------------------------------------------------------------

TEST_F(rcgController, InitChecksTheServiceAndStartsItOnlyWhenStopped) {
    EXPECT_FALSE(TqRcgCtrllr::Init().IsError());
    EXPECT_EQ(Commands{kStatus}, runner.commands());

    runner.clear();
    runner.on(kStatus, 3, "cgconfig: stopped\n");
    EXPECT_FALSE(TqRcgCtrllr::Init().IsError());
    EXPECT_EQ((Commands{kStatus, kStart}), runner.commands());
    EXPECT_EQ("", store.log()) << "a failed status alone is not logged";
}

TEST_F(rcgController, InitReportsTheStartCommandWhenBothFail) {
    runner.on(kStatus, 3, "stopped\n", "status err").on(kStart, 1, "start out", "cannot mount\n");
    CQiError result = TqRcgCtrllr::Init();
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_EQ("Failed to run cmd [service cgconfig start] out[start out] err[cannot mount\n]\n",
              result.Message());
    EXPECT_TRUE(BuiltIn(result, kInitFunction));
    const std::string log = store.log();
    EXPECT_NE(std::string::npos, log.find(" ERROR TqRcgCtrllr::Init Failed to run cmd [service cgconfig start]"));
    EXPECT_EQ(std::string::npos, log.find("status")) << log;
}

// ---- GetSysRcg ------------------------------------------------------------

TEST_F(rcgController, LookupFindsAListedGroupAndBuildsItFromTheCallersName) {
    runner.on("lscgroup", 0, "web\n");
    TqRcgPtr group;
    EXPECT_FALSE(TqRcgCtrllr::GetSysRcg("web", group).IsError());
    EXPECT_EQ((Commands{kStatus, kWebLookup}), runner.commands());
    ASSERT_TRUE(group);
    EXPECT_EQ("web", AsLinux(group).name());
    EXPECT_EQ("cpu:/web", AsLinux(group).qualifiedName());

    TqRcgPtr second;
    runner.on("lscgroup", 0, "web\n");
    EXPECT_FALSE(TqRcgCtrllr::GetSysRcg("web", second).IsError());
    EXPECT_NE(group.get(), second.get()) << "every lookup makes a new object";
}

// The listing only proposes candidates; the group exists exactly when its
// whole path is listed in a hierarchy that carries cpu.
TEST_F(rcgController, LookupComparesTheListedPathExactly) {
    struct Case {
        const char* name;
        const char* command;
        const char* output;
        bool found;
    };
    const Case cases[] = {
        {"n", "lscgroup | grep :/n | cut -d\"/\" -f2 | grep -w n", "n-b\n", false},
        {"m.b", "lscgroup | grep :/m.b | cut -d\"/\" -f2 | grep -w m.b", "mXb\n", false},
        {"web", kWebLookup, "web\n", true},
        {"web", kWebLookup, "webserver\nweb-2\n", false},
        {"p/q", "lscgroup cpu:/p/q", "cpu:/p/q/\ncpu:/p/q/r\n", true},
        {"p/q", "lscgroup cpu:/p/q", "", false},
        {"p/q", "lscgroup cpu:/p/q", "cpuacct:/p/q/\n", false},
        {"cpu:/r", "lscgroup cpu:/r", "cpu,cpuacct:/r/\n", true},
        {"cpu,cpuacct:/r", "lscgroup cpu:/r", "cpu:/r\n", true},
        {"cpu:/r", "lscgroup cpu:/r", "cpu:/rr/\n", false},
        // libcgroup 3's form.
        {"p/q", "lscgroup cpu:/p/q", "cpu://p/q/\ncpu://p/q/r\n", true},
        {"cpu:/r", "lscgroup cpu:/r", "cpu,cpuacct://r\n", true},
        {"p/q", "lscgroup cpu:/p/q", "cpu://p/qq/\n", false},
    };
    for (const Case& c : cases) {
        runner.clear();
        runner.on(c.command, 0, c.output);
        TqRcgPtr group;
        const CQiError result = TqRcgCtrllr::GetSysRcg(c.name, group);
        EXPECT_EQ(c.found ? 0u : 1168u, result.Win32Code()) << c.name << " listed as " << c.output;
        // A bare name not found reads the listing too (libcgroup 3's form).
        Commands expected{kStatus, c.command};
        if (!c.found && std::string(c.command).rfind("lscgroup | ", 0) == 0)
            expected.push_back("lscgroup | grep -w " + std::string(c.name));
        EXPECT_EQ(expected, runner.commands()) << c.name;
    }
}

// libcgroup 3 lists "cpu://web": the lookup listing selects nothing, and
// the deletion listing decides.  Where the tool lists "cpu:/web" the lookup
// listing's answer stands.
TEST_F(rcgController, BareLookupThatSelectsNothingReadsTheListing) {
    const std::string listing = "lscgroup | grep -w web";
    struct Case {
        int status;
        std::string out, err;
        unsigned code;
    };
    const std::vector<Case> cases = {
        {0, "cpu,cpuacct://web\n", "", 0},
        {0, "cpu://web/child\n", "", 0},
        {0, "cpu,cpuacct:/web\n", "", 1168},
        {0, "cpu://webserver\n", "", 1168},
        {1, "", "", 1168},
        {2, "", "lscgroup: cannot read\n", 774},
    };
    for (const Case& c : cases) {
        runner.clear();
        runner.on(kWebLookup, 1).on(listing, c.status, c.out, c.err);
        TqRcgPtr group;
        const CQiError result = TqRcgCtrllr::GetSysRcg("web", group);
        EXPECT_EQ(c.code, result.Win32Code()) << c.out;
        EXPECT_EQ((Commands{kStatus, kWebLookup, listing}), runner.commands()) << c.out;
        EXPECT_EQ(c.code == 0, static_cast<bool>(group)) << c.out;
        if (c.code == 774) {
            EXPECT_EQ("Failed to run cmd [" + listing + "] out[] err[" + c.err + "]\n", result.Message());
        }
    }
    runner.clear();
    runner.on(kWebLookup, 0, "web\n");
    TqRcgPtr group;
    EXPECT_FALSE(TqRcgCtrllr::GetSysRcg("web", group).IsError());
    EXPECT_EQ((Commands{kStatus, kWebLookup}), runner.commands()) << "a group the lookup finds costs one listing";
}

TEST_F(rcgController, LookupStopsAtAFailedInit) {
    runner.on(kStatus, 3).on(kStart, 1, "", "no\n");
    TqRcgPtr group;
    const CQiError result = TqRcgCtrllr::GetSysRcg("web", group);
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_TRUE(BuiltIn(result, kInitFunction)) << "Init's error passed on unchanged";
    EXPECT_EQ((Commands{kStatus, kStart}), runner.commands());
    EXPECT_FALSE(group);
}

TEST_F(rcgController, LookupThatSelectsNothingMeansNoSuchGroupUnlogged) {
    // Empty success, and exit status 1 with no text, mean the group does not
    // exist.
    std::set<std::int32_t> lines;
    for (int status : {0, 1}) {
        runner.clear();
        runner.on("lscgroup", status);
        CQiError earlier;
        TqRcgPtr group(new linuxRcg("old", true, earlier));
        TqRcgPtr before = group;
        CQiError result = TqRcgCtrllr::GetSysRcg("web", group);
        EXPECT_EQ(1168u, result.Win32Code()) << status;
        EXPECT_EQ("The resource group web doesn't exist.", result.Message());
        EXPECT_TRUE(BuiltIn(result, kGetSysFunction)) << status;
        lines.insert(result.Line());
        EXPECT_EQ(before.get(), group.get()) << "out-argument unchanged";
    }
    EXPECT_EQ(1u, lines.size()) << "both come from the one not-found statement";
    EXPECT_EQ("", store.log());
}

TEST_F(rcgController, OtherLookupFailuresAreLogged774Errors) {
    struct Case {
        int status;
        std::string out, err;
    };
    const std::vector<Case> cases = {
        {1, "", "lscgroup: libcgroup initialization failed\n"},
        {1, "partial\n", ""},
        {2, "", ""},
        {-1, "", ""},
    };
    for (const auto& c : cases) {
        runner.clear();
        runner.on("lscgroup", c.status, c.out, c.err);
        TqRcgPtr group;
        CQiError result = TqRcgCtrllr::GetSysRcg("web", group);
        EXPECT_EQ(774u, result.Win32Code()) << c.status;
        EXPECT_EQ("Failed to run cmd [" + std::string(kWebLookup) + "] out[" + c.out + "] err[" + c.err + "]\n",
                  result.Message());
        EXPECT_TRUE(BuiltIn(result, kGetSysFunction)) << c.status;
        EXPECT_FALSE(group);
    }
    // Not the line of the not-found error.
    runner.clear();
    runner.on("lscgroup", 2);
    TqRcgPtr group;
    const std::int32_t failedLine = TqRcgCtrllr::GetSysRcg("web", group).Line();
    runner.clear();
    runner.on("lscgroup", 0);
    EXPECT_NE(failedLine, TqRcgCtrllr::GetSysRcg("web", group).Line());
    EXPECT_NE(std::string::npos, store.log().find(" ERROR TqRcgCtrllr::GetSysRcg Failed to run cmd [lscgroup"));
}

// ---- GetNewRcg ------------------------------------------------------------

TEST_F(rcgController, CreationRunsInitThenCgcreateAndListsTheName) {
    TqRcgPtr group;
    EXPECT_FALSE(TqRcgCtrllr::GetNewRcg("web", group).IsError());
    EXPECT_EQ((Commands{kStatus, "cgcreate -g cpu:/web"}), runner.commands());
    ASSERT_TRUE(group);
    EXPECT_EQ("cpu:/web", AsLinux(group).qualifiedName());
    EXPECT_EQ(" web", GroupList());

    EXPECT_FALSE(TqRcgCtrllr::GetNewRcg("db", group).IsError());
    EXPECT_EQ(" web db", GroupList());
    EXPECT_FALSE(TqRcgCtrllr::GetNewRcg("web", group).IsError());
    EXPECT_EQ(" web db web", GroupList());

    const std::string log = store.log();
    EXPECT_NE(std::string::npos, log.find(" DEBUG TqRcgCtrllr::GetNewRcg Set k_TQRCGMGR_Groups_RegKey value: web\n"));
    EXPECT_NE(std::string::npos, log.find(" DEBUG TqRcgCtrllr::GetNewRcg Get k_TQRCGMGR_Groups_RegKey value: web\n"));
    EXPECT_NE(std::string::npos, log.find(" DEBUG TqRcgCtrllr::GetNewRcg Get k_TQRCGMGR_Groups_RegKey value: web db\n"));
    EXPECT_NE(std::string::npos, log.find(" DEBUG TqRcgCtrllr::GetNewRcg Set k_TQRCGMGR_Groups_RegKey value: web db web\n"));
    // The first creation found no value: exactly two Get lines in all.
    std::size_t gets = 0;
    for (std::size_t at = log.find("Get k_TQRCGMGR"); at != std::string::npos; at = log.find("Get k_TQRCGMGR", at + 1))
        ++gets;
    EXPECT_EQ(2u, gets);
}

TEST_F(rcgController, CreationKeepsALongListWhole) {
    const std::string longList = " " + std::string(400, 'a') + " " + std::string(300, 'b');
    store.write("[Base]\nsTQLOGDIR=" + store.dir() + "/log\nsTQRCGMGRGROUPS=" + longList + "\n");
    TqRcgPtr group;
    EXPECT_FALSE(TqRcgCtrllr::GetNewRcg("web", group).IsError());
    EXPECT_EQ(longList + " web", GroupList());
}

TEST_F(rcgController, FailedCreationLeavesPointerAndListUnchanged) {
    store.write("[Base]\nsTQLOGDIR=" + store.dir() + "/log\nsTQRCGMGRGROUPS= old\n");
    runner.on("cgcreate", 96, "", "cgcreate: can't create cgroup\n");
    CQiError earlier;
    TqRcgPtr group(new linuxRcg("old", true, earlier));
    TqRcgPtr before = group;
    CQiError result = TqRcgCtrllr::GetNewRcg("web", group);
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_EQ("Failed to run cmd [cgcreate -g cpu:/web] out[] err[cgcreate: can't create cgroup\n]\n",
              result.Message());
    EXPECT_TRUE(BuiltIn(result, "TqRcgCtrllr::linuxRcg::linuxRcg(const char*, bool, CQiError&)", "linuxRcg.cpp"))
        << "the constructor's error passed on unchanged";
    EXPECT_EQ(before.get(), group.get());
    EXPECT_EQ(" old", GroupList());
    EXPECT_NE(std::string::npos, store.log().find(" ERROR linuxRcg::linuxRcg Failed to run cmd [cgcreate"));
}

TEST_F(rcgController, CreationStopsAtAFailedInit) {
    runner.on(kStatus, 3).on(kStart, 1);
    TqRcgPtr group;
    const CQiError result = TqRcgCtrllr::GetNewRcg("web", group);
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_TRUE(BuiltIn(result, kInitFunction)) << "Init's error passed on unchanged";
    EXPECT_EQ((Commands{kStatus, kStart}), runner.commands());
    EXPECT_FALSE(group);
    EXPECT_EQ("<absent>", GroupList());
}

TEST_F(rcgController, CreationThatCannotBeListedIsUndone) {
    // The store's folder lies below a regular file: nothing can be written.
    const std::string blocker = store.dir() + "/plainfile";
    tqtest::WriteFile(blocker, "x");
    // Without a readable store the log goes to its default folder: under an
    // instance name of this test's own, removed afterwards.
    const std::string instance = "tqtest_" + std::to_string(getpid());
    TqRcgPtr group;
    CQiError result;
    {
        tqtest::EnvGuard config("TQ_CONFIG", (blocker + "/tq.conf").c_str());
        tqtest::EnvGuard focus("TQ_INSTANCE", instance.c_str());
        result = TqRcgCtrllr::GetNewRcg("web", group);
    }
    unlink(("/var/log/tq/" + instance + ".log").c_str());
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_NE(std::string::npos, result.Message().find(blocker)) << "names the store: " << result.Message();
    EXPECT_NE(std::string::npos, result.Message().find("removed again")) << result.Message();
    EXPECT_TRUE(BuiltIn(result, kGetNewFunction));
    EXPECT_FALSE(group);
    EXPECT_EQ((Commands{kStatus, "cgcreate -g cpu:/web", "cgdelete -g cpu:/web"}), runner.commands());
}

TEST_F(rcgController, ConcurrentCreationsLoseNoName) {
    constexpr int kProcesses = 4;
    constexpr int kCreations = 50;
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char byte;
            while (read(gate[0], &byte, 1) > 0) {
            }
            tqtest::ScriptedRunner childRunner;
            int failures = 0;
            for (int i = 0; i < kCreations; ++i) {
                TqRcgPtr group;
                std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
                if (TqRcgCtrllr::GetNewRcg(name.c_str(), group).IsError()) ++failures;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);  // all children start at once
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string list = GroupList();
    std::multiset<std::string> names;
    std::istringstream words(list);
    for (std::string word; words >> word;) names.insert(word);
    EXPECT_EQ(std::size_t(kProcesses * kCreations), names.size());
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kCreations; ++i) {
            const std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
            EXPECT_EQ(1u, names.count(name)) << name;
            const std::string blanked = " " + name;
            const std::size_t at = list.find(blanked + " ");
            EXPECT_TRUE(at != std::string::npos ||
                        list.compare(list.size() - blanked.size(), blanked.size(), blanked) == 0)
                << name;
        }
    }
}

// ---- DeleteRcg ------------------------------------------------------------

TEST_F(rcgController, DeletionDeletesExactlyTheNamedGroup) {
    runner.on("lscgroup", 0, "cpu:/web\ncpu:/my-web\ncpu:/other/web\n");
    EXPECT_FALSE(TqRcgCtrllr::DeleteRcg("web").IsError());
    EXPECT_EQ((Commands{"lscgroup | grep -w web", "cgdelete -g cpu:/web\n"}), runner.commands());
}

TEST_F(rcgController, DeletionCommandFollowsTheSelectedLines) {
    struct Case {
        std::string name, listing;
        Commands commands;
    };
    const std::vector<Case> cases = {
        {"web", "cpu,cpuacct:/web\n", {"lscgroup | grep -w web", "cgdelete -g cpu,cpuacct:/web\n"}},
        {"web", "cpu:/web\ncpuacct:/web\n",
         {"lscgroup | grep -w web", "cgdelete -g cpu:/web\n", "cgdelete -g cpuacct:/web\n"}},
        {"cpu:/web", "cpu:/web\ncpuacct:/web\n", {"lscgroup | grep -w cpu:/web", "cgdelete -g cpu:/web\n"}},
        {"web", "cpu:/web-old\ncpu:/a/web\n", {"lscgroup | grep -w web"}},
        {"web", "reboot\ncpu:/web; reboot\n$(id):/web\n", {"lscgroup | grep -w web"}},
        {"web", "", {"lscgroup | grep -w web"}},
    };
    for (const auto& c : cases) {
        runner.clear();
        runner.on("lscgroup", 0, c.listing);
        EXPECT_FALSE(TqRcgCtrllr::DeleteRcg(c.name.c_str()).IsError()) << c.listing;
        EXPECT_EQ(c.commands, runner.commands()) << c.listing;
    }
}

TEST_F(rcgController, DeletingAMissingGroupSucceeds) {
    for (int status : {1, 1}) {
        runner.clear();
        runner.on("lscgroup", status);
        EXPECT_FALSE(TqRcgCtrllr::DeleteRcg("web").IsError()) << status;
        EXPECT_EQ(Commands{"lscgroup | grep -w web"}, runner.commands());
    }
    EXPECT_EQ("", store.log());
}

TEST_F(rcgController, DeletionReportsFailedListingAndFailedCgdelete) {
    runner.on("lscgroup", 1, "", "lscgroup: cannot read\n");
    CQiError result = TqRcgCtrllr::DeleteRcg("web");
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_EQ("Failed to run cmd [lscgroup | grep -w web] out[] err[lscgroup: cannot read\n]\n", result.Message());
    EXPECT_TRUE(BuiltIn(result, kDeleteFunction));
    const std::int32_t listingLine = result.Line();
    EXPECT_EQ(Commands{"lscgroup | grep -w web"}, runner.commands());

    runner.clear();
    runner.on("lscgroup", 0, "cpu:/web\n", "listing noise").on("cgdelete", 96, "", "busy\n");
    result = TqRcgCtrllr::DeleteRcg("web");
    EXPECT_EQ(774u, result.Win32Code());
    EXPECT_EQ("Failed to run cmd [cgdelete -g cpu:/web\n] out[] err[busy\n]\n", result.Message());
    EXPECT_TRUE(BuiltIn(result, kDeleteFunction));
    EXPECT_NE(listingLine, result.Line());
    EXPECT_NE(std::string::npos, store.log().find(" ERROR TqRcgCtrllr::DeleteRcg Failed to run cmd [cgdelete -g cpu:/web\\n]"));
}

TEST_F(rcgController, DeletionNeverTouchesTheServiceOrTheList) {
    store.write("[Base]\nsTQLOGDIR=" + store.dir() + "/log\nsTQRCGMGRGROUPS= web\n");
    runner.always(kStatus, 3).always(kStart, 1);
    runner.on("lscgroup", 0, "cpu:/web\n");
    EXPECT_FALSE(TqRcgCtrllr::DeleteRcg("web").IsError());
    for (const auto& command : runner.commands()) EXPECT_EQ(std::string::npos, command.find("service")) << command;
    EXPECT_EQ(" web", GroupList());
}

// ---- names ----------------------------------------------------------------

TEST_F(rcgController, NameCheckGivesError123WithTheRule) {
    EvEvent log;
    const FXCodeLocation where{"TqRcgCtrllr.cpp", "test", 1};
    TqRcgCtrllr::detail::RcgName value;
    for (const char* name : {"web", "cpu:/web", "a/b", "tqrcgmgrdummy", "cpu,cpuacct:/x"}) {
        EXPECT_FALSE(TqRcgCtrllr::detail::CheckRcgName(name, &value, log, "tag", where).IsError()) << name;
        EXPECT_EQ(name, value.text);
    }
    for (const char* name : {"", "a b", "x; reboot", "a$(id)", "..", "a/", "tasks", "cpu.shares", "a:/b:/c",
                             "cpu:foo", "memory:/x", "w\neb"}) {
        CQiError result = TqRcgCtrllr::detail::CheckRcgName(name, &value, log, "tag", where);
        EXPECT_EQ(123u, result.Win32Code()) << name;
        EXPECT_EQ(TqRcgCtrllr::detail::RcgNameProblem(name), result.Message());
        EXPECT_EQ("TqRcgCtrllr.cpp", result.File());
        EXPECT_EQ("test", result.Function());
        EXPECT_EQ(1, result.Line());
    }
    EXPECT_EQ(123u, TqRcgCtrllr::detail::CheckRcgName(nullptr, &value, log, "tag", where).Win32Code());
}

TEST_F(rcgController, BadNamesRunNoCommandAnywhere) {
    for (const char* name : {"x; reboot", "a$(id)", "", "a b", "../..", "web\ncpu:/x", "cpu.shares"}) {
        TqRcgPtr group;
        CQiError sys = TqRcgCtrllr::GetSysRcg(name, group);
        CQiError created = TqRcgCtrllr::GetNewRcg(name, group);
        CQiError deleted = TqRcgCtrllr::DeleteRcg(name);
        EXPECT_EQ(123u, sys.Win32Code()) << name;
        EXPECT_EQ(123u, created.Win32Code()) << name;
        EXPECT_EQ(123u, deleted.Win32Code()) << name;
        EXPECT_TRUE(BuiltIn(sys, kGetSysFunction)) << name;
        EXPECT_TRUE(BuiltIn(created, kGetNewFunction)) << name;
        EXPECT_TRUE(BuiltIn(deleted, kDeleteFunction)) << name;
        EXPECT_FALSE(group);
    }
    EXPECT_EQ(Commands{}, runner.commands());
    EXPECT_EQ("<absent>", GroupList());
}

TEST_F(rcgController, BadNameIsLoggedUnderTheFunctionsShortName) {
    TqRcgPtr group;
    CQiError result = TqRcgCtrllr::GetSysRcg("x; reboot", group);
    const std::string message =
        "Invalid resource group name \"x; reboot\": a name component may hold only letters, digits, "
        "'_', '-' and '.'";
    EXPECT_EQ(message, result.Message());
    TqRcgCtrllr::GetNewRcg("a$(id)", group);
    TqRcgCtrllr::DeleteRcg("");
    const std::string log = store.log();
    EXPECT_NE(std::string::npos, log.find(" ERROR TqRcgCtrllr::GetSysRcg " + message + "\n")) << log;
    EXPECT_NE(std::string::npos, log.find(" ERROR TqRcgCtrllr::GetNewRcg Invalid resource group name \"a$(id)\""));
    EXPECT_NE(std::string::npos, log.find(" ERROR TqRcgCtrllr::DeleteRcg Invalid resource group name \"\": a name must not be empty\n"));
}

}  // namespace
