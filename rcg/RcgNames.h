// Pure text and arithmetic of the resource groups: the name rules, the two
// forms of a group name, command lines, the CPU quota, the selection of the
// lines to delete from a listing and the command-failure text.  Nothing here
// runs a command or touches the configuration store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TqRcgCtrllr {
namespace detail {

// The CFS period every group is given, in microseconds.
constexpr std::uint64_t kCfsPeriodUs = 100000;

// Why `name` cannot be a group name, as the full message
//   Invalid resource group name "<name>": <rule>
// or an empty string when the name is valid.  A valid name has 1 to 255
// characters: an optional controller prefix ("cpu:/" or "cpu,cpuacct:/"),
// then '/'-separated components of letters, digits, '_', '-' and '.', none
// empty, none "." or "..", none naming a control file of a cgroup v1
// hierarchy ("tasks", "notify_on_release", "release_agent", "cgroup.*",
// "cpu.*", "cpuacct.*").
std::string RcgNameProblem(const std::string& name);

// The name as it may be shown inside double quotes: '\\' and '"' are escaped,
// as are control characters ("\n", "\t", "\r", others "\xHH") and bytes
// above 0x7e ("\xHH").
std::string EscapeRcgName(const std::string& name);

// The two forms of a group name: bare ("foo") gives rcgName "foo" and
// cgroupSpec "cpu:/foo"; a name holding ":/" ("cpu:/foo") is already
// controller-qualified and serves as cgroupSpec, and rcgName is what follows
// the first ":/".
struct RcgNameForms {
    std::string rcgName;
    std::string cgroupSpec;
};
RcgNameForms SplitRcgName(const std::string& name);

// A group name, checked once and then carried as a value.
struct RcgName {
    std::string text;         // as the request gave it ("cpu:/web/db")
    std::string controllers;  // the prefix's controllers ("cpu"); empty for a bare name
    std::string path;         // below the hierarchy's root ("web/db")
};
// The value of a name that RcgNameProblem accepts.
RcgName ParseRcgName(const std::string& text);

// The controller part of a prefixed name ("cpu" for "cpu:/web"); empty for a
// bare name.
std::string RcgControllerOf(const std::string& name);

// "lscgroup | grep :/<name> | cut -d"/" -f2 | grep -w <name>"
std::string LookupListingCommand(const std::string& name);
// The lookup of a group: for a bare one-component name the design's
// LookupListingCommand; for nested and controller-qualified names
// "lscgroup cpu:/<path>", which lists that group and those below it.
std::string LookupCommand(const RcgName& name);
// Whether a lookup's output names exactly the group: for the design's
// listing a line equal to the name (the first path component of a listed
// group, so "web" is found while only "web/child" exists); for
// "lscgroup cpu:/<path>" a line "<controllers>:/<path>[/]" whose
// controllers include cpu.
bool LookupFindsGroup(const std::string& output, const RcgName& name);

// "lscgroup | grep -w <name>"
std::string DeletionListingCommand(const std::string& name);

// percent × processors × period / 100, computed without wrapping: the
// product is formed in 128 bits and the result held at UINT64_MAX.  The
// processor count is taken as unsigned, as the tools report it.
std::uint64_t ComputeCpuQuota(unsigned int percent, int processors,
                              std::uint64_t periodUs = kCfsPeriodUs);

// The lines of a deletion listing that name exactly the group `name`: lines
// of the form "<controllers>:/<path>" (controllers of [a-z0-9_,=]) whose path
// equals the name's path and, when the name carries a controller prefix,
// whose controllers equal that prefix's.  Each line is returned as listed,
// with its line break when it had one.
std::vector<std::string> SelectDeletionLines(const std::string& listing,
                                             const std::string& name);

// The cgdelete command for the selected lines; empty when there are none.
// One line: "cgdelete -g " + the line as listed.  Several: one -g argument per
// line, "cgdelete -g A -g B\n".
std::string DeletionCommand(const std::vector<std::string>& lines);

// The command-failure text: "Failed to run cmd [%s] out[%s] err[%s]\n" filled
// in, cut at 999 characters.
std::string FormatCmdFailure(const std::string& command, const std::string& out,
                             const std::string& err);

// Whether a runner's result means "the command ran and exited with status
// 1", which is how a grep that selected nothing ends.
bool IsExitStatusOne(int status);

// A listing that ran and selected nothing: exit status 1 with no output and
// no error output.
bool ListingSelectedNothing(int status, const std::string& out, const std::string& err);

// The group list after appending `name`: the old value (or nothing when
// there was none) followed by one blank and the name.
std::string AppendToGroupList(const std::string* current, const std::string& name);

}  // namespace detail
}  // namespace TqRcgCtrllr
