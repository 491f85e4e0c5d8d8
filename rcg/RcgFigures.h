// The figures of a group as the kernel keeps them: its cap, its processes,
// the CPU time its processes used, and how often and how long the CFS
// bandwidth control held it back.  Read from the cgroup filesystem through
// CgroupFs, on the hierarchy the requests use (cgroup v1 cpu or cgroup2), so
// that neither root nor tqd is needed.  The parsers are pure; GroupFigures
// reading is the only I/O here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CgroupFs.h"

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

// ---- reading ---------------------------------------------------------

// Where the groups' folders are on the hierarchy in use.
struct GroupsPlace {
    bool cgroup2 = false;
    std::string groupsRoot;      // a group's path below it names its folder
    bool cpuacctShared = false;  // v1: cpuacct is mounted with cpu
    long processors = 0;         // caps are shares of this many processors
};

// The place on the hierarchy that ChooseHierarchy picks: the cgroup2 base
// below the mount, or the mount point of the v1 cpu hierarchy (empty when
// none is mounted: no group can exist).  Processors: the online ones on
// cgroup2, those this process may run on (as nproc counts them) on v1.
// False with *problem set on a cgroup2 host without cpu or with an unusable
// base.
bool FindGroupsPlace(CgroupFs& fs, GroupsPlace* place, std::string* problem);

// Reads the figures of groups through `fs`.
class FiguresReader {
public:
    FiguresReader(CgroupFs& fs, GroupsPlace place, long ticksPerSecond);
    const GroupsPlace& place() const { return m_place; }
    // The figures of the group `name` (bare or controller-qualified).
    GroupFigures read(const std::string& name);

private:
    void readCap(const std::string& folder, GroupFigures* figures);
    void readThrottling(const std::string& folder, GroupFigures* figures);
    void readCpuTime(const std::string& folder, const std::vector<unsigned long>& pids,
                     GroupFigures* figures);

    CgroupFs& m_fs;
    GroupsPlace m_place;
    long m_ticksPerSecond;
    std::string m_text;  // reused between reads
};

}  // namespace detail
}  // namespace TqRcgCtrllr
