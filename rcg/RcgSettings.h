// The remembered settings: the store value "[Base] sTQRCGMGRSETTINGS" holds
// one entry "NAME|PROPERTY=VALUE" per group and property, each after one
// blank, with the value as it was asked ("memory.max=10%" stays a share of
// the machine), so that tqd can apply every setting again after a restart
// or a reboot.  Pure text: nothing here touches the store.
#pragma once

#include <string>
#include <vector>

#include "RcgProperties.h"

namespace TqRcgCtrllr {

// Store key ("Base" section) of the remembered settings.
constexpr const char kSettingsKey[] = "sTQRCGMGRSETTINGS";

struct RememberedSetting {
    std::string name;  // as the request named the group
    RcgSetting setting;
};

// The entries of a stored value, in order; entries that are not
// "NAME|PROPERTY=VALUE" with a value the property takes are skipped.
std::vector<RememberedSetting> ParseRememberedSettings(const std::string& value);

// The value with the group's settings set: an entry for the same group
// (bare or controller-qualified) and property is replaced in place, others
// are appended in the order given.
std::string WithSettings(const std::string* value, const std::string& name, const std::vector<RcgSetting>& settings);

// The value without any entry for `name`'s group.
std::string WithoutSettings(const std::string* value, const std::string& name);

// The settings remembered for `name`'s group, in stored order.
std::vector<RcgSetting> SettingsOf(const std::vector<RememberedSetting>& remembered, const std::string& name);

}  // namespace TqRcgCtrllr
