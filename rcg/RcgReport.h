// How the group and controller units report a failed command and a refused
// group name.  Internal to the library.
#pragma once

#include "../common/TqRcgDefs.h"
#include "../host/CQiError.h"
#include "../host/EvDebug.h"
#include "RcgNames.h"

namespace TqRcgCtrllr {
namespace detail {

// A command failed: the failure text (command line, output, error output,
// cut at 999 characters) goes to the log under `tag` and becomes a 774 error
// built at `where`.  The text is never used as a format.
inline CQiError ReportCmdFailure(EvDebug& log, const char* tag, const FXCodeLocation& where,
                                 const std::string& command, const std::string& out,
                                 const std::string& err) {
    const std::string text = FormatCmdFailure(command, out, err);
    log.Error(tag, "%s", text.c_str());
    return FXErrorUtil::ErrorWin32(where, kTqWin32CommandFailed, "%s", text.c_str());
}

// A call on the cgroup filesystem failed: "Failed to <operation>: <system's
// error text>" goes to the log under `tag` and becomes a 774 error built at
// `where`.
CQiError ReportFsFailure(EvDebug& log, const char* tag, const FXCodeLocation& where,
                         const std::string& operation, int error);

// The one check of group names done by the controller before it builds any
// command line: success for a valid name; otherwise the error 123 with the
// message of RcgNameProblem, logged under `tag`.
CQiError CheckRcgName(const char* name, EvDebug& log, const char* tag, const FXCodeLocation& where);

}  // namespace detail
}  // namespace TqRcgCtrllr
