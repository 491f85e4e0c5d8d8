#include "RcgRecord.h"

#include <unistd.h>

#include <set>
#include <sstream>

#include "../common/TqRcgDefs.h"
#include "../host/TQPlatformInfo.h"
#include "CgroupFs.h"

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
    std::string listed, remembered;
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    if (store.getString("Base", k_TQRCGMGR_Groups_RegKey, listed) == 0) listed.clear();
    if (store.getString("Base", kCapsKey, remembered) == 0) remembered.clear();
    return RecordedGroups{ParseGroupNames(listed), ParseCaps(remembered)};
}

bool ReadRecordedFigures(RecordedFigures* figures, std::string* problem) {
    const RecordedGroups recorded = ReadRecordedGroups();
    detail::GroupsPlace place;
    detail::CgroupFs& fs = detail::InstalledCgroupFs();
    if (!detail::FindGroupsPlace(fs, &place, problem)) return false;
    detail::FiguresReader reader(fs, place, sysconf(_SC_CLK_TCK));
    figures->groups.clear();
    figures->groups.reserve(recorded.names.size());
    for (const std::string& name : recorded.names) figures->groups.push_back(reader.read(name));
    figures->caps = recorded.caps;
    figures->processors = place.processors;
    figures->cgroup2 = place.cgroup2;
    return true;
}

namespace detail {

std::string AppendToGroupList(const std::string* current, const std::string& name) {
    return (current ? *current : std::string()) + " " + name;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
