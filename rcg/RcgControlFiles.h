// Every control file the manager reads or writes, named once, by controller
// and by hierarchy.  The drivers and the figures reader take the names from
// here; no other unit spells a control file.
#pragma once

namespace TqRcgCtrllr {
namespace cgfile {

// Files of every group, whatever its controllers.
namespace core {
constexpr const char kProcs[] = "cgroup.procs";
constexpr const char kControllers[] = "cgroup.controllers";          // cgroup2
constexpr const char kSubtreeControl[] = "cgroup.subtree_control";  // cgroup2
}  // namespace core

namespace cpu {
// cgroup2
constexpr const char kMax[] = "cpu.max";
constexpr const char kMaxBurst[] = "cpu.max.burst";
constexpr const char kWeight[] = "cpu.weight";
constexpr const char kStat[] = "cpu.stat";
constexpr const char kPressure[] = "cpu.pressure";
// cgroup v1
constexpr const char kV1Period[] = "cpu.cfs_period_us";
constexpr const char kV1Quota[] = "cpu.cfs_quota_us";
constexpr const char kV1Burst[] = "cpu.cfs_burst_us";
constexpr const char kV1Shares[] = "cpu.shares";
constexpr const char kV1Stat[] = "cpu.stat";
// Keys of cpu.stat.
constexpr const char kStatPeriods[] = "nr_periods";
constexpr const char kStatThrottled[] = "nr_throttled";
constexpr const char kStatThrottledUs[] = "throttled_usec";   // cgroup2
constexpr const char kStatThrottledNs[] = "throttled_time";   // cgroup v1
constexpr const char kStatUsageUs[] = "usage_usec";           // cgroup2
constexpr const char kStatBursts[] = "nr_bursts";
}  // namespace cpu

namespace cpuacct {
constexpr const char kV1Usage[] = "cpuacct.usage";
}  // namespace cpuacct

namespace cpuset {
constexpr const char kCpus[] = "cpuset.cpus";          // both hierarchies
constexpr const char kCpusEffective[] = "cpuset.cpus.effective";
constexpr const char kV1Mems[] = "cpuset.mems";
}  // namespace cpuset

namespace memory {
// cgroup2
constexpr const char kMax[] = "memory.max";
constexpr const char kHigh[] = "memory.high";
constexpr const char kSwapMax[] = "memory.swap.max";
constexpr const char kCurrent[] = "memory.current";
constexpr const char kPeak[] = "memory.peak";
constexpr const char kEvents[] = "memory.events";
constexpr const char kPressure[] = "memory.pressure";
// cgroup v1
constexpr const char kV1Limit[] = "memory.limit_in_bytes";
constexpr const char kV1MemswLimit[] = "memory.memsw.limit_in_bytes";
constexpr const char kV1Usage[] = "memory.usage_in_bytes";
constexpr const char kV1MaxUsage[] = "memory.max_usage_in_bytes";
constexpr const char kV1OomControl[] = "memory.oom_control";
// Keys of memory.events and memory.oom_control.
constexpr const char kOomKillKey[] = "oom_kill";
}  // namespace memory

namespace pids {
constexpr const char kMax[] = "pids.max";  // both hierarchies
constexpr const char kCurrent[] = "pids.current";
}  // namespace pids

// Files outside the cgroup filesystem that tell about the machine.
namespace machine {
constexpr const char kMounts[] = "/proc/self/mounts";
constexpr const char kMeminfo[] = "/proc/meminfo";
constexpr const char kOnlineCpus[] = "/sys/devices/system/cpu/online";
}  // namespace machine

}  // namespace cgfile
}  // namespace TqRcgCtrllr
