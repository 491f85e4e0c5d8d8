// The groups of a cgroup2 hierarchy: folders below one base folder, made,
// found and removed on the filesystem itself.  No process is started.
#include <cerrno>

#include "../common/TqRcgDefs.h"
#include "CgroupFs.h"
#include "RcgGroups.h"
#include "RcgHierarchy.h"
#include "RcgReport.h"
#include "cgroup2Rcg.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

const char kFile[] = "Cgroup2Groups.cpp";
// Exists while systemd runs the host.
const char kSystemdRunning[] = "/run/systemd/system";

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start) parts.push_back(path.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

class Cgroup2Groups : public RcgGroups {
public:
    Cgroup2Groups(const std::string& mount, const std::string& base)
        : m_fs(InstalledCgroupFs()), m_mount(mount), m_base(base) {}

    CQiError find(const RcgName& name, TqRcgPtr& group) override;
    CQiError create(const RcgName& name, TqRcgPtr& group) override;
    CQiError remove(const RcgName& name) override;
    bool quotaOf(const RcgName& name, std::string* quota) override;
    long processorCount() override { return m_fs.onlineProcessors(); }

private:
    std::string folderOf(const RcgName& name) const { return m_mount + "/" + m_base + "/" + name.path; }
    CQiError enableCpuBelow(const std::string& folder, bool mayWrite, EvDebug& log);
    CQiError outsideDelegation(const std::string& what, EvDebug& log, int line);
    CQiError busyFailure(const RcgName& name, const std::string& folder, EvDebug& log, int line);

    CgroupFs& m_fs;
    std::string m_mount;
    std::string m_base;
};

CQiError Cgroup2Groups::find(const RcgName& name, TqRcgPtr& group) {
    const std::string folder = folderOf(name);
    if (!m_fs.isDir(folder)) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kGetSysSignature, __LINE__}, kTqWin32NotFound,
                                       "The resource group %s doesn't exist.", name.text.c_str());
    }
    CQiError result = CQiError::Success();
    group.reset(new cgroup2Rcg(folder, result));
    return result;
}

// Makes every missing folder from the base down to the group, enabling the
// cpu controller for the children of each folder on the way where it is not
// enabled yet.  A folder that appears meanwhile (a concurrent creation) is
// taken as made.  Where systemd runs the host, the tree above the base is
// systemd's: nothing there is made or written, only checked.
CQiError Cgroup2Groups::create(const RcgName& name, TqRcgPtr& group) {
    EvEvent log;
    // Where systemd runs the host, the folders down to the base are its own.
    const std::size_t systemdDepth = m_fs.isDir(kSystemdRunning) ? Components(m_base).size() : 0;
    std::string folder = m_mount;
    std::size_t depth = 0;
    for (const std::string& part : Components(m_base + "/" + name.path)) {
        const bool ours = depth >= systemdDepth;
        CQiError result = enableCpuBelow(folder, ours, log);
        if (result.IsError()) return result;
        folder += "/" + part;
        ++depth;
        if (!ours && !m_fs.isDir(folder)) return outsideDelegation("the folder " + folder + " is missing", log, __LINE__);
        const int error = ours ? m_fs.makeDir(folder) : 0;
        if (error != 0 && error != EEXIST) {
            return ReportFsFailure(log, kGetNewTag, {kFile, kGetNewSignature, __LINE__},
                                   "create the control group " + folder, error);
        }
    }
    // Either the group is made and listed, or neither.
    std::string problem;
    if (!RecordCreatedGroup(log, kGetNewTag, name.text, &problem)) {
        const bool undone = m_fs.removeDir(folder) == 0;
        return UnrecordedCreation(log, kGetNewTag, {kFile, kGetNewSignature, __LINE__}, name.text, problem, undone);
    }
    CQiError result = CQiError::Success();
    group.reset(new cgroup2Rcg(folder, result));
    return result;
}

// "+cpu" into cgroup.subtree_control, and only where cpu is not listed.
CQiError Cgroup2Groups::enableCpuBelow(const std::string& folder, bool mayWrite, EvDebug& log) {
    const std::string file = folder + "/cgroup.subtree_control";
    std::string enabled;
    int error = m_fs.readFile(file, &enabled);
    if (error == 0 && ListsController(enabled, "cpu")) return CQiError::Success();
    if (error == 0 && !mayWrite) return outsideDelegation("cpu is not enabled in " + file, log, __LINE__);
    if (error == 0) error = m_fs.writeFile(file, "+cpu");
    if (error == 0) return CQiError::Success();
    return ReportFsFailure(log, kGetNewTag, {kFile, kGetNewSignature, __LINE__},
                           "enable the cpu controller in " + file, error);
}

CQiError Cgroup2Groups::outsideDelegation(const std::string& what, EvDebug& log, int line) {
    const std::string text = "On this systemd host the manager writes only inside the subtree delegated to it, "
                             "the base " + m_mount + "/" + m_base + ", and " + what +
                             " above it: start tqrcg-groups.service (it makes the base and enables cpu), or set "
                             "[Base] " + kCgroup2BaseKey + " to a subtree that systemd delegated.";
    log.Error(kGetNewTag, "%s", text.c_str());
    return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kGetNewSignature, line}, kTqWin32CommandFailed, "%s",
                                   text.c_str());
}

CQiError Cgroup2Groups::remove(const RcgName& name) {
    EvEvent log;
    const std::string folder = folderOf(name);
    const int error = m_fs.removeDir(folder);
    if (error == 0 || error == ENOENT) return CQiError::Success();
    if (error == EBUSY) return busyFailure(name, folder, log, __LINE__);
    return ReportFsFailure(log, kDeleteTag, {kFile, kDeleteSignature, __LINE__},
                           "remove the control group " + folder, error);
}

bool Cgroup2Groups::quotaOf(const RcgName& name, std::string* quota) {
    std::string text;
    if (m_fs.readFile(folderOf(name) + "/cpu.max", &text) != 0) return false;
    *quota = text.substr(0, text.find_first_of(" \n"));
    return !quota->empty();
}

// A group is busy while it holds processes or groups of its own.
CQiError Cgroup2Groups::busyFailure(const RcgName& name, const std::string& folder, EvDebug& log,
                                    int line) {
    std::string procs;
    m_fs.readFile(folder + "/cgroup.procs", &procs);
    const std::string text =
        "The resource group " + name.text + " (" + folder + ") " +
        (procs.find_first_not_of(" \n") != std::string::npos
             ? "still holds processes: move them out first (remove request) and delete it again."
             : "still holds groups of its own: delete them first.");
    log.Error(kDeleteTag, "%s", text.c_str());
    return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kDeleteSignature, line}, kTqWin32CommandFailed,
                                   "%s", text.c_str());
}

}  // namespace

std::unique_ptr<RcgGroups> MakeCgroup2Groups(const std::string& mount, const std::string& base) {
    return std::unique_ptr<RcgGroups>(new Cgroup2Groups(mount, base));
}

}  // namespace detail
}  // namespace TqRcgCtrllr
