// The pure text and arithmetic of the resource groups.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "common/TqRcgText.h"
#include "rcg/RcgCommandLines.h"
#include "rcg/RcgFailureText.h"
#include "rcg/RcgNames.h"
#include "rcg/RcgQuota.h"
#include "rcg/RcgRecord.h"

using namespace TqRcgCtrllr;
using namespace TqRcgCtrllr::detail;

namespace {

const std::string kChars = "a name component may hold only letters, digits, '_', '-' and '.'";
const std::string kEmptyComponent = "a name component must not be empty";
const std::string kDots = "a name component must not be \".\" or \"..\"";
const std::string kControlFile = "a name component must not name a control file of a cgroup";
const std::string kPrefix = "a controller prefix must be \"cpu:/\" or \"cpu,cpuacct:/\"";
const std::string kLeadingDash = "a group path must not begin with '-'";

std::string RuleOf(const std::string& name) {
    std::string problem = RcgNameProblem(name);
    std::size_t rule = problem.find("\": ");
    return rule == std::string::npos ? problem : problem.substr(rule + 3);
}

TEST(rcgNameRules, AcceptsNamesOfTheAllowedForm) {
    const std::vector<std::string> valid = {
        "web", "a", "tqrcgmgrdummy", "backup-2", "A_b.c-9", "a/b/c", "web/child",
        "cpu:/web", "cpu,cpuacct:/a/b", "cpu", "cpuacct", ".hidden", "a..b", "...",
        "tasks2", "mytasks", "x.cpu.y", "cgroup", "cpu_shares", "release_agents", "web-", "a/-b",
        std::string(255, 'x'), "cpu:/" + std::string(250, 'y'),
        "memory", "pids", "memory_max", "iox.max", "a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p",
    };
    for (const auto& name : valid) EXPECT_EQ("", RcgNameProblem(name)) << name;
}

TEST(rcgNameRules, RefusesEachBrokenRuleByName) {
    const std::vector<std::pair<std::string, std::string>> invalid = {
        {"", "a name must not be empty"},
        {std::string(256, 'x'), "a name may hold at most 255 characters"},
        {"cpu:/" + std::string(251, 'y'), "a name may hold at most 255 characters"},
        {"a b", kChars},
        {"x; reboot", kChars},
        {"a$(id)", kChars},
        {"`id`", kChars},
        {"a|b", kChars},
        {"a\nb", kChars},
        {"a\x01", kChars},
        {"caf\xc3\xa9", kChars},
        {"cpu:foo", kChars},
        {"cpu:/cpu:/x", kChars},
        {"a*", kChars},
        {"/web", kEmptyComponent},
        {"web/", kEmptyComponent},
        {"a//b", kEmptyComponent},
        {"cpu:/", kEmptyComponent},
        {"cpu,cpuacct:/", kEmptyComponent},
        {"cpu:/a/", kEmptyComponent},
        {".", kDots},
        {"..", kDots},
        {"a/../b", kDots},
        {"cpu:/..", kDots},
        {"tasks", kControlFile},
        {"a/tasks", kControlFile},
        {"notify_on_release", kControlFile},
        {"release_agent", kControlFile},
        {"cgroup.procs", kControlFile},
        {"cgroup.", kControlFile},
        {"cpu.shares", kControlFile},
        {"cpu:/cpu.cfs_quota_us", kControlFile},
        {"cpuacct.usage", kControlFile},
        // Files of the other controllers sit in every cgroup2 group's folder.
        {"memory.max", kControlFile},
        {"pids.max", kControlFile},
        {"memory.high", kControlFile},
        {"cpuset.cpus", kControlFile},
        {"io.max", kControlFile},
        {"web/memory.events", kControlFile},
        {"cpu:/hugetlb.2MB.max", kControlFile},
        {"a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q", "a name may have at most 16 levels (components separated by '/')"},
        {"a:/b:/c", kPrefix},
        {"cpuacct:/x", kPrefix},
        {"memory:/x", kPrefix},
        {"cpu,cpuacct,memory:/x", kPrefix},
        {":/x", kPrefix},
        // cgset and grep -w get the path as an argument of its own.
        {"-web", kLeadingDash},
        {"--help", kLeadingDash},
        {"cpu:/-x", kLeadingDash},
        {"cpu,cpuacct:/-r/b", kLeadingDash},
    };
    for (const auto& [name, rule] : invalid) EXPECT_EQ(rule, RuleOf(name)) << EscapeRcgName(name);
}

TEST(rcgNameRules, MessageQuotesTheNameWithControlCharactersEscaped) {
    EXPECT_EQ("Invalid resource group name \"a b\": " + kChars, RcgNameProblem("a b"));
    EXPECT_EQ("Invalid resource group name \"a\\nb\\x01\\t\\r\\x7f\": " + kChars,
              RcgNameProblem("a\nb\x01\t\r\x7f"));
    EXPECT_EQ("Invalid resource group name \"say \\\"hi\\\" \\\\\": " + kChars,
              RcgNameProblem("say \"hi\" \\"));
    EXPECT_EQ("Invalid resource group name \"\": a name must not be empty", RcgNameProblem(""));
}

TEST(rcgNameRules, MessageShowsOnlyTheStartOfAnOverlongName) {
    EXPECT_EQ("Invalid resource group name \"" + std::string(255, 'x') +
                  "...\": a name may hold at most 255 characters",
              RcgNameProblem(std::string(5000, 'x')));
}

TEST(rcgNameForms, SplitsBareAndQualifiedNames) {
    struct Case {
        std::string name, rcgName, cgroupSpec;
    };
    const std::vector<Case> cases = {
        {"foo", "foo", "cpu:/foo"},
        {"cpu:/foo", "foo", "cpu:/foo"},
        {"cpu,cpuacct:/a/b", "a/b", "cpu,cpuacct:/a/b"},
        {"a:/b:/c", "b:/c", "a:/b:/c"},
        {"cpu:foo", "cpu:foo", "cpu:/cpu:foo"},
        {"cpu:/", "", "cpu:/"},
        {"", "", "cpu:/"},
    };
    for (const auto& c : cases) {
        const RcgName forms = SplitRcgName(c.name);
        EXPECT_EQ(c.rcgName, forms.path) << c.name;
        EXPECT_EQ(c.cgroupSpec, forms.cgroupSpec) << c.name;
    }
    EXPECT_EQ("cpu", SplitRcgName("cpu:/web").controllers);
    EXPECT_EQ("cpu,cpuacct", SplitRcgName("cpu,cpuacct:/a/b").controllers);
    EXPECT_EQ("", SplitRcgName("web").controllers);
}

TEST(rcgNameForms, ACheckedNameCarriesItsPartsOrTheProblem) {
    RcgName name;
    std::string problem;
    ASSERT_TRUE(ParseRcgName("cpu,cpuacct:/web/db", &name, &problem));
    EXPECT_EQ("cpu,cpuacct:/web/db", name.text);
    EXPECT_EQ("cpu,cpuacct", name.controllers);
    EXPECT_EQ("web/db", name.path);
    EXPECT_EQ("cpu,cpuacct:/web/db", name.cgroupSpec);
    ASSERT_TRUE(ParseRcgName("web", &name, &problem));
    EXPECT_EQ("", name.controllers);
    EXPECT_EQ("web", name.path);
    EXPECT_EQ("cpu:/web", name.cgroupSpec);
    EXPECT_EQ("", problem);
    for (const char* bad : {"a:/b:/c", "cpu:foo", "", "-web"}) {
        EXPECT_FALSE(ParseRcgName(bad, &name, &problem)) << bad;
        EXPECT_EQ(RcgNameProblem(bad), problem) << bad;
    }
}

TEST(rcgCommandLines, BuildsTheListingsByPlainConcatenation) {
    EXPECT_EQ("lscgroup | grep :/web | cut -d\"/\" -f2 | grep -w web", LookupListingCommand(SplitRcgName("web")));
    EXPECT_EQ("lscgroup | grep -w web", DeletionListingCommand(SplitRcgName("web")));
    EXPECT_EQ("lscgroup | grep -w cpu:/web", DeletionListingCommand(SplitRcgName("cpu:/web")));
    EXPECT_EQ("cgdelete -g cpu:/web", UndoCreationCommand(SplitRcgName("web")));
    EXPECT_EQ("cgdelete -g cpu,cpuacct:/a/b", UndoCreationCommand(SplitRcgName("cpu,cpuacct:/a/b")));
}

TEST(rcgQuota, ReadsTheProcessorCountAsAtoiDoes) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"4\n", 4},   {"2", 2},     {"  8\n", 8},           {"\t16 cpus", 16}, {"", 0},
        {"abc", 0},   {"\n", 0},    {"-3\n", -3},           {"+5", 5},         {"7x", 7},
        {"99999999999\n", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const auto& [text, n] : cases) EXPECT_EQ(n, ReadLeadingInt(text.c_str())) << text;
}

TEST(rcgQuota, IsPercentOfAllProcessorsWithoutWrapping) {
    struct Case {
        unsigned int percent;
        int processors;
        std::uint64_t quota;
    };
    const std::vector<Case> cases = {
        {50, 4, 200000},
        {100, 8, 800000},
        {1, 1, 1000},
        {0, 8, 0},
        {50, 0, 0},
        {50, 2, 100000},
        {4294967295u, 4, 17179869180000ull},
        {4294967295u, 1, 4294967295000ull},
        {2147483648u, 2, 4294967296000ull},
        {4294967295u, INT_MAX, UINT64_MAX},
        {4294967295u, -1, UINT64_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.quota, ComputeCpuQuota(c.percent, c.processors)) << c.percent << " x " << c.processors;
    // Truncating division, and a period large enough to saturate.
    EXPECT_EQ(1u, ComputeCpuQuota(1, 1, 199));
    EXPECT_EQ(UINT64_MAX, ComputeCpuQuota(4294967295u, 4, UINT64_MAX));
}

TEST(rcgDeletion, SelectsOnlyLinesNamingExactlyTheGroup) {
    struct Case {
        std::string name, listing;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"web", "cpu:/web\n", {"cpu:/web\n"}},
        {"web", "cpu:/web", {"cpu:/web"}},
        {"web", "cpu:/web\ncpu:/my-web\ncpu:/other/web\n", {"cpu:/web\n"}},
        {"web", "cpu:/web\ncpu:/web/child\n", {"cpu:/web\n"}},
        {"web", "cpu:/webserver\ncpu:/web.old\n", {}},
        {"web", "cpu,cpuacct:/web\nmemory:/web\n", {"cpu,cpuacct:/web\n", "memory:/web\n"}},
        {"web", "name=systemd:/web\n", {"name=systemd:/web\n"}},
        {"cpu:/web", "cpu:/web\ncpuacct:/web\n", {"cpu:/web\n"}},
        {"cpu,cpuacct:/web", "cpu:/web\ncpu,cpuacct:/web\n", {"cpu,cpuacct:/web\n"}},
        {"a/b", "cpu:/a/b\ncpu:/b\ncpu:/a\n", {"cpu:/a/b\n"}},
        // libcgroup 3 lists "<controllers>://<path>".
        {"web", "cpu://web\n", {"cpu://web\n"}},
        {"web", "cpu://web\ncpu://web/child\ncpu://other/web\n", {"cpu://web\n"}},
        {"cpu:/web", "cpu://web\ncpuacct://web\n", {"cpu://web\n"}},
        {"a/b", "cpu,cpuacct://a/b\ncpu://b\n", {"cpu,cpuacct://a/b\n"}},
        {"web", "cpu:///web\n", {}},
        // Lines that do not look like a listing line are ignored.
        {"web", "reboot; cpu:/web\n", {}},
        {"web", "CPU:/web\n", {}},
        {"web", ":/web\n", {}},
        {"web", "cpu web\n", {}},
        {"web", "cpu:/web \n", {}},
        {"web", "cpu:/web\r\n", {}},
        {"web", "", {}},
        {"web", "\n\n", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.lines, SelectDeletionLines(c.listing, SplitRcgName(c.name))) << c.name << " in " << c.listing;
    }
}

// Where lscgroup prints "cpu://web" (libcgroup 3) the lookup listing of a
// bare name selects nothing; the deletion listing then finds the group by
// its first path component, in that form only.
TEST(rcgLookup, DoubleSlashListingFindsABareNameByItsFirstComponent) {
    struct Case {
        std::string name, listing;
        bool found;
    };
    const std::vector<Case> cases = {
        {"web", "cpu://web\n", true},
        {"web", "cpu,cpuacct://web", true},
        {"web", "memory://web/child\n", true},
        {"web", "cpu://webserver\ncpu://web-2\ncpu://web.old\n", false},
        {"web", "cpu://other/web\n", false},
        {"web", "cpu:/web\ncpu:/web/child\n", false},
        {"m.b", "cpu://mXb\n", false},
        {"web", "CPU://web\n", false},
        {"web", "reboot; cpu://web\n", false},
        {"web", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.found, DoubleSlashLookupFindsGroup(c.listing, SplitRcgName(c.name))) << c.name << " in "
                                                                                        << c.listing;
    }
    EXPECT_EQ("lscgroup | grep -w web", DoubleSlashLookupCommand(SplitRcgName("web")));
    for (const char* name : {"a/b", "cpu:/web", "cpu,cpuacct:/web"})
        EXPECT_EQ("", DoubleSlashLookupCommand(SplitRcgName(name))) << name;
}

// cgdelete deletes only the first of several -g: each line has a command
// of its own.
TEST(rcgDeletion, DeletesEachListedLineWithACommandOfItsOwn) {
    using Commands = std::vector<std::string>;
    EXPECT_EQ(Commands{}, DeletionCommands({}));
    EXPECT_EQ(Commands{"cgdelete -g cpu:/web\n"}, DeletionCommands({"cpu:/web\n"}));
    EXPECT_EQ(Commands{"cgdelete -g cpu:/web"}, DeletionCommands({"cpu:/web"}));
    EXPECT_EQ((Commands{"cgdelete -g cpu:/web\n", "cgdelete -g memory:/web\n"}),
              DeletionCommands({"cpu:/web\n", "memory:/web\n"}));
    EXPECT_EQ((Commands{"cgdelete -g a:/w\n", "cgdelete -g b:/w\n", "cgdelete -g c:/w"}),
              DeletionCommands({"a:/w\n", "b:/w\n", "c:/w"}));
}

TEST(rcgCommandFailure, FillsThePatternAndCutsAt999Characters) {
    EXPECT_EQ("Failed to run cmd [nproc] out[] err[]\n", FormatCmdFailure("nproc", "", ""));
    EXPECT_EQ("Failed to run cmd [a b] out[o\n] err[100%s %d %n]\n",
              FormatCmdFailure("a b", "o\n", "100%s %d %n"));
    const std::string out(2000, 'o');
    const std::string text = FormatCmdFailure("cmd", out, "e");
    ASSERT_EQ(999u, text.size());
    EXPECT_EQ("Failed to run cmd [cmd] out[" + std::string(999 - 28, 'o'), text);
    // Exactly 999 characters fit whole.
    const std::string fits = FormatCmdFailure("c", std::string(999 - 34, 'x'), "");
    EXPECT_EQ(999u, fits.size());
    EXPECT_EQ('\n', fits.back());
}

TEST(rcgCommandFailure, ACutTextKeepsTheRunnersCountOfWhatItLeftOut) {
    const std::string big = std::string(5000, 'o') + "\n(51380224 more bytes)\n";
    std::string text = FormatCmdFailure("yes", big, "e\n(7 more bytes)");
    ASSERT_EQ(999u, text.size());
    const std::string tail = "... out(51380224 more bytes) err(7 more bytes)\n";
    EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
    EXPECT_EQ(0u, text.find("Failed to run cmd [yes] out[ooo"));
    // Short texts are whole already; a look-alike line of the tool's own is
    // not moved.
    EXPECT_EQ("Failed to run cmd [c] out[(3 more bytes)\n] err[]\n", FormatCmdFailure("c", "(3 more bytes)\n", ""));
    text = FormatCmdFailure("c", std::string(2000, 'x') + "\n(3 more bytez)", "");
    EXPECT_EQ(std::string::npos, text.find("more byte"));
}

TEST(rcgListingResult, ExitStatusOneIsTheBareOrTheWaitStatus) {
    EXPECT_TRUE(IsExitStatusOne(1));
    for (int status : {0, 2, 9, 15, 129, 255, 256, -1})
        EXPECT_FALSE(IsExitStatusOne(status)) << status;

    EXPECT_TRUE(ListingSelectedNothing(1, "", ""));
    EXPECT_FALSE(ListingSelectedNothing(1, "web\n", ""));
    EXPECT_FALSE(ListingSelectedNothing(1, "", "lscgroup: cannot read\n"));
    EXPECT_FALSE(ListingSelectedNothing(2, "", ""));
    EXPECT_FALSE(ListingSelectedNothing(129, "", ""));
    EXPECT_FALSE(ListingSelectedNothing(0, "", ""));
}

TEST(rcgGroupList, AppendsOneBlankAndTheName) {
    EXPECT_EQ(" web", AppendToGroupList(nullptr, "web"));
    const std::string empty;
    EXPECT_EQ(" web", AppendToGroupList(&empty, "web"));
    const std::string list = " web db";
    EXPECT_EQ(" web db web", AppendToGroupList(&list, "web"));
    const std::string longList(5000, 'x');
    EXPECT_EQ(longList + " db", AppendToGroupList(&longList, "db"));
}

}  // namespace
