// What the groups of every kind of hierarchy share: the dummy group that
// receives removed processes, and the list of created groups.  Internal to
// the library.
#pragma once

#include <list>
#include <string>

#include "../host/CQiError.h"
#include "../host/EvDebug.h"
#include "RcgReader.h"

namespace TqRcgCtrllr {
namespace detail {

// Moves the processes into the dummy group, which is found or else created
// through the controller.
CQiError MoveToDummyGroup(const std::list<unsigned int>& pids);
// The same on cgroup v1 for processes of a group that also lives in the
// hierarchies `extras` ("memory,pids"): the dummy group joins them too, so
// that the processes leave every hierarchy of their group.
CQiError MoveToV1DummyGroup(const std::string& extras, const std::list<unsigned int>& pids);

// Appends `name` to the group list in one locked read-modify-write, so that
// concurrent creations lose no name; a list past the compaction size is
// compacted on the way (GroupListAfterCreation), with the groups of
// `groups`, and one INFO line says how many names went.  A list that
// already shows the name past that size is not written.  False with the
// store's error in *problem when the list could not be written: the caller
// then undoes the creation, so that a group exists exactly when it is
// listed.
bool RecordCreatedGroup(EvDebug& log, const char* tag, const std::string& name, RcgReader& groups,
                        std::string* problem);

}  // namespace detail
}  // namespace TqRcgCtrllr
