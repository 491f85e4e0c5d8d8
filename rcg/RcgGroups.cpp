// What every kind of hierarchy shares: the dummy group for removed processes
// and the list of created groups.
#include "RcgGroups.h"

#include <functional>
#include <set>

#include "../common/TqRcgDefs.h"
#include "../host/TQPlatformInfo.h"
#include "RcgNames.h"
#include "RcgRecord.h"
#include "TqRcgCtrllr.h"

namespace TqRcgCtrllr {
namespace detail {

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

namespace {

// Whether the groups that listed names name are still there, for the many
// names of a compaction: the groups right below the root are listed once,
// on the first question, and deeper ones looked up one by one.  A name that
// is no group name at all names nothing.
class ExistenceCheck {
public:
    explicit ExistenceCheck(RcgReader& groups) : m_groups(groups) {}
    bool operator()(const std::string& listed) {
        RcgName name;
        std::string problem;
        if (!ParseRcgName(listed, &name, &problem)) return false;
        if (name.path.find('/') != std::string::npos) return m_groups.exists(name);
        if (!m_listed) m_listed = m_groups.topGroups(&m_top) ? 1 : -1;
        return m_listed > 0 ? m_top.count(name.path) != 0 : m_groups.exists(name);
    }

private:
    RcgReader& m_groups;
    int m_listed = 0;  // 1: m_top holds the listing; -1: it cannot be listed
    std::set<std::string> m_top;
};

// A compaction checks each name and then writes; a group made again
// between the check and the write, by a creation that saw its name still
// listed and so wrote nothing, is listed again here.
void ListAgainWhatCameBack(EvDebug& log, const char* tag, RcgReader& groups, const std::vector<std::string>& vanished) {
    std::vector<std::string> back;
    ExistenceCheck now(groups);  // listed after the write
    for (const std::string& name : vanished) {
        if (now(name)) back.push_back(name);
    }
    if (back.empty()) return;
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    if (store.update("Base", k_TQRCGMGR_Groups_RegKey,
                     [&](const std::string* current) { return WithMissingNames(current, back); }) == 0) {
        log.Error(tag, "Could not list again %zu group(s) made while the group list was compacted: %s", back.size(),
                  store.lastErrorText().c_str());
    }
}

}  // namespace

bool RecordCreatedGroup(EvDebug& log, const char* tag, const std::string& name, RcgReader& groups,
                        std::string* problem) {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    GroupListChange change;
    std::size_t before = 0;
    bool existed = false;
    std::string previous;
    const std::function<bool(const std::string&)> exists = ExistenceCheck(groups);
    const int stored = store.update("Base", k_TQRCGMGR_Groups_RegKey, [&](const std::string* current) {
        existed = current != nullptr;
        before = current ? current->size() : 0;
        // The log shows a short list whole, as it was.
        if (current && before <= kGroupListCompactionSize) previous = *current;
        change = GroupListAfterCreation(current, name, exists);
        return change.value;
    });
    if (!stored) {
        *problem = store.lastErrorText().empty() ? "cannot write the configuration store " + store.path()
                                                 : store.lastErrorText();
        return false;
    }
    // Logged only once the store's lock is released.
    if (existed && before <= kGroupListCompactionSize)
        log.Debug(tag, "Get k_TQRCGMGR_Groups_RegKey value:%s", previous.c_str());
    if (!change.value) {
        log.Debug(tag, "k_TQRCGMGR_Groups_RegKey already lists %s", name.c_str());
        return true;
    }
    if (before <= kGroupListCompactionSize) {
        log.Debug(tag, "Set k_TQRCGMGR_Groups_RegKey value:%s", change.value->c_str());
        return true;
    }
    log.Info(tag, "Compacted the group list of %s from %zu to %zu bytes: dropped %zu names (%zu of groups that "
             "no longer exist, %zu repeats)", store.path().c_str(), before, change.value->size(),
             change.vanished.size() + change.repeats, change.vanished.size(), change.repeats);
    ListAgainWhatCameBack(log, tag, groups, change.vanished);
    return true;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
