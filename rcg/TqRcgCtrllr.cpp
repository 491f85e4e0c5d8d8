// The group controller: checks names, keeps the cgroup service running, and
// finds, creates, deletes and sets groups through the driver of the
// hierarchy in use.
#include "TqRcgCtrllr.h"

#include "../host/TqProcess.h"
#include "../common/TqRcgText.h"
#include "RcgCommandLines.h"
#include "RcgDriver.h"
#include "RcgReport.h"

namespace TqRcgCtrllr {

namespace {
const char kFile[] = "TqRcgCtrllr.cpp";
}  // namespace

CQiError Init() {
    EvEvent log;
    std::string out, err;
    std::string command = detail::kCgconfigStatusCommand;
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) == 0) return CQiError::Success();
    command = detail::kCgconfigStartCommand;
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) == 0) return CQiError::Success();
    const char* const tag = detail::kInitTag;
    return detail::ReportCmdFailure(log, tag, {kFile, detail::kInitSignature, __LINE__}, command, out, err);
}

CQiError GetSysRcg(const char* name, TqRcgPtr& group) {
    EvEvent log;
    detail::RcgName checked;
    const CQiError result =
        detail::CheckRcgName(name, &checked, log, detail::kGetSysTag, {kFile, detail::kGetSysSignature, __LINE__});
    if (result.IsError()) return result;
    return detail::ChooseDriver()->find(checked, group);
}

CQiError GetNewRcg(const char* name, TqRcgPtr& group) {
    EvEvent log;
    detail::RcgName checked;
    const CQiError result =
        detail::CheckRcgName(name, &checked, log, detail::kGetNewTag, {kFile, detail::kGetNewSignature, __LINE__});
    if (result.IsError()) return result;
    return detail::ChooseDriver()->create(checked, group);
}

CQiError DeleteRcg(const char* name) {
    EvEvent log;
    detail::RcgName checked;
    const CQiError result =
        detail::CheckRcgName(name, &checked, log, detail::kDeleteTag, {kFile, detail::kDeleteSignature, __LINE__});
    if (result.IsError()) return result;
    return detail::ChooseDriver()->remove(checked);
}

namespace detail {

CQiError SetRcgProperties(const char* name, const std::vector<RcgSetting>& settings) {
    EvEvent log;
    RcgName checked;
    CQiError result = CheckRcgName(name, &checked, log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__});
    if (result.IsError()) return result;
    const std::unique_ptr<RcgDriver> driver = ChooseDriver();
    TqRcgPtr group;
    result = driver->find(checked, group);
    if (result.IsError()) return result;
    return driver->apply(checked, settings);
}

}  // namespace detail
}  // namespace TqRcgCtrllr
