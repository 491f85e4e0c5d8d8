// Caps stay a share of the whole machine when processors go offline and come
// back: tqd applies the remembered cap again within 5 s, and the busy loops
// of a 25 % group get 25 % of what is left.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "include/tqrcgmgr/tqrcgmgr.h"
#include "tests/lab/LabV2Support.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqlab;
using Clock = std::chrono::steady_clock;

const char kCpu1[] = "/sys/devices/system/cpu/cpu1/online";

bool SetCpu1Online(bool online) {
    std::ofstream file(kCpu1);
    file << (online ? "1" : "0") << std::flush;
    return static_cast<bool>(file);
}

// Takes processor 1 offline, and brings it back when it goes.
class Cpu1Offline {
public:
    Cpu1Offline() : m_done(SetCpu1Online(false)) {}
    ~Cpu1Offline() { SetCpu1Online(true); }
    bool done() const { return m_done; }

private:
    bool m_done;
};

// Seconds until <folder>/cpu.max holds `wanted`; -1 after `limit` seconds.
double SecondsUntil(const std::string& folder, const std::string& wanted, double limit) {
    const auto start = Clock::now();
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (ControlValue(folder, "cpu.max") == wanted) return elapsed;
        if (elapsed > limit) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TEST(V2Hotplug, AChangeInProcessorsReappliesTheRememberedCap) {
    LAB_REQUIRE_V2_HOST();
    ASSERT_EQ(2, OnlineProcessors()) << "the lab boots two processors";
    const std::string group = OwnedName("hot");
    const std::string folder = GroupFolder(group);
    V2Cleanup cleanup;
    cleanup.group(group);
    LabTqd tqd;
    const tqtest::BusyLoops loops(2);
    const std::list<unsigned int> pids = loops.pids();
    ASSERT_FALSE(createRcgGroup(group).IsError()) << tqd.log();
    ASSERT_FALSE(setRcgCPUShare(group, 25).IsError()) << tqd.log();
    ASSERT_FALSE(assignPidsTo(group, pids).IsError()) << tqd.log();
    ASSERT_EQ("50000 100000", ControlValue(folder, "cpu.max"));
    {
        Cpu1Offline offline;
        ASSERT_TRUE(offline.done()) << "cannot take processor 1 offline";
        const double seconds = SecondsUntil(folder, "25000 100000", 60);
        printf("cpu1 offline: cpu.max followed in %.2f s\n", seconds);
        ASSERT_GE(seconds, 0) << "cpu.max is still " << ControlValue(folder, "cpu.max") << "\n" << tqd.log();
        const long long throttled = tqtest::ThrottledPeriods(folder);
        const double used = GroupPercentOfMachine(folder, 3.0);
        printf("cpu1 offline: the 25 %% group used %.2f %% of the machine (1 processor)\n", used);
        EXPECT_LE(used, 28.0);
        EXPECT_TRUE(tqtest::ThrottlingGrows(folder, throttled));
    }
    const double back = SecondsUntil(folder, "50000 100000", 60);
    printf("cpu1 online again: cpu.max followed in %.2f s\n", back);
    EXPECT_GE(back, 0) << tqd.log();
    EXPECT_NE(std::string::npos, tqd.log().find("processors online changed from 2 to 1")) << tqd.log();
}

}  // namespace
