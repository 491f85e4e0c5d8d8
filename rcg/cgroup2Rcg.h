// A resource group as a control group of the cgroup2 filesystem: its cap is
// the group's cpu.max, its processes are those in its cgroup.procs.  The
// object only names its folder; every operation works on the filesystem and
// keeps nothing.
#pragma once

#include <string>

#include "TqRcg.h"

namespace TqRcgCtrllr {

class cgroup2Rcg : public TqRcg {
public:
    // `folder` is the group's existing folder, such as /sys/fs/cgroup/tqrcg/web;
    // `dummyFolder` the folder of the dummy group that receives removed
    // processes, below the same base.
    cgroup2Rcg(const std::string& folder, const std::string& dummyFolder, CQiError& error);
    ~cgroup2Rcg() override;

    CQiError setCPUConstraint(unsigned int percent) override;
    CQiError AssignPidsTo(const std::list<unsigned int>& pids) override;
    CQiError RemovePidsFrom(const std::list<unsigned int>& pids) override;

    const std::string& folder() const { return m_folder; }

private:
    CQiError movePids(const std::string& folder, std::list<unsigned int>::const_iterator first,
                      std::list<unsigned int>::const_iterator end);

    std::string m_folder;
    std::string m_dummyFolder;
};

}  // namespace TqRcgCtrllr
