#include "RcgSettings.h"

#include <sstream>

#include "RcgNames.h"

namespace TqRcgCtrllr {

namespace {

std::string Format(const std::vector<RememberedSetting>& entries) {
    std::string value;
    for (const RememberedSetting& entry : entries) value += " " + entry.name + "|" + FormatRcgSetting(entry.setting);
    return value;
}

}  // namespace

std::vector<RememberedSetting> ParseRememberedSettings(const std::string& value) {
    std::vector<RememberedSetting> entries;
    std::istringstream words(value);
    std::string entry, problem;
    while (words >> entry) {
        const std::size_t bar = entry.find('|');
        RememberedSetting parsed;
        if (bar == std::string::npos || bar == 0 || !ParseRcgSetting(entry.substr(bar + 1), &parsed.setting, &problem))
            continue;
        parsed.name = entry.substr(0, bar);
        entries.push_back(parsed);
    }
    return entries;
}

std::string WithSettings(const std::string* value, const std::string& name, const std::vector<RcgSetting>& settings) {
    std::vector<RememberedSetting> entries = value ? ParseRememberedSettings(*value) : std::vector<RememberedSetting>();
    for (const RcgSetting& setting : settings) {
        bool replaced = false;
        for (RememberedSetting& entry : entries) {
            if (replaced || !detail::SameRcgGroup(entry.name, name) || entry.setting.property != setting.property)
                continue;
            entry = RememberedSetting{name, setting};
            replaced = true;
        }
        if (!replaced) entries.push_back(RememberedSetting{name, setting});
    }
    return Format(entries);
}

std::string WithoutSettings(const std::string* value, const std::string& name) {
    std::vector<RememberedSetting> kept;
    for (const RememberedSetting& entry : value ? ParseRememberedSettings(*value) : std::vector<RememberedSetting>()) {
        if (!detail::SameRcgGroup(entry.name, name)) kept.push_back(entry);
    }
    return Format(kept);
}

std::vector<RcgSetting> SettingsOf(const std::vector<RememberedSetting>& remembered, const std::string& name) {
    std::vector<RcgSetting> settings;
    for (const RememberedSetting& entry : remembered) {
        if (detail::SameRcgGroup(entry.name, name)) settings.push_back(entry.setting);
    }
    return settings;
}

}  // namespace TqRcgCtrllr
