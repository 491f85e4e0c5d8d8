// One driver per kind of hierarchy: everything the manager does to the
// groups of a hierarchy and reads from them.  The groups' folders, creating,
// finding, deleting, moving (through the group objects it hands out),
// setting and reading a property, the figures and the processor count all
// belong to the driver of the hierarchy in use: the libcgroup tools on
// cgroup v1 (V1Driver.cpp over V1Reader), the filesystem itself on cgroup2
// (Cgroup2Driver.cpp over Cgroup2Reader).  Its reading half (RcgReader)
// needs no library of ours, so that tqrcg and tqd read with it too.  The
// controller checks every name first and then asks the driver that
// ChooseDriver picks.  Internal to the library.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "../host/CQiError.h"
#include "RcgReader.h"
#include "TqRcg.h"

namespace TqRcgCtrllr {
namespace detail {

class RcgDriver : public virtual RcgReader {
public:
    // An existing group; `group` is set only on success; 1168 when missing.
    virtual CQiError find(const RcgName& name, TqRcgPtr& group) = 0;
    // Creates the group and records it in the group list.
    virtual CQiError create(const RcgName& name, TqRcgPtr& group) = 0;
    // Deletes exactly that group, in every hierarchy where it exists, and
    // the empty parents made for it; success when there is none.
    virtual CQiError remove(const RcgName& name) = 0;
    // Sets the properties of an existing group, all of them or none: a
    // failure restores what was written before it.
    virtual CQiError apply(const RcgName& name, const std::vector<RcgSetting>& settings) = 0;
};

// The driver of the hierarchy in use now: refusing every request, with the
// reason, where no group can be made.
std::unique_ptr<RcgDriver> ChooseDriver();

std::unique_ptr<RcgDriver> MakeV1Driver(CgroupFs& fs, const CgroupMounts& mounts);
std::unique_ptr<RcgDriver> MakeCgroup2Driver(CgroupFs& fs, const std::string& mount, const std::string& base);
// Every request returns `why`.
std::unique_ptr<RcgDriver> MakeRefusingDriver(const CQiError& why);

}  // namespace detail
}  // namespace TqRcgCtrllr
