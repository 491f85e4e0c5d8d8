#include "RcgCapKeeper.h"

#include "../common/TqRcgDefs.h"
#include "../host/EvDebug.h"
#include "../host/TQPlatformInfo.h"
#include "RcgCaps.h"
#include "RcgGroups.h"
#include "RcgNames.h"
#include "RcgQuota.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

const char kTag[] = "TqRcgCtrllr::KeepCaps";

void UpdateCaps(const std::function<std::string(const std::string*)>& change, const char* what) {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    if (store.update("Base", kCapsKey, change) == 0) {
        EvEvent log;
        log.Error(kTag, "Could not %s in [Base] %s of %s", what, kCapsKey, store.path().c_str());
    }
}

// One remembered cap applied again; false on failure.  *action says what
// changed, empty when the group was already right.
bool Reapply(RcgGroups& groups, const RememberedCap& cap, long processors, std::string* action,
             std::string* failure) {
    RcgName name;
    if (!ParseRcgName(cap.name, &name, failure)) return false;
    TqRcgPtr group;
    CQiError result = groups.find(name, group);
    const bool missing = result.IsError() && result.Win32Code() == kTqWin32NotFound;
    if (missing) result = groups.create(name, group);
    if (result.IsError() || !group) {
        *failure = result.AsString();
        return false;
    }
    std::string before = "none", after;
    groups.quotaOf(name, &before);
    const std::string wanted = std::to_string(ComputeCpuQuota(cap.percent, static_cast<int>(processors)));
    if (!missing && before == wanted) return true;
    result = group->setCPUConstraint(cap.percent);
    if (result.IsError()) {
        *failure = result.AsString();
        return false;
    }
    if (!groups.quotaOf(name, &after)) after = wanted;
    *action = cap.name + " " + std::to_string(cap.percent) + "%: quota " + (missing ? "none (group re-created)" : before) +
              " -> " + after;
    return true;
}

}  // namespace

void RememberCap(const std::string& name, unsigned int percent) {
    UpdateCaps([&](const std::string* current) { return WithCap(current, name, percent); }, "remember a cap");
}

void ForgetCap(const std::string& name) {
    UpdateCaps([&](const std::string* current) { return WithoutCap(current, name); }, "forget a cap");
}

int ReapplyCaps(const char* change) {
    std::string value;
    {
        TQPlatformInfo store;
        store.setFocus(TQPI_Focus::getFocus());
        if (store.getString("Base", kCapsKey, value) == 0) value.clear();
    }
    EvEvent log;
    const std::vector<RememberedCap> caps = ParseCaps(value);
    std::unique_ptr<RcgGroups> groups = ChooseGroups();
    const long processors = caps.empty() ? 0 : groups->processorCount();
    std::string changes;
    int failures = 0;
    for (const RememberedCap& cap : caps) {
        std::string action, failure;
        if (!Reapply(*groups, cap, processors, &action, &failure)) {
            ++failures;
            log.Error(kTag, "Could not apply the remembered cap %u%% of %s again: %s", cap.percent,
                      cap.name.c_str(), failure.c_str());
        } else if (!action.empty() && change == nullptr) {
            log.Info(kTag, "Remembered cap applied again on %ld processors: %s", processors, action.c_str());
        } else if (!action.empty()) {
            changes += (changes.empty() ? "" : ", ") + action;
        }
    }
    if (change != nullptr) {
        log.Info(kTag, "%s; caps applied again: %s", change, changes.empty() ? "none changed" : changes.c_str());
    }
    return failures;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
