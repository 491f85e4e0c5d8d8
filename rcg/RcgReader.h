// What a driver reads: the groups of a hierarchy as the kernel holds them,
// read from the filesystem alone, without starting a process and without
// root.  tqrcg and tqd's metrics read through a reader; the library's driver
// of the same hierarchy (RcgDriver.h) is one, and writes as well.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "CgroupFs.h"
#include "RcgFigures.h"
#include "RcgHierarchy.h"
#include "RcgNames.h"
#include "RcgProperties.h"

namespace TqRcgCtrllr {
namespace detail {

class RcgReader {
public:
    virtual ~RcgReader() = default;

    // "cgroup v1" or "cgroup2".
    virtual const char* hierarchyName() const = 0;
    // False with the reason where no group can be made or read.
    virtual bool usable(std::string* why) const {
        why->clear();
        return true;
    }
    // Whether the group's folder is there.
    virtual bool exists(const RcgName& name) = 0;
    // The groups directly below the groups' root (one listing of its
    // folder); false when it cannot be listed.
    virtual bool topGroups(std::set<std::string>* names) = 0;
    // A property as the kernel holds it, in the property's terms
    // (ReadKernelValue); false when it cannot be read.
    virtual bool read(const RcgName& name, RcgProperty property, std::string* value) = 0;
    // Whether the kernel already holds the setting as this machine resolves it.
    virtual bool holds(const RcgName& name, const RcgSetting& setting) = 0;
    // The group's quota as the kernel shows it ("50000"; "max" or "-1" for
    // none); false when it cannot be read.
    virtual bool quotaOf(const RcgName& name, std::string* quota) = 0;
    // The figures of the group `name` (bare or controller-qualified).
    virtual GroupFigures figures(const std::string& name) = 0;
    // The processors a cap is a share of.
    virtual long processorCount() = 0;
    // The machine values are resolved for.
    virtual MachineFacts machine() = 0;
};

// The reader of a host where no group can be made: it reads nothing, and
// says why.
class RefusingReader : public virtual RcgReader {
public:
    explicit RefusingReader(const std::string& why) : m_why(why) {}
    const char* hierarchyName() const override { return "none"; }
    bool usable(std::string* why) const override {
        *why = m_why;
        return false;
    }
    bool exists(const RcgName&) override { return false; }
    bool topGroups(std::set<std::string>*) override { return false; }
    bool read(const RcgName&, RcgProperty, std::string*) override { return false; }
    bool holds(const RcgName&, const RcgSetting&) override { return false; }
    bool quotaOf(const RcgName&, std::string*) override { return false; }
    GroupFigures figures(const std::string& name) override;
    long processorCount() override { return 0; }
    MachineFacts machine() override { return MachineFacts(); }

protected:
    std::string m_why;
};

// Which kind of hierarchy the requests use now (see ChooseHierarchy), and
// where its groups live; `problem` says why none can be used.
struct HierarchyChoice {
    Hierarchy hierarchy;
    std::string base;     // cgroup2: the groups' folder below the mount
    std::uint32_t code = 0;
    std::string problem;  // not empty: no group can be made (Win32 `code`)
};
HierarchyChoice ChooseHierarchyInUse(CgroupFs& fs);

// The reader of the hierarchy in use now.
std::unique_ptr<RcgReader> ChooseReader();
std::unique_ptr<RcgReader> MakeV1Reader(CgroupFs& fs, const CgroupMounts& mounts);
std::unique_ptr<RcgReader> MakeCgroup2Reader(CgroupFs& fs, const std::string& mount, const std::string& base);

// What every reader resolves values with: the machine's memory, processors
// and online processors, read through `fs`.
MachineFacts ReadMachineFacts(CgroupFs& fs, long processors);

}  // namespace detail
}  // namespace TqRcgCtrllr
