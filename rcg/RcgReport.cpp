#include "RcgReport.h"

#include "../common/TqRcgDefs.h"
#include "RcgFailureText.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {
// `text` to the log under `tag` and as the error `code` built at `where`.
CQiError Report(EvDebug& log, const char* tag, const FXCodeLocation& where, std::uint32_t code,
                const std::string& text) {
    log.Error(tag, "%s", text.c_str());
    return FXErrorUtil::ErrorWin32(where, code, "%s", text.c_str());
}
}  // namespace

CQiError ReportCmdFailure(EvDebug& log, const char* tag, const FXCodeLocation& where, const std::string& command,
                          const std::string& out, const std::string& err) {
    return Report(log, tag, where, kTqWin32CommandFailed, FormatCmdFailure(command, out, err));
}

CQiError ReportFsFailure(EvDebug& log, const char* tag, const FXCodeLocation& where,
                         const std::string& operation, int error) {
    return Report(log, tag, where, kTqWin32CommandFailed, FsFailureText(operation, error));
}

CQiError ReportRefusal(EvDebug& log, const char* tag, const FXCodeLocation& where, std::uint32_t code,
                       const std::string& text) {
    return Report(log, tag, where, code, text);
}

CQiError UnrecordedCreation(EvDebug& log, const char* tag, const FXCodeLocation& where,
                            const std::string& name, const std::string& problem, bool undone) {
    return Report(log, tag, where, kTqWin32CommandFailed, UnrecordedCreationText(name, problem, undone));
}

CQiError CheckRcgName(const char* name, RcgName* value, EvDebug& log, const char* tag,
                      const FXCodeLocation& where) {
    std::string problem;
    if (ParseRcgName(name ? name : "", value, &problem)) return CQiError::Success();
    return Report(log, tag, where, kTqWin32InvalidName, problem);
}

}  // namespace detail
}  // namespace TqRcgCtrllr
