// What the store records about the groups: the names the manager created
// ("[Base] sTQRCGMGRGROUPS") and the caps it remembers ("[Base]
// sTQRCGMGRCAPS").  tqrcg's list and top and tqd's metrics show these groups.
#pragma once

#include <string>
#include <vector>

#include "RcgCaps.h"

namespace TqRcgCtrllr {
namespace detail {

// The names of a stored group list (each name preceded by one blank), each
// name once, in first-listed order.
std::vector<std::string> ParseGroupNames(const std::string& value);

struct RecordedGroups {
    std::vector<std::string> names;
    std::vector<RememberedCap> caps;
};
// Both values of the current instance's store; missing values are empty.
RecordedGroups ReadRecordedGroups();

}  // namespace detail
}  // namespace TqRcgCtrllr
