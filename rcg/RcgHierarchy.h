// Which control-group hierarchy carries the cpu controller on this host, and
// where the manager's groups live in it.  The mount table decides, for each
// request: a cgroup v1 hierarchy with cpu first, then a cgroup2 mount whose
// root offers cpu.  Everything that must tell the two apart asks here.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "CgroupFs.h"
#include "RcgQuota.h"

namespace TqRcgCtrllr {

// What the mount table (/proc/self/mounts) says about control groups.
struct CgroupMounts {
    std::string cpuV1;                   // mount point of a v1 hierarchy with cpu
    bool cpuV1WithCpuacct = false;       // that hierarchy carries cpuacct too
    bool anyV1 = false;                  // some v1 hierarchy is mounted
    std::vector<std::string> cgroup2;    // cgroup2 mount points, in table order
    // The mount point of the v1 hierarchy that carries each controller the
    // manager uses (cpu, cpuacct, cpuset, memory, pids); the first one wins.
    std::map<std::string, std::string> v1;
    // The v1 mount point of `controller`; empty when none carries it.
    std::string v1Mount(const std::string& controller) const;
};
CgroupMounts ParseCgroupMounts(const std::string& mountTable);

namespace detail {

// Base of the cgroup2 groups below the mount when the store names none.
constexpr const char kDefaultCgroup2Base[] = "tqrcg";
// Store key ("Base" section) naming another base, relative to the mount.
constexpr const char kCgroup2BaseKey[] = "sTQRCGMGRCGROUP2BASE";

// Whether a cgroup.controllers or cgroup.subtree_control text lists `name`.
bool ListsController(const std::string& text, const std::string& name);

// A cpu.max value "<quota|max> <period>"; false when it is neither.
struct CpuMax {
    bool unlimited = false;
    std::uint64_t quotaUs = 0;
    std::uint64_t periodUs = 0;
};
bool ParseCpuMax(const std::string& text, CpuMax* value);
// The cpu.max value that caps at `quotaUs` of each `periodUs`: "<quota> <period>".
std::string FormatCpuMax(std::uint64_t quotaUs, std::uint64_t periodUs = kCfsPeriodUs);

struct Hierarchy {
    enum Kind {
        kV1,                // the libcgroup tools on a v1 cpu hierarchy
        kCgroup2,           // the cgroup2 filesystem at `mount`
        kCgroup2WithoutCpu  // only cgroup2 is mounted, and its root lacks cpu
    };
    Kind kind = kV1;
    std::string mount;        // cgroup2 mount point (both cgroup2 kinds)
    std::string controllers;  // the root's cgroup.controllers, trimmed
    CgroupMounts mounts;      // the whole mount table's cgroup part
};
// The hierarchy the requests use now: a v1 hierarchy that carries cpu; else a
// cgroup2 mount whose root's cgroup.controllers lists cpu; else, where
// cgroup2 is all there is, cgroup2 without cpu; else v1 as always.
Hierarchy ChooseHierarchy(CgroupFs& fs);

// The configured base of the cgroup2 groups ("tqrcg" by default), checked
// with the group-name rule; empty with *problem set when the stored value
// is not a plain group path.
std::string Cgroup2Base(std::string* problem);

// What to tell a user on a cgroup2 host whose root lacks cpu.
std::string CpuUnavailableText(const Hierarchy& hierarchy);

}  // namespace detail
}  // namespace TqRcgCtrllr
