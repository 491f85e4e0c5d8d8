// The remembered caps: the store value "[Base] sTQRCGMGRCAPS" holds one entry
// "NAME=PERCENT" per capped group, each after one blank, so that tqd can
// apply every cap again after a restart, a reboot or a change in the number
// of processors.  Pure text: nothing here touches the store.
#pragma once

#include <string>
#include <vector>

namespace TqRcgCtrllr {

// Store key ("Base" section) of the remembered caps.
constexpr const char kCapsKey[] = "sTQRCGMGRCAPS";

struct RememberedCap {
    std::string name;      // as the cap request named the group
    unsigned int percent;  // of the whole machine
};

// The entries of a stored value, in order; entries that are not
// "NAME=DECIMAL" are skipped.
std::vector<RememberedCap> ParseCaps(const std::string& value);

// The value with `name`'s cap set to `percent`: an entry for the same group
// (bare or controller-qualified, see RcgName) is replaced in place, else the
// entry is appended.
std::string WithCap(const std::string* value, const std::string& name, unsigned int percent);

// The value without any entry for `name`'s group.
std::string WithoutCap(const std::string* value, const std::string& name);

// The cap remembered for `name`'s group; false when there is none.
bool FindCap(const std::vector<RememberedCap>& caps, const std::string& name, unsigned int* percent);

}  // namespace TqRcgCtrllr
