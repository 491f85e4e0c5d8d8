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

// A setting request that failed at `failure`: says that no setting of the
// request was kept, or, when restoring them failed too, which were left.
std::string UnappliedSettingsText(const std::string& failure, const std::string& notRestored);

// A property whose controller the hierarchy does not offer.
std::string ControllerMissingText(const std::string& property, const std::string& controller,
                                  const std::string& where);

// A property that cgroup v1 has no file for.
std::string NoV1CounterpartText(const std::string& property);

}  // namespace detail
}  // namespace TqRcgCtrllr
