#include "RcgRecord.h"

#include <set>
#include <sstream>

#include "../common/TqRcgDefs.h"
#include "../host/TQPlatformInfo.h"

namespace TqRcgCtrllr {
namespace detail {

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

}  // namespace detail
}  // namespace TqRcgCtrllr
