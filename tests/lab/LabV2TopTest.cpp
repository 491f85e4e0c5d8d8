// tqrcg list and top on a cgroup v2 host: a busy loop capped at 25 % through
// a real tqd is shown under its cap and throttled by `top --once -d 2`, and
// `list --json` reads the same group from cpu.stat.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "include/tqrcgmgr/tqrcgmgr.h"
#include "tests/lab/LabV2Support.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqlab;
using tqtest::LineWords;

TEST(V2Top, OnceShowsACappedLoopUnderItsCapAndThrottled) {
    LAB_REQUIRE_V2_HOST();
    const std::string group = OwnedName("top");
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    const tqtest::BusyLoops loops;
    const std::list<unsigned int> pids = loops.pids();
    ASSERT_FALSE(createRcgGroup(group).IsError()) << tqd.log();
    ASSERT_FALSE(setRcgCPUShare(group, 25).IsError());
    ASSERT_FALSE(assignPidsTo(group, pids).IsError());

    // Other work can only lower the loops' share: the cap shows by its upper
    // bound and by the throttling top reports.
    double best = -1, throttled = 0;
    std::string shown;
    for (int i = 0; i < 10 && throttled <= 0; ++i) {
        const Outcome outcome = tqd.tqrcg({"top", "--once", "-d", "2"});
        ASSERT_EQ(0, outcome.status) << outcome.err;
        shown = outcome.out;
        // GROUP CAP USE [bar] THROTTLED PROCESSES, then the pressure columns
        const std::vector<std::string> words = LineWords(outcome.out, group);
        ASSERT_GE(words.size(), 6u) << outcome.out;
        EXPECT_EQ("25%", words[1]);
        EXPECT_EQ(std::to_string(pids.size()), words[5]);
        const double use = std::atof(words[2].c_str());
        EXPECT_LE(use, 28.0) << outcome.out;
        best = use, throttled = std::atof(words[4].c_str());
    }
    printf("top --once -d 2 showed %.1f %% use, %.1f %% throttled under a cap of 25 %%:\n%s", best, throttled,
           shown.c_str());
    EXPECT_GT(throttled, 0.0) << shown;

    const Outcome listed = tqd.tqrcg({"list", "--json"});
    ASSERT_EQ(0, listed.status) << listed.err;
    const nlohmann::json groups = nlohmann::json::parse(listed.out);
    const auto found = std::find_if(groups.begin(), groups.end(),
                                    [&group](const nlohmann::json& item) { return item["group"] == group; });
    ASSERT_NE(groups.end(), found) << listed.out;
    EXPECT_EQ("cpu.stat", (*found)["cpu_usage_source"]);
    EXPECT_DOUBLE_EQ(25.0, (*found)["cap_percent"].get<double>());
    EXPECT_GT((*found)["throttled_periods"].get<long>(), 0);
    EXPECT_GT((*found)["throttled_seconds"].get<double>(), 0.0);
    EXPECT_EQ(25, (*found)["remembered_cap_percent"]);
}

}  // namespace
