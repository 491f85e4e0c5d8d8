// How the group and controller units report a failure and a refused group
// name: the text (RcgFailureText, RcgNames) goes to the log and becomes the
// error returned.  Internal to the library.
#pragma once

#include <string>

#include "../host/CQiError.h"
#include "../host/EvDebug.h"
#include "RcgNames.h"

namespace TqRcgCtrllr {
namespace detail {

// Where the controller's functions report from, whichever groups serve
// them: the signature text of each function's code location and the short
// name it logs under.
constexpr const char kInitSignature[] = "CQiError TqRcgCtrllr::Init()";
constexpr const char kGetSysSignature[] = "CQiError TqRcgCtrllr::GetSysRcg(const char*, TqRcgPtr&)";
constexpr const char kGetNewSignature[] = "CQiError TqRcgCtrllr::GetNewRcg(const char*, TqRcgPtr&)";
constexpr const char kDeleteSignature[] = "CQiError TqRcgCtrllr::DeleteRcg(const char*)";
constexpr const char kInitTag[] = "TqRcgCtrllr::Init";
constexpr const char kGetSysTag[] = "TqRcgCtrllr::GetSysRcg";
constexpr const char kGetNewTag[] = "TqRcgCtrllr::GetNewRcg";
constexpr const char kDeleteTag[] = "TqRcgCtrllr::DeleteRcg";
constexpr const char kSetPropertiesSignature[] =
    "CQiError TqRcgCtrllr::SetRcgProperties(const char*, const std::vector<RcgSetting>&)";
constexpr const char kSetPropertiesTag[] = "TqRcgCtrllr::SetRcgProperties";

// A command failed: the failure text (command line, output, error output,
// cut at 999 characters) goes to the log under `tag` and becomes a 774 error
// built at `where`.  The text is never used as a format.
CQiError ReportCmdFailure(EvDebug& log, const char* tag, const FXCodeLocation& where, const std::string& command,
                          const std::string& out, const std::string& err);

// A call on the cgroup filesystem failed: "Failed to <operation>: <system's
// error text>" goes to the log under `tag` and becomes a 774 error built at
// `where`.
CQiError ReportFsFailure(EvDebug& log, const char* tag, const FXCodeLocation& where,
                         const std::string& operation, int error);

// A request refused with a text of our own: logged under `tag`, the error
// `code` built at `where`.
CQiError ReportRefusal(EvDebug& log, const char* tag, const FXCodeLocation& where, std::uint32_t code,
                       const std::string& text);

// The failure of a creation whose name could not be recorded: logged under
// `tag`, a 774 error built at `where` that names the store's error and says
// whether the new control group was removed again.
CQiError UnrecordedCreation(EvDebug& log, const char* tag, const FXCodeLocation& where,
                            const std::string& name, const std::string& problem, bool undone);

// The one check of group names done by the controller before it builds any
// command line: success with *value set for a valid name; otherwise the
// error 123 with the message of RcgNameProblem, logged under `tag`.
CQiError CheckRcgName(const char* name, RcgName* value, EvDebug& log, const char* tag,
                      const FXCodeLocation& where);

}  // namespace detail
}  // namespace TqRcgCtrllr
