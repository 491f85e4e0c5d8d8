// The texts of the controller's failures: a command that failed, a call on
// the cgroup filesystem that failed, a creation whose name could not be
// recorded.  Pure text; RcgReport logs them and makes them errors.
#pragma once

#include <string>

namespace TqRcgCtrllr {
namespace detail {

// The command-failure text: "Failed to run cmd [%s] out[%s] err[%s]\n" filled
// in, cut at 999 characters.
std::string FormatCmdFailure(const std::string& command, const std::string& out, const std::string& err);

// "Failed to <operation>: <system's error text>"
std::string FsFailureText(const std::string& operation, int error);

// A creation whose name could not be added to the group list: names the
// store's error and says whether the new control group was removed again.
std::string UnrecordedCreationText(const std::string& name, const std::string& problem, bool undone);

}  // namespace detail
}  // namespace TqRcgCtrllr
