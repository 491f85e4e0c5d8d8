// The group controller: checks names, keeps the cgroup service running,
// finds, creates and deletes groups, and keeps the list of the groups it
// created in the configuration store.
#include "TqRcgCtrllr.h"

#include <new>

#include "../host/TQPlatformInfo.h"
#include "../host/TqProcess.h"
#include "RcgNames.h"
#include "RcgReport.h"

namespace TqRcgCtrllr {

namespace {
const char kFile[] = "TqRcgCtrllr.cpp";
const char kInitFunction[] = "CQiError TqRcgCtrllr::Init()";
const char kGetSysFunction[] = "CQiError TqRcgCtrllr::GetSysRcg(const char*, TqRcgPtr&)";
const char kGetNewFunction[] = "CQiError TqRcgCtrllr::GetNewRcg(const char*, TqRcgPtr&)";
const char kDeleteFunction[] = "CQiError TqRcgCtrllr::DeleteRcg(const char*)";
const char kOutOfMemory[] = "Out of memory. Can't create a new TqRcgMgr object.";

// Makes a group object owned by `group`; false when memory ran out.  The
// constructor reports a failed creation through `error`.
bool MakeGroup(const char* name, bool existing, CQiError& error, TqRcgPtr& group) {
    try {
        group.reset(new linuxRcg(name, existing, error));
        return true;
    } catch (const std::bad_alloc&) {
        group.reset();
        return false;
    }
}

// Appends `name` to the group list in one locked read-modify-write, so that
// concurrent creations lose no name and a long list is kept whole.  A store
// that cannot be read or written does not fail the creation.
void AppendToGroupList(EvDebug& log, const char* tag, const std::string& name) {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    bool existed = false;
    std::string previous, value;
    const int stored = store.update("Base", k_TQRCGMGR_Groups_RegKey,
                                    [&](const std::string* current) {
                                        existed = current != nullptr;
                                        if (current) previous = *current;
                                        value = detail::AppendToGroupList(current, name);
                                        return value;
                                    });
    // Logged only once the store's lock is released.
    if (existed) log.Debug(tag, "Get k_TQRCGMGR_Groups_RegKey value:%s", previous.c_str());
    if (stored) log.Debug(tag, "Set k_TQRCGMGR_Groups_RegKey value:%s", value.c_str());
}
}  // namespace

namespace detail {
CQiError CheckRcgName(const char* name, EvDebug& log, const char* tag, const FXCodeLocation& where) {
    const std::string problem = RcgNameProblem(name ? name : "");
    if (problem.empty()) return CQiError::Success();
    log.Error(tag, "%s", problem.c_str());
    return FXErrorUtil::ErrorWin32(where, k_TqWin32InvalidName, "%s", problem.c_str());
}
}  // namespace detail

CQiError Init() {
    EvEvent log;
    std::string out, err;
    std::string command = "service cgconfig status";
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) == 0) return CQiError::Success();
    command = "service cgconfig start";
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) == 0) return CQiError::Success();
    const char* const tag = "TqRcgCtrllr::Init";
    return detail::ReportCmdFailure(log, tag, {kFile, kInitFunction, __LINE__}, command, out, err);
}

CQiError GetSysRcg(const char* name, TqRcgPtr& group) {
    const char* const tag = "TqRcgCtrllr::GetSysRcg";
    EvEvent log;
    CQiError result = detail::CheckRcgName(name, log, tag, {kFile, kGetSysFunction, __LINE__});
    if (result.IsError()) return result;
    result = Init();
    if (result.IsError()) return result;

    const std::string command = detail::LookupListingCommand(name);
    std::string out, err;
    const int status = TqProcess::system(command.c_str(), &out, &err, 0, false);
    if (status != 0 && !detail::ListingSelectedNothing(status, out, err)) {
        return detail::ReportCmdFailure(log, tag, {kFile, kGetSysFunction, __LINE__},
                                        command, out, err);
    }
    if (out.empty()) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kGetSysFunction, __LINE__},
                                       k_TqWin32NotFound, "The resource group %s doesn't exist.", name);
    }

    TqRcgPtr found;
    if (!MakeGroup(name, true, result, found)) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kGetSysFunction, __LINE__},
                                       k_TqWin32OutOfMemory, "%s", kOutOfMemory);
    }
    group = found;
    return CQiError::Success();
}

CQiError GetNewRcg(const char* name, TqRcgPtr& group) {
    const char* const tag = "TqRcgCtrllr::GetNewRcg";
    EvEvent log;
    CQiError result = detail::CheckRcgName(name, log, tag, {kFile, kGetNewFunction, __LINE__});
    if (result.IsError()) return result;
    result = Init();
    if (result.IsError()) return result;

    TqRcgPtr created;
    if (!MakeGroup(name, false, result, created)) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kGetNewFunction, __LINE__},
                                       k_TqWin32OutOfMemory, "%s", kOutOfMemory);
    }
    if (result.IsError()) return result;  // logged by the constructor
    group = created;

    AppendToGroupList(log, tag, name);
    return CQiError::Success();
}

CQiError DeleteRcg(const char* name) {
    const char* const tag = "TqRcgCtrllr::DeleteRcg";
    EvEvent log;
    CQiError result = detail::CheckRcgName(name, log, tag, {kFile, kDeleteFunction, __LINE__});
    if (result.IsError()) return result;

    std::string command = detail::DeletionListingCommand(name);
    std::string out, err;
    const int status = TqProcess::system(command.c_str(), &out, &err, 0, false);
    if (status != 0) {
        if (detail::ListingSelectedNothing(status, out, err)) return CQiError::Success();
        return detail::ReportCmdFailure(log, tag, {kFile, kDeleteFunction, __LINE__},
                                        command, out, err);
    }

    // Only the lines naming exactly this group count; the listing's text is
    // never run as a command of its own.
    command = detail::DeletionCommand(detail::SelectDeletionLines(out, name));
    if (command.empty()) return CQiError::Success();
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) != 0) {
        return detail::ReportCmdFailure(log, tag, {kFile, kDeleteFunction, __LINE__},
                                        command, out, err);
    }
    return CQiError::Success();
}

}  // namespace TqRcgCtrllr
