// The figures of a group: the parsers of the kernel's files, and the reader
// on an in-memory cgroup2 and cgroup v1 filesystem.
#include <gtest/gtest.h>

#include "rcg/RcgFigures.h"
#include "rcg/RcgReader.h"
#include "rcg/RcgRecord.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/TestSupport.h"

using namespace TqRcgCtrllr;
using namespace TqRcgCtrllr::detail;

namespace {

const char kV1Mounts[] = "cgroup /sys/fs/cgroup/cpu cgroup rw,relatime,cpu 0 0\n";
const char kV1JointMounts[] = "cgroup /sys/fs/cgroup/cpu,cpuacct cgroup rw,relatime,cpu,cpuacct 0 0\n";

// ---- parsing -------------------------------------------------------------

TEST(RcgFiguresParsing, FlatKeyedValuesOfCpuStat) {
    const std::string v1 =
        "nr_periods 120\nnr_throttled 30\nthrottled_time 4500000000\nnr_bursts 0\nburst_time 0\n";
    std::uint64_t value = 0;
    EXPECT_TRUE(FlatKeyedValue(v1, "nr_periods", &value));
    EXPECT_EQ(120u, value);
    EXPECT_TRUE(FlatKeyedValue(v1, "nr_throttled", &value));
    EXPECT_EQ(30u, value);
    EXPECT_TRUE(FlatKeyedValue(v1, "throttled_time", &value));
    EXPECT_EQ(4500000000u, value);
    EXPECT_FALSE(FlatKeyedValue(v1, "throttled", &value)) << "whole keys only";
    EXPECT_FALSE(FlatKeyedValue(v1, "usage_usec", &value));
    EXPECT_FALSE(FlatKeyedValue("nr_periods x\n", "nr_periods", &value));
    EXPECT_TRUE(FlatKeyedValue("usage_usec 7", "usage_usec", &value)) << "no final line break";
    EXPECT_EQ(7u, value);
}

TEST(RcgFiguresParsing, DecimalFilesAndTheUnlimitedQuota) {
    std::uint64_t value = 0;
    std::int64_t quota = 0;
    EXPECT_TRUE(ParseDecimalText("123456789012\n", &value));
    EXPECT_EQ(123456789012u, value);
    EXPECT_FALSE(ParseDecimalText("", &value));
    EXPECT_FALSE(ParseDecimalText("-1\n", &value));
    EXPECT_FALSE(ParseDecimalText("99999999999999999999999\n", &value)) << "does not fit";
    EXPECT_TRUE(ParseSignedText("-1\n", &quota));
    EXPECT_EQ(-1, quota);
    EXPECT_TRUE(ParseSignedText("50000\n", &quota));
    EXPECT_EQ(50000, quota);
    EXPECT_FALSE(ParseSignedText("5x\n", &quota));
}

TEST(RcgFiguresParsing, ProcStatTicksSkipTheCommandName) {
    std::uint64_t ticks = 0;
    const std::string stat =
        "4711 (my (odd) cmd) R 1 4711 4711 0 -1 4194560 100 0 0 0 250 50 3 4 20 0 1 0 100 1000 10\n";
    ASSERT_TRUE(ParseProcStatTicks(stat, &ticks));
    EXPECT_EQ(300u, ticks);
    EXPECT_FALSE(ParseProcStatTicks("4711 (cut) R 1 2", &ticks));
    EXPECT_FALSE(ParseProcStatTicks("", &ticks));
}

TEST(RcgFiguresParsing, ProcsAndShares) {
    EXPECT_EQ((std::vector<unsigned long>{12, 4711}), ParseProcs("12\n4711\n"));
    EXPECT_TRUE(ParseProcs("").empty());
    EXPECT_DOUBLE_EQ(25.0, ThrottledPercent(30, 120));
    EXPECT_DOUBLE_EQ(0.0, ThrottledPercent(0, 0));
    GroupFigures figures;
    figures.hasCap = true;
    figures.quotaUs = 50000;
    figures.periodUs = 100000;
    EXPECT_DOUBLE_EQ(25.0, CapPercent(figures, 2));
    figures.quotaUs = -1;
    EXPECT_LT(CapPercent(figures, 2), 0) << "no limit";
    EXPECT_EQ((std::vector<std::string>{"a", "cpu:/b", "c"}), ParseGroupNames(" a cpu:/b a c"));
}

// ---- reading -------------------------------------------------------------

class RcgFiguresV2 : public ::testing::Test {
protected:
    RcgFiguresV2() : m_store("[Base]\n") {
        m_fs.dirs.insert("/sys/fs/cgroup/tqrcg");
        addGroup("/sys/fs/cgroup/tqrcg/web");
    }
    void addGroup(const std::string& folder) {
        m_fs.dirs.insert(folder);
        m_fs.files[folder + "/cgroup.procs"] = "4711\n4712\n";
        m_fs.files[folder + "/cpu.max"] = "50000 100000\n";
        m_fs.files[folder + "/cpu.stat"] =
            "usage_usec 2500000\nuser_usec 2000000\nsystem_usec 500000\n"
            "nr_periods 40\nnr_throttled 10\nthrottled_usec 1500000\nnr_bursts 0\nburst_usec 0\n";
    }
    std::unique_ptr<RcgReader> reader() {
        std::unique_ptr<RcgReader> chosen = ChooseReader();
        std::string problem;
        EXPECT_TRUE(chosen->usable(&problem)) << problem;
        return chosen;
    }

    tqtest::TempStore m_store;
    tqtest::FakeCgroupFs m_fs;
};

TEST_F(RcgFiguresV2, EveryFigureComesFromTheGroupFolder) {
    std::unique_ptr<RcgReader> figures = reader();
    EXPECT_STREQ("cgroup2", figures->hierarchyName());
    EXPECT_EQ(2, figures->processorCount());
    const GroupFigures web = figures->figures("web");
    EXPECT_EQ(GroupFigures::kPresent, web.state);
    EXPECT_EQ("", web.problem);
    EXPECT_TRUE(web.hasCap);
    EXPECT_EQ(50000, web.quotaUs);
    EXPECT_EQ(100000u, web.periodUs);
    EXPECT_DOUBLE_EQ(25.0, CapPercent(web, 2));
    EXPECT_EQ(2u, web.processes);
    EXPECT_EQ(CpuTimeSource::kCpuStat, web.cpuSource);
    EXPECT_EQ(2500000000u, web.cpuTimeNs);
    EXPECT_TRUE(web.hasThrottling);
    EXPECT_EQ(40u, web.periods);
    EXPECT_EQ(10u, web.throttledPeriods);
    EXPECT_EQ(1500000000u, web.throttledNs);
    EXPECT_EQ(2u, figures->figures("cpu,cpuacct:/web").processes) << "a qualified name names the same folder";
}

TEST_F(RcgFiguresV2, MissingInvalidAndUnlimitedGroups) {
    addGroup("/sys/fs/cgroup/tqrcg/jobs");
    addGroup("/sys/fs/cgroup/tqrcg/jobs/nightly");
    m_fs.files["/sys/fs/cgroup/tqrcg/jobs/nightly/cpu.max"] = "max 100000\n";
    std::unique_ptr<RcgReader> figures = reader();
    EXPECT_EQ(GroupFigures::kMissing, figures->figures("gone").state);
    EXPECT_EQ(GroupFigures::kInvalidName, figures->figures("../etc").state);
    const GroupFigures nightly = figures->figures("jobs/nightly");
    EXPECT_EQ(GroupFigures::kPresent, nightly.state);
    EXPECT_TRUE(nightly.hasCap);
    EXPECT_EQ(-1, nightly.quotaUs);
    EXPECT_LT(CapPercent(nightly, 2), 0);
}

TEST_F(RcgFiguresV2, UnreadableFilesAreNamed) {
    m_fs.files.erase("/sys/fs/cgroup/tqrcg/web/cpu.stat");
    const GroupFigures web = reader()->figures("web");
    EXPECT_EQ(GroupFigures::kPresent, web.state);
    EXPECT_FALSE(web.hasThrottling);
    EXPECT_EQ(CpuTimeSource::kNone, web.cpuSource);
    EXPECT_NE(std::string::npos, web.problem.find("/sys/fs/cgroup/tqrcg/web/cpu.stat")) << web.problem;
}

TEST_F(RcgFiguresV2, NoPlaceWithoutCpu) {
    tqtest::FakeCgroupFs bare("/sys/fs/cgroup", "memory pids");
    std::string problem;
    EXPECT_FALSE(ChooseReader()->usable(&problem));
    EXPECT_NE(std::string::npos, problem.find("cpu controller is not available")) << problem;
}

// A cgroup v1 cpu hierarchy at `mount` with one group "web" holding two
// processes whose /proc/<pid>/stat say 300 and 200 ticks.
tqtest::FakeCgroupFs& AddV1Group(tqtest::FakeCgroupFs& fs, const std::string& mount) {
    const std::string folder = mount + "/web";
    fs.files[folder + "/cgroup.procs"] = "4711\n4712\n";
    fs.files[folder + "/cpu.cfs_quota_us"] = "100000\n";
    fs.files[folder + "/cpu.cfs_period_us"] = "100000\n";
    fs.files[folder + "/cpu.stat"] = "nr_periods 8\nnr_throttled 2\nthrottled_time 30000000\n";
    fs.files[folder + "/cpuacct.usage"] = "7000000000\n";
    fs.files["/proc/4711/stat"] = "4711 (yes) R 1 1 1 0 -1 0 0 0 0 0 250 50 0 0 20 0 1 0 1 1 1\n";
    fs.files["/proc/4712/stat"] = "4712 (sh) S 1 1 1 0 -1 0 0 0 0 0 150 50 0 0 20 0 1 0 1 1 1\n";
    return fs;
}

TEST(RcgFiguresV1, CpuTimeFromCpuacctWhereItSharesTheHierarchy) {
    tqtest::FakeCgroupFs fs("/sys/fs/cgroup/unified", "", kV1JointMounts);
    AddV1Group(fs, "/sys/fs/cgroup/cpu,cpuacct");
    fs.processors = 4;
    std::unique_ptr<RcgReader> reader = ChooseReader();
    EXPECT_STREQ("cgroup v1", reader->hierarchyName());
    EXPECT_EQ(4, reader->processorCount());
    const GroupFigures web = reader->figures("web");
    EXPECT_EQ("", web.problem);
    EXPECT_EQ(CpuTimeSource::kCpuacct, web.cpuSource);
    EXPECT_EQ(7000000000u, web.cpuTimeNs);
    EXPECT_DOUBLE_EQ(25.0, CapPercent(web, 4));
    EXPECT_EQ(8u, web.periods);
    EXPECT_EQ(2u, web.throttledPeriods);
    EXPECT_EQ(30000000u, web.throttledNs) << "v1 counts nanoseconds";
}

TEST(RcgFiguresV1, CpuTimeSummedOverTheProcessesOtherwise) {
    tqtest::FakeCgroupFs fs("/sys/fs/cgroup/unified", "", kV1Mounts);
    AddV1Group(fs, "/sys/fs/cgroup/cpu");
    std::unique_ptr<RcgReader> reader = ChooseReader();
    GroupFigures web = reader->figures("web");
    EXPECT_EQ(CpuTimeSource::kProcesses, web.cpuSource);
    EXPECT_EQ(5000000000u, web.cpuTimeNs) << "500 ticks of 10 ms";
    fs.files.erase("/proc/4712/stat");  // ended after the listing
    web = reader->figures("web");
    EXPECT_EQ(3000000000u, web.cpuTimeNs);
    fs.files["/sys/fs/cgroup/cpu/web/cpu.cfs_quota_us"] = "-1\n";
    EXPECT_EQ(-1, reader->figures("web").quotaUs);
}

TEST(RcgFiguresV1, NoCpuHierarchyMeansNoGroups) {
    tqtest::FakeCgroupFs fs("/sys/fs/cgroup/unified", "", "cgroup /sys/fs/cgroup/pids cgroup rw,pids 0 0\n");
    std::string problem;
    ASSERT_TRUE(ChooseReader()->usable(&problem));
    EXPECT_EQ(GroupFigures::kMissing, ChooseReader()->figures("web").state);
}

}  // namespace
