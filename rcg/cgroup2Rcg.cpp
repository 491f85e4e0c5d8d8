#include "cgroup2Rcg.h"

#include <iterator>

#include "CgroupFs.h"
#include "RcgControlFiles.h"
#include "RcgGroups.h"
#include "RcgHierarchy.h"
#include "RcgQuota.h"
#include "RcgReport.h"

namespace TqRcgCtrllr {

namespace {
const char kFile[] = "cgroup2Rcg.cpp";
const char kSetCpuFunction[] = "virtual CQiError TqRcgCtrllr::cgroup2Rcg::setCPUConstraint(unsigned int)";
const char kAssignFunction[] =
    "virtual CQiError TqRcgCtrllr::cgroup2Rcg::AssignPidsTo(const std::__cxx11::list<unsigned int>&)";
}  // namespace

cgroup2Rcg::cgroup2Rcg(const std::string& folder, const std::string& dummyFolder, CQiError& error)
    : TqRcg(error), m_folder(folder), m_dummyFolder(dummyFolder) {}

cgroup2Rcg::~cgroup2Rcg() {}

// The cap is a share of every processor online now: percent × processors ×
// 1000 µs of each 100000 µs period.  A value the kernel refuses (such as the
// quota 0) is a failure.
CQiError cgroup2Rcg::setCPUConstraint(unsigned int percent) {
    detail::CgroupFs& fs = detail::InstalledCgroupFs();
    const long processors = fs.onlineProcessors();
    const std::uint64_t quota = ComputeCpuQuota(percent, static_cast<int>(processors > 0 ? processors : 0));
    const std::string value = detail::FormatCpuMax(quota);
    const std::string file = m_folder + "/cpu.max";
    if (const int error = fs.writeFile(file, value)) {
        return detail::ReportFsFailure(eventLog, "cgroup2Rcg::setCPUConstraint",
                                       {kFile, kSetCpuFunction, __LINE__},
                                       "write \"" + value + "\" to " + file, error);
    }
    return CQiError::Success();
}

// One process at a time, in list order, from `first` on; slots of 0 never
// reach here.  The first failure ends the call and names the process.
CQiError cgroup2Rcg::movePids(const std::string& folder, std::list<unsigned int>::const_iterator first,
                              std::list<unsigned int>::const_iterator end) {
    detail::CgroupFs& fs = detail::InstalledCgroupFs();
    const std::string file = folder + "/" + cgfile::core::kProcs;
    for (auto pid = first; pid != end; ++pid) {
        const std::string value = std::to_string(*pid);
        if (const int error = fs.writeFile(file, value)) {
            return detail::ReportFsFailure(eventLog, "cgroup2Rcg::AssignPidsTo",
                                           {kFile, kAssignFunction, __LINE__},
                                           "move process " + value + " into " + file, error);
        }
    }
    return CQiError::Success();
}

CQiError cgroup2Rcg::AssignPidsTo(const std::list<unsigned int>& pids) {
    return movePids(m_folder, pids.begin(), pids.end());
}

// Straight into the dummy group's cgroup.procs, which is there after the
// first remove: no second look at the hierarchy or the store.  Only while
// the dummy group is missing is it found or made through the controller.
CQiError cgroup2Rcg::RemovePidsFrom(const std::list<unsigned int>& pids) {
    if (pids.empty()) return detail::MoveToDummyGroup(pids);
    detail::CgroupFs& fs = detail::InstalledCgroupFs();
    const std::string file = m_dummyFolder + "/" + cgfile::core::kProcs;
    if (fs.writeFile(file, std::to_string(pids.front())) != 0) return detail::MoveToDummyGroup(pids);
    return movePids(m_dummyFolder, std::next(pids.begin()), pids.end());
}

}  // namespace TqRcgCtrllr
