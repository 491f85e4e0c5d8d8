// The command lines of the cgroup v1 groups, built from checked names, and
// what their outputs and statuses mean.  Pure text: nothing here runs a
// command.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "RcgNames.h"

namespace TqRcgCtrllr {
namespace detail {

// "lscgroup | grep :/<name> | cut -d"/" -f2 | grep -w <name>"
std::string LookupListingCommand(const RcgName& name);
// The lookup of a group: for a bare one-component name the design's
// LookupListingCommand; for nested and controller-qualified names
// "lscgroup cpu:/<path>", which lists that group and those below it.
std::string LookupCommand(const RcgName& name);
// Whether a lookup's output names exactly the group: for the design's
// listing a line equal to the name (the first path component of a listed
// group, so "web" is found while only "web/child" exists); for
// "lscgroup cpu:/<path>" a line "<controllers>:/<path>[/]" (or, from
// libcgroup 3, "<controllers>://<path>[/]") whose controllers include cpu.
bool LookupFindsGroup(const std::string& output, const RcgName& name);

// libcgroup 3's lscgroup prints "<controllers>://<path>" where 2.0 printed
// "<controllers>:/<path>", so the lookup listing of a bare name selects
// nothing there.  When it did, this listing, "lscgroup | grep -w <name>" (the
// deletion listing), shows how the installed tool prints the group; empty for
// nested and controller-qualified names, whose lookup reads lscgroup's own
// lines in either form.
std::string DoubleSlashLookupCommand(const RcgName& name);
// Whether that listing names the group in the form "<controllers>://<path>":
// a line whose first path component is the name (as the lookup listing
// finds "web" through "web/child").  Lines "<controllers>:/<path>" never
// count: where lscgroup prints those, the lookup listing has answered.
bool DoubleSlashLookupFindsGroup(const std::string& output, const RcgName& name);

// "lscgroup | grep -w <name>"
std::string DeletionListingCommand(const RcgName& name);

// The lines of a deletion listing that name exactly the group: lines of the
// form "<controllers>:/<path>" or, from libcgroup 3, "<controllers>://<path>"
// (controllers of [a-z0-9_,=]) whose path
// equals the name's path and, when the name carries a controller prefix,
// whose controllers equal that prefix's.  Each line is returned as listed,
// with its line break when it had one.
std::vector<std::string> SelectDeletionLines(const std::string& listing, const RcgName& name);

// The cgdelete commands for the selected lines, one each: "cgdelete -g " +
// the line as listed.  (cgdelete deletes only the first of several -g.)
std::vector<std::string> DeletionCommands(const std::vector<std::string>& lines);

// The controllers in a group object's controller list that are not cpu's
// own ("memory,pids" of "cpu,memory,pids"): the hierarchies besides cpu's
// that a group joined for its properties.
std::string V1ExtraControllers(const std::string& controllers);

// "cgdelete -g <cgroupSpec>": removes a group that was just created again.
std::string UndoCreationCommand(const RcgName& name);

// Whether the cgconfig service runs, and its start.
constexpr const char kCgconfigStatusCommand[] = "service cgconfig status";
constexpr const char kCgconfigStartCommand[] = "service cgconfig start";
// The processors a v1 cap is computed for.
constexpr const char kProcessorCountCommand[] = "nproc";

// "cgcreate -g <cgroupSpec>"
std::string CreateCommand(const std::string& cgroupSpec);
// "cgset -r cpu.cfs_period_us=<periodUs> <rcgName>"
std::string PeriodCommand(std::uint64_t periodUs, const std::string& rcgName);
// "cgset -r cpu.cfs_quota_us=<quotaUs> <rcgName>"
std::string QuotaCommand(std::uint64_t quotaUs, const std::string& rcgName);
// "cgset -r <file>=<value> <rcgName>": any control file of a property.
std::string SetCommand(const std::string& file, const std::string& value, const std::string& rcgName);

// "cgclassify -g <cgroupSpec> " followed by " <pid>" for each pid (so two
// blanks before the first).
std::string ClassifyCommand(const std::string& cgroupSpec, const std::list<unsigned int>& pids);

// Whether a runner's result means "the command ran and exited with status
// 1", which is how a grep that selected nothing ends.
bool IsExitStatusOne(int status);

// A listing that ran and selected nothing: exit status 1 with no output and
// no error output.
bool ListingSelectedNothing(int status, const std::string& out, const std::string& err);

}  // namespace detail
}  // namespace TqRcgCtrllr
