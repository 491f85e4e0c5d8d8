// The pure part of tqrcg, and its argument handling and messages run in the
// test's own process against a fake daemon.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "cli/TqrcgCommands.h"
#include "cli/TqrcgText.h"
#include "rcg/RcgNames.h"
#include "tests/support/FakeTqd.h"
#include "tests/cli/TqrcgInProcess.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqrcg;
using tqtest::FakeTqd;
using tqtest::RefusedPort;
using tqtest::StoreForPort;
using tqtest::TempStore;

TEST(TqrcgText, GroupListKeepsEachNameOnceInFirstListedOrder) {
    EXPECT_EQ(ParseGroupList(" web db web tqrcgmgrdummy db"),
              (std::vector<std::string>{"web", "db", "tqrcgmgrdummy"}));
    EXPECT_EQ(ParseGroupList(""), std::vector<std::string>{});
    EXPECT_EQ(ParseGroupList("   "), std::vector<std::string>{});
    EXPECT_EQ(ParseGroupList("a\tb  cpu:/c"), (std::vector<std::string>{"a", "b", "cpu:/c"}));
}

// The list shows stored names through the controller's rules: only names it
// accepts reach a command line, and they are looked up under their path.
TEST(TqrcgText, ListedNamesPassTheControllersRuleBeforeAnyCommand) {
    using TqRcgCtrllr::detail::RcgNameProblem;
    for (const char* name : {"web", "a-b_c.d", "cpu:/web", "cpu,cpuacct:/a/b", "A9"}) {
        EXPECT_EQ("", RcgNameProblem(name)) << name;
    }
    for (const char* name : {"", "a b", "a;rm", "a'b", "$(x)", "-web", "..", "a/../b", "cpu:/", "/abs", "a/",
                             "a//b", ".", "cpu:/..", "a\\b", "a\"b", "a*", "x:y"}) {
        EXPECT_NE("", RcgNameProblem(name)) << name;
    }
    using TqRcgCtrllr::detail::SplitRcgName;
    EXPECT_EQ(SplitRcgName("web").path, "web");
    EXPECT_EQ(SplitRcgName("cpu:/web").path, "web");
    EXPECT_EQ(SplitRcgName("cpu,cpuacct:/a/b").path, "a/b");
}

TEST(TqrcgText, ShellQuoteSurvivesQuotes) {
    EXPECT_EQ(ShellQuote("web"), "'web'");
    EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellQuote(""), "''");
}

TEST(TqrcgText, CggetValuesAreSignedIntegersOnePerLine) {
    std::vector<long long> values;
    ASSERT_TRUE(ParseCggetValues("-1\n100000\n", &values));
    EXPECT_EQ(values, (std::vector<long long>{-1, 100000}));
    ASSERT_TRUE(ParseCggetValues("", &values));
    EXPECT_TRUE(values.empty());
    EXPECT_FALSE(ParseCggetValues("cpu.cfs_quota_us: -1\n", &values));
    EXPECT_FALSE(ParseCggetValues("12x\n", &values));
    EXPECT_FALSE(ParseCggetValues("99999999999999999999999\n", &values));
}

TEST(TqrcgText, CapIsQuotaOverPeriodOverProcessors) {
    EXPECT_EQ(FormatCap(-1, 100000, 2), "none");
    EXPECT_EQ(FormatCap(100000, 100000, 2), "50%");
    EXPECT_EQ(FormatCap(200000, 100000, 2), "100%");
    EXPECT_EQ(FormatCap(25000, 100000, 2), "12.5%");
    EXPECT_EQ(FormatCap(1000, 100000, 1), "1%");
    EXPECT_EQ(FormatCap(30000, 100000, 1), "30%");
    EXPECT_EQ(FormatCap(100000, 100000, 3), "33.3%");
    EXPECT_EQ(FormatCap(50000, 0, 2), "?");
    EXPECT_EQ(FormatCap(50000, 100000, 0), "?");
}

TEST(TqrcgText, DecimalsAreDigitsOnlyWithinTheirRange) {
    unsigned long value = 0;
    EXPECT_TRUE(ParseDecimal("50", 1, 100, &value));
    EXPECT_EQ(value, 50u);
    EXPECT_TRUE(ParseDecimal("010", 1, 100, &value));
    EXPECT_EQ(value, 10u);
    for (const char* text : {"", "0", "101", "-5", "+5", " 5", "5 ", "0x10", "5x", "1e2", "99999999999999999999"}) {
        EXPECT_FALSE(ParseDecimal(text, 1, 100, &value)) << text;
    }
    EXPECT_TRUE(ParseDecimal("4294967295", 1, 4294967295ul, &value));
    EXPECT_FALSE(ParseDecimal("4294967296", 1, 4294967295ul, &value));
}

TEST(TqrcgText, CountsNonEmptyLinesAndFindsTheCpuMount) {
    EXPECT_EQ(CountLines(""), 0u);
    EXPECT_EQ(CountLines("12\n34\n"), 2u);
    EXPECT_EQ(CountLines("12\n\n34"), 2u);
    const std::string separate =
        "cgroup /sys/fs/cgroup/cpuacct cgroup rw,relatime,cpuacct 0 0\n"
        "cgroup /sys/fs/cgroup/cpu cgroup rw,relatime,cpu 0 0\n";
    EXPECT_EQ(CpuMountPoint(separate), "/sys/fs/cgroup/cpu");
    const std::string joint = "cgroup /sys/fs/cgroup/cpu,cpuacct cgroup rw,nosuid,cpu,cpuacct 0 0\n";
    EXPECT_EQ(CpuMountPoint(joint), "/sys/fs/cgroup/cpu,cpuacct");
    EXPECT_EQ(CpuMountPoint("cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\ntmpfs /cpu tmpfs rw,cpu 0 0\n"), "");
}

TEST(TqrcgText, FailureTextShowsTheDaemonsMessageAlone) {
    EXPECT_EQ(FailureText("[Win32 error 774] [Win32 error 1168] The resource group g doesn't exist.", 8400),
              "The resource group g doesn't exist.");
    EXPECT_EQ(FailureText("[Win32 error 774] [Win32 error 774] Failed to run cmd [x] out[] err[]\n", 8400),
              "Failed to run cmd [x] out[] err[]");
    EXPECT_EQ(FailureText("[Win32 error 774] Error happens in fwClient.connect()", 9100),
              "tqd is not running on port 9100: start it with `service tqd start` or `tqd --foreground &`");
    EXPECT_EQ(FailureText("[Win32 error 774] ", 8400), "tqd gave no answer (it closed the connection or timed out)");
    EXPECT_EQ(FailureText("[Win32 error 774] 100%s done", 8400), "100%s done");
}

TEST(TqrcgText, ExitStatusIsTheCodeOr128PlusTheSignal) {
    EXPECT_EQ(ExitStatusOf(0), 0);
    EXPECT_EQ(ExitStatusOf(7 << 8), 7);
    EXPECT_EQ(ExitStatusOf(9), 137);
    EXPECT_EQ(ExitStatusOf(15), 143);
    EXPECT_EQ(ExitStatusOf(2 | 0x80), 130);  // with a core dump
}

TEST(TqrcgText, ListedNamesAreShownWithControlCharactersEscaped) {
    using TqRcgCtrllr::EscapeRcgName;
    EXPECT_EQ(EscapeRcgName("web"), "web");
    EXPECT_EQ(EscapeRcgName(std::string("a\x1b[2Jb\x7f", 7)), "a\\x1b[2Jb\\x7f");
}

// ---- the command in this process -------------------------------------

using Outcome = tqtest::TqrcgOutcome;

Outcome Tqrcg(std::vector<std::string> args) { return tqtest::TqrcgInProcess(std::move(args)); }

TEST(TqrcgCommand, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"create"},
        {"create", "a", "b"},
        {"cap", "g"},
        {"cap", "g", "0"},
        {"cap", "g", "101"},
        {"cap", "g", "5x"},
        {"cap", "g", "-5"},
        {"assign", "g"},
        {"assign", "g", "0"},
        {"assign", "g", "12", "abc"},
        {"remove", "g", "4294967296"},
        {"run", "g", "50"},
        {"run", "g", "fifty", "--", "true"},
        {"enabled", "extra"},
        {"--bogus"},
    };
    for (const auto& args : cases) {
        const Outcome outcome = Tqrcg(args);
        std::string shown;
        for (const auto& arg : args) shown += arg + " ";
        EXPECT_EQ(outcome.status, 2) << shown << outcome.err;
        EXPECT_EQ(outcome.err.rfind("tqrcg: ", 0), 0u) << shown << outcome.err;
    }
}

TEST(TqrcgCommand, HelpOfEverySubcommandSaysThatTqdMustRun) {
    const Outcome top = Tqrcg({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_EQ(top.out.rfind("tqrcg: creates, caps, sets and fills resource groups through the daemon tqd.", 0), 0u)
        << top.out;
    for (const char* sub : {"create", "delete", "cap", "set", "assign", "remove", "run"}) {
        const Outcome help = Tqrcg({sub, "--help"});
        EXPECT_EQ(help.status, 0) << sub;
        EXPECT_NE(help.out.find("tqd --foreground &"), std::string::npos) << sub << help.out;
        EXPECT_NE(help.out.find("Exit status: "), std::string::npos) << sub;
    }
    for (const char* sub : {"enabled", "list"}) {
        const Outcome help = Tqrcg({sub, "--help"});
        EXPECT_EQ(help.status, 0) << sub;
        EXPECT_NE(help.out.find("tqd need not run"), std::string::npos) << sub << help.out;
    }
    EXPECT_NE(Tqrcg({"run", "--help"}).out.find("GROUP stays afterwards unless --delete is given"),
              std::string::npos);
}

TEST(TqrcgCommand, VersionPrintsTheLibrarysVersionLine) {
    const Outcome outcome = Tqrcg({"--version"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    // "<a.b.c.d> MM/DD/YY HH:MM:SS\n": digits where the pattern has 9.
    std::string shape;
    for (char c : outcome.out) shape += (c >= '0' && c <= '9') ? '9' : c;
    const std::size_t blank = shape.find(' ');
    ASSERT_NE(blank, std::string::npos) << outcome.out;
    std::string version = shape.substr(0, blank);
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 3) << outcome.out;
    EXPECT_EQ(version.find(".."), std::string::npos) << outcome.out;
    EXPECT_EQ(shape.substr(blank), " 99/99/99 99:99:99\n") << outcome.out;
}

TEST(TqrcgCommand, EnabledPrintsTheStoredFlag) {
    {
        TempStore store("dTQRCGMGRENABLE=1\n");
        const Outcome outcome = Tqrcg({"enabled"});
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, "1\n");
    }
    TempStore store;
    EXPECT_EQ(Tqrcg({"enabled"}).out, "0\n");
}

TEST(TqrcgCommand, RequestsAreSilentOnSuccessAndSendTheirFrames) {
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"create", "g"}, {"delete", "g"}, {"cap", "g", "25"},
                                               {"assign", "g", "10", "11"}, {"remove", "g", "12"}}) {
        const Outcome outcome = Tqrcg(args);
        EXPECT_EQ(outcome.status, 0) << args[0] << outcome.err;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "");
    }
    const auto frames = tqd.frames();
    ASSERT_EQ(frames.size(), 5u);
    const auto word = [](const std::string& frame, std::size_t offset) {
        std::uint32_t value;
        std::memcpy(&value, frame.data() + offset, 4);
        return value;
    };
    EXPECT_EQ(word(frames[0], 296), 0u);
    EXPECT_EQ(word(frames[1], 296), 1u);
    EXPECT_EQ(word(frames[2], 296), 2u);
    EXPECT_EQ(word(frames[2], 300), 25u);
    EXPECT_EQ(word(frames[3], 296), 3u);
    EXPECT_EQ(word(frames[3], 304), 10u);
    EXPECT_EQ(word(frames[3], 308), 11u);
    EXPECT_EQ(word(frames[4], 296), 4u);
    EXPECT_EQ(word(frames[4], 304), 12u);
}

TEST(TqrcgCommand, FailurePrintsTheDaemonsMessageAndExitsWithOne) {
    FakeTqd tqd({FakeTqd::Text("[Win32 error 1168] The resource group g doesn't exist."),
                 FakeTqd::Text("50% of %s")});
    TempStore store(StoreForPort(tqd.port()));
    Outcome outcome = Tqrcg({"cap", "g", "50"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "tqrcg: The resource group g doesn't exist.\n");
    outcome = Tqrcg({"create", "g"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "tqrcg: 50% of %s\n");
}

TEST(TqrcgCommand, NamesLongerThan255BytesAreRefusedBeforeAnythingIsSent) {
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    const std::string name(256, 'g');
    const std::string marker = store.dir() + "/ran";
    const std::string refusal =
        "tqrcg: Invalid resource group name \"" + name.substr(0, 255) + "...\": a name may hold at most 255 characters\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"create", name}, {"delete", name}, {"cap", name, "25"}, {"assign", name, "10"},
             {"remove", name, "12"}, {"run", name, "50", "--", "touch", marker}}) {
        const Outcome outcome = Tqrcg(args);
        EXPECT_EQ(outcome.status, 1) << args[0];
        EXPECT_EQ(outcome.err, refusal) << args[0];
    }
    EXPECT_TRUE(tqd.frames().empty());
    EXPECT_NE(access(marker.c_str(), F_OK), 0);

    // Exactly 255 bytes still go, whole.
    EXPECT_EQ(Tqrcg({"create", name.substr(0, 255)}).status, 0);
    const auto frames = tqd.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].substr(40, 256), name.substr(0, 255) + '\0');
}

TEST(TqrcgCommand, NoDaemonTellsHowToStartTqd) {
    RefusedPort nobody;
    ASSERT_TRUE(nobody.ok());
    TempStore store(StoreForPort(nobody.port()));
    const Outcome outcome = Tqrcg({"create", "g"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "tqrcg: tqd is not running on port " + std::to_string(nobody.port()) +
                               ": start it with `service tqd start` or `tqd --foreground &`\n");
}

TEST(TqrcgCommand, RunStopsBeforeStartingTheCommandWhenTheGroupCannotBeMade) {
    FakeTqd tqd({FakeTqd::Text("no cgroups here")});
    TempStore store(StoreForPort(tqd.port()));
    const std::string marker = store.dir() + "/ran";
    const Outcome outcome = Tqrcg({"run", "g", "50", "--", "touch", marker});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "tqrcg: no cgroups here\n");
    EXPECT_EQ(tqd.frames().size(), 1u);
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST(TqrcgCommand, RunKillsTheCommandWhenItCannotBeMovedIntoTheGroup) {
    FakeTqd tqd({FakeTqd::Text("Success"), FakeTqd::Text("Success"), FakeTqd::Text("cannot move it")});
    TempStore store(StoreForPort(tqd.port()));
    const std::string marker = store.dir() + "/ran";
    const Outcome outcome = Tqrcg({"run", "g", "50", "--", "touch", marker});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "tqrcg: cannot move it\n");
    EXPECT_EQ(tqd.frames().size(), 3u);
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST(TqrcgCommand, RunReturnsTheCommandsStatusAndDeletesOnRequest) {
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    EXPECT_EQ(Tqrcg({"run", "g", "50", "--", "sh", "-c", "exit 7"}).status, 7);
    EXPECT_EQ(Tqrcg({"run", "g", "50", "--", "sh", "-c", "kill -KILL $$"}).status, 137);
    EXPECT_EQ(Tqrcg({"run", "g", "50", "--", "/no/such/program"}).status, 127);
    EXPECT_EQ(tqd.frames().size(), 9u);  // create, cap, assign each time
    EXPECT_EQ(Tqrcg({"run", "--delete", "g", "50", "--", "true"}).status, 0);
    const auto frames = tqd.frames();
    ASSERT_EQ(frames.size(), 13u);
    std::uint32_t type;
    std::memcpy(&type, frames[12].data() + 296, 4);
    EXPECT_EQ(type, 1u);
}

}  // namespace
