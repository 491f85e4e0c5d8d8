#include "RcgCapKeeper.h"

#include <array>
#include <atomic>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "../common/TqRcgDefs.h"
#include "../host/EvDebug.h"
#include "../host/TQPlatformInfo.h"
#include "RcgCaps.h"
#include "RcgDriver.h"
#include "RcgNames.h"
#include "RcgQuota.h"
#include "RcgSettings.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

const char kTag[] = "TqRcgCtrllr::KeepCaps";
constexpr std::size_t kLockStripes = 64;
// Groups re-applied at once: most of a v1 re-apply waits for the tools.
constexpr unsigned kReapplyThreads = 8;

std::mutex& StripeOf(const std::string& name) {
    static std::array<std::mutex, kLockStripes> stripes;
    return stripes[std::hash<std::string>()(SplitRcgName(name).path) % kLockStripes];
}

// The groups that requests changed while a re-apply runs.
struct ChangeBook {
    std::mutex mutex;
    bool reapplying = false;
    std::set<std::string> changed;  // group paths
};

ChangeBook& Book() {
    static ChangeBook book;
    return book;
}

void NoteChange(const std::string& name) {
    ChangeBook& book = Book();
    std::lock_guard<std::mutex> lock(book.mutex);
    if (book.reapplying) book.changed.insert(SplitRcgName(name).path);
}

bool ChangedMeanwhile(const std::string& name) {
    ChangeBook& book = Book();
    std::lock_guard<std::mutex> lock(book.mutex);
    return book.changed.count(SplitRcgName(name).path) != 0;
}

// Marks a re-apply as running for its lifetime; one runs at a time.
class ReapplyScope {
public:
    ReapplyScope() : m_one(Mutex()) { Mark(true); }
    ~ReapplyScope() { Mark(false); }

private:
    static std::mutex& Mutex() {
        static std::mutex one;
        return one;
    }
    static void Mark(bool running) {
        ChangeBook& book = Book();
        std::lock_guard<std::mutex> lock(book.mutex);
        book.reapplying = running;
        book.changed.clear();
    }
    std::lock_guard<std::mutex> m_one;
};

void UpdateStore(const char* key, const TQPlatformInfo::Change& change, const char* what) {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    if (store.update("Base", key, change) == 0) {
        EvEvent log;
        log.Error(kTag, "Could not %s in [Base] %s of %s", what, key, store.path().c_str());
    }
}

// What is remembered of one group: each group once, the first entry of a
// cap or a property counting.
struct KeptGroup {
    std::string name;
    bool hasCap = false;
    unsigned int percent = 0;
    std::vector<RcgSetting> settings;
};

KeptGroup& GroupIn(std::vector<KeptGroup>* groups, const std::string& name) {
    for (KeptGroup& group : *groups) {
        if (SameRcgGroup(group.name, name)) return group;
    }
    groups->push_back(KeptGroup{name, false, 0, {}});
    return groups->back();
}

std::vector<KeptGroup> ReadKeptGroups() {
    std::string caps, settings;
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    if (store.getString("Base", kCapsKey, caps) == 0) caps.clear();
    if (store.getString("Base", kSettingsKey, settings) == 0) settings.clear();
    std::vector<KeptGroup> groups;
    for (const RememberedCap& cap : ParseCaps(caps)) {
        KeptGroup& group = GroupIn(&groups, cap.name);
        if (group.hasCap) continue;
        group.hasCap = true;
        group.percent = cap.percent;
    }
    for (const RememberedSetting& entry : ParseRememberedSettings(settings)) {
        KeptGroup& group = GroupIn(&groups, entry.name);
        bool known = false;
        for (const RcgSetting& setting : group.settings) known = known || setting.property == entry.setting.property;
        if (!known) group.settings.push_back(entry.setting);
    }
    return groups;
}

struct Outcome {
    std::string actions;  // what changed, "" when the group was right
    std::string failure;  // why it failed, "" when it did not
};

void Append(std::string* text, const std::string& more) { *text += (text->empty() ? "" : "; ") + more; }

// The group's cap again; false with *failure set when it fails.
void ReapplyCap(RcgDriver& driver, const RcgName& name, const KeptGroup& kept, long processors, bool created,
                Outcome* outcome) {
    if (kept.percent < 1 || kept.percent > 100) {
        Append(&outcome->failure, "the remembered cap " + std::to_string(kept.percent) +
                                      "% is not a share of the machine (1 to 100 percent); it was not applied");
        return;
    }
    std::string before = "none", after;
    driver.quotaOf(name, &before);
    const std::string wanted = std::to_string(ComputeCpuQuota(kept.percent, static_cast<int>(processors)));
    if (!created && before == wanted) return;
    TqRcgPtr group;
    CQiError result = driver.find(name, group);
    if (!result.IsError() && group) result = group->setCPUConstraint(kept.percent);
    if (result.IsError()) {
        Append(&outcome->failure, result.AsString());
        return;
    }
    if (!driver.quotaOf(name, &after)) after = wanted;
    Append(&outcome->actions, kept.name + " " + std::to_string(kept.percent) + "%: quota " +
                                  (created ? "none (group re-created)" : before) + " -> " + after);
}

// The settings the kernel does not hold as this machine resolves them.
void ReapplySettings(RcgDriver& driver, const RcgName& name, const KeptGroup& kept, Outcome* outcome) {
    std::vector<RcgSetting> changed;
    std::string words;
    for (const RcgSetting& setting : kept.settings) {
        if (driver.holds(name, setting)) continue;
        std::string before = "none";
        driver.read(name, setting.property, &before);
        changed.push_back(setting);
        words += (words.empty() ? "" : ", ") + FormatRcgSetting(setting) + " (was " + before + ")";
    }
    if (changed.empty()) return;
    const CQiError result = driver.apply(name, changed);
    if (result.IsError())
        Append(&outcome->failure, result.AsString());
    else
        Append(&outcome->actions, kept.name + " " + words);
}

Outcome ReapplyGroup(RcgDriver& driver, const KeptGroup& kept, long processors) {
    Outcome outcome;
    std::lock_guard<std::mutex> lock(StripeOf(kept.name));
    if (ChangedMeanwhile(kept.name)) return outcome;  // a request set it since the re-apply began
    RcgName name;
    if (!ParseRcgName(kept.name, &name, &outcome.failure)) return outcome;
    const bool created = !driver.exists(name);
    if (created) {
        TqRcgPtr group;
        const CQiError result = driver.create(name, group);
        if (result.IsError()) {
            outcome.failure = result.AsString();
            return outcome;
        }
    }
    if (kept.hasCap) ReapplyCap(driver, name, kept, processors, created, &outcome);
    ReapplySettings(driver, name, kept, &outcome);
    return outcome;
}

// Every group on a few threads; the outcomes in the groups' order.
std::vector<Outcome> ReapplyAll(RcgDriver& driver, const std::vector<KeptGroup>& groups, long processors) {
    std::vector<Outcome> outcomes(groups.size());
    std::atomic<std::size_t> next{0};
    auto work = [&]() {
        for (std::size_t i = next++; i < groups.size(); i = next++) outcomes[i] = ReapplyGroup(driver, groups[i], processors);
    };
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(kReapplyThreads, groups.size());
    for (std::size_t i = 1; i < count; ++i) threads.emplace_back(work);
    work();
    for (std::thread& thread : threads) thread.join();
    return outcomes;
}

}  // namespace

GroupChangeLock::GroupChangeLock(const std::string& name) : m_lock(StripeOf(name)) { NoteChange(name); }

void RememberCap(const std::string& name, unsigned int percent) {
    UpdateStore(kCapsKey, [&](const std::string* current) { return WithCap(current, name, percent); },
                "remember a cap");
}

void RememberSettings(const std::string& name, const std::vector<RcgSetting>& settings) {
    UpdateStore(kSettingsKey, [&](const std::string* current) { return WithSettings(current, name, settings); },
                "remember settings");
}

void ForgetCap(const std::string& name) {
    // A group that had no cap or no settings leaves the store untouched.
    UpdateStore(kCapsKey, [&](const std::string* current) -> std::optional<std::string> {
        if (!current) return std::nullopt;
        std::string kept = WithoutCap(current, name);
        if (ParseCaps(kept).size() == ParseCaps(*current).size()) return std::nullopt;
        return kept;
    }, "forget a cap");
    UpdateStore(kSettingsKey, [&](const std::string* current) -> std::optional<std::string> {
        if (!current) return std::nullopt;
        std::string kept = WithoutSettings(current, name);
        if (ParseRememberedSettings(kept).size() == ParseRememberedSettings(*current).size()) return std::nullopt;
        return kept;
    }, "forget settings");
}

int ReapplyCaps(const char* change) {
    ReapplyScope running;
    const std::vector<KeptGroup> groups = ReadKeptGroups();
    const std::unique_ptr<RcgDriver> driver = ChooseDriver();
    const long processors = groups.empty() ? 0 : driver->processorCount();
    const std::vector<Outcome> outcomes = ReapplyAll(*driver, groups, processors);
    EvEvent log;
    std::string changes;
    int failures = 0;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const Outcome& outcome = outcomes[i];
        if (!outcome.failure.empty()) {
            ++failures;
            log.Error(kTag, "Could not apply the remembered cap or settings of %s again: %s", groups[i].name.c_str(),
                      outcome.failure.c_str());
        }
        if (outcome.actions.empty()) continue;
        if (change == nullptr)
            log.Info(kTag, "Remembered cap applied again on %ld processors: %s", processors, outcome.actions.c_str());
        else
            changes += (changes.empty() ? "" : ", ") + outcome.actions;
    }
    if (change != nullptr)
        log.Info(kTag, "%s; caps applied again: %s", change, changes.empty() ? "none changed" : changes.c_str());
    return failures;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
