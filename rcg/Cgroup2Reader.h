// The reading half of the cgroup2 driver: a group is a folder below one base
// folder, and everything about it is read from that folder.
#pragma once

#include <string>

#include "RcgReader.h"

namespace TqRcgCtrllr {
namespace detail {

class Cgroup2Reader : public virtual RcgReader {
public:
    Cgroup2Reader(CgroupFs& fs, const std::string& mount, const std::string& base)
        : m_fs(fs), m_mount(mount), m_base(base) {}

    const char* hierarchyName() const override { return "cgroup2"; }
    bool exists(const RcgName& name) override { return m_fs.isDir(folderOf(name)); }
    bool topGroups(std::set<std::string>* names) override { return m_fs.listDirs(baseFolder(), names) == 0; }
    bool read(const RcgName& name, RcgProperty property, std::string* value) override;
    bool holds(const RcgName& name, const RcgSetting& setting) override;
    bool quotaOf(const RcgName& name, std::string* quota) override;
    GroupFigures figures(const std::string& name) override;
    long processorCount() override { return m_fs.onlineProcessors(); }
    MachineFacts machine() override { return ReadMachineFacts(m_fs, processorCount()); }

protected:
    std::string baseFolder() const { return m_mount + "/" + m_base; }
    std::string folderOf(const RcgName& name) const { return baseFolder() + "/" + name.path; }
    // A control file's text without blanks around it; empty when unreadable.
    std::string readText(const std::string& path) const;

    CgroupFs& m_fs;
    std::string m_mount;
    std::string m_base;

private:
    void readCpuFigures(const std::string& folder, GroupFigures* figures);
};

}  // namespace detail
}  // namespace TqRcgCtrllr
