#include "RcgRecord.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "../common/TqRcgDefs.h"
#include "../host/TQPlatformInfo.h"
#include "RcgReader.h"

namespace TqRcgCtrllr {

std::vector<std::string> ParseGroupNames(const std::string& value) {
    std::vector<std::string> names;
    std::set<std::string> seen;
    std::istringstream words(value);
    std::string name;
    while (words >> name) {
        if (seen.insert(name).second) names.push_back(name);
    }
    return names;
}

RecordedGroups ReadRecordedGroups() {
    std::string listed, remembered, settings;
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    if (store.getString("Base", k_TQRCGMGR_Groups_RegKey, listed) == 0) listed.clear();
    if (store.getString("Base", kCapsKey, remembered) == 0) remembered.clear();
    if (store.getString("Base", kSettingsKey, settings) == 0) settings.clear();
    return RecordedGroups{ParseGroupNames(listed), ParseCaps(remembered), ParseRememberedSettings(settings)};
}

bool ReadRecordedFigures(RecordedFigures* figures, std::string* problem) {
    const RecordedGroups recorded = ReadRecordedGroups();
    const std::unique_ptr<detail::RcgReader> driver = detail::ChooseReader();
    if (!driver->usable(problem)) return false;
    figures->groups.clear();
    figures->groups.reserve(recorded.names.size());
    for (const std::string& name : recorded.names) figures->groups.push_back(driver->figures(name));
    figures->caps = recorded.caps;
    figures->settings = recorded.settings;
    figures->processors = driver->processorCount();
    figures->hierarchy = driver->hierarchyName();
    return true;
}

namespace detail {

std::string AppendToGroupList(const std::string* current, const std::string& name) {
    return (current ? *current : std::string()) + " " + name;
}

namespace {

std::vector<std::string> ListedWords(const std::string& value) {
    std::vector<std::string> words;
    std::istringstream in(value);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

}  // namespace

GroupListChange GroupListAfterCreation(const std::string* current, const std::string& name,
                                       const std::function<bool(const std::string&)>& exists) {
    GroupListChange change;
    if (!current || current->size() <= kGroupListCompactionSize) {
        change.value = AppendToGroupList(current, name);
        return change;
    }
    const std::vector<std::string> words = ListedWords(*current);
    if (std::find(words.begin(), words.end(), name) != words.end()) return change;
    std::set<std::string> seen;
    std::string value;
    value.reserve(current->size() + name.size() + 1);
    for (const std::string& word : words) {
        if (!seen.insert(word).second) {
            ++change.repeats;
        } else if (!exists(word)) {
            change.vanished.push_back(word);
        } else {
            value += " " + word;
        }
    }
    change.value = value + " " + name;
    return change;
}

std::optional<std::string> WithMissingNames(const std::string* current, const std::vector<std::string>& missing) {
    const std::vector<std::string> listed = current ? ListedWords(*current) : std::vector<std::string>();
    std::set<std::string> seen(listed.begin(), listed.end());
    std::string value = current ? *current : std::string();
    bool changed = false;
    for (const std::string& name : missing) {
        if (!seen.insert(name).second) continue;
        value += " " + name;
        changed = true;
    }
    if (!changed) return std::nullopt;
    return value;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
