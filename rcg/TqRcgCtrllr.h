// The group controller: makes sure the cgroup service runs, finds, creates
// and deletes named groups of the cpu controller, and keeps the list of the
// groups it created.  Every group name is checked here before any command
// line is built.
#pragma once

#include <string>
#include <vector>

#include "RcgProperties.h"
#include "TqRcg.h"

namespace TqRcgCtrllr {

// A control group of the cpu controller (CFS bandwidth), driven through the
// libcgroup tools.
class TQ_EXPORT linuxRcg : public TqRcg {
public:
    // `name` is bare ("foo") or controller-qualified ("cpu:/foo").  With
    // `existing` false the control group is created with cgcreate; a failure
    // goes to `error`.
    linuxRcg(const char* name, bool existing, CQiError& error);
    ~linuxRcg() override;

    CQiError setCPUConstraint(unsigned int percent) override;
    CQiError AssignPidsTo(const std::list<unsigned int>& pids) override;
    CQiError RemovePidsFrom(const std::list<unsigned int>& pids) override;

    const std::string& name() const { return m_rcgName; }
    const std::string& qualifiedName() const { return m_cgroupSpec; }

private:
    std::string m_rcgName;     // path below the hierarchy's root ("foo")
    std::string m_cgroupSpec;  // controller-qualified ("cpu:/foo")
};

// Succeeds when "service cgconfig status" or "service cgconfig start" does.
TQ_EXPORT CQiError Init();
// Finds an existing group; `group` is set only on success.
TQ_EXPORT CQiError GetSysRcg(const char* name, TqRcgPtr& group);
// Creates a group and appends its name to the group list.
TQ_EXPORT CQiError GetNewRcg(const char* name, TqRcgPtr& group);
// Deletes the group; success when there is none.
TQ_EXPORT CQiError DeleteRcg(const char* name);

namespace detail {
// Sets properties of the existing group, all of them or none.
CQiError SetRcgProperties(const char* name, const std::vector<RcgSetting>& settings);
}  // namespace detail

}  // namespace TqRcgCtrllr
