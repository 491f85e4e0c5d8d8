// The pure part of the tqrcg command: reading the stored group list and the
// cgroup tools' output, and the texts and exit statuses it shows.  Nothing
// here runs a command or talks to the daemon.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tqrcg {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The names of a stored group list ("Base"/"sTQRCGMGRGROUPS": each name
// preceded by one blank), each name once, in first-listed order.
std::vector<std::string> ParseGroupList(const std::string& value);

// `text` in single quotes for a POSIX shell; quotes inside are escaped.
std::string ShellQuote(const std::string& text);

// The signed integers of a `cgget -n -v` output, one per line, in order.
// False when a line is not an integer.
bool ParseCggetValues(const std::string& output, std::vector<long long>* values);

// A group's cap in percent of the machine: quota / period / processors ×
// 100, shown without decimals when whole ("50%"), else with one ("12.5%");
// "none" for a negative quota (no limit).  "?" when period or processors
// is not positive.
std::string FormatCap(long long quotaUs, long long periodUs, long processors);
// A share in percent as a cap is shown: "25%", "12.5%" (one decimal, only
// when it is not whole).
std::string FormatPercent(double percent);

// A decimal number of digits only (no sign, blanks or base prefix) between
// `min` and `max`; false otherwise.
bool ParseDecimal(const std::string& text, unsigned long min, unsigned long max, unsigned long* value);

// Number of non-empty lines.
std::size_t CountLines(const std::string& text);

// The mount point of the cgroup v1 hierarchy that carries the cpu
// controller, from a /proc/mounts text; empty when there is none.
std::string CpuMountPoint(const std::string& mounts);

// What to show for a failed request, from the error's AsString(): the
// daemon's message without the "[Win32 error N] " prefixes, without trailing
// line breaks; the connect error becomes advice to start tqd on `port`; an
// empty message says that tqd gave no answer.
std::string FailureText(const std::string& errorText, std::uint64_t port);


// Exit status that reports a waited child: its exit code, or 128 + the
// signal that ended it (the runner's convention); kExitFailure when the
// status holds neither.
int ExitStatusOf(int waitStatus);

}  // namespace tqrcg
