// Picks the groups of the hierarchy in use, and what every kind shares: the
// dummy group for removed processes and the list of created groups.
#include "RcgGroups.h"

#include "../common/TqRcgDefs.h"
#include "../host/TQPlatformInfo.h"
#include "RcgHierarchy.h"
#include "RcgRecord.h"
#include "TqRcgCtrllr.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

const char kFile[] = "RcgGroups.cpp";
const char kChooseFunction[] = "std::unique_ptr<RcgGroups> TqRcgCtrllr::detail::ChooseGroups()";
const char kChooseTag[] = "TqRcgCtrllr::ChooseGroups";

class RefusingGroups : public RcgGroups {
public:
    explicit RefusingGroups(const CQiError& why) : m_why(why) {}
    CQiError find(const RcgName&, TqRcgPtr&) override { return m_why; }
    CQiError create(const RcgName&, TqRcgPtr&) override { return m_why; }
    CQiError remove(const RcgName&) override { return m_why; }
    bool quotaOf(const RcgName&, std::string*) override { return false; }
    long processorCount() override { return 0; }

private:
    CQiError m_why;
};

std::unique_ptr<RcgGroups> Refuse(std::uint32_t code, const std::string& text, int line) {
    EvEvent log;
    log.Error(kChooseTag, "%s", text.c_str());
    return MakeRefusingGroups(
        FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kChooseFunction, line}, code, "%s", text.c_str()));
}

}  // namespace

std::unique_ptr<RcgGroups> ChooseGroups() {
    const Hierarchy hierarchy = ChooseHierarchy(InstalledCgroupFs());
    switch (hierarchy.kind) {
        case Hierarchy::kCgroup2WithoutCpu:
            return Refuse(kTqWin32CommandFailed, CpuUnavailableText(hierarchy), __LINE__);
        case Hierarchy::kCgroup2: {
            std::string problem;
            const std::string base = Cgroup2Base(&problem);
            if (!problem.empty()) return Refuse(kTqWin32InvalidName, problem, __LINE__);
            return MakeCgroup2Groups(hierarchy.mount, base);
        }
        case Hierarchy::kV1:
            break;
    }
    return MakeV1Groups();
}

std::unique_ptr<RcgGroups> MakeRefusingGroups(const CQiError& why) {
    return std::unique_ptr<RcgGroups>(new RefusingGroups(why));
}

CQiError MoveToDummyGroup(const std::list<unsigned int>& pids) {
    TqRcgPtr dummy;
    CQiError result = GetSysRcg(k_TQRCGMGR_DummyGroup, dummy);
    if (result.IsError()) {
        result = GetNewRcg(k_TQRCGMGR_DummyGroup, dummy);
        if (result.IsError()) return result;
    }
    if (dummy) result = dummy->AssignPidsTo(pids);
    return result;
}

bool RecordCreatedGroup(EvDebug& log, const char* tag, const std::string& name, std::string* problem) {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    bool existed = false;
    std::string previous, value;
    const int stored = store.update("Base", k_TQRCGMGR_Groups_RegKey, [&](const std::string* current) {
        existed = current != nullptr;
        if (current) previous = *current;
        value = AppendToGroupList(current, name);
        return value;
    });
    // Logged only once the store's lock is released.
    if (existed) log.Debug(tag, "Get k_TQRCGMGR_Groups_RegKey value:%s", previous.c_str());
    if (stored) {
        log.Debug(tag, "Set k_TQRCGMGR_Groups_RegKey value:%s", value.c_str());
        return true;
    }
    *problem = store.lastErrorText().empty() ? "cannot write the configuration store " + store.path()
                                             : store.lastErrorText();
    return false;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
