// What every kind of hierarchy shares: the dummy group for removed processes
// and the list of created groups.
#include "RcgGroups.h"

#include "../common/TqRcgDefs.h"
#include "../host/TQPlatformInfo.h"
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
