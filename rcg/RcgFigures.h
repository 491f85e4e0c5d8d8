// The figures of a group as the kernel keeps them: its cap and properties,
// its processes, the CPU time and memory they use, how often and how long the
// CFS bandwidth control held it back, OOM kills and pressure.  The drivers
// read them from the cgroup filesystem through CgroupFs (RcgDriver::figures),
// so that neither root nor tqd is needed; the parsers here are pure, and the
// reading steps both hierarchies share sit at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CgroupFs.h"
#include "RcgProperties.h"

namespace TqRcgCtrllr {

// ---- the figures -------------------------------------------------------

// Where the CPU time of a group comes from.
enum class CpuTimeSource {
    kNone,       // not readable
    kCpuStat,    // cgroup2 cpu.stat usage_usec
    kCpuacct,    // cgroup v1 cpuacct.usage, where cpuacct shares the cpu hierarchy
    kProcesses,  // the sum over the group's current processes (/proc/<pid>/stat):
                 // time of processes that left or ended is not counted
};
// "cpu.stat", "cpuacct.usage", "processes" or "none".
const char* CpuTimeSourceName(CpuTimeSource source);

struct GroupFigures {
    std::string name;  // as listed
    enum State {
        kPresent,      // the group's folder is there; see the has* flags
        kMissing,      // no folder for it
        kInvalidName,  // not a group name the controller accepts: not looked up
    };
    State state = kPresent;

    bool hasCap = false;
    std::int64_t quotaUs = -1;  // -1: no limit
    std::uint64_t periodUs = 0;

    bool hasProcesses = false;
    std::uint64_t processes = 0;

    CpuTimeSource cpuSource = CpuTimeSource::kNone;
    std::uint64_t cpuTimeNs = 0;

    bool hasThrottling = false;
    std::uint64_t periods = 0;
    std::uint64_t throttledPeriods = 0;
    std::uint64_t throttledNs = 0;

    bool hasBursts = false;
    std::uint64_t bursts = 0;  // periods in which a burst was used

    // Memory, where the memory controller holds the group.
    bool hasMemory = false;
    std::uint64_t memoryBytes = 0;  // in use now
    bool hasMemoryPeak = false;
    std::uint64_t memoryPeakBytes = 0;
    bool hasOomKills = false;
    std::uint64_t oomKills = 0;  // processes the OOM killer ended in the group

    bool hasTasks = false;
    std::uint64_t tasks = 0;  // pids.current: processes and threads

    // The "some avg10" pressure, percent; negative where the kernel offers none.
    double cpuPressure = -1;
    double memoryPressure = -1;

    // Each property as the kernel holds it, in the property's terms
    // (ReadKernelValue), by RcgProperty; empty where it cannot be read.
    std::array<std::string, kRcgPropertyCount> properties;
    std::string& kernelValue(RcgProperty property) { return properties[static_cast<std::size_t>(property)]; }
    const std::string& kernelValue(RcgProperty property) const {
        return properties[static_cast<std::size_t>(property)];
    }

    // What could not be read, for a message; empty when all was.
    std::string problem;
};

// The cap as a percentage of the machine (QuotaPercent); negative without a
// cap, for no limit or when it cannot be told.
double CapPercent(const GroupFigures& figures, long processors);
// Throttled periods as a percentage of all periods; 0 without periods.
double ThrottledPercent(std::uint64_t throttledPeriods, std::uint64_t periods);

namespace detail {

// ---- pure parsing ------------------------------------------------------

// The value of `key` in a flat-keyed file ("key value" per line, as
// cpu.stat); false when the key is missing or its value is not a decimal.
bool FlatKeyedValue(const std::string& text, const std::string& key, std::uint64_t* value);

// One decimal number with blanks and a line break around it (cpuacct.usage,
// cpu.cfs_period_us); signed for cpu.cfs_quota_us, whose -1 means no limit.
bool ParseDecimalText(const std::string& text, std::uint64_t* value);
bool ParseSignedText(const std::string& text, std::int64_t* value);

// utime + stime of a /proc/<pid>/stat text, in clock ticks; false when the
// text has no such fields.  The command name in parentheses may hold blanks
// and parentheses of its own.
bool ParseProcStatTicks(const std::string& text, std::uint64_t* ticks);

// Process ids of a cgroup.procs text, in order.
std::vector<unsigned long> ParseProcs(const std::string& text);

// The "some avg10" share of a pressure file (cpu.pressure,
// memory.pressure), in percent; false when the text has none.
bool PressureSomeAvg10(const std::string& text, double* percent);

// ---- reading, shared by the drivers ------------------------------------------

// Starts the figures of `name`: false with the state set when the name is
// not one the controller accepts or the group's folder below `root` is gone
// (an empty root: no group can exist).  Otherwise *folder is the group's
// folder, and its processes are read into `figures` and *pids.
bool StartFigures(CgroupFs& fs, const std::string& name, const std::string& root, GroupFigures* figures,
                  std::string* folder, std::vector<unsigned long>* pids);

// The memory figures of the group whose folder is `folder`, `v1` telling the
// files' names.
void ReadMemoryFigures(CgroupFs& fs, const std::string& folder, bool v1, GroupFigures* figures);
// pids.current of the folder.
void ReadTaskFigures(CgroupFs& fs, const std::string& folder, GroupFigures* figures);
// CPU time summed over the processes (/proc/<pid>/stat), for a v1 group
// whose hierarchy has no cpuacct.
void ReadProcessCpuTime(CgroupFs& fs, const std::vector<unsigned long>& pids, long ticksPerSecond,
                        GroupFigures* figures);
// "cannot read <file>" when no problem is noted yet.
void NoteProblem(GroupFigures* figures, const std::string& file);

}  // namespace detail
}  // namespace TqRcgCtrllr
