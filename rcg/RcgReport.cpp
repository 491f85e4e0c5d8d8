#include "RcgReport.h"

#include <cstring>

namespace TqRcgCtrllr {
namespace detail {

CQiError ReportFsFailure(EvDebug& log, const char* tag, const FXCodeLocation& where,
                         const std::string& operation, int error) {
    char buffer[256] = {};
    const std::string text = "Failed to " + operation + ": " + strerror_r(error, buffer, sizeof buffer);
    log.Error(tag, "%s", text.c_str());
    return FXErrorUtil::ErrorWin32(where, kTqWin32CommandFailed, "%s", text.c_str());
}

}  // namespace detail
}  // namespace TqRcgCtrllr
