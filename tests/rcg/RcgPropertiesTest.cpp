// The properties besides the cap: values parsed once, resolved for a
// machine, written in each hierarchy's terms and read back; the remembered
// settings in the store's text.
#include <gtest/gtest.h>

#include "rcg/RcgProperties.h"
#include "rcg/RcgSettings.h"

using namespace TqRcgCtrllr;

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

MachineFacts Machine() {
    MachineFacts machine;
    machine.memoryBytes = 16384 * kMiB;  // 16 GiB
    machine.processors = 4;
    machine.onlineCpus = {0, 1, 2, 3};
    return machine;
}

std::string Problem(const std::string& text) {
    RcgSetting setting;
    std::string problem;
    return ParseRcgSetting(text, &setting, &problem) ? std::string() : problem;
}

TEST(RcgProperties, ValidSettingsAndTheirShortForm) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"memory.max=64M", "memory.max=64M"},
        {"memory.max=67108864", "memory.max=64M"},
        {"mem=1g", "memory.max=1G"},
        {"memory.max=1536K", "memory.max=1536K"},
        {"memory.max=1000", "memory.max=1000"},
        {"memory.max=10%", "memory.max=10%"},
        {"memory.max=max", "memory.max=max"},
        {"memory.high=2T", "memory.high=2T"},
        {"memory.swap.max=0", "memory.swap.max=0"},
        {"swap=max", "memory.swap.max=max"},
        {"cpu.weight=300", "cpu.weight=300"},
        {"weight=1", "cpu.weight=1"},
        {"cpu.weight=10000", "cpu.weight=10000"},
        {"cpu.weight=1024", "cpu.weight=1024"},
        {"cpu.max.burst=0", "cpu.max.burst=0"},
        {"burst=20", "cpu.max.burst=20"},
        {"cpuset.cpus=0-3,6", "cpuset.cpus=0-3,6"},
        {"cpus=3,0,1,2", "cpuset.cpus=0-3"},
        {"cpus=5", "cpuset.cpus=5"},
        {"pids.max=20", "pids.max=20"},
        {"pids=max", "pids.max=max"},
    };
    for (const auto& [text, shortForm] : cases) {
        RcgSetting setting;
        std::string problem;
        ASSERT_TRUE(ParseRcgSetting(text, &setting, &problem)) << text << ": " << problem;
        EXPECT_EQ(shortForm, FormatRcgSetting(setting)) << text;
        RcgSetting again;
        ASSERT_TRUE(ParseRcgSetting(shortForm, &again, &problem)) << shortForm;
        EXPECT_TRUE(again.value == setting.value) << "the short form reads back: " << shortForm;
    }
}

TEST(RcgProperties, BadValuesAreRefusedWithWhatIsAllowed) {
    const std::vector<std::string> refused = {
        "memory.max=-1",      "memory.max=0",       "memory.high=0K",    "memory.max=8E",
        "memory.max=64MB",    "memory.max=",        "memory.max=abc",    "memory.max=0%",
        "memory.max=101%",    "memory.max=1.5G",    "memory.max=99999999999999999999",
        "memory.max=8388608T", "cpu.weight=0",      "cpu.weight=10001",  "cpu.weight=max",
        "cpu.weight=-5",      "cpu.max.burst=101",  "cpu.max.burst=max", "cpuset.cpus=",
        "cpuset.cpus=3-1",    "cpuset.cpus=0,",     "cpuset.cpus=a",     "cpuset.cpus=0-99999",
        "pids.max=0",         "pids.max=4194305",   "pids.max=-1",       "memory.swap.max=-1",
    };
    for (const std::string& text : refused) {
        const std::string problem = Problem(text);
        EXPECT_FALSE(problem.empty()) << text << " was taken";
        EXPECT_NE(std::string::npos, problem.find(" takes ")) << "says what is allowed: " << problem;
    }
    EXPECT_NE(std::string::npos, Problem("memory.maxx=1G").find("unknown property")) << Problem("memory.maxx=1G");
    EXPECT_NE(std::string::npos, Problem("memory.max").find("gives no value"));

    std::vector<RcgSetting> settings;
    std::string problem;
    EXPECT_FALSE(ParseRcgSettings({"mem=1G", "cpu.weight=5", "memory.max=2G"}, &settings, &problem));
    EXPECT_EQ("memory.max is given twice", problem);
    EXPECT_TRUE(ParseRcgSettings({"mem=1G", "cpu.weight=5"}, &settings, &problem));
    EXPECT_EQ(2u, settings.size());
}

TEST(RcgProperties, ValuesInEachHierarchysTerms) {
    struct Case {
        std::string setting, cgroup2, v1;
    };
    const std::vector<Case> cases = {
        {"memory.max=64M", "67108864", "67108864"},
        {"memory.max=max", "max", "-1"},
        {"memory.max=10%", "1717986918", "1717986918"},  // 16 GiB / 100 × 10
        {"memory.high=1G", "1073741824", "1073741824"},
        {"cpu.weight=300", "300", "3072"},
        {"cpu.weight=100", "100", "1024"},
        {"cpu.weight=1", "1", "10"},
        {"cpu.weight=10000", "10000", "102400"},
        {"cpu.max.burst=25", "100000", "100000"},  // 25 % of 4 processors: one period
        {"cpu.max.burst=0", "0", "0"},
        {"cpuset.cpus=1,2,3", "1-3", "1-3"},
        {"pids.max=20", "20", "20"},
        {"pids.max=max", "max", "max"},
    };
    for (const Case& c : cases) {
        RcgSetting setting;
        std::string problem;
        ASSERT_TRUE(ParseRcgSetting(c.setting, &setting, &problem)) << problem;
        const Resolved resolved = Resolve(setting, Machine());
        EXPECT_EQ(c.cgroup2, Cgroup2Text(resolved, setting.property)) << c.setting;
        EXPECT_EQ(c.v1, V1Text(resolved, setting.property)) << c.setting;
        EXPECT_TRUE(KernelHolds(resolved, setting.property, c.cgroup2 + "\n", false)) << c.setting;
        EXPECT_TRUE(KernelHolds(resolved, setting.property, c.v1 + "\n", true)) << c.setting;
    }
}

TEST(RcgProperties, KernelValuesReadBackInTheUsersTerms) {
    struct Case {
        RcgProperty property;
        std::string text;
        bool v1;
        std::string value;
    };
    const std::vector<Case> cases = {
        {RcgProperty::kMemoryMax, "max\n", false, "max"},
        {RcgProperty::kMemoryMax, "67108864\n", false, "67108864"},
        {RcgProperty::kMemoryMax, "9223372036854771712\n", true, "max"},
        {RcgProperty::kMemoryMax, "-1\n", true, "max"},
        {RcgProperty::kCpuWeight, "3072\n", true, "300"},
        {RcgProperty::kCpuWeight, "1024\n", true, "100"},
        {RcgProperty::kCpuWeight, "300\n", false, "300"},
        {RcgProperty::kCpuBurst, "100000\n", false, "25"},
        {RcgProperty::kCpuBurst, "50000\n", true, "12.5"},
        {RcgProperty::kCpus, "0-1,3\n", false, "0-1,3"},
        {RcgProperty::kCpus, "\n", false, ""},
        {RcgProperty::kPidsMax, "max\n", true, "max"},
        {RcgProperty::kPidsMax, "20\n", false, "20"},
        {RcgProperty::kMemoryMax, "garbage\n", false, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value, ReadKernelValue(c.property, c.text, c.v1, 4)) << c.text << " v1=" << c.v1;
}

TEST(RcgProperties, TheKernelsPageRoundingStillHoldsTheSize) {
    RcgSetting setting;
    std::string problem;
    ASSERT_TRUE(ParseRcgSetting("memory.max=1000000", &setting, &problem));
    const Resolved resolved = Resolve(setting, Machine());
    EXPECT_TRUE(KernelHolds(resolved, setting.property, "999424\n", false)) << "rounded down to pages";
    EXPECT_FALSE(KernelHolds(resolved, setting.property, "995328\n", false)) << "a page less is another size";
    EXPECT_FALSE(KernelHolds(resolved, setting.property, "max\n", false));
    ASSERT_TRUE(ParseRcgSetting("memory.max=max", &setting, &problem));
    EXPECT_TRUE(KernelHolds(Resolve(setting, Machine()), setting.property, "9223372036854771712\n", true));
}

TEST(RcgProperties, TheMachineMustOfferWhatIsAsked) {
    RcgSetting setting;
    std::string problem;
    ASSERT_TRUE(ParseRcgSetting("cpuset.cpus=2-5", &setting, &problem));
    const std::string offline = MachineProblem(setting, Machine());
    EXPECT_NE(std::string::npos, offline.find("not online (4-5)")) << offline;
    ASSERT_TRUE(ParseRcgSetting("cpuset.cpus=0-3", &setting, &problem));
    EXPECT_EQ("", MachineProblem(setting, Machine()));
    ASSERT_TRUE(ParseRcgSetting("memory.max=5%", &setting, &problem));
    EXPECT_EQ("", MachineProblem(setting, Machine()));
    EXPECT_NE("", MachineProblem(setting, MachineFacts())) << "no memory known";
}

TEST(RcgProperties, ListsAndMemoryOfTheMachine) {
    std::set<unsigned> cpus;
    ASSERT_TRUE(ParseCpuList("0-1,4,6-7\n", &cpus));
    EXPECT_EQ("0-1,4,6-7", FormatCpuList(cpus));
    EXPECT_FALSE(ParseCpuList("", &cpus));
    EXPECT_FALSE(ParseCpuList("1-", &cpus));
    EXPECT_EQ(16384 * kMiB, MemTotalBytes("MemTotal:       16777216 kB\nMemFree: 1 kB\n"));
    EXPECT_EQ(0u, MemTotalBytes("MemFree: 1 kB\n"));
    EXPECT_EQ("512", HumanBytes(512));
    EXPECT_EQ("64.0M", HumanBytes(64 * kMiB));
    EXPECT_EQ("1.5G", HumanBytes(1536 * kMiB));
}

TEST(RcgRememberedSettings, OneEntryPerGroupAndPropertyKeptInPlace) {
    std::vector<RcgSetting> settings;
    std::string problem;
    ASSERT_TRUE(ParseRcgSettings({"memory.max=10%", "cpu.weight=300"}, &settings, &problem));
    std::string value = WithSettings(nullptr, "web", settings);
    EXPECT_EQ(" web|memory.max=10% web|cpu.weight=300", value) << "stored as asked";
    ASSERT_TRUE(ParseRcgSettings({"pids.max=20"}, &settings, &problem));
    value = WithSettings(&value, "db", settings);
    ASSERT_TRUE(ParseRcgSettings({"cpu.weight=50"}, &settings, &problem));
    value = WithSettings(&value, "cpu:/web", settings);
    EXPECT_EQ(" web|memory.max=10% cpu:/web|cpu.weight=50 db|pids.max=20", value)
        << "the same group's property is replaced where it stood";

    const std::vector<RememberedSetting> remembered =
        ParseRememberedSettings(value + " junk web|nope=1 |cpu.weight=2 web|cpu.weight=0");
    ASSERT_EQ(3u, remembered.size()) << "entries that are not settings are skipped";
    EXPECT_EQ(2u, SettingsOf(remembered, "cpu,cpuacct:/web").size());
    EXPECT_EQ(" db|pids.max=20", WithoutSettings(&value, "web"));
    EXPECT_EQ("", WithoutSettings(nullptr, "web"));
}

}  // namespace
