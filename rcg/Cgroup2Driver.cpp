// The cgroup2 driver: groups are folders below one base folder, made, found,
// set, read and removed on the filesystem itself.  No process is started.
#include <cerrno>

#include "../common/TqRcgDefs.h"
#include "RcgControlFiles.h"
#include "Cgroup2Reader.h"
#include "RcgDriver.h"
#include "RcgFailureText.h"
#include "RcgGroups.h"
#include "RcgParents.h"
#include "RcgReport.h"
#include "cgroup2Rcg.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

const char kFile[] = "Cgroup2Driver.cpp";
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

// Where a driver step reports from: the controller function's log name and
// signature.
struct Reporter {
    const char* tag;
    const char* signature;
};

std::string TrimmedValue(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// One write of a setting request, with the value to restore.
struct Cgroup2Write {
    std::string file;
    std::string value;
    std::string previous;
};

class Cgroup2Driver : public RcgDriver, public Cgroup2Reader {
public:
    Cgroup2Driver(CgroupFs& fs, const std::string& mount, const std::string& base) : Cgroup2Reader(fs, mount, base) {}

    CQiError find(const RcgName& name, TqRcgPtr& group) override;
    CQiError create(const RcgName& name, TqRcgPtr& group) override;
    CQiError remove(const RcgName& name) override;
    CQiError apply(const RcgName& name, const std::vector<RcgSetting>& settings) override;

private:
    CQiError walk(const std::string& path, const std::vector<std::string>& controllers, bool make,
                  const Reporter& where, EvDebug& log, std::string* folder);
    CQiError enableBelow(const std::string& folder, const std::string& controller, bool mayWrite,
                         const Reporter& where, EvDebug& log);
    CQiError outsideDelegation(const std::string& what, const Reporter& where, EvDebug& log, int line);
    CQiError busyFailure(const RcgName& name, const std::string& folder, EvDebug& log, int line);
    CQiError checkSettings(const std::vector<RcgSetting>& settings, const MachineFacts& machine, EvDebug& log,
                           std::vector<std::string>* controllers);
    CQiError write(const std::vector<Cgroup2Write>& writes, EvDebug& log);
    void removeEmptyParents(const RcgName& name);
};

CQiError Cgroup2Driver::find(const RcgName& name, TqRcgPtr& group) {
    const std::string folder = folderOf(name);
    if (!m_fs.isDir(folder)) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kGetSysSignature, __LINE__}, kTqWin32NotFound,
                                       "The resource group %s doesn't exist.", name.text.c_str());
    }
    CQiError result = CQiError::Success();
    group.reset(new cgroup2Rcg(folder, baseFolder() + "/" + k_TQRCGMGR_DummyGroup, result));
    return result;
}

// Walks from the mount down to the folder of `path` below the base: every
// controller of `controllers` is enabled for the children of each folder on
// the way where it is not enabled yet, and with `make` missing folders are
// made (one that appears meanwhile, by a concurrent creation, counts as
// made; anything else in its place does not).  Where systemd runs the host
// the tree down to the base is its own: nothing there is made or written,
// only checked.
CQiError Cgroup2Driver::walk(const std::string& path, const std::vector<std::string>& controllers, bool make,
                             const Reporter& where, EvDebug& log, std::string* folder) {
    const std::size_t systemdDepth = m_fs.isDir(kSystemdRunning) ? Components(m_base).size() : 0;
    *folder = m_mount;
    std::size_t depth = 0;
    for (const std::string& part : Components(m_base + "/" + path)) {
        const bool ours = depth >= systemdDepth;
        for (const std::string& controller : controllers) {
            const CQiError result = enableBelow(*folder, controller, ours, where, log);
            if (result.IsError()) return result;
        }
        *folder += "/" + part;
        ++depth;
        if (!ours && !m_fs.isDir(*folder))
            return outsideDelegation("the folder " + *folder + " is missing", where, log, __LINE__);
        const int error = ours && make ? m_fs.makeDir(*folder) : 0;
        if (error == EEXIST && !m_fs.isDir(*folder)) {
            return ReportRefusal(log, where.tag, {kFile, where.signature, __LINE__}, kTqWin32InvalidName,
                                 *folder + " exists and is not a group's folder: choose another name.");
        }
        if (error != 0 && error != EEXIST)
            return ReportFsFailure(log, where.tag, {kFile, where.signature, __LINE__},
                                   "create the control group " + *folder, error);
    }
    return CQiError::Success();
}

CQiError Cgroup2Driver::create(const RcgName& name, TqRcgPtr& group) {
    EvEvent log;
    std::string folder;
    CQiError result = walk(name.path, {"cpu"}, true, Reporter{kGetNewTag, kGetNewSignature}, log, &folder);
    if (result.IsError()) return result;
    // Either the group is made and listed, or neither.
    std::string problem;
    if (!RecordCreatedGroup(log, kGetNewTag, name.text, *this, &problem)) {
        const bool undone = m_fs.removeDir(folder) == 0;
        return UnrecordedCreation(log, kGetNewTag, {kFile, kGetNewSignature, __LINE__}, name.text, problem, undone);
    }
    group.reset(new cgroup2Rcg(folder, baseFolder() + "/" + k_TQRCGMGR_DummyGroup, result));
    return result;
}

// "+<controller>" into cgroup.subtree_control, and only where it is not listed.
CQiError Cgroup2Driver::enableBelow(const std::string& folder, const std::string& controller, bool mayWrite,
                                    const Reporter& where, EvDebug& log) {
    const std::string file = folder + "/" + cgfile::core::kSubtreeControl;
    std::string enabled;
    int error = m_fs.readFile(file, &enabled);
    if (error == 0 && ListsController(enabled, controller)) return CQiError::Success();
    if (error == 0 && !mayWrite)
        return outsideDelegation(controller + " is not enabled in " + file, where, log, __LINE__);
    if (error == 0) error = m_fs.writeFile(file, "+" + controller);
    if (error == 0) return CQiError::Success();
    return ReportFsFailure(log, where.tag, {kFile, where.signature, __LINE__},
                           "enable the " + controller + " controller in " + file, error);
}

CQiError Cgroup2Driver::outsideDelegation(const std::string& what, const Reporter& where, EvDebug& log, int line) {
    const std::string text = "On this systemd host the manager writes only inside the subtree delegated to it, "
                             "the base " + baseFolder() + ", and " + what +
                             " above it: start tqrcg-groups.service (it makes the base and enables its "
                             "controllers), or set [Base] " + kCgroup2BaseKey + " to a subtree that systemd delegated.";
    return ReportRefusal(log, where.tag, {kFile, where.signature, line}, kTqWin32CommandFailed, text);
}

CQiError Cgroup2Driver::remove(const RcgName& name) {
    EvEvent log;
    const std::string folder = folderOf(name);
    const int error = m_fs.removeDir(folder);
    if (error == ENOENT) return CQiError::Success();
    if (error == EBUSY) return busyFailure(name, folder, log, __LINE__);
    if (error != 0)
        return ReportFsFailure(log, kDeleteTag, {kFile, kDeleteSignature, __LINE__},
                               "remove the control group " + folder, error);
    removeEmptyParents(name);
    return CQiError::Success();
}

// The parents a nested creation made go with their last group when they are
// not groups of their own and hold nothing (rmdir refuses a folder with
// groups below it).
void Cgroup2Driver::removeEmptyParents(const RcgName& name) {
    const std::vector<std::string> listed = ListedGroupPaths();
    std::string path = name.path;
    for (std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/')) {
        path.resize(slash);
        const std::string folder = baseFolder() + "/" + path;
        if (IsListedPath(listed, path) || !IsEmptyGroupFolder(m_fs, folder) || m_fs.removeDir(folder) != 0) return;
    }
}

// A group is busy while it holds processes or groups of its own.
CQiError Cgroup2Driver::busyFailure(const RcgName& name, const std::string& folder, EvDebug& log, int line) {
    const std::string text =
        "The resource group " + name.text + " (" + folder + ") " +
        (!IsEmptyGroupFolder(m_fs, folder) ? "still holds processes: move them out first (remove request) and delete it again."
                                            : "still holds groups of its own: delete them first.");
    return ReportRefusal(log, kDeleteTag, {kFile, kDeleteSignature, line}, kTqWin32CommandFailed, text);
}

// ---- properties ----------------------------------------------------------------

// Refuses what this machine or hierarchy cannot take, and lists the
// controllers the settings need.
CQiError Cgroup2Driver::checkSettings(const std::vector<RcgSetting>& settings, const MachineFacts& machine,
                                      EvDebug& log, std::vector<std::string>* controllers) {
    const std::string offered = readText(m_mount + "/" + cgfile::core::kControllers);
    for (const RcgSetting& setting : settings) {
        const RcgPropertyInfo& info = PropertyInfo(setting.property);
        const std::string controller = ControllerName(info.controller);
        std::string problem = MachineProblem(setting, machine);
        std::uint32_t code = kTqWin32InvalidParameter;
        if (problem.empty() && !ListsController(offered, controller)) {
            problem = ControllerMissingText(info.name, controller, "in the cgroup2 hierarchy at " + m_mount);
            code = kTqWin32CommandFailed;
        }
        if (!problem.empty())
            return ReportRefusal(log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__}, code, problem);
        bool listed = false;
        for (const std::string& each : *controllers) listed = listed || each == controller;
        if (!listed) controllers->push_back(controller);
    }
    return CQiError::Success();
}

// Writes in order; a failure restores what was written before it.
CQiError Cgroup2Driver::write(const std::vector<Cgroup2Write>& writes, EvDebug& log) {
    for (std::size_t done = 0; done < writes.size(); ++done) {
        const int error = m_fs.writeFile(writes[done].file, writes[done].value);
        if (error == 0) continue;
        const std::string failure =
            FsFailureText("write \"" + writes[done].value + "\" to " + writes[done].file, error) + ".";
        std::string notRestored;
        while (done-- > 0) {
            const std::string previous = writes[done].previous.empty() ? "\n" : writes[done].previous;
            if (m_fs.writeFile(writes[done].file, previous) != 0)
                notRestored += (notRestored.empty() ? "" : ", ") + writes[done].file;
        }
        return ReportRefusal(log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__},
                             kTqWin32CommandFailed, UnappliedSettingsText(failure, notRestored));
    }
    return CQiError::Success();
}

CQiError Cgroup2Driver::apply(const RcgName& name, const std::vector<RcgSetting>& settings) {
    EvEvent log;
    const MachineFacts facts = machine();
    std::vector<std::string> controllers;
    CQiError result = checkSettings(settings, facts, log, &controllers);
    if (result.IsError()) return result;
    std::string folder;
    result = walk(name.path, controllers, false, Reporter{kSetPropertiesTag, kSetPropertiesSignature}, log, &folder);
    if (result.IsError()) return result;
    std::vector<Cgroup2Write> writes;
    for (const RcgSetting& setting : settings) {
        const RcgPropertyInfo& info = PropertyInfo(setting.property);
        const std::string file = folder + "/" + info.v2File;
        std::string previous;
        if (const int error = m_fs.readFile(file, &previous)) {
            return ReportRefusal(log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__},
                                 kTqWin32CommandFailed,
                                 FsFailureText("read " + file, error) + ": this kernel does not offer " + info.name +
                                     (setting.property == RcgProperty::kSwapMax ? " (swap accounting is off)" : "") +
                                     ".");
        }
        writes.push_back(Cgroup2Write{file, Cgroup2Text(Resolve(setting, facts), setting.property), TrimmedValue(previous)});
    }
    return write(writes, log);
}

}  // namespace

std::unique_ptr<RcgDriver> MakeCgroup2Driver(CgroupFs& fs, const std::string& mount, const std::string& base) {
    return std::unique_ptr<RcgDriver>(new Cgroup2Driver(fs, mount, base));
}

}  // namespace detail
}  // namespace TqRcgCtrllr
