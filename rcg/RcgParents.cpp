#include "RcgParents.h"

#include <algorithm>

#include "RcgControlFiles.h"
#include "RcgNames.h"
#include "RcgRecord.h"

namespace TqRcgCtrllr {
namespace detail {

std::vector<std::string> ListedGroupPaths() {
    std::vector<std::string> paths;
    for (const std::string& name : ReadRecordedGroups().names) paths.push_back(SplitRcgName(name).path);
    return paths;
}

bool IsListedPath(const std::vector<std::string>& listed, const std::string& path) {
    return std::find(listed.begin(), listed.end(), path) != listed.end();
}

bool IsEmptyGroupFolder(CgroupFs& fs, const std::string& folder) {
    std::string procs;
    if (fs.readFile(folder + "/" + cgfile::core::kProcs, &procs) != 0) return false;
    return procs.find_first_not_of(" \n") == std::string::npos;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
