// The parents that the creation of a nested group made ("a" and "a/b" of
// "a/b/c"): a deletion takes them along when they are not groups of their
// own and hold no process, so that no unlisted folder is left behind.
#pragma once

#include <string>
#include <vector>

#include "CgroupFs.h"

namespace TqRcgCtrllr {
namespace detail {

// The paths of the groups in the group list ("web" for "cpu:/web").
std::vector<std::string> ListedGroupPaths();
// Whether `path` is one of them.
bool IsListedPath(const std::vector<std::string>& listed, const std::string& path);
// Whether the group folder holds no process (its cgroup.procs is empty).
bool IsEmptyGroupFolder(CgroupFs& fs, const std::string& folder);

}  // namespace detail
}  // namespace TqRcgCtrllr
