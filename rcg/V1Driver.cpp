// The cgroup v1 driver: groups of the v1 hierarchies, driven through the
// libcgroup tools and read from the filesystem.  A group lives in the cpu
// hierarchy; one that carries a property of another controller (cpuset,
// memory, pids) exists in that controller's hierarchy too, and moving and
// deleting act in every hierarchy that holds it.  A group that only has a
// cap sees exactly the command lines it always did.
#include <cerrno>
#include <new>

#include "../common/TqRcgDefs.h"
#include "../common/TqRcgText.h"
#include "../host/TQPlatformInfo.h"
#include "../host/TqProcess.h"
#include "RcgCommandLines.h"
#include "RcgControlFiles.h"
#include "RcgDriver.h"
#include "V1Reader.h"
#include "RcgFailureText.h"
#include "RcgGroups.h"
#include "RcgParents.h"
#include "RcgRecord.h"
#include "RcgReport.h"
#include "TqRcgCtrllr.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

// The controller's errors name its unit, TqRcgCtrllr, as they always have.
const char kFile[] = "TqRcgCtrllr.cpp";
const char kOutOfMemory[] = "Out of memory. Can't create a new TqRcgMgr object.";
// cgroup v1 shows "no limit" of memory as the largest page-aligned value.
constexpr std::uint64_t kUnlimited = UINT64_MAX;

int Run(const std::string& command, std::string* out, std::string* err) {
    return TqProcess::system(command.c_str(), out, err, 0, false);
}

// Makes a group object owned by `group`; false when memory ran out.  The
// constructor reports a failed creation through `error`.
bool MakeGroup(const std::string& text, bool existing, CQiError& error, TqRcgPtr& group) {
    try {
        group.reset(new linuxRcg(text.c_str(), existing, error));
        return true;
    } catch (const std::bad_alloc&) {
        group.reset();
        return false;
    }
}

CQiError OutOfMemory(const char* signature, int line) {
    return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, signature, line}, kTqWin32OutOfMemory, "%s",
                                   kOutOfMemory);
}

// "memory,pids" as {"memory", "pids"}.
std::vector<std::string> SplitControllers(const std::string& controllers) {
    std::vector<std::string> split;
    std::size_t start = 0;
    while (start < controllers.size()) {
        std::size_t comma = controllers.find(',', start);
        if (comma == std::string::npos) comma = controllers.size();
        split.push_back(controllers.substr(start, comma - start));
        start = comma + 1;
    }
    return split;
}

std::string MemoryText(std::uint64_t value) { return value == kUnlimited ? "-1" : std::to_string(value); }

// One cgset of a setting request, with the value to restore.
struct V1Write {
    std::string controller;
    std::string file;
    std::string value;
    std::string previous;
};

class V1Driver : public RcgDriver, public V1Reader {
public:
    V1Driver(CgroupFs& fs, const CgroupMounts& mounts) : V1Reader(fs, mounts) {}

    CQiError find(const RcgName& name, TqRcgPtr& group) override;
    CQiError create(const RcgName& name, TqRcgPtr& group) override;
    CQiError remove(const RcgName& name) override;
    CQiError apply(const RcgName& name, const std::vector<RcgSetting>& settings) override;

    // Moves processes into the dummy group of every hierarchy in `extras`
    // ("memory,pids") as well as cpu's.
    CQiError moveToDummy(const std::string& extras, const std::list<unsigned int>& pids);

private:
    // The text a group object is made from: the name, widened to every
    // hierarchy that holds the group.
    std::string objectText(const RcgName& name) const;
    CQiError refusal(const RcgSetting& setting, const MachineFacts& machine, EvDebug& log) const;
    bool planWrites(const RcgName& name, const std::vector<RcgSetting>& settings, const MachineFacts& machine,
                    std::vector<V1Write>* writes, std::string* problem) const;
    bool planMemory(const RcgName& name, const Resolved* limit, const Resolved* swap,
                    std::vector<V1Write>* writes, std::string* problem) const;
    CQiError joinHierarchy(const std::string& controller, const RcgName& name, EvDebug& log);
    void leaveHierarchy(const std::string& controller, const RcgName& name);
    void removeEmptyParents(const RcgName& name);
};

std::string V1Driver::objectText(const RcgName& name) const {
    // The dummy group joins other hierarchies only for the processes of a
    // group that lives there (moveToDummy): found by name it is cpu's alone.
    if (name.path == k_TQRCGMGR_DummyGroup) return name.text;
    const std::string extras = extrasOf(name);
    if (extras.empty()) return name.text;
    return (name.controllers.empty() ? std::string("cpu") : name.controllers) + "," + extras + ":/" + name.path;
}

CQiError V1Driver::find(const RcgName& name, TqRcgPtr& group) {
    EvEvent log;
    CQiError result = Init();
    if (result.IsError()) return result;

    const std::string command = LookupCommand(name);
    std::string out, err;
    const int status = Run(command, &out, &err);
    if (status != 0 && !ListingSelectedNothing(status, out, err))
        return ReportCmdFailure(log, kGetSysTag, {kFile, kGetSysSignature, __LINE__}, command, out, err);
    // The listing's text only selects candidates: the group exists exactly
    // when a line names its full path.  Where lscgroup prints
    // "CONTROLLER://PATH" (libcgroup 3) the design's listing selects
    // nothing, and a listing that reads that form decides.
    bool listed = LookupFindsGroup(out, name);
    const std::string again = DoubleSlashLookupCommand(name);
    if (!listed && !again.empty()) {
        const int status = Run(again, &out, &err);
        if (status != 0 && !ListingSelectedNothing(status, out, err))
            return ReportCmdFailure(log, kGetSysTag, {kFile, kGetSysSignature, __LINE__}, again, out, err);
        listed = DoubleSlashLookupFindsGroup(out, name);
    }
    if (!listed) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kGetSysSignature, __LINE__}, kTqWin32NotFound,
                                       "The resource group %s doesn't exist.", name.text.c_str());
    }
    TqRcgPtr found;
    if (!MakeGroup(objectText(name), true, result, found)) return OutOfMemory(kGetSysSignature, __LINE__);
    group = found;
    return CQiError::Success();
}

CQiError V1Driver::create(const RcgName& name, TqRcgPtr& group) {
    EvEvent log;
    CQiError result = Init();
    if (result.IsError()) return result;

    TqRcgPtr created;
    if (!MakeGroup(name.text, false, result, created)) return OutOfMemory(kGetNewSignature, __LINE__);
    if (result.IsError()) return result;  // logged by the constructor

    // Either the group is made and listed, or neither.
    std::string problem;
    if (!RecordCreatedGroup(log, kGetNewTag, name.text, *this, &problem)) {
        std::string out, err;
        const bool undone = Run(UndoCreationCommand(name), &out, &err) == 0;
        return UnrecordedCreation(log, kGetNewTag, {kFile, kGetNewSignature, __LINE__}, name.text, problem, undone);
    }
    group = created;
    return CQiError::Success();
}

// Runs the deletions in order; the first failure ends them.
CQiError RunDeletions(const std::vector<std::string>& commands, EvDebug& log, int line) {
    std::string out, err;
    for (const std::string& command : commands) {
        if (Run(command, &out, &err) != 0)
            return ReportCmdFailure(log, kDeleteTag, {kFile, kDeleteSignature, line}, command, out, err);
    }
    return CQiError::Success();
}

CQiError V1Driver::remove(const RcgName& name) {
    EvEvent log;
    std::string command = DeletionListingCommand(name);
    std::string out, err;
    const int status = Run(command, &out, &err);
    if (status != 0 && !ListingSelectedNothing(status, out, err))
        return ReportCmdFailure(log, kDeleteTag, {kFile, kDeleteSignature, __LINE__}, command, out, err);

    // Only the lines naming exactly this group count; the listing's text is
    // never run as a command of its own.  A controller-qualified name lists
    // only its own hierarchy: the group leaves the others it joined for its
    // properties as well.
    CQiError result = RunDeletions(status == 0 ? DeletionCommands(SelectDeletionLines(out, name))
                                               : std::vector<std::string>(),
                                   log, __LINE__);
    if (result.IsError()) return result;
    std::vector<std::string> others;
    for (const std::string& extra : SplitControllers(extrasOf(name)))
        others.push_back("cgdelete -g " + extra + ":/" + name.path);
    result = RunDeletions(others, log, __LINE__);
    if (result.IsError()) return result;
    removeEmptyParents(name);
    return CQiError::Success();
}

// The parents that a nested creation made (a/b of a/b/c) go with their last
// group when they hold nothing and are not groups of their own.
void V1Driver::removeEmptyParents(const RcgName& name) {
    const std::vector<std::string> listed = ListedGroupPaths();
    std::string path = name.path;
    for (std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/')) {
        path.resize(slash);
        if (IsListedPath(listed, path)) return;
        std::vector<std::string> held;
        for (const char* controller : {"cpu", "cpuset", "memory", "pids"}) {
            const std::string mount = mountOf(controller);
            if (mount.empty() || (controller != std::string("cpu") && mount == m_mounts.cpuV1)) continue;
            if (!m_fs.isDir(mount + "/" + path)) continue;
            if (!IsEmptyGroupFolder(m_fs, mount + "/" + path)) return;
            held.push_back(controller);
        }
        std::string out, err;
        for (const std::string& controller : held) {
            if (Run("cgdelete -g " + controller + ":/" + path, &out, &err) != 0) return;
        }
    }
}

// ---- properties ----------------------------------------------------------------

CQiError V1Driver::refusal(const RcgSetting& setting, const MachineFacts& machine, EvDebug& log) const {
    const RcgPropertyInfo& info = PropertyInfo(setting.property);
    std::string text;
    std::uint32_t code = kTqWin32InvalidParameter;
    if (info.v1File == nullptr) {
        text = NoV1CounterpartText(info.name);
    } else if (mountOf(ControllerName(info.controller)).empty()) {
        text = ControllerMissingText(info.name, ControllerName(info.controller), "on this cgroup v1 host (no hierarchy carries it)");
        code = kTqWin32CommandFailed;
    } else {
        text = MachineProblem(setting, machine);
    }
    if (text.empty()) return CQiError::Success();
    return ReportRefusal(log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__}, code, text);
}

// memory.max and the swap limit together: cgroup v1 limits memory and swap
// as one (memory.memsw.limit_in_bytes = memory + swap), and keeps the
// memory limit at or below it at every step.
bool V1Driver::planMemory(const RcgName& name, const Resolved* limit, const Resolved* swap,
                          std::vector<V1Write>* writes, std::string* problem) const {
    const std::string folder = folderOf("memory", name);
    const std::string limitPath = folder + "/" + cgfile::memory::kV1Limit;
    const std::string memswPath = folder + "/" + cgfile::memory::kV1MemswLimit;
    std::string probe;
    const bool hasMemsw = m_fs.readFile(mountOf("memory") + "/" + cgfile::memory::kV1MemswLimit, &probe) == 0;
    if (swap != nullptr && !hasMemsw) {
        *problem = "Cannot set memory.swap.max: this kernel does not account swap (cgroup v1 has no "
                   "memory.memsw.limit_in_bytes); boot it with swapaccount=1.";
        return false;
    }
    const std::string limitText = readText(limitPath), memswText = readText(memswPath);
    const std::uint64_t oldLimit = V1MemoryValue(limitText), oldMemsw = V1MemoryValue(memswText);
    const std::uint64_t newLimit = limit ? (limit->unlimited ? kUnlimited : limit->number) : oldLimit;
    std::uint64_t newMemsw = oldMemsw;
    if (swap != nullptr) {
        if (!swap->unlimited && newLimit == kUnlimited) {
            *problem = "Cannot set memory.swap.max alone: cgroup v1 limits memory and swap together, so a swap "
                       "limit needs memory.max as well (set both in one request).";
            return false;
        }
        newMemsw = swap->unlimited ? kUnlimited : newLimit + swap->number;
    } else if (hasMemsw && oldMemsw != kUnlimited) {
        // The swap allowed so far stays as it was.
        const std::uint64_t keptSwap = oldLimit == kUnlimited || oldMemsw < oldLimit ? 0 : oldMemsw - oldLimit;
        newMemsw = newLimit == kUnlimited ? kUnlimited : newLimit + keptSwap;
    }
    const V1Write limitWrite{"memory", cgfile::memory::kV1Limit, MemoryText(newLimit), limitText};
    const V1Write memswWrite{"memory", cgfile::memory::kV1MemswLimit, MemoryText(newMemsw), memswText};
    const bool memswChanges = newMemsw != oldMemsw || swap != nullptr;
    if (limit && memswChanges && newLimit > oldMemsw) {
        writes->push_back(memswWrite);
        writes->push_back(limitWrite);
    } else {
        if (limit) writes->push_back(limitWrite);
        if (memswChanges) writes->push_back(memswWrite);
    }
    return true;
}

bool V1Driver::planWrites(const RcgName& name, const std::vector<RcgSetting>& settings, const MachineFacts& machine,
                          std::vector<V1Write>* writes, std::string* problem) const {
    Resolved limit, swap;
    bool hasLimit = false, hasSwap = false;
    for (const RcgSetting& setting : settings) {
        const RcgPropertyInfo& info = PropertyInfo(setting.property);
        const Resolved resolved = Resolve(setting, machine);
        if (setting.property == RcgProperty::kMemoryMax) {
            limit = resolved;
            hasLimit = true;
        } else if (setting.property == RcgProperty::kSwapMax) {
            swap = resolved;
            hasSwap = true;
        } else {
            const std::string controller = ControllerName(info.controller);
            writes->push_back(V1Write{controller, info.v1File, V1Text(resolved, setting.property),
                                      readText(folderOf(controller, name) + "/" + info.v1File)});
        }
    }
    if (!hasLimit && !hasSwap) return true;
    return planMemory(name, hasLimit ? &limit : nullptr, hasSwap ? &swap : nullptr, writes, problem);
}

// Creates the group in the hierarchy of `controller`.  A new cpuset group
// gets its parent's processors and memory nodes, which the kernel leaves
// empty, so that processes can enter it.
CQiError V1Driver::joinHierarchy(const std::string& controller, const RcgName& name, EvDebug& log) {
    std::string command = CreateCommand(controller + ":/" + name.path);
    std::string out, err;
    if (Run(command, &out, &err) != 0)
        return ReportCmdFailure(log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__}, command, out, err);
    if (controller != "cpuset") return CQiError::Success();
    const std::string mount = mountOf(controller);
    std::string path;
    for (std::size_t start = 0; start <= name.path.size();) {
        const std::size_t slash = name.path.find('/', start);
        const std::string parent = path.empty() ? mount : mount + "/" + path;
        path = name.path.substr(0, slash);
        for (const char* file : {cgfile::cpuset::kV1Mems, cgfile::cpuset::kCpus}) {
            if (!readText(mount + "/" + path + "/" + file).empty()) continue;
            command = SetCommand(file, readText(parent + "/" + file), path);
            if (Run(command, &out, &err) != 0) {
                leaveHierarchy(controller, name);
                return ReportCmdFailure(log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__}, command,
                                        out, err);
            }
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return CQiError::Success();
}

void V1Driver::leaveHierarchy(const std::string& controller, const RcgName& name) {
    std::string out, err;
    Run("cgdelete -g " + controller + ":/" + name.path, &out, &err);
}

CQiError V1Driver::apply(const RcgName& name, const std::vector<RcgSetting>& settings) {
    EvEvent log;
    const MachineFacts facts = machine();
    for (const RcgSetting& setting : settings) {
        const CQiError refused = refusal(setting, facts, log);
        if (refused.IsError()) return refused;
    }
    std::vector<V1Write> writes;
    std::string problem;
    if (!planWrites(name, settings, facts, &writes, &problem))
        return ReportRefusal(log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__},
                             kTqWin32InvalidParameter, problem);
    std::vector<std::string> joined;
    for (const V1Write& write : writes) {
        if (mountOf(write.controller) == m_mounts.cpuV1 || m_fs.isDir(folderOf(write.controller, name))) continue;
        const CQiError result = joinHierarchy(write.controller, name, log);
        if (result.IsError()) {
            for (const std::string& controller : joined) leaveHierarchy(controller, name);
            return result;
        }
        joined.push_back(write.controller);
    }
    std::string out, err;
    for (std::size_t done = 0; done < writes.size(); ++done) {
        const std::string command = SetCommand(writes[done].file, writes[done].value, name.path);
        if (Run(command, &out, &err) == 0) continue;
        const std::string failure = FormatCmdFailure(command, out, err);
        std::string notRestored;
        while (done-- > 0) {
            const V1Write& undo = writes[done];
            if (undo.previous.empty()) continue;
            std::string ignoredOut, ignoredErr;
            if (Run(SetCommand(undo.file, undo.previous, name.path), &ignoredOut, &ignoredErr) != 0)
                notRestored += (notRestored.empty() ? "" : ", ") + undo.file;
        }
        for (const std::string& controller : joined) leaveHierarchy(controller, name);
        return ReportRefusal(log, kSetPropertiesTag, {kFile, kSetPropertiesSignature, __LINE__},
                             kTqWin32CommandFailed, UnappliedSettingsText(failure, notRestored));
    }
    return CQiError::Success();
}

CQiError V1Driver::moveToDummy(const std::string& extras, const std::list<unsigned int>& pids) {
    TqRcgPtr dummy;
    CQiError result = GetSysRcg(k_TQRCGMGR_DummyGroup, dummy);
    if (result.IsError()) {
        result = GetNewRcg(k_TQRCGMGR_DummyGroup, dummy);
        if (result.IsError()) return result;
    }
    EvEvent log;
    const RcgName name = SplitRcgName(k_TQRCGMGR_DummyGroup);
    for (const std::string& controller : SplitControllers(extras)) {
        if (mountOf(controller).empty() || m_fs.isDir(folderOf(controller, name))) continue;
        result = joinHierarchy(controller, name, log);
        if (result.IsError()) return result;
    }
    TqRcgPtr widened;
    if (!MakeGroup("cpu," + extras + ":/" + name.path, true, result, widened)) return OutOfMemory(kGetSysSignature, __LINE__);
    return widened->AssignPidsTo(pids);
}

}  // namespace

std::unique_ptr<RcgDriver> MakeV1Driver(CgroupFs& fs, const CgroupMounts& mounts) {
    return std::unique_ptr<RcgDriver>(new V1Driver(fs, mounts));
}

CQiError MoveToV1DummyGroup(const std::string& extras, const std::list<unsigned int>& pids) {
    CgroupFs& fs = InstalledCgroupFs();
    V1Driver driver(fs, ChooseHierarchy(fs).mounts);
    return driver.moveToDummy(extras, pids);
}

}  // namespace detail
}  // namespace TqRcgCtrllr
