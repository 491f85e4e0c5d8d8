// What the store records about the groups: the names the manager created
// ("[Base] sTQRCGMGRGROUPS"), the caps and the settings it remembers ("[Base]
// sTQRCGMGRCAPS", "[Base] sTQRCGMGRSETTINGS"), and the figures of those
// groups, which tqrcg's list and top and tqd's metrics show.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "RcgCaps.h"
#include "RcgFigures.h"
#include "RcgSettings.h"

namespace TqRcgCtrllr {

// The names of a stored group list (each name preceded by one blank), each
// name once, in first-listed order.
std::vector<std::string> ParseGroupNames(const std::string& value);

struct RecordedGroups {
    std::vector<std::string> names;
    std::vector<RememberedCap> caps;
    std::vector<RememberedSetting> settings;
};
// The three values of the current instance's store; missing values are empty.
RecordedGroups ReadRecordedGroups();

// The figures of the groups the manager created, in the order of the
// store's list, read from the hierarchy in use.
struct RecordedFigures {
    std::vector<GroupFigures> groups;
    std::vector<RememberedCap> caps;
    std::vector<RememberedSetting> settings;
    long processors = 0;       // caps are shares of this many
    std::string hierarchy;     // "cgroup v1" or "cgroup2"
};
// False with *problem set, and *figures left as it was, where no group can
// be (cgroup2 without cpu, an unusable cgroup2 base).
bool ReadRecordedFigures(RecordedFigures* figures, std::string* problem);

namespace detail {

// The group list after appending `name`: the old value (or nothing when
// there was none) followed by one blank and the name.
std::string AppendToGroupList(const std::string* current, const std::string& name);

// A group list longer than this is compacted by the next creation that
// appends to it, so that the list follows the groups that exist rather than
// every group the host ever made.
constexpr std::size_t kGroupListCompactionSize = 64u << 10;

// What a creation does to the group list.
struct GroupListChange {
    std::optional<std::string> value;    // the new list; none: left as it is
    std::vector<std::string> vanished;   // names dropped because their group is gone
    std::size_t repeats = 0;             // names dropped because listed before
};

// The group list after the creation of `name`.  A list of at most
// kGroupListCompactionSize bytes gets `name` appended (AppendToGroupList),
// repeats and all.  A longer list that already shows `name` is left as it
// is; otherwise it is compacted and then `name` is appended: the names of
// groups that `exists` says are gone are dropped, and repeats are dropped,
// keeping the first; the rest keep their order.
GroupListChange GroupListAfterCreation(const std::string* current, const std::string& name,
                                       const std::function<bool(const std::string&)>& exists);

// The list with the names of `missing` that it does not show appended.
std::optional<std::string> WithMissingNames(const std::string* current, const std::vector<std::string>& missing);

}  // namespace detail
}  // namespace TqRcgCtrllr
