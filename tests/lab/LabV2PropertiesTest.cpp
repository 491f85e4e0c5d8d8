// The properties besides the cap, set through a real tqd and measured on real
// processes of the guest: memory limits, CPU weight and burst, processors
// and the process count.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "include/tqrcgmgr/tqrcgmgr.h"
#include "rcg/RcgFigures.h"
#include "rcg/RcgRecord.h"
#include "tests/lab/LabV2Support.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqlab;

constexpr std::size_t kMiB = 1 << 20;

// A child of the test that waits until it is in its group, then runs `work`
// and exits with its result.  Ended by pid if it still runs when the object
// goes.
class GatedChild {
public:
    explicit GatedChild(const std::function<int()>& work) {
        int gate[2];
        if (pipe(gate) != 0) std::abort();
        m_pid = fork();
        if (m_pid == 0) {
            close(gate[1]);
            char go = 0;
            if (read(gate[0], &go, 1) != 1) _exit(99);
            _exit(work());
        }
        close(gate[0]);
        m_gate = gate[1];
    }
    ~GatedChild() {
        if (m_gate >= 0) close(m_gate);
        if (!m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }
    void start() {
        const char go = 1;
        if (write(m_gate, &go, 1) != 1) std::abort();
        close(m_gate);
        m_gate = -1;
    }
    // The wait status once it ended, within `seconds`; -1 when it did not.
    int wait(int seconds) {
        for (int tick = 0; tick < seconds * 10; ++tick) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_reaped = true;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    int m_gate = -1;
    bool m_reaped = false;
};

// Allocates `mib` MiB one MiB at a time, touching every page.
int Allocate(std::size_t mib) {
    for (std::size_t i = 0; i < mib; ++i) {
        char* block = static_cast<char*>(std::malloc(kMiB));
        if (block == nullptr) return 2;
        std::memset(block, 1, kMiB);
    }
    return 0;
}

// A flat-keyed value of a group's control file ("oom_kill" of memory.events).
std::uint64_t KeyedValue(const std::string& folder, const std::string& file, const std::string& key) {
    std::uint64_t value = 0;
    TqRcgCtrllr::detail::FlatKeyedValue(tqtest::ReadFile(folder + "/" + file), key, &value);
    return value;
}

class V2Properties : public ::testing::Test {
protected:
    void SetUp() override { LAB_REQUIRE_V2_HOST(); }
    // A new group of the test's with `settings` applied.
    std::string group(const std::string& suffix, const std::list<std::string>& settings) {
        const std::string name = OwnedName(suffix);
        m_cleanup.group(name);
        EXPECT_FALSE(createRcgGroup(name).IsError()) << m_tqd.log();
        if (settings.empty()) return name;
        const CQiError result = setRcgProperties(name, settings);
        EXPECT_FALSE(result.IsError()) << result.AsString();
        return name;
    }
    void assign(const std::string& name, pid_t pid) {
        const CQiError result = assignPidsTo(name, {static_cast<unsigned int>(pid)});
        ASSERT_FALSE(result.IsError()) << result.AsString();
    }

    V2Cleanup m_cleanup;
    LabTqd m_tqd;
};

TEST_F(V2Properties, MemoryMaxKillsAnAllocatorInsideItsGroupAndTqdLivesOn) {
    const std::string name = group("oom", {"memory.max=64M"});
    EXPECT_EQ("67108864", ControlValue(GroupFolder(name), "memory.max"));
    GatedChild allocator([] { return Allocate(256); });
    assign(name, allocator.pid());
    allocator.start();
    const int status = allocator.wait(120);
    ASSERT_NE(-1, status) << "the allocator neither finished nor was killed";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    EXPECT_GE(KeyedValue(GroupFolder(name), "memory.events", "oom_kill"), 1u);
    // tqd serves on, and its figures show the kill.
    EXPECT_FALSE(setRcgProperties(name, {"memory.max=128M"}).IsError());
    TqRcgCtrllr::RecordedFigures figures;
    std::string problem;
    ASSERT_TRUE(TqRcgCtrllr::ReadRecordedFigures(&figures, &problem)) << problem;
    bool shown = false;
    for (const auto& each : figures.groups) shown = shown || (each.name == name && each.oomKills >= 1);
    EXPECT_TRUE(shown);
}

TEST_F(V2Properties, MemoryHighSlowsAnAllocatorInsteadOfKillingIt) {
    const std::string name = group("high", {"memory.high=32M"});
    GatedChild allocator([] { return Allocate(48); });
    assign(name, allocator.pid());
    allocator.start();
    // Above memory.high the kernel makes the allocator wait, and without
    // swap it may wait for long: it is enough that it lives on, held back.
    const int status = allocator.wait(20);
    EXPECT_TRUE(status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "status " << status;
    EXPECT_GE(KeyedValue(GroupFolder(name), "memory.events", "high"), 1u) << "held back above memory.high";
    EXPECT_EQ(0u, KeyedValue(GroupFolder(name), "memory.events", "oom_kill"));
}

TEST_F(V2Properties, WeightsSplitTheMachineByTheirRatio) {
    const std::string light = group("w100", {"cpu.weight=100"});
    const std::string heavy = group("w300", {"cpu.weight=300"});
    std::vector<std::unique_ptr<tqtest::BusyChild>> loops;
    for (const std::string& name : {light, heavy}) {
        for (long i = 0; i <= OnlineProcessors(); ++i) {
            loops.emplace_back(new tqtest::BusyChild);
            assign(name, loops.back()->pid());
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double lightBefore = UsageSeconds(GroupFolder(light)), heavyBefore = UsageSeconds(GroupFolder(heavy));
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const double lightUsed = UsageSeconds(GroupFolder(light)) - lightBefore;
    const double heavyUsed = UsageSeconds(GroupFolder(heavy)) - heavyBefore;
    const double heavyShare = 100.0 * heavyUsed / (lightUsed + heavyUsed);
    printf("weights 100/300: %.2f s / %.2f s, the heavier group's share %.1f %%\n", lightUsed, heavyUsed, heavyShare);
    EXPECT_NEAR(75.0, heavyShare, 5.0);
}

TEST_F(V2Properties, PidsMaxStopsAForkLoopAtItsLimit) {
    const std::string name = group("pids", {"pids.max=20"});
    int counted[2];
    ASSERT_EQ(0, pipe(counted));
    GatedChild forker([&counted] {
        setpgid(0, 0);
        int made = 0;
        for (;; ++made) {
            const pid_t child = fork();
            if (child < 0) break;
            if (child == 0) {
                pause();
                _exit(0);
            }
        }
        if (write(counted[1], &made, sizeof made) != sizeof made) return 3;
        pause();
        return 0;
    });
    assign(name, forker.pid());
    forker.start();
    int made = -1;
    ASSERT_EQ(static_cast<ssize_t>(sizeof made), read(counted[0], &made, sizeof made));
    EXPECT_EQ(19, made) << "the forker itself is the twentieth";
    EXPECT_EQ("20", ControlValue(GroupFolder(name), "pids.current"));
    EXPECT_GE(KeyedValue(GroupFolder(name), "pids.events", "max"), 1u);
    kill(-forker.pid(), SIGKILL);  // the forker's own process group
    close(counted[0]);
    close(counted[1]);
}

TEST_F(V2Properties, ProcessorsPinAGroupToProcessorOne) {
    ASSERT_GE(OnlineProcessors(), 2);
    const std::string name = group("cpus", {"cpuset.cpus=1"});
    tqtest::BusyChild loop;
    assign(name, loop.pid());
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(0, sched_getaffinity(loop.pid(), sizeof allowed, &allowed));
    EXPECT_EQ(1, CPU_COUNT(&allowed));
    EXPECT_TRUE(CPU_ISSET(1, &allowed));
    EXPECT_EQ("1", ControlValue(GroupFolder(name), "cpuset.cpus.effective"));
}

TEST_F(V2Properties, ABurstLetsAShortSpikeAboveTheCapPass) {
    const std::string name = group("burst", {});
    ASSERT_FALSE(setRcgCPUShare(name, 25).IsError());
    ASSERT_FALSE(setRcgCPUBurst(name, 25).IsError());
    // Idle for a while, then a spike on every processor, a few times over.
    GatedChild spiky([] {
        for (int round = 0; round < 5; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
            std::vector<std::thread> threads;
            for (long i = 0; i < sysconf(_SC_NPROCESSORS_ONLN); ++i) {
                threads.emplace_back([] {
                    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
                    while (std::chrono::steady_clock::now() < end) {
                    }
                });
            }
            for (std::thread& thread : threads) thread.join();
        }
        return 0;
    });
    assign(name, spiky.pid());
    spiky.start();
    ASSERT_NE(-1, spiky.wait(120));
    EXPECT_GT(KeyedValue(GroupFolder(name), "cpu.stat", "nr_bursts"), 0u);
}

}  // namespace
