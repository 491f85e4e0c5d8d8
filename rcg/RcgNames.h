// The group name: its rules, checked once, and the value a checked name is
// carried as from then on.  Pure text: nothing here runs a command.
#pragma once

#include <string>

namespace TqRcgCtrllr {

// The name as it may be shown inside double quotes: '\\' and '"' are escaped,
// as are control characters ("\n", "\t", "\r", others "\xHH") and bytes
// above 0x7e ("\xHH").
std::string EscapeRcgName(const std::string& name);

namespace detail {

// A group name split into its parts.  Every form the command lines need is
// here: the path is the form below the hierarchy's root ("rcgName", which
// cgset takes), cgroupSpec the controller-qualified form (which cgcreate,
// cgclassify and cgdelete take).
struct RcgName {
    std::string text;         // as the request gave it ("cpu:/web/db")
    std::string controllers;  // the prefix's controllers ("cpu"); empty for a bare name
    std::string path;         // below the hierarchy's root ("web/db")
    std::string cgroupSpec;   // "cpu:/" + a bare name; the text itself when it holds ":/"
};

// Checks `text` with the name rules and splits it: true with *name set when
// it is a valid group name, else false with *problem set to the full message
//   Invalid resource group name "<name>": <rule>
// A valid name has 1 to 255 characters: an optional controller prefix
// ("cpu:/" or "cpu,cpuacct:/"), then '/'-separated components of letters,
// digits, '_', '-' and '.', at most 16 of them, none empty, none "." or
// "..", none naming a control file of a cgroup ("tasks", "notify_on_release",
// "release_agent", "cgroup.*", or a controller's name and a dot: "cpu.*",
// "memory.*", "pids.*", ...), the first not beginning with '-'.
bool ParseRcgName(const std::string& text, RcgName* name, std::string* problem);

// The message of ParseRcgName for `text`; empty when the name is valid.
std::string RcgNameProblem(const std::string& text);

// The split of a text that no rule checked (the public group constructor,
// entries read back from the store): at the first ":/", controllers before
// it and the path after it; without ":/" the whole text is the path.
RcgName SplitRcgName(const std::string& text);

// Whether two names stored by the manager ("web", "cpu:/web",
// "cpu,cpuacct:/web") name the same group: split as the tools read them.
bool SameRcgGroup(const std::string& a, const std::string& b);

}  // namespace detail
}  // namespace TqRcgCtrllr
