// The group controller: checks names, keeps the cgroup service running,
// finds, creates and deletes groups, and keeps the list of the groups it
// created in the configuration store.
#include "TqRcgCtrllr.h"

#include <new>

#include "../host/TqProcess.h"
#include "../common/TqRcgText.h"
#include "CgroupFs.h"
#include "RcgCommandLines.h"
#include "RcgGroups.h"
#include "RcgHierarchy.h"
#include "RcgReport.h"

namespace TqRcgCtrllr {

namespace {
const char kFile[] = "TqRcgCtrllr.cpp";
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

namespace {

// The groups of a cgroup v1 hierarchy, driven through the libcgroup tools.
// Every lookup and creation first makes sure the cgconfig service runs.
class V1Groups : public detail::RcgGroups {
public:
    CQiError find(const detail::RcgName& name, TqRcgPtr& group) override;
    CQiError create(const detail::RcgName& name, TqRcgPtr& group) override;
    CQiError remove(const detail::RcgName& name) override;
    bool quotaOf(const detail::RcgName& name, std::string* quota) override;
    long processorCount() override;
};

CQiError V1Groups::find(const detail::RcgName& name, TqRcgPtr& group) {
    const char* const tag = detail::kGetSysTag;
    EvEvent log;
    CQiError result = Init();
    if (result.IsError()) return result;

    const std::string command = detail::LookupCommand(name);
    std::string out, err;
    const int status = TqProcess::system(command.c_str(), &out, &err, 0, false);
    if (status != 0 && !detail::ListingSelectedNothing(status, out, err)) {
        return detail::ReportCmdFailure(log, tag, {kFile, detail::kGetSysSignature, __LINE__},
                                        command, out, err);
    }
    // The listing's text only selects candidates: the group exists exactly
    // when a line names its full path.
    bool listed = detail::LookupFindsGroup(out, name);
    const std::string listing = detail::DoubleSlashLookupCommand(name);
    if (!listed && !listing.empty()) {
        const int again = TqProcess::system(listing.c_str(), &out, &err, 0, false);
        if (again != 0 && !detail::ListingSelectedNothing(again, out, err)) {
            return detail::ReportCmdFailure(log, tag, {kFile, detail::kGetSysSignature, __LINE__},
                                            listing, out, err);
        }
        listed = detail::DoubleSlashLookupFindsGroup(out, name);
    }
    if (!listed) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, detail::kGetSysSignature, __LINE__},
                                       kTqWin32NotFound, "The resource group %s doesn't exist.",
                                       name.text.c_str());
    }

    TqRcgPtr found;
    if (!MakeGroup(name.text.c_str(), true, result, found)) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, detail::kGetSysSignature, __LINE__},
                                       kTqWin32OutOfMemory, "%s", kOutOfMemory);
    }
    group = found;
    return CQiError::Success();
}

CQiError V1Groups::create(const detail::RcgName& name, TqRcgPtr& group) {
    const char* const tag = detail::kGetNewTag;
    EvEvent log;
    CQiError result = Init();
    if (result.IsError()) return result;

    TqRcgPtr created;
    if (!MakeGroup(name.text.c_str(), false, result, created)) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, detail::kGetNewSignature, __LINE__},
                                       kTqWin32OutOfMemory, "%s", kOutOfMemory);
    }
    if (result.IsError()) return result;  // logged by the constructor

    // Either the group is made and listed, or neither.
    std::string problem;
    if (!detail::RecordCreatedGroup(log, tag, name.text, &problem)) {
        const std::string undo = detail::UndoCreationCommand(name);
        std::string out, err;
        const bool undone = TqProcess::system(undo.c_str(), &out, &err, 0, false) == 0;
        return detail::UnrecordedCreation(log, tag, {kFile, detail::kGetNewSignature, __LINE__}, name.text, problem,
                                          undone);
    }
    group = created;
    return CQiError::Success();
}

CQiError V1Groups::remove(const detail::RcgName& name) {
    const char* const tag = detail::kDeleteTag;
    EvEvent log;
    std::string command = detail::DeletionListingCommand(name);
    std::string out, err;
    const int status = TqProcess::system(command.c_str(), &out, &err, 0, false);
    if (status != 0) {
        if (detail::ListingSelectedNothing(status, out, err)) return CQiError::Success();
        return detail::ReportCmdFailure(log, tag, {kFile, detail::kDeleteSignature, __LINE__},
                                        command, out, err);
    }

    // Only the lines naming exactly this group count; the listing's text is
    // never run as a command of its own.
    command = detail::DeletionCommand(detail::SelectDeletionLines(out, name));
    if (command.empty()) return CQiError::Success();
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) != 0) {
        return detail::ReportCmdFailure(log, tag, {kFile, detail::kDeleteSignature, __LINE__},
                                        command, out, err);
    }
    return CQiError::Success();
}

bool V1Groups::quotaOf(const detail::RcgName& name, std::string* quota) {
    detail::CgroupFs& fs = detail::InstalledCgroupFs();
    std::string table, text;
    if (fs.readFile("/proc/self/mounts", &table) != 0) return false;
    const std::string root = ParseCgroupMounts(table).cpuV1;
    if (root.empty() || fs.readFile(root + "/" + name.path + "/cpu.cfs_quota_us", &text) != 0) return false;
    *quota = text.substr(0, text.find_first_of(" \n"));
    return !quota->empty();
}

long V1Groups::processorCount() {
    std::string out, err;
    if (TqProcess::system(detail::kProcessorCountCommand, &out, &err, 0, false) != 0) return 0;
    return ReadLeadingInt(out.c_str());
}

}  // namespace

namespace detail {
std::unique_ptr<RcgGroups> MakeV1Groups() { return std::unique_ptr<RcgGroups>(new V1Groups); }
}  // namespace detail

CQiError GetSysRcg(const char* name, TqRcgPtr& group) {
    EvEvent log;
    detail::RcgName checked;
    const CQiError result =
        detail::CheckRcgName(name, &checked, log, detail::kGetSysTag, {kFile, detail::kGetSysSignature, __LINE__});
    if (result.IsError()) return result;
    return detail::ChooseGroups()->find(checked, group);
}

CQiError GetNewRcg(const char* name, TqRcgPtr& group) {
    EvEvent log;
    detail::RcgName checked;
    const CQiError result =
        detail::CheckRcgName(name, &checked, log, detail::kGetNewTag, {kFile, detail::kGetNewSignature, __LINE__});
    if (result.IsError()) return result;
    return detail::ChooseGroups()->create(checked, group);
}

CQiError DeleteRcg(const char* name) {
    EvEvent log;
    detail::RcgName checked;
    const CQiError result =
        detail::CheckRcgName(name, &checked, log, detail::kDeleteTag, {kFile, detail::kDeleteSignature, __LINE__});
    if (result.IsError()) return result;
    return detail::ChooseGroups()->remove(checked);
}

}  // namespace TqRcgCtrllr
