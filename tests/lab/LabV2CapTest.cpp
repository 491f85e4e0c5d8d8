// Caps shown on busy loops, on a group capped through a real tqd: the
// group's cpu.stat usage against wall time × online processors stays under
// the cap, and the kernel throttles the group.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "include/tqrcgmgr/tqrcgmgr.h"
#include "tests/lab/LabV2Support.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqlab;

constexpr double kTolerancePoints = 3.0;
constexpr double kWindowSeconds = 3.0;

class V2Caps : public ::testing::TestWithParam<int> {};

TEST_P(V2Caps, BusyLoopsAreHeldUnderTheCapAndThrottled) {
    LAB_REQUIRE_V2_HOST();
    const int percent = GetParam();
    const std::string group = OwnedName("cap" + std::to_string(percent));
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    const tqtest::BusyLoops loops;
    const std::list<unsigned int> pids = loops.pids();
    ASSERT_FALSE(createRcgGroup(group).IsError()) << tqd.log();
    ASSERT_FALSE(setRcgCPUShare(group, percent).IsError());
    const CQiError assigned = assignPidsTo(group, pids);
    ASSERT_FALSE(assigned.IsError()) << assigned.AsString();
    ASSERT_EQ(ProcessesIn(GroupFolder(group)).size(), pids.size());

    // Other work can only lower what the loops get: the cap is shown by its
    // upper bound and by the throttling count growing.
    const long long throttled = tqtest::ThrottledPeriods(GroupFolder(group));
    ASSERT_GE(throttled, 0);
    const double used = GroupPercentOfMachine(GroupFolder(group), kWindowSeconds);
    printf("cap %d %%: used %.2f %% of the machine (%ld processors)\n", percent, used, OnlineProcessors());
    EXPECT_LE(used, percent + kTolerancePoints);
    EXPECT_TRUE(tqtest::ThrottlingGrows(GroupFolder(group), throttled));
    RecordProperty("cap_percent", percent);
    RecordProperty("measured_percent", std::to_string(used));
}

INSTANTIATE_TEST_SUITE_P(OfTheMachine, V2Caps, ::testing::Values(25, 50));

}  // namespace
