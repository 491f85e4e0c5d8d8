// tqd's metrics file and audit trail on the host's hierarchy: a group
// capped at 5 % through tqd, holding two busy children of the test, shows
// its cap and its throttling in the file, which promtool accepts.
#include <gtest/gtest.h>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/TestSupport.h"
#include "tests/support/TqdHarness.h"

namespace {

using namespace tqdtest;

// The value of the sample `line` starts with; negative when there is none.
double SampleValue(const std::string& text, const std::string& line) {
    const std::size_t at = text.find(line + " ");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + line.size() + 1);
}

TEST(TqdMetricsOnTheHost, ACappedBusyGroupShowsItsCapAndThrottling) {
    TQ_REQUIRE_SYSTEM();
    const std::string group = tqtest::OwnedGroupName("metrics");
    const bool dummyExisted = GroupExists(k_TQRCGMGR_DummyGroup);
    tqtest::GroupCleanup cleanup({group});
    if (!dummyExisted) cleanup.add(k_TQRCGMGR_DummyGroup);
    tqtest::TempStore folders;
    TqdProcess tqd("sTQDMETRICSDIR=" + folders.dir() + "\ndTQDMETRICSINTERVAL=1\n", {}, tqtest::BaseLine());
    tqtest::BusyChild first, second;
    const std::vector<unsigned> pids{static_cast<unsigned>(first.pid()), static_cast<unsigned>(second.pid())};

    ASSERT_EQ("Success", TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, group)))) << tqd.log();
    // Far below what two busy loops get even on a busy machine: the kernel throttles them.
    ASSERT_EQ("Success", TextOf(Ask(tqd.port(), Frame(RcgMsgSetCPUShare, group, 5))));
    ASSERT_EQ("Success", TextOf(Ask(tqd.port(), Frame(RcgMsgAssignPids, group, 0, pids))));
    const std::string label = "{group=\"" + group + "\"}";
    std::string text;
    for (int i = 0; i < 600; ++i) {
        text = tqtest::ReadFile(folders.dir() + "/tqrcgmgr.prom");
        // The kernel adds throttled time when a throttled period ends.
        if (SampleValue(text, "tqrcgmgr_group_cpu_throttled_seconds_total" + label) > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_DOUBLE_EQ(0.05, SampleValue(text, "tqrcgmgr_group_cpu_cap_ratio" + label)) << text;
    EXPECT_DOUBLE_EQ(2, SampleValue(text, "tqrcgmgr_group_processes" + label)) << text;
    EXPECT_GT(SampleValue(text, "tqrcgmgr_group_cpu_throttled_periods_total" + label), 0) << text;
    EXPECT_GT(SampleValue(text, "tqrcgmgr_group_cpu_throttled_seconds_total" + label), 0) << text;
    EXPECT_GT(SampleValue(text, "tqrcgmgr_group_cpu_periods_total" + label), 0) << text;
    EXPECT_GE(SampleValue(text, "tqrcgmgr_tqd_requests_total{type=\"assign\",outcome=\"success\"}"), 1)
        << text;
    const std::string promtool = PromtoolPath();
    if (!promtool.empty()) {
        EXPECT_EQ("", PromtoolProblems(promtool, folders.dir() + "/tqrcgmgr.prom")) << text;
    } else if (tqtest::SystemTestsRequired()) {
        ADD_FAILURE() << "promtool is missing: run scripts/setup.sh";
    }

    // Each request is one audit line with its arguments.
    EXPECT_TRUE(tqd.waitForLog("request=cap group=\"" + group + "\" cap=5% outcome=\"Success\" ms=", 5))
        << tqd.log();
    EXPECT_NE(std::string::npos, tqd.log().find("request=assign group=\"" + group + "\" pids=" +
                                                std::to_string(pids[0]) + "," + std::to_string(pids[1])));
    ASSERT_EQ("Success", TextOf(Ask(tqd.port(), Frame(RcgMsgRemovePids, group, 0, pids))));
    EXPECT_EQ("Success", TextOf(Ask(tqd.port(), Frame(RcgMsgDeleteGroup, group))));
}

}  // namespace
