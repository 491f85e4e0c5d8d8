// The reading half of the cgroup v1 driver: the groups' folders in each
// controller's hierarchy, their figures and properties, read from the
// filesystem.  A group lives in the cpu hierarchy, and in the cpuset, memory
// and pids hierarchies where it carries their properties.
#pragma once

#include <string>
#include <vector>

#include "RcgReader.h"

namespace TqRcgCtrllr {
namespace detail {

class V1Reader : public virtual RcgReader {
public:
    V1Reader(CgroupFs& fs, const CgroupMounts& mounts) : m_fs(fs), m_mounts(mounts) {}

    const char* hierarchyName() const override { return "cgroup v1"; }
    bool exists(const RcgName& name) override;
    bool topGroups(std::set<std::string>* names) override;
    bool read(const RcgName& name, RcgProperty property, std::string* value) override;
    bool holds(const RcgName& name, const RcgSetting& setting) override;
    bool quotaOf(const RcgName& name, std::string* quota) override;
    GroupFigures figures(const std::string& name) override;
    long processorCount() override { return m_fs.usableProcessors(); }
    MachineFacts machine() override { return ReadMachineFacts(m_fs, processorCount()); }

protected:
    // The mount point of the hierarchy that carries `controller`; empty for none.
    std::string mountOf(const std::string& controller) const;
    // The group's folder in that hierarchy.
    std::string folderOf(const std::string& controller, const RcgName& name) const {
        return mountOf(controller) + "/" + name.path;
    }
    // The hierarchies besides cpu's that hold the group: "memory,pids".
    std::string extrasOf(const RcgName& name) const;
    // A control file's text without blanks around it; empty when unreadable.
    std::string readText(const std::string& path) const;

    CgroupFs& m_fs;
    CgroupMounts m_mounts;

private:
    void readCpuFigures(const std::string& folder, const std::vector<unsigned long>& pids, GroupFigures* figures);
};

// Every controller whose hierarchy a group may join besides cpu's.
extern const char* const kV1ExtraControllers[3];

// A v1 memory file's value; UINT64_MAX for "no limit", for -1 and when it
// cannot be read.
std::uint64_t V1MemoryValue(const std::string& text);

}  // namespace detail
}  // namespace TqRcgCtrllr
