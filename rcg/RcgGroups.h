// The groups of one kind of hierarchy, as the controller finds, creates and
// deletes them.  The controller checks every name first and then asks the
// groups of the hierarchy that ChooseGroups picks: the libcgroup tools on a
// cgroup v1 hierarchy, or the cgroup2 filesystem.  Internal to the library.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "../host/CQiError.h"
#include "../host/EvDebug.h"
#include "RcgNames.h"
#include "TqRcg.h"

namespace TqRcgCtrllr {
namespace detail {

class RcgGroups {
public:
    virtual ~RcgGroups() = default;
    // An existing group; `group` is set only on success; 1168 when missing.
    virtual CQiError find(const RcgName& name, TqRcgPtr& group) = 0;
    // Creates the group and records it in the group list.
    virtual CQiError create(const RcgName& name, TqRcgPtr& group) = 0;
    // Deletes exactly that group; success when there is none.
    virtual CQiError remove(const RcgName& name) = 0;
    // The group's quota as the kernel shows it ("50000"; "max" or "-1" for
    // none); false when it cannot be read.
    virtual bool quotaOf(const RcgName& name, std::string* quota) = 0;
    // The processor count a cap is a share of, as setCPUConstraint reads it.
    virtual long processorCount() = 0;
};

// The groups of the hierarchy in use now (see ChooseHierarchy).
std::unique_ptr<RcgGroups> ChooseGroups();

std::unique_ptr<RcgGroups> MakeV1Groups();
// Groups below <mount>/<base>.
std::unique_ptr<RcgGroups> MakeCgroup2Groups(const std::string& mount, const std::string& base);
// Groups of a host where none can be made: every call returns `why`.
std::unique_ptr<RcgGroups> MakeRefusingGroups(const CQiError& why);

// Moves the processes into the dummy group, which is found or else created
// through the controller.
CQiError MoveToDummyGroup(const std::list<unsigned int>& pids);

// Appends `name` to the group list in one locked read-modify-write, so that
// concurrent creations lose no name and a long list is kept whole.  False
// with the store's error in *problem when the list could not be written:
// the caller then undoes the creation, so that a group exists exactly when
// it is listed.
bool RecordCreatedGroup(EvDebug& log, const char* tag, const std::string& name, std::string* problem);

}  // namespace detail
}  // namespace TqRcgCtrllr
